#pragma once
// The serial port object: settings, open and close, reads, line queries, events on the main
// thread from a worker that waits for device events, and the ini persistence of the settings.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/Errors.h"
#include "platform/Serial.h"

enum TBaudRate {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl { fcHardware, fcSoftware, fcNone, fcCustom };
enum TPortEvent {
    evRxChar,
    evTxEmpty,
    evRxFlag,
    evRing,
    evBreak,
    evCTS,
    evDSR,
    evError,
    evRLSD,
    evRx80Full
};
using TPortEvents = uint16_t;  // bit (1 << TPortEvent)
constexpr TPortEvents kAllComEvents = 0x3FF;
enum TSyncMethod { smThreadSync, smWindowSync, smNone };
enum TSettingsStore { ssRegistry, ssIniFile };
enum TStoredGroup { sgBasic, sgFlowControl, sgBuffer, sgTimeouts, sgParity, sgOthers };
using TStoredGroups = uint8_t;  // bit (1 << TStoredGroup)

// Line signals {CTS, DSR, Ring, RLSD}.
enum : unsigned { lsCTSBit = 1, lsDSRBit = 2, lsRingBit = 4, lsRLSDBit = 8 };
using TPortSignals = unsigned;
// Line errors.
enum : unsigned {
    errFrame = 1,
    errParity = 2,
    errOverrun = 4,
    errBreak = 8,
    errIO = 16,
    errMode = 32,
    errRxOver = 64,
    errTxFull = 128
};
using TPortErrors = unsigned;

class ESerialPort : public EError {
public:
    explicit ESerialPort(int code, int systemError = -1);
    int ErrorCode;
    int SystemError;
};

// The component base: ownership is plain C++; components can ask to be told when another one
// is destroyed.
enum TOperation { opInsert, opRemove };
class TComponent {
public:
    TComponent() = default;
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;
    std::string Name;
    void FreeNotification(TComponent& other);
    void RemoveFreeNotification(TComponent& other);

protected:
    virtual void Notification(TComponent&, TOperation) {}
    // Tells every listener now; a destructor of a derived class calls it before it tears down.
    void AnnounceDestruction();

private:
    std::vector<TComponent*> listeners_;
    bool notified_ = false;
};

class TCustomSerialPort;

class TPortLink {
public:
    std::function<void(TCustomSerialPort&, bool)> OnConnChange;
    std::function<void(TCustomSerialPort&, const char*, int)> OnRxBuf;
    std::function<void(TCustomSerialPort&, const char*, int)> OnTxData;
    std::function<void(TCustomSerialPort&)> OnTxEmpty;
    std::function<void(TCustomSerialPort&)> OnRxFlag;
    std::function<void(TCustomSerialPort&, bool)> OnCTSChange;
    std::function<void(TCustomSerialPort&, bool)> OnDSRChange;
    std::function<void(TCustomSerialPort&, bool)> OnRLSDChange;
    std::function<void(TCustomSerialPort&)> OnRing;
    std::function<void(TCustomSerialPort&, bool)> OnTxActive;
    std::function<void(TCustomSerialPort&, bool)> OnRxActive;
};

// Settings groups; a change while attached to a port applies it at once.
class TPortParity {
public:
    explicit TPortParity(TCustomSerialPort* port = nullptr) : port_(port) {}
    // A copy belongs to no port: changing it later must not reach the original's device.
    TPortParity(const TPortParity& other) : port_(nullptr) { *this = other; }
    TPortParity& operator=(const TPortParity& other);
    TParityBits Bits() const { return bits_; }
    bool Check() const { return check_; }
    bool Replace() const { return replace_; }
    char ReplaceChar() const { return replaceChar_; }
    void SetBits(TParityBits v);
    void SetCheck(bool v);
    void SetReplace(bool v);
    void SetReplaceChar(char v);

private:
    void Changed();
    TCustomSerialPort* port_;
    TParityBits bits_ = prNone;
    bool check_ = false, replace_ = false;
    char replaceChar_ = 0;
};

class TPortFlowControl {
public:
    explicit TPortFlowControl(TCustomSerialPort* port = nullptr) : port_(port) {}
    TPortFlowControl(const TPortFlowControl& other) : port_(nullptr) { *this = other; }
    TPortFlowControl& operator=(const TPortFlowControl& other);
    bool OutCTSFlow = false, OutDSRFlow = false;
    TDTRFlowControl ControlDTR = dtrDisable;
    TRTSFlowControl ControlRTS = rtsDisable;
    bool XonXoffOut = false, XonXoffIn = false, DSRSensitivity = false, TxContinueOnXoff = false;
    char XonChar = 17, XoffChar = 19;
    // Setters apply the line settings of an attached open port.
    void SetOutCTSFlow(bool v) { Set(OutCTSFlow, v); }
    void SetOutDSRFlow(bool v) { Set(OutDSRFlow, v); }
    void SetControlDTR(TDTRFlowControl v) { Set(ControlDTR, v); }
    void SetControlRTS(TRTSFlowControl v) { Set(ControlRTS, v); }
    void SetXonXoffOut(bool v) { Set(XonXoffOut, v); }
    void SetXonXoffIn(bool v) { Set(XonXoffIn, v); }
    void SetDSRSensitivity(bool v) { Set(DSRSensitivity, v); }
    void SetTxContinueOnXoff(bool v) { Set(TxContinueOnXoff, v); }
    void SetXonChar(char v) { Set(XonChar, v); }
    void SetXoffChar(char v) { Set(XoffChar, v); }
    TFlowControl FlowControl() const;
    void SetFlowControl(TFlowControl v);

private:
    template <class T>
    void Set(T& field, T v) {
        field = v;
        Changed();
    }
    void Changed();
    TCustomSerialPort* port_;
};

class TPortTimeouts {
public:
    explicit TPortTimeouts(TCustomSerialPort* port = nullptr) : port_(port) {}
    TPortTimeouts(const TPortTimeouts& other) : port_(nullptr) { *this = other; }
    TPortTimeouts& operator=(const TPortTimeouts& other);
    int32_t ReadInterval = -1, ReadTotalMultiplier = 0, ReadTotalConstant = 0,
            WriteTotalMultiplier = 100, WriteTotalConstant = 1000;
    void Set(int32_t TPortTimeouts::*field, int32_t v);

private:
    TCustomSerialPort* port_;
};

class TPortBuffer {
public:
    explicit TPortBuffer(TCustomSerialPort* port = nullptr) : port_(port) {}
    TPortBuffer(const TPortBuffer& other) : port_(nullptr) { *this = other; }
    TPortBuffer& operator=(const TPortBuffer& other);
    int32_t InputSize() const { return input_; }
    int32_t OutputSize() const { return output_; }
    void SetInputSize(int32_t v);
    void SetOutputSize(int32_t v);

private:
    TCustomSerialPort* port_;
    int32_t input_ = 1024, output_ = 1024;
};

class TAsyncOp {
public:
    enum TOpKind { okRead, okWrite };
    TOpKind OpKind = okRead;
    const char* TxData = nullptr;
    int32_t TxSize = 0;
    uint32_t Transferred = 0;
};

class TPortEventThread;

class TCustomSerialPort : public TComponent {
public:
    TCustomSerialPort();
    ~TCustomSerialPort() override;

