#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <mutex>

#include "platform/Serial.h"
#include "platform/posix/SerialTermios.h"

namespace platform {

speed_t BaudToSpeed(uint32_t baud) {
    switch (baud) {
        case 50: return B50;
        case 75: return B75;
        case 110: return B110;
        case 134: return B134;
        case 150: return B150;
        case 200: return B200;
        case 300: return B300;
        case 600: return B600;
        case 1200: return B1200;
        case 1800: return B1800;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        case 230400: return B230400;
        case 460800: return B460800;
        case 500000: return B500000;
        case 576000: return B576000;
        case 921600: return B921600;
        case 1000000: return B1000000;
        default: return 0;
    }
}

bool DcbToTermios(const TDcb& dcb, termios& tio) {
    const speed_t speed = BaudToSpeed(dcb.BaudRate);
    if (speed == 0) return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CMSPAR);
    switch (dcb.ByteSize) {
        case 5: tio.c_cflag |= CS5; break;
        case 6: tio.c_cflag |= CS6; break;
        case 7: tio.c_cflag |= CS7; break;
        case 8: tio.c_cflag |= CS8; break;
        default: return false;
    }
    switch (dcb.Parity) {
        case 0: break;
        case 1: tio.c_cflag |= PARENB | PARODD; break;
        case 2: tio.c_cflag |= PARENB; break;
        case 3: tio.c_cflag |= PARENB | PARODD | CMSPAR; break;
        case 4: tio.c_cflag |= PARENB | CMSPAR; break;
        default: return false;
    }
    if (dcb.StopBits == 2 || dcb.StopBits == 1) tio.c_cflag |= CSTOPB;  // 1.5 only exists as 2
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == 2) tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~(INPCK | IGNPAR | PARMRK | IXON | IXOFF);
    if (dcb.fParity) tio.c_iflag |= INPCK;
    if (dcb.fOutX) tio.c_iflag |= IXON;
    if (dcb.fInX) tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    return true;
}

namespace {

// Stops a poll from another thread.
class TEventFd {
public:
    TEventFd() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~TEventFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    TEventFd(const TEventFd&) = delete;
    TEventFd& operator=(const TEventFd&) = delete;
    int fd() const { return fd_; }
    void Signal() {
        const uint64_t one = 1;
        (void)!::write(fd_, &one, sizeof one);
    }
    void Drain() {
        uint64_t v;
        (void)!::read(fd_, &v, sizeof v);
    }

private:
    int fd_;
};

class TPosixSerial : public TSerialDevice {
public:
    explicit TPosixSerial(int fd) : fd_(fd) {
        int status = 0;
        hasModemLines_ = ::ioctl(fd_, TIOCMGET, &status) == 0;
        lastModem_ = hasModemLines_ ? status : 0;
        serial_icounter_struct c{};
        hasCounters_ = ::ioctl(fd_, TIOCGICOUNT, &c) == 0;
        counters_ = c;
    }
    ~TPosixSerial() override { ::close(fd_); }

    bool SetupComm(uint32_t, uint32_t) override { return true; }

    bool SetCommState(const TDcb& dcb) override {
        termios tio{};
        if (::tcgetattr(fd_, &tio) != 0) return Fail();
        if (!DcbToTermios(dcb, tio)) return Fail(EINVAL);
        if (::tcsetattr(fd_, TCSANOW, &tio) != 0) return Fail();
        discardNull_ = dcb.fNull;
        eventChar_ = dcb.EvtChar;
        // Devices without modem lines (pseudo-terminals) have no DTR or RTS to set.
        if (hasModemLines_) {
            int bits = TIOCM_DTR;
            ::ioctl(fd_, dcb.fDtrControl == 1 ? TIOCMBIS : TIOCMBIC, &bits);
            bits = TIOCM_RTS;
            if (dcb.fRtsControl != 2) ::ioctl(fd_, dcb.fRtsControl == 1 ? TIOCMBIS : TIOCMBIC, &bits);
        }
        return true;
    }

    bool SetCommTimeouts(const TCommTimeouts&) override { return true; }

    bool SetCommMask(uint32_t mask) override {
        mask_ = mask;
        if (mask == 0) stop_.Signal();  // completes an outstanding wait
        return true;
    }

    bool WaitCommEvent(uint32_t& events) override {
        events = 0;
        for (;;) {
            pollfd fds[2] = {{stop_.fd(), POLLIN, 0}, {fd_, POLLIN, 0}};
            const bool unreadBytes = Pending() > 0 && Pending() == reportedPending_;
            // With lines to watch, or bytes already reported but unread, look again shortly;
            // otherwise sleep until data arrives or a stop.
            const bool watchLines = hasModemLines_ && (mask_ & (EV_CTS | EV_DSR | EV_RLSD | EV_RING));
            const int timeout = unreadBytes ? 10 : (watchLines || hasCounters_ ? 100 : -1);
            const int n = ::poll(fds, unreadBytes ? 1 : 2, timeout);
            if (n < 0 && errno != EINTR) return Fail();
            if (fds[0].revents & POLLIN) {
                stop_.Drain();
                return Fail(0);
            }
            if (fds[1].revents & (POLLHUP | POLLERR)) {
                // The other end went away (a closed pseudo-terminal): avoid spinning.
                pollfd s{stop_.fd(), POLLIN, 0};
                if (::poll(&s, 1, 50) > 0) {
                    stop_.Drain();
                    return Fail(0);
                }
            }
            const int pending = Pending();
            if ((mask_ & EV_RXCHAR) && pending > reportedPending_) events |= EV_RXCHAR;
            reportedPending_ = pending;
            if (hasModemLines_) {
                int status = 0;
                if (::ioctl(fd_, TIOCMGET, &status) == 0) {
                    const int changed = status ^ lastModem_;
                    if (changed & TIOCM_CTS) events |= EV_CTS;
                    if (changed & TIOCM_DSR) events |= EV_DSR;
                    if (changed & TIOCM_CD) events |= EV_RLSD;
                    if ((changed & TIOCM_RNG) && (status & TIOCM_RNG)) events |= EV_RING;
                    lastModem_ = status;
                }
            }
            if (hasCounters_) {
                serial_icounter_struct c{};
                if (::ioctl(fd_, TIOCGICOUNT, &c) == 0) {
                    if (c.brk != counters_.brk) events |= EV_BREAK;
                    if (c.frame != counters_.frame || c.overrun != counters_.overrun ||
                        c.parity != counters_.parity || c.buf_overrun != counters_.buf_overrun)
                        events |= EV_ERR;
                    std::lock_guard<std::mutex> lock(errorMutex_);
                    if (c.frame != counters_.frame) errors_ |= CE_FRAME;
                    if (c.overrun != counters_.overrun) errors_ |= CE_OVERRUN;
                    if (c.parity != counters_.parity) errors_ |= CE_RXPARITY;
                    if (c.buf_overrun != counters_.buf_overrun) errors_ |= CE_RXOVER;
                    if (c.brk != counters_.brk) errors_ |= CE_BREAK;
                    counters_ = c;
                }
            }
            events &= mask_;
            if (events) return true;
        }
    }

