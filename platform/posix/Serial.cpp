#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>

#include "platform/Serial.h"
#include "platform/posix/EventFd.h"
#include "platform/posix/SerialTermios.h"

// The kernel's termios with free speeds, which glibc does not declare; the ioctl numbers
// TCGETS2 and TCSETS2 name it at global scope.
struct termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};

namespace platform {

namespace {
constexpr tcflag_t kFreeSpeed = 0010000;  // BOTHER: the speed is in c_ispeed and c_ospeed
constexpr int kInputSpeedShift = 16;      // IBSHIFT: the input speed's copy of the bits
}  // namespace

speed_t BaudToSpeed(uint32_t baud) {
    static constexpr std::pair<uint32_t, speed_t> kFixed[] = {
        {50, B50},         {75, B75},         {110, B110},        {134, B134},
        {150, B150},       {200, B200},       {300, B300},        {600, B600},
        {1200, B1200},     {1800, B1800},     {2400, B2400},      {4800, B4800},
        {9600, B9600},     {19200, B19200},   {38400, B38400},    {57600, B57600},
        {115200, B115200}, {230400, B230400}, {460800, B460800},  {500000, B500000},
        {576000, B576000}, {921600, B921600}, {1000000, B1000000}};
    for (const auto& [rate, speed] : kFixed)
        if (rate == baud) return speed;
    return 0;
}

bool DcbToTermios(const TDcb& dcb, termios& tio) {
    // Zero would hang the line up; the top bit is a negative custom rate.
    if (dcb.BaudRate == 0 || dcb.BaudRate > 0x7FFFFFFF) return false;
    const speed_t fixed = BaudToSpeed(dcb.BaudRate);
    const speed_t speed = fixed != 0 ? fixed : B38400;
    cfmakeraw(&tio);
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CMSPAR);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};  // 5 to 8 bits
    // None, odd, even, mark, space.
    static constexpr tcflag_t kParity[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR,
                                           PARENB | CMSPAR};
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4) return false;
    tio.c_cflag |= kSizes[dcb.ByteSize - 5] | kParity[dcb.Parity];
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

bool SetFreeSpeed(int fd, uint32_t baud) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) return false;
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CBAUD | (CBAUD << kInputSpeedShift))) |
                kFreeSpeed | (kFreeSpeed << kInputSpeedShift);
    t.c_ispeed = t.c_ospeed = baud;
    if (::ioctl(fd, TCSETS2, &t) != 0) return false;
    const uint32_t got = DeviceSpeed(fd);
    const uint64_t off = got > baud ? got - baud : baud - got;
    if (off * 100 > static_cast<uint64_t>(baud) * 3) {
        errno = EINVAL;
        return false;
    }
    return true;
}

uint32_t DeviceSpeed(int fd) {
    termios2 t{};
    return ::ioctl(fd, TCGETS2, &t) == 0 ? t.c_ospeed : 0;
}