    void Open();
    void Close();
    bool Connected() const { return connected_; }
    void SetConnected(bool v);

    int32_t ReadText(std::string& text, int32_t count);
    int32_t Read(char* buffer, int32_t count);
    int32_t StartRead(char* buffer, int32_t count, TAsyncOp* op);
    int32_t WaitAsync(TAsyncOp* op);
    int32_t PendingInput();
    TPortSignals LineSignals();
    TPortErrors TakeLineErrors();
    void AbortPending();
    void BeginUpdate() { ++updateDepth_; }
    void EndUpdate();
    void RegisterLink(TPortLink& link);
    void UnRegisterLink(TPortLink& link);
    void SaveSetup(TSettingsStore store, const std::string& location);
    void LoadSetup(TSettingsStore store, const std::string& location);

    // Settings.
    TBaudRate BaudRate() const { return baudRate_; }
    void SetBaudRate(TBaudRate v);
    int32_t CustomBaudRate() const { return customBaudRate_; }
    void SetCustomBaudRate(int32_t v);
    const std::string& Port() const { return port_; }
    void SetPort(const std::string& name);
    TPortParity& Parity() { return parity_; }
    const TPortParity& Parity() const { return parity_; }
    TStopBits StopBits() const { return stopBits_; }
    void SetStopBits(TStopBits v);
    TDataBits DataBits() const { return dataBits_; }
    void SetDataBits(TDataBits v);
    bool DiscardNull() const { return discardNull_; }
    void SetDiscardNull(bool v);
    char EventChar() const { return eventChar_; }
    void SetEventChar(char v);
    TPortEvents Events() const { return events_; }
    void SetEvents(TPortEvents v) { events_ = v; }
    TPortBuffer& Buffer() { return buffer_; }
    TPortFlowControl& FlowControl() { return flowControl_; }
    const TPortFlowControl& FlowControl() const { return flowControl_; }
    TPortTimeouts& Timeouts() { return timeouts_; }
    TSyncMethod SyncMethod() const { return syncMethod_; }
    void SetSyncMethod(TSyncMethod v);
    TStoredGroups StoredGroups = 1 << sgBasic;