    void CancelWait() override { stop_.Signal(); }

    bool Read(char* buffer, uint32_t count, uint32_t& done) override {
        done = 0;
        while (done < count) {
            const ssize_t n = ::read(fd_, buffer + done, count - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EIO) break;  // EIO: the far end of a pty is closed
                return Fail();
            }
            if (n == 0) break;
            uint32_t kept = done;
            for (ssize_t i = 0; i < n; ++i) {
                const char c = buffer[done + static_cast<uint32_t>(i)];
                if (discardNull_ && c == 0) continue;
                buffer[kept++] = c;
            }
            done = kept;
        }
        reportedPending_ = Pending();
        return true;
    }

    bool ClearCommError(uint32_t& errors, uint32_t& inQueue) override {
        {
            std::lock_guard<std::mutex> lock(errorMutex_);
            errors = errors_;
            errors_ = 0;
        }
        inQueue = static_cast<uint32_t>(std::max(0, Pending()));
        return true;
    }

    bool GetCommModemStatus(uint32_t& status) override {
        status = 0;
        if (!hasModemLines_) return true;
        int bits = 0;
        if (::ioctl(fd_, TIOCMGET, &bits) != 0) return Fail();
        if (bits & TIOCM_CTS) status |= MS_CTS_ON;
        if (bits & TIOCM_DSR) status |= MS_DSR_ON;
        if (bits & TIOCM_RNG) status |= MS_RING_ON;
        if (bits & TIOCM_CD) status |= MS_RLSD_ON;
        return true;
    }

    bool PurgeComm(uint32_t flags) override {
        if (flags & PURGE_RXCLEAR) ::tcflush(fd_, TCIFLUSH);
        if (flags & PURGE_TXCLEAR) ::tcflush(fd_, TCOFLUSH);
        if (flags & (PURGE_RXABORT | PURGE_TXABORT)) stop_.Signal();
        return true;
    }

    int LastError() const override { return error_; }

private:
    int Pending() const {
        int n = 0;
        return ::ioctl(fd_, FIONREAD, &n) == 0 ? n : 0;
    }
    bool Fail(int error = -1) {
        error_ = error < 0 ? errno : error;
        return false;
    }

    int fd_;
    TEventFd stop_;
    uint32_t mask_ = 0;
    bool hasModemLines_ = false, hasCounters_ = false, discardNull_ = false;
    char eventChar_ = 0;
    int lastModem_ = 0;
    int reportedPending_ = 0;
    serial_icounter_struct counters_{};
    std::mutex errorMutex_;
    uint32_t errors_ = 0;
    int error_ = 0;
};

std::mutex gOpenerMutex;
TSerialOpener gOpener;

std::string ReadSmall(const std::string& path) {
    std::ifstream in(path);
    std::string s;
    std::getline(in, s);
    return s;
}

}  // namespace

std::unique_ptr<TSerialDevice> OpenSerialDevice(const std::string& path, int& error) {
    {
        std::lock_guard<std::mutex> lock(gOpenerMutex);
        if (gOpener) return gOpener(path, error);
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    // Exclusive, as another program's open of the same port must fail.
    if (::ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) {
        error = errno;
        ::close(fd);
        return nullptr;
    }
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        error = errno;
        ::close(fd);
        return nullptr;
    }
    error = 0;
    return std::make_unique<TPosixSerial>(fd);
}

void SetSerialOpener(TSerialOpener opener) {
    std::lock_guard<std::mutex> lock(gOpenerMutex);
    gOpener = std::move(opener);
}

std::vector<std::string> SerialDevicePaths() {
    std::vector<std::string> paths;
    DIR* dir = ::opendir("/sys/class/tty");
    if (!dir) return paths;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        const std::string sys = "/sys/class/tty/" + name;
        if (name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0) {
            paths.push_back("/dev/" + name);
        } else if (name.rfind("ttyS", 0) == 0) {
            // Legacy UART slots exist for every number; only a real chip has a type.
            const std::string type = ReadSmall(sys + "/type");
            if (!type.empty() && type != "0" && ::access((sys + "/device").c_str(), F_OK) == 0)
                paths.push_back("/dev/" + name);
        }
    }
    ::closedir(dir);
    std::sort(paths.begin(), paths.end());
    return paths;
}

}  // namespace platform