namespace {

constexpr uint32_t kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr int kLineBits = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
// Drivers without a modem-line wait are asked this often.
constexpr int kLinePollMs = 20;
// Bytes reported but not yet read keep the descriptor readable; look for more this often.
constexpr int kUnreadPollMs = 10;

// Like the system error of the calls it stands in for, the last error is per thread.
thread_local int tLastError = 0;

extern "C" void OnWakeSignal(int) {}

// The signal that ends a modem-line wait: it only interrupts the call.
int WakeSignal() {
    static const int sig = [] {
        const int s = SIGRTMIN + 2;
        struct sigaction sa {};
        sa.sa_handler = OnWakeSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;  // no restart: the interrupted wait must return
        ::sigaction(s, &sa, nullptr);
        return s;
    }();
    return sig;
}

// TIOCMIWAIT blocks in the driver and cannot join a poll, so it runs in a thread of its own
// that signals an eventfd on every line change. Where the driver has no such wait the thread
// ends at once and the lines are polled instead.
class TLineWatcher {
public:
    TLineWatcher(int fd, TEventFd& changed) : fd_(fd), changed_(changed) {
        WakeSignal();
        thread_ = std::thread([this] { Run(); });
    }
    ~TLineWatcher() {
        quit_ = true;
        std::unique_lock<std::mutex> lock(mutex_);
        // A signal that lands just before the thread enters the wait is lost; send again.
        while (!done_) {
            ::pthread_kill(thread_.native_handle(), WakeSignal());
            cv_.wait_for(lock, std::chrono::milliseconds(2));
        }
        lock.unlock();
        thread_.join();
    }
    TLineWatcher(const TLineWatcher&) = delete;
    TLineWatcher& operator=(const TLineWatcher&) = delete;
    bool Unsupported() const { return unsupported_; }

private:
    void Run() {
        while (!quit_) {
            if (::ioctl(fd_, TIOCMIWAIT, kLineBits) == 0) {
                changed_.Signal();
            } else if (errno != EINTR) {
                unsupported_ = true;
                changed_.Signal();  // the waiter switches to polling
                break;
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
        cv_.notify_all();
    }

    int fd_;
    TEventFd& changed_;
    std::atomic<bool> quit_{false}, unsupported_{false};
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
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
    ~TPosixSerial() override {
        watcher_.reset();
        ::close(fd_);
    }

    bool SetupComm(uint32_t inQueue, uint32_t) override {
        inQueue_ = inQueue;
        return true;
    }

    bool SetCommState(const TDcb& dcb) override {
        termios tio{};
        if (::tcgetattr(fd_, &tio) != 0) return Fail();
        const termios before = tio;
        if (!DcbToTermios(dcb, tio)) return Fail(EINVAL);
        if (::tcsetattr(fd_, TCSANOW, &tio) != 0) return Fail();
        if (BaudToSpeed(dcb.BaudRate) == 0 && !SetFreeSpeed(fd_, dcb.BaudRate)) {
            const int error = errno;
            ::tcsetattr(fd_, TCSANOW, &before);  // a refused rate changes nothing
            return Fail(error);
        }
        discardNull_ = dcb.fNull;
        // Devices without modem lines (pseudo-terminals) have no DTR or RTS to set.
        if (hasModemLines_) {
            int bits = TIOCM_DTR;
            ::ioctl(fd_, dcb.fDtrControl == 1 ? TIOCMBIS : TIOCMBIC, &bits);
            bits = TIOCM_RTS;
            if (dcb.fRtsControl != 2)
                ::ioctl(fd_, dcb.fRtsControl == 1 ? TIOCMBIS : TIOCMBIC, &bits);
        }
        return true;
    }

    bool SetCommTimeouts(const TCommTimeouts&) override { return true; }

    bool SetCommMask(uint32_t mask) override {
        mask_ = mask;
        if (!(mask & kLineEvents) || !hasModemLines_)
            watcher_.reset();
        else if (!watcher_)
            watcher_ = std::make_unique<TLineWatcher>(fd_, lineChanged_);
        if (mask == 0) stop_.Signal();  // completes an outstanding wait
        return true;
    }

    bool WaitCommEvent(uint32_t& events) override {
        events = 0;
        for (;;) {
            const uint32_t mask = mask_;
            const int pending = Pending();
            const bool unread = pending > 0 && pending == reportedPending_;
            const bool pollLines = watcher_ && watcher_->Unsupported();
            const int timeout = unread ? kUnreadPollMs : pollLines ? kLinePollMs : -1;
            // Bytes already reported keep the descriptor readable: leave it out until they are
            // read.
            pollfd fds[3] = {{stop_.fd(), POLLIN, 0},
                             {lineChanged_.fd(), POLLIN, 0},
                             {fd_, static_cast<short>(unread ? 0 : POLLIN), 0}};
            const int n = ::poll(fds, 3, timeout);
            if (n < 0 && errno != EINTR) return Fail();
            if (fds[0].revents & POLLIN) {
                stop_.Drain();
                return Fail(0);
            }
            if (fds[1].revents & POLLIN) lineChanged_.Drain();
            if (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                // The device went away (an adapter pulled, a pseudo-terminal's other side
                // closed): told once as an I/O error, after which only the close is awaited.
                if (hungUp_) {
                    pollfd s{stop_.fd(), POLLIN, 0};
                    if (::poll(&s, 1, -1) > 0) {
                        stop_.Drain();
                        return Fail(0);
                    }
                    continue;
                }
                hungUp_ = true;
                std::lock_guard<std::mutex> lock(errorMutex_);
                errors_ |= CE_IOE;
                events |= EV_ERR;
            }
            const int now = Pending();
            if ((mask & EV_RXCHAR) && now > reportedPending_) events |= EV_RXCHAR;
            const int full = static_cast<int>(inQueue_ / 5 * 4);
            if (full > 0 && now >= full && reportedPending_ < full) events |= EV_RX80FULL;
            reportedPending_ = now;
            events |= LineChanges() | ErrorCounts();
            events &= mask;
            if (events) return true;
        }
    }

    void CancelWait() override { stop_.Signal(); }

    bool Read(char* buffer, uint32_t count, uint32_t& done) override {
        done = 0;
        int consumed = 0;
        while (done < count) {
            const ssize_t n = ::read(fd_, buffer + done, count - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EIO) break;  // EIO: the far end of a pty is closed
                return Fail();
            }
            if (n == 0) break;
            consumed += static_cast<int>(n);
            uint32_t kept = done;
            for (ssize_t i = 0; i < n; ++i) {
                const char c = buffer[done + static_cast<uint32_t>(i)];
                if (discardNull_ && c == 0) continue;
                buffer[kept++] = c;
            }
            done = kept;
        }
        // Only what the last event reported counts as reported: bytes that came in since then
        // still raise an event of their own.
        int reported = reportedPending_.load();
        while (
            !reportedPending_.compare_exchange_weak(reported, std::max(0, reported - consumed))) {
        }
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
        // Reads never block here, so there is nothing outstanding to abort.
        if (flags & PURGE_RXCLEAR) {
            ::tcflush(fd_, TCIFLUSH);
            reportedPending_ = 0;
        }
        if (flags & PURGE_TXCLEAR) ::tcflush(fd_, TCOFLUSH);
        return true;
    }

    int LastError() const override { return tLastError; }

private:
    int Pending() const {
        int n = 0;
        return ::ioctl(fd_, FIONREAD, &n) == 0 ? n : 0;
    }
    bool Fail(int error = -1) {
        tLastError = error < 0 ? errno : error;
        return false;
    }

    // Lines that moved since the last look. The driver's transition counters catch a pulse
    // that is over before the state is read; the state itself covers drivers without them.
    uint32_t LineChanges() {
        if (!hasModemLines_) return 0;
        uint32_t events = 0;
        int status = 0;
        if (::ioctl(fd_, TIOCMGET, &status) == 0) {
            const int changed = status ^ lastModem_;
            if (changed & TIOCM_CTS) events |= EV_CTS;
            if (changed & TIOCM_DSR) events |= EV_DSR;
            if (changed & TIOCM_CD) events |= EV_RLSD;
            if ((changed & TIOCM_RNG) && (status & TIOCM_RNG)) events |= EV_RING;
            lastModem_ = status;
        }
        return events;
    }

    // Line errors and breaks since the last look; they are kept for ClearCommError.
    uint32_t ErrorCounts() {
        if (!hasCounters_) return 0;
        serial_icounter_struct c{};
        if (::ioctl(fd_, TIOCGICOUNT, &c) != 0) return 0;
        uint32_t events = 0, errors = 0;
        if (c.cts != counters_.cts) events |= EV_CTS;
        if (c.dsr != counters_.dsr) events |= EV_DSR;
        if (c.dcd != counters_.dcd) events |= EV_RLSD;
        if (c.rng != counters_.rng) events |= EV_RING;
        if (c.frame != counters_.frame) errors |= CE_FRAME;
        if (c.overrun != counters_.overrun) errors |= CE_OVERRUN;
        if (c.parity != counters_.parity) errors |= CE_RXPARITY;
        if (c.buf_overrun != counters_.buf_overrun) errors |= CE_RXOVER;
        if (c.brk != counters_.brk) {
            errors |= CE_BREAK;
            events |= EV_BREAK;
        }
        if (errors & ~CE_BREAK) events |= EV_ERR;
        counters_ = c;
        if (errors) {
            std::lock_guard<std::mutex> lock(errorMutex_);
            errors_ |= errors;
        }
        return events;
    }

    int fd_;
    TEventFd stop_, lineChanged_;
    std::unique_ptr<TLineWatcher> watcher_;
    std::atomic<uint32_t> mask_{0}, inQueue_{0};
    bool hasModemLines_ = false, hasCounters_ = false;
    bool hungUp_ = false;  // the wait's own
    std::atomic<bool> discardNull_{false};
    int lastModem_ = 0;
    // Written by reads on the main thread and by the wait on the worker.
    std::atomic<int> reportedPending_{0};
    serial_icounter_struct counters_{};
    std::mutex errorMutex_;
    uint32_t errors_ = 0;
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
    // Root passes over the terminal's exclusive mode, so the lock that Linux serial programs
    // agree on is taken as well: a second station on the line would split its bytes with us.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        error = EBUSY;  // as the exclusive mode refuses an ordinary user
        ::close(fd);
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

std::vector<std::string> SerialDevicePaths(const std::string& ttyClass) {
    std::vector<std::string> paths;
    DIR* dir = ::opendir(ttyClass.c_str());
    if (!dir) return paths;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        const std::string sys = ttyClass + "/" + name;
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
    // ttyS2 before ttyS10: by name, then by the number at the end.
    auto split = [](const std::string& p) {
        size_t digits = p.size();
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(p[digits - 1]))) --digits;
        const std::string number = p.substr(digits);
        return std::make_tuple(p.substr(0, digits), number.size(), number);
    };
    std::sort(paths.begin(), paths.end(),
              [&](const std::string& a, const std::string& b) { return split(a) < split(b); });
    return paths;
}

}  // namespace platform