    // Network sources (a Port of tcp://HOST:PORT or listen://[ADDRESS]:PORT), read at the next
    // open: the answers to an exchange's login prompts, the addresses allowed to connect, the
    // seconds within which a peer that stops answering TCP is dropped, and the minutes without
    // a byte after which the connection is made afresh (0: never). Texts lose control
    // characters and are cut to their limits; numbers are brought into their ranges.
    static constexpr size_t kLoginMax = 64, kAllowMax = 1024;
    static constexpr int kKeepAliveMin = 2, kKeepAliveMax = 3600, kKeepAliveDefault = 50;
    static constexpr int kIdleMax = 10080;  // a week
    const std::string& Login() const { return login_; }
    void SetLogin(const std::string& v);
    const std::string& Password() const { return password_; }
    void SetPassword(const std::string& v);
    const std::string& Allow() const { return allow_; }
    void SetAllow(const std::string& v);
    int KeepAlive() const { return keepAlive_; }
    void SetKeepAlive(int seconds);
    int Idle() const { return idle_; }
    void SetIdle(int minutes);

    // The control block the line settings produce.
    platform::TDcb BuildDcb() const;
    // The device a port name opens: COMn is /dev/ttyS<n-1>; a path is used as it is.
    static std::string DevicePath(const std::string& port);

    std::function<void(TCustomSerialPort&)> OnBeforeOpen, OnAfterOpen, OnBeforeClose, OnAfterClose;
    std::function<void(TCustomSerialPort&, int)> OnRxChar;
    std::function<void(TCustomSerialPort&, const char*, int)> OnRxBuf;
    std::function<void(TCustomSerialPort&)> OnTxEmpty, OnBreak, OnRing, OnRxFlag, OnRx80Full;
    std::function<void(TCustomSerialPort&, bool)> OnCTSChange, OnDSRChange, OnRLSDChange;
    std::function<void(TCustomSerialPort&, TPortErrors)> OnError;
    // A notice of the device for the station's log (Windows-1251): a network source's
    // connections, drops and refusals.
    std::function<void(TCustomSerialPort&, const std::string&)> OnNotice;

    // Apply steps; each does nothing while closed or inside an update bracket.
    virtual void ApplyAll();
    virtual void ApplyLineSettings();
    virtual void ApplyTimeouts();
    virtual void ApplyBufferSizes();

    // The handlers the event thread runs, one per event.
    void HandleError();
    void HandleRxChar();
    void HandleTxEmpty();
    void HandleBreak();
    void HandleRing();
    void HandleCTSChange();
    void HandleDSRChange();
    void HandleRxFlag();
    void HandleRLSDChange();
    void HandleRx80Full();
    void HandleNotices();

protected:
    virtual void OpenDevice();
    virtual void CloseDevice();
    virtual void SaveToIni(const std::string& file);
    virtual void LoadFromIni(const std::string& file);

private:
    friend class TPortEventThread;
    void ForLinks(const std::function<void(TPortLink&)>& fn);
    void LineNotice(unsigned bit, std::function<void(TCustomSerialPort&, bool)> TPortLink::*cb,
                    const std::function<void(TCustomSerialPort&, bool)>& event);

