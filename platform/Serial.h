#pragma once
// The serial device as the port object needs it: the communications calls of the desktop system
// the station was designed for, with their control block, time-outs and event bits.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

struct TDcb {
    uint32_t DCBlength = 28;
    uint32_t BaudRate = 0;
    bool fBinary = true, fParity = false, fOutxCtsFlow = false, fOutxDsrFlow = false;
    uint8_t fDtrControl = 0;  // 0 disable, 1 enable, 2 handshake
    bool fDsrSensitivity = false, fTXContinueOnXoff = false, fOutX = false, fInX = false;
    bool fErrorChar = false, fNull = false;
    uint8_t fRtsControl = 0;  // 0 disable, 1 enable, 2 handshake, 3 toggle
    bool fAbortOnError = false;
    uint16_t XonLim = 0, XoffLim = 0;
    uint8_t ByteSize = 8, Parity = 0, StopBits = 0;
    char XonChar = 17, XoffChar = 19, ErrorChar = 0, EofChar = 0, EvtChar = 0;
};

struct TCommTimeouts {
    uint32_t ReadIntervalTimeout = 0, ReadTotalTimeoutMultiplier = 0, ReadTotalTimeoutConstant = 0,
             WriteTotalTimeoutMultiplier = 0, WriteTotalTimeoutConstant = 0;
};

enum : uint32_t {
    EV_RXCHAR = 0x0001,
    EV_RXFLAG = 0x0002,
    EV_TXEMPTY = 0x0004,
    EV_CTS = 0x0008,
    EV_DSR = 0x0010,
    EV_RLSD = 0x0020,
    EV_BREAK = 0x0040,
    EV_ERR = 0x0080,
    EV_RING = 0x0100,
    EV_RX80FULL = 0x0400,
    // Not a line event: the device has notices for the log (a network source's connections,
    // drops and refusals), taken with TakeNotices. Reported whatever the mask.
    EV_NOTICE = 0x10000,
};
enum : uint32_t { MS_CTS_ON = 0x10, MS_DSR_ON = 0x20, MS_RING_ON = 0x40, MS_RLSD_ON = 0x80 };
enum : uint32_t {
    CE_RXOVER = 0x1,
    CE_OVERRUN = 0x2,
    CE_RXPARITY = 0x4,
    CE_FRAME = 0x8,
    CE_BREAK = 0x10,
    CE_TXFULL = 0x100,
    CE_IOE = 0x400,
    CE_MODE = 0x8000,
};
enum : uint32_t { PURGE_TXABORT = 1, PURGE_RXABORT = 2, PURGE_TXCLEAR = 4, PURGE_RXCLEAR = 8 };

// One open device. Every call returns false on failure with the system error in LastError().
class TSerialDevice {
public:
    virtual ~TSerialDevice() = default;
    virtual bool SetupComm(uint32_t inQueue, uint32_t outQueue) = 0;
    virtual bool SetCommState(const TDcb& dcb) = 0;
    virtual bool SetCommTimeouts(const TCommTimeouts& timeouts) = 0;
    virtual bool SetCommMask(uint32_t mask) = 0;
    // Blocks until an event of the mask happens (events receives them) or CancelWait is called
    // (false, error 0). CancelWait may be called from another thread.
    virtual bool WaitCommEvent(uint32_t& events) = 0;
    virtual void CancelWait() = 0;
    // Reads what the driver holds, at most count bytes, without waiting.
    virtual bool Read(char* buffer, uint32_t count, uint32_t& done) = 0;
    virtual bool ClearCommError(uint32_t& errors, uint32_t& inQueue) = 0;
    virtual bool GetCommModemStatus(uint32_t& status) = 0;
    virtual bool PurgeComm(uint32_t flags) = 0;
    virtual int LastError() const = 0;
    // Texts for the station's log (Windows-1251) gathered since the last call, oldest first.
    virtual std::vector<std::string> TakeNotices() { return {}; }
    // Whether the device reaches its exchange now: a network source holds a connection. A
    // serial device always does. May be called while another thread waits.
    virtual bool Linked() { return true; }
};

// Opens a device for exclusive use; nullptr with the system error in error on failure.
using TSerialOpener =
    std::function<std::unique_ptr<TSerialDevice>(const std::string& path, int& error)>;
std::unique_ptr<TSerialDevice> OpenSerialDevice(const std::string& path, int& error);
// Tests put a fake device behind the port object; an empty function restores the real devices.
void SetSerialOpener(TSerialOpener opener);

// Device paths of the machine's serial ports: UARTs that exist, USB and ACM adapters, found in
// the kernel's tty class directory (another directory for tests).
std::vector<std::string> SerialDevicePaths(const std::string& ttyClass = "/sys/class/tty");

}  // namespace platform