    // Shared with the event thread, which may finish its exit steps after a close.
    std::shared_ptr<platform::TSerialDevice> device_;
    bool connected_ = false;
    int updateDepth_ = 0;
    std::unique_ptr<TPortEventThread> thread_;
    // Threads stopped by a close from inside their own batch; they end once it returns.
    std::vector<std::unique_ptr<TPortEventThread>> retired_;
    int deliveryDepth_ = 0;  // batches running on the main thread
    bool InOwnDelivery() const;
    void ReapRetired(bool wait);
    std::vector<TPortLink*> links_;
    bool anyLinkWantsRx_ = false;

    TBaudRate baudRate_ = br9600;
    int32_t customBaudRate_ = 9600;
    std::string port_ = "COM1";
    TPortParity parity_{this};
    TStopBits stopBits_ = sbOneStopBit;
    TDataBits dataBits_ = dbEight;
    bool discardNull_ = false;
    char eventChar_ = 0;
    TPortEvents events_ = kAllComEvents;
    TPortBuffer buffer_{this};
    TPortFlowControl flowControl_{this};
    TPortTimeouts timeouts_{this};
    TSyncMethod syncMethod_ = smThreadSync;
    std::string login_, password_, allow_;
    int keepAlive_ = kKeepAliveDefault;
    int idle_ = 0;
};

class TSerialPort : public TCustomSerialPort {
public:
    TSerialPort() = default;
    // The capture port's stored description: 1200 baud, 8N1, DTR on, RTS off, NUL discarded.
    void UseCaptureDefaults();
};

// The worker that waits for device events and hands each batch to the port's handlers.
class TPortEventThread {
public:
    explicit TPortEventThread(TCustomSerialPort& port);
    ~TPortEventThread();
    TPortEventThread(const TPortEventThread&) = delete;
    TPortEventThread& operator=(const TPortEventThread&) = delete;
    void Stop();
    bool Finished() const { return finished_; }
    bool OnThisThread() const { return std::this_thread::get_id() == thread_.get_id(); }
    static uint32_t EventsToMask(TPortEvents events);
    static TPortEvents MaskToEvents(uint32_t mask);

private:
    void Execute();
    void Deliver(TPortEvents reported, bool notices);
    TCustomSerialPort& port_;
    std::shared_ptr<platform::TSerialDevice> device_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    TPortEvents reported_ = 0;
    std::thread thread_;
};

// Where errors of handlers run for a window-synchronised port go (the application's report).
void SetApplicationExceptionReport(std::function<void(const std::exception&)> report);
void ReportApplicationException(const std::exception& e);

// Text conversions of the settings, for the ini file and the combo boxes.
std::string BaudRateToText(TBaudRate v);
TBaudRate TextToBaudRate(const std::string& s);
std::string StopBitsToText(TStopBits v);
TStopBits TextToStopBits(const std::string& s);
std::string DataBitsToText(TDataBits v);
TDataBits TextToDataBits(const std::string& s);
std::string ParityToText(TParityBits v);
TParityBits TextToParity(const std::string& s);
std::string FlowControlToText(TFlowControl v);
TFlowControl TextToFlowControl(const std::string& s);
std::string DTRControlToText(TDTRFlowControl v);
TDTRFlowControl TextToDTRControl(const std::string& s);
std::string RTSControlToText(TRTSFlowControl v);
TRTSFlowControl TextToRTSControl(const std::string& s);
std::string BoolToYesNo(bool v);
bool YesNoToBool(const std::string& s);
std::string CharToText(char c);
char TextToChar(const std::string& s);
// Normalised port name: COMn (1..96, else COM1); an absolute device path, or a network name
// (tcp://..., listen://...) without its surrounding blanks, kept as it is.
std::string NormalizePortName(const std::string& name);
// Appends the machine's serial ports.
void ListComPorts(std::vector<std::string>& items);
// The port name a listed device goes by: on-board UARTs keep their COMn names, so COM10 and
// above stay apart from COM1; other devices are named by their path.
std::string PortNameOfDevice(const std::string& path);
