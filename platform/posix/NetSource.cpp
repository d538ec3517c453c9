#include "platform/NetSource.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/posix/EventFd.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes a source holds for the reader, lines under way included; beyond them the sockets are
// left unread, so TCP holds the exchange back instead of the station's memory growing.
constexpr size_t kBufferCap = 1 << 20;
// A line under way longer than this is no call: it goes to the reader as a line cut off.
constexpr size_t kTailCap = 16 * 1024;
constexpr size_t kChunk = 64 * 1024;
// The login dialogue's bytes held while the station waits for a prompt.
constexpr size_t kPromptCap = 4096;
constexpr size_t kPromptLineMax = 80;
constexpr int kAnswersMax = 3;
constexpr auto kLoginQuiet = std::chrono::seconds(3);
constexpr auto kConnectTimeout = std::chrono::seconds(10);
constexpr int kFirstPause = 1, kLastPause = 60;
// A connection that lasted this long starts the pauses afresh when it drops.
constexpr auto kConnectionHeld = std::chrono::seconds(10);
// A failure that repeats the last one is logged again only after this long.
constexpr auto kRepeatNotice = std::chrono::minutes(10);
constexpr auto kRefusalNotice = std::chrono::minutes(1);
constexpr size_t kRefusalsRemembered = 32;
constexpr size_t kAllowEntriesMax = 64;
constexpr int kLookupFailed = -1;

thread_local int tLastError = 0;

bool StartsNoCase(const std::string& s, const char* prefix) {
    const size_t n = std::strlen(prefix);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
    return true;
}

std::string TrimBlanks(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// The one translation of a connection's errno for the log.
std::string Reason(int e) {
    switch (e) {
        case 0:
            return "\xf1\xee\xe5\xe4\xe8\xed\xe5\xed\xe8\xe5 \xe7\xe0\xea\xf0\xfb\xf2\xee "
                   "\xc0\xd2\xd1";  // "соединение закрыто АТС"
        case kLookupFailed:
            return "\xe8\xec\xff \xed\xe5 \xed\xe0\xe9\xe4\xe5\xed\xee";  // "имя не найдено"
        case ECONNREFUSED:
            return "\xf1\xee\xe5\xe4\xe8\xed\xe5\xed\xe8\xe5 "
                   "\xee\xf2\xe2\xe5\xf0\xe3\xed\xf3\xf2\xee";  // "соединение отвергнуто"
        case ETIMEDOUT:
            return "\xed\xe5\xf2 \xee\xf2\xe2\xe5\xf2\xe0";  // "нет ответа"
        case ECONNRESET:
        case EPIPE:
            return "\xf1\xee\xe5\xe4\xe8\xed\xe5\xed\xe8\xe5 "
                   "\xf1\xe1\xf0\xee\xf8\xe5\xed\xee";  // "соединение сброшено"
        case EHOSTUNREACH:
        case EHOSTDOWN:
            return "\xf3\xe7\xe5\xeb \xed\xe5\xe4\xee\xf1\xf2\xf3\xef\xe5\xed";  // "узел
                                                                                 // недоступен"
        case ENETUNREACH:
        case ENETDOWN:
            return "\xf1\xe5\xf2\xfc \xed\xe5\xe4\xee\xf1\xf2\xf3\xef\xed\xe0";  // "сеть
                                                                                 // недоступна"
        default:
            return std::strerror(e);
    }
}

// "АТС " before every notice of a source.
const char kExchange[] = "\xc0\xd2\xd1 ";

std::string RetryText(int seconds) {
    return "), \xef\xee\xe2\xf2\xee\xf0 \xf7\xe5\xf0\xe5\xe7 " + std::to_string(seconds) +
           " \xf1";  // "), повтор через N с"
}

// An IPv4 address mapped into IPv6 is reported as the IPv4 address it is.
bool MappedV4(const in6_addr& a) {
    return IN6_IS_ADDR_V4MAPPED(&a);
}

std::string AddressText(const sockaddr_storage& ss) {
    char buf[INET6_ADDRSTRLEN] = {};
    if (ss.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(ss).sin_addr, buf, sizeof buf);
    } else if (ss.ss_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6&>(ss).sin6_addr;
        if (MappedV4(a))
            ::inet_ntop(AF_INET, a.s6_addr + 12, buf, sizeof buf);
        else
            ::inet_ntop(AF_INET6, &a, buf, sizeof buf);
    }
    return buf;
}

std::string PeerText(const sockaddr_storage& ss) {
    const std::string address = AddressText(ss);
    const uint16_t port = ss.ss_family == AF_INET6
                              ? ntohs(reinterpret_cast<const sockaddr_in6&>(ss).sin6_port)
                              : ntohs(reinterpret_cast<const sockaddr_in&>(ss).sin_port);
    const bool v6 = address.find(':') != std::string::npos;
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(std::exchange(fd, -1));
}

// A dead peer (cable pulled, exchange powered off) is noticed within about seconds: probes
// after two fifths of it, then three more a fifth apart.
void UseKeepAlive(int fd, int seconds) {
    const int on = 1, idle = std::max(1, seconds * 2 / 5), interval = std::max(1, seconds / 5),
              count = 3;
    const unsigned timeoutMs = static_cast<unsigned>(seconds) * 1000u;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    // The same limit for the login answers that wait for an acknowledgement.
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeoutMs, sizeof timeoutMs);
}

int MsUntil(Clock::time_point t) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(t - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, 24 * 3600 * 1000));
}

// " 30 мин" or, for a period that is no whole number of minutes, " 90 с".
std::string PeriodText(std::chrono::milliseconds period) {
    const long long ms = period.count();
    if (ms % 60000 == 0) return " " + std::to_string(ms / 60000) + " \xec\xe8\xed";
    return " " + std::to_string((ms + 999) / 1000) + " \xf1";
}

// One connection's socket, when it last sent a byte, and the bytes of its line under way.
struct TConnection {
    explicit TConnection(int fd) : Fd(fd), LastByte(Clock::now()) {}
    ~TConnection() { CloseFd(Fd); }
    TConnection(const TConnection&) = delete;
    TConnection& operator=(const TConnection&) = delete;

    int Fd;
    Clock::time_point LastByte;
    bool Ended = false;
    int Error = 0;     // why it ended: 0 when the peer closed it, else the errno
    std::string Tail;  // received after its last line end, not the reader's yet
    std::string Address, Peer;
};

// Bytes received, the notices and the line cut: what the reader takes, under one lock, with
// the worker's wait around it. Subclasses own the sockets.
class TNetDevice : public TSerialDevice {
public:
    TNetDevice(std::string name, int idleMs) : name_(std::move(name)), idle_(idleMs) {}

    bool SetupComm(uint32_t, uint32_t) override { return true; }
    bool SetCommState(const TDcb&) override { return true; }
    bool SetCommTimeouts(const TCommTimeouts&) override { return true; }
    bool SetCommMask(uint32_t mask) override {
        mask_ = mask;
        if (mask == 0) stop_.Signal();  // completes an outstanding wait
        return true;
    }

    bool WaitCommEvent(uint32_t& events) override {
        events = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        // The batch that carried a cut has been handled: bytes after it may come.
        if (cut_ == TCut::Reported) cut_ = TCut::None;
        for (;;) {
            Settle();
            events = Ready();
            if (events) return true;
            std::vector<pollfd> fds{{stop_.fd(), POLLIN, 0}};
            const int timeout = Prepare(fds);
            lock.unlock();
            const int n = ::poll(fds.data(), fds.size(), timeout);
            const int error = errno;
            lock.lock();
            if (n < 0 && error != EINTR) return Fail(error);
            if (fds[0].revents & POLLIN) {
                stop_.Drain();
                return Fail(0);
            }
            Serve(fds);
        }
    }

    void CancelWait() override { stop_.Signal(); }

    bool Read(char* buffer, uint32_t count, uint32_t& done) override {
        std::lock_guard<std::mutex> lock(mutex_);
        done = static_cast<uint32_t>(std::min<size_t>(count, buffer_.size()));
        std::memcpy(buffer, buffer_.data(), done);
        buffer_.erase(0, done);
        reported_ = reported_ > done ? reported_ - done : 0;
        return true;
    }

    // Also takes what the sockets hold now, so a reader that drains the port before closing
    // it gets every byte the machine has received.
    bool ClearCommError(uint32_t& errors, uint32_t& inQueue) override {
        std::lock_guard<std::mutex> lock(mutex_);
        PullAll();
        errors = 0;
        inQueue = static_cast<uint32_t>(buffer_.size());
        return true;
    }

    bool GetCommModemStatus(uint32_t& status) override {
        status = 0;  // a socket has no modem lines
        return true;
    }

    bool PurgeComm(uint32_t flags) override {
        if (flags & PURGE_RXCLEAR) {
            std::lock_guard<std::mutex> lock(mutex_);
            buffer_.clear();
            reported_ = 0;
        }
        return true;
    }

    int LastError() const override { return tLastError; }

    std::vector<std::string> TakeNotices() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(notices_, {});
    }

protected:
    // Worker, under the lock: the descriptors to watch beside the cancel and the time limit
    // of the wait (-1 for none); then what the wait reported.
    virtual int Prepare(std::vector<pollfd>& fds) = 0;
    virtual void Serve(const std::vector<pollfd>& fds) = 0;
    // Worker, under the lock, before every look at what is ready: connections that ended or
    // stayed silent too long go.
    virtual void Settle() = 0;
    // Under the lock: every connection's bytes that can be taken now.
    virtual void PullAll() = 0;
    // Under the lock: bytes read from a connection.
    virtual void Received(TConnection& c, const char* data, size_t size) = 0;
    // Bytes received and held outside the reader's buffer.
    virtual size_t HeldAside() const { return 0; }

    void Notice(std::string text) { notices_.push_back(std::move(text)); }
    // A line the exchange was sending is cut off here; the reader learns it after the bytes
    // before it and before any later byte.
    void Cut() {
        if (cut_ == TCut::None) cut_ = TCut::Pending;
    }
    bool CutFree() const { return cut_ == TCut::None; }
    // Room for more received bytes: the source holds no more than its cap, and beyond it the
    // sockets are left unread, so TCP holds the exchange back.
    size_t Room() const {
        const size_t held = buffer_.size() + HeldAside();
        return held < kBufferCap ? kBufferCap - held : 0;
    }
    bool MayRead(const TConnection& c) const { return !c.Ended && CutFree() && Room() > 0; }
    bool Watch(std::vector<pollfd>& fds, const TConnection& c) {
        if (!MayRead(c)) return false;
        fds.push_back({c.Fd, POLLIN, 0});
        return true;
    }
    // Under the lock: moves what the connection holds to Received, in at most reads chunks.
    void Pull(TConnection& c, size_t reads = SIZE_MAX) {
        for (size_t i = 0; i < reads && MayRead(c);) {
            chunk_.resize(std::min(kChunk, Room()));
            const ssize_t n = ::recv(c.Fd, chunk_.data(), chunk_.size(), MSG_DONTWAIT);
            if (n > 0) {
                ++i;
                c.LastByte = Clock::now();
                Received(c, chunk_.data(), static_cast<size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
                c.Ended = true;
                c.Error = n == 0 ? 0 : errno;
            } else if (errno != EINTR) {
                break;
            }
        }
    }
    // Whether a connection has said nothing for the idle period; a source whose reader has
    // not made room is not reading, so its peers are not silent.
    bool Idle(const TConnection& c) const {
        return idle_.count() > 0 && !c.Ended && Room() > 0 && Clock::now() - c.LastByte >= idle_;
    }
    // The wait until the connection's idle period ends (-1: none).
    int IdleWait(const TConnection& c) const {
        return idle_.count() > 0 && !c.Ended && Room() > 0 ? MsUntil(c.LastByte + idle_) : -1;
    }
    bool Fail(int error) {
        tLastError = error;
        return false;
    }

    const std::string name_;
    const std::chrono::milliseconds idle_;
    std::mutex mutex_;
    std::string buffer_;

private:
    enum class TCut { None, Pending, Reported };
    uint32_t Ready() {
        uint32_t events = 0;
        const uint32_t mask = mask_;
        if (buffer_.size() > reported_ && (mask & EV_RXCHAR)) events |= EV_RXCHAR;
        reported_ = buffer_.size();
        if (cut_ == TCut::Pending) {
            // A reader that is not told of breaks has nothing to keep apart.
            cut_ = (mask & EV_BREAK) ? TCut::Reported : TCut::None;
            if (mask & EV_BREAK) events |= EV_BREAK;
        }
        if (!notices_.empty()) events |= EV_NOTICE;
        return events;
    }

    TEventFd stop_;
    std::atomic<uint32_t> mask_{0};
    size_t reported_ = 0;
    TCut cut_ = TCut::None;
    std::vector<std::string> notices_;
    std::string chunk_;
};

// The shorter of two waits, -1 standing for none.
int ShorterWait(int a, int b) {
    if (a < 0) return b;
    if (b < 0) return a;
    return std::min(a, b);
}

// A name lookup on a thread of its own; the wait watches its eventfd. Abandoned by a close,
// it finishes on its own.
struct TLookup {
    TEventFd Done;
    std::mutex Mutex;
    bool Finished = false;
    int Error = 0;
    std::vector<std::pair<sockaddr_storage, socklen_t>> Addresses;

    static std::shared_ptr<TLookup> Start(const std::string& host, uint16_t port) {
        auto lookup = std::make_shared<TLookup>();
        std::thread([lookup, host, port] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            hints.ai_flags = AI_NUMERICSERV;
            addrinfo* result = nullptr;
            const int r =
                ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &result);
            std::lock_guard<std::mutex> lock(lookup->Mutex);
            for (const addrinfo* a = result; a; a = a->ai_next) {
                sockaddr_storage ss{};
                std::memcpy(&ss, a->ai_addr, a->ai_addrlen);
                lookup->Addresses.emplace_back(ss, a->ai_addrlen);
            }
            if (result) ::freeaddrinfo(result);
            lookup->Error = r == 0 && !lookup->Addresses.empty() ? 0 : kLookupFailed;
            lookup->Finished = true;
            lookup->Done.Signal();
        }).detach();
        return lookup;
    }
};

// tcp://HOST:PORT: the station connects to the exchange, answers its login prompts, and
// reconnects whenever the connection drops, cannot be made, or stays silent too long.
class TTcpSource : public TNetDevice {
public:
    TTcpSource(std::string name, TNetEndpoint endpoint, TNetOptions options)
        : TNetDevice(std::move(name), options.IdleMs),
          endpoint_(std::move(endpoint)),
          options_(std::move(options)) {}
    ~TTcpSource() override { CloseFd(connecting_); }

protected:
    int Prepare(std::vector<pollfd>& fds) override {
        switch (state_) {
            case TState::Resolve:
                lookup_ = TLookup::Start(endpoint_.Host, endpoint_.Port);
                state_ = TState::Resolving;
                [[fallthrough]];
            case TState::Resolving:
                fds.push_back({lookup_->Done.fd(), POLLIN, 0});
                return -1;
            case TState::Connecting:
                fds.push_back({connecting_, POLLOUT, 0});
                return MsUntil(deadline_);
            case TState::Connected:
                Watch(fds, *conn_);
                return ShorterWait(loginActive_ ? MsUntil(loginUntil_) : -1, IdleWait(*conn_));
            case TState::Pause:
                return MsUntil(retryAt_);
        }
        return -1;
    }

    void Serve(const std::vector<pollfd>& fds) override {
        const auto now = Clock::now();
        const short ready = fds.size() > 1 ? fds[1].revents : 0;
        switch (state_) {
            case TState::Resolve:
                break;
            case TState::Resolving: {
                std::lock_guard<std::mutex> lock(lookup_->Mutex);
                if (!lookup_->Finished) break;
                lookup_->Done.Drain();
                if (lookup_->Error != 0) {
                    AttemptFailed(lookup_->Error);
                } else {
                    addresses_ = lookup_->Addresses;
                    next_ = 0;
                    ConnectNext(ECONNREFUSED);
                }
                break;
            }
            case TState::Connecting:
                if (ready) {
                    int e = 0;
                    socklen_t len = sizeof e;
                    if (::getsockopt(connecting_, SOL_SOCKET, SO_ERROR, &e, &len) < 0) e = errno;
                    if (e == 0) {
                        Connected(std::exchange(connecting_, -1));
                    } else {
                        CloseFd(connecting_);
                        ConnectNext(e);
                    }
                } else if (now >= deadline_) {
                    CloseFd(connecting_);
                    ConnectNext(ETIMEDOUT);
                }
                break;
            case TState::Connected:
                if (ready) Pull(*conn_);
                if (loginActive_ && Clock::now() >= loginUntil_) EndLogin();
                break;
            case TState::Pause:
                if (now >= retryAt_) state_ = TState::Resolve;
                break;
        }
    }

    void Settle() override {
        if (!conn_) return;
        // A byte that came at the last moment keeps the connection.
        if (Idle(*conn_)) Pull(*conn_);
        if (conn_->Ended) {
            Dropped(conn_->Error);
            return;
        }
        if (!Idle(*conn_)) return;
        // The exchange may be quiet; a converter in front of it may have frozen. A new
        // connection costs nothing and tells which.
        Close();
        pause_ = kFirstPause;
        const int pause = NextPause();
        Notice(
            kExchange + name_ +
            ": \xf1\xee\xe5\xe4\xe8\xed\xe5\xed\xe8\xe5 \xe7\xe0\xea\xf0\xfb\xf2\xee (\xed\xe5\xf2 "
            "\xe4\xe0\xed\xed\xfb\xf5" +
            PeriodText(idle_) + RetryText(pause));  // ": соединение закрыто (нет данных"
        lastFailure_.clear();
    }

    void PullAll() override {
        if (conn_) Pull(*conn_);
    }

    void Received(TConnection&, const char* data, size_t size) override {
        if (!loginActive_) {
            // The line end that follows the password is the dialogue's, not an empty call.
            while (afterPassword_ && size > 0 && (*data == '\r' || *data == '\n')) ++data, --size;
            if (size > 0) afterPassword_ = false;
            buffer_.append(data, size);
            return;
        }
        held_.append(data, size);
        switch (PromptAtEnd(held_)) {
            case TPrompt::Password:
                Answer(options_.Password,
                       ": \xee\xf2\xef\xf0\xe0\xe2\xeb\xe5\xed "
                       "\xef\xe0\xf0\xee\xeb\xfc");  // ": отправлен пароль"
                // What follows the password is the exchange's output.
                EndLogin();
                afterPassword_ = true;
                break;
            case TPrompt::Login:
                Answer(options_.Login,
                       ": \xee\xf2\xef\xf0\xe0\xe2\xeb\xe5\xed\xee \xe8\xec\xff \xe4\xeb\xff "
                       "\xe2\xf5\xee\xe4\xe0");  // ": отправлено имя для входа"
                loginUntil_ = Clock::now() + kLoginQuiet;
                if (answers_ >= kAnswersMax) EndLogin();
                break;
            case TPrompt::None:
                if (held_.size() > kPromptCap) EndLogin();
                break;
        }
    }

private:
    enum class TState { Resolve, Resolving, Connecting, Connected, Pause };

    // The connection ended (0: closed by the peer, or its errno).
    void Dropped(int error) {
        Close();
        if (Clock::now() - connectedAt_ >= kConnectionHeld) pause_ = kFirstPause;
        const int pause = NextPause();
        Notice(kExchange + name_ +
               ": \xf1\xee\xe5\xe4\xe8\xed\xe5\xed\xe8\xe5 \xef\xee\xf2\xe5\xf0\xff\xed\xee (" +
               Reason(error) + RetryText(pause));  // ": соединение потеряно ("
        lastFailure_.clear();
    }

    // What the login dialogue held is the exchange's output; a line it was sending is cut.
    void Close() {
        if (loginActive_) EndLogin();
        conn_.reset();
        Cut();
    }

    // Tries the lookup's addresses in turn; when none is left the attempt has failed with the
    // last address's error.
    void ConnectNext(int lastError) {
        while (next_ < addresses_.size()) {
            const auto& [address, length] = addresses_[next_++];
            const int fd =
                ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) {
                lastError = errno;
                continue;
            }
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
                Connected(fd);
                return;
            }
            if (errno == EINPROGRESS || errno == EINTR) {
                connecting_ = fd;
                deadline_ = Clock::now() + kConnectTimeout;
                state_ = TState::Connecting;
                return;
            }
            lastError = errno;
            ::close(fd);
        }
        AttemptFailed(lastError);
    }

    void Connected(int fd) {
        UseKeepAlive(fd, options_.KeepAliveSeconds);
        conn_ = std::make_unique<TConnection>(fd);
        connectedAt_ = conn_->LastByte;
        state_ = TState::Connected;
        Notice(kExchange + name_ +
               ": \xf1\xee\xe5\xe4\xe8\xed\xe5\xed\xe8\xe5 "
               "\xf3\xf1\xf2\xe0\xed\xee\xe2\xeb\xe5\xed\xee");  // ": соединение установлено"
        loginActive_ = !options_.Login.empty() || !options_.Password.empty();
        loginUntil_ = connectedAt_ + kLoginQuiet;
        answers_ = 0;
        afterPassword_ = false;
        held_.clear();
    }

    void AttemptFailed(int error) {
        const int pause = NextPause();
        const std::string reason = Reason(error);
        const auto now = Clock::now();
        // Each longer pause is told; an exchange that stays away is not reported once a
        // minute for hours.
        if (reason != lastFailure_ || pause < kLastPause || now - lastFailureAt_ >= kRepeatNotice) {
            Notice(kExchange + name_ + ": \xed\xe5\xf2 \xf1\xee\xe5\xe4\xe8\xed\xe5\xed\xe8\xff (" +
                   reason + RetryText(pause));  // ": нет соединения ("
            lastFailure_ = reason;
            lastFailureAt_ = now;
        }
    }

    // The pause before the next attempt, doubling up to a minute.
    int NextPause() {
        const int pause = pause_;
        pause_ = std::min(pause_ * 2, kLastPause);
        retryAt_ = Clock::now() + std::chrono::seconds(pause);
        state_ = TState::Pause;
        return pause;
    }

    void Answer(const std::string& text, const char* what) {
        held_.clear();
        ++answers_;
        const std::string line = text + "\r\n";
        const ssize_t n = ::send(conn_->Fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n != static_cast<ssize_t>(line.size())) {
            // The connection is unusable; the next read reports how.
            ::shutdown(conn_->Fd, SHUT_RDWR);
            return;
        }
        Notice(kExchange + name_ + what);
    }

    // The prompts are over: what is held is the exchange's output.
    void EndLogin() {
        loginActive_ = false;
        buffer_ += held_;
        held_.clear();
    }

    const TNetEndpoint endpoint_;
    const TNetOptions options_;
    TState state_ = TState::Resolve;
    std::shared_ptr<TLookup> lookup_;
    std::vector<std::pair<sockaddr_storage, socklen_t>> addresses_;
    size_t next_ = 0;
    int connecting_ = -1;
    std::unique_ptr<TConnection> conn_;
    Clock::time_point deadline_, retryAt_, connectedAt_, loginUntil_, lastFailureAt_;
    int pause_ = kFirstPause;
    std::string lastFailure_;
    bool loginActive_ = false, afterPassword_ = false;
    int answers_ = 0;
    std::string held_;
};

// listen://[ADDRESS]:PORT: the exchange connects to the station. Every allowed address is
// served side by side, so a device that connects and says nothing cannot keep the exchange
// out; one connection per address, as a new one from the same address means the old one is
// stale. The reader gets whole lines only: lines of two connections never meet.
class TListenSource : public TNetDevice {
public:
    TListenSource(std::string name, int listener, TAddressList allow, const TNetOptions& options)
        : TNetDevice(std::move(name), options.IdleMs),
          listener_(listener),
          allow_(std::move(allow)),
          keepAlive_(options.KeepAliveSeconds) {}
    ~TListenSource() override { CloseFd(listener_); }

    void NoticeAtOpen(std::string text) {
        std::lock_guard<std::mutex> lock(mutex_);
        Notice(std::move(text));
    }

protected:
    int Prepare(std::vector<pollfd>& fds) override {
        fds.push_back({listener_, POLLIN, 0});
        watched_.clear();
        int wait = -1;
        for (const auto& c : conns_) {
            if (Watch(fds, *c)) watched_.push_back(c.get());
            wait = ShorterWait(wait, IdleWait(*c));
        }
        return wait;
    }

    void Serve(const std::vector<pollfd>& fds) override {
        // One chunk from each connection in turn: a peer that floods cannot crowd out another.
        for (size_t i = 0; i < watched_.size(); ++i)
            if (fds[2 + i].revents) Pull(*watched_[i], 1);
        if (fds[1].revents & POLLIN) AcceptWaiting();
    }

    void Settle() override {
        for (auto it = conns_.begin(); it != conns_.end();) {
            TConnection& c = **it;
            // A byte that came at the last moment keeps the connection.
            if (Idle(c)) Pull(c);
            if (c.Ended && MayClose(c))
                it = Close(it, kExchange + c.Peer +
                                   " \xee\xf2\xea\xeb\xfe\xf7\xe8\xeb\xe0\xf1\xfc (" +
                                   Reason(c.Error) + ")");  // " отключилась ("
            else if (Idle(c) && MayClose(c))
                it = Close(it, kExchange + c.Peer +
                                   " \xee\xf2\xea\xeb\xfe\xf7\xe5\xed\xe0 (\xed\xe5\xf2 "
                                   "\xe4\xe0\xed\xed\xfb\xf5" +
                                   PeriodText(idle_) + ")");  // " отключена (нет данных"
            else
                ++it;
        }
    }

    void PullAll() override {
        for (const auto& c : conns_) Pull(*c);
    }

    // The connection's lines go to the reader as they end; the rest waits in its tail.
    void Received(TConnection& c, const char* data, size_t size) override {
        c.Tail.append(data, size);
        size_t end = c.Tail.rfind('\r');
        if (end != std::string::npos) {
            ++end;
            if (end < c.Tail.size() && c.Tail[end] == '\n') ++end;
            buffer_.append(c.Tail, 0, end);
            c.Tail.erase(0, end);
        }
        if (c.Tail.size() >= kTailCap) {
            // No call line is this long: the peer sends no line ends. What it sent is kept,
            // as a line cut off.
            buffer_ += c.Tail;
            c.Tail.clear();
            Cut();
        }
    }

    size_t HeldAside() const override {
        size_t held = 0;
        for (const auto& c : conns_) held += c->Tail.size();
        return held;
    }

private:
    using TConnections = std::vector<std::unique_ptr<TConnection>>;

    void AcceptWaiting() {
        // A cut reaches the reader before a new connection may take another's place.
        for (int i = 0; i < 16 && CutFree(); ++i) {
            sockaddr_storage ss{};
            socklen_t len = sizeof ss;
            const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&ss), &len,
                                     SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                return;
            }
            const std::string address = AddressText(ss);
            if (!allow_.Allows(address)) {
                ::close(fd);
                // "подключение с адреса ... отклонено: адреса нет в списке Allow"
                Refused(address,
                        "\xef\xee\xe4\xea\xeb\xfe\xf7\xe5\xed\xe8\xe5 \xf1 "
                        "\xe0\xe4\xf0\xe5\xf1\xe0 " +
                            address +
                            " \xee\xf2\xea\xeb\xee\xed\xe5\xed\xee: "
                            "\xe0\xe4\xf0\xe5\xf1\xe0 \xed\xe5\xf2 \xe2 "
                            "\xf1\xef\xe8\xf1\xea\xe5 Allow");
                continue;
            }
            UseKeepAlive(fd, keepAlive_);
            auto conn = std::make_unique<TConnection>(fd);
            conn->Address = address;
            conn->Peer = PeerText(ss);
            const auto same = std::find_if(conns_.begin(), conns_.end(),
                                           [&](const auto& c) { return c->Address == address; });
            if (same != conns_.end()) {
                // The exchange came back while its old connection looked alive: that one is
                // stale. Its last bytes are kept before it goes.
                Pull(**same);
                Close(same,
                      kExchange + conn->Peer +
                          " \xef\xee\xe4\xea\xeb\xfe\xf7\xe8\xeb\xe0\xf1\xfc "
                          "\xe7\xe0\xed\xee\xe2\xee, \xef\xf0\xe5\xe6\xed\xe5\xe5 "
                          "\xf1\xee\xe5\xe4\xe8\xed\xe5\xed\xe8\xe5 "
                          "\xe7\xe0\xea\xf0\xfb\xf2\xee");  // " подключилась заново, прежнее
                                                            // соединение закрыто"
            } else {
                MakeRoomFor(conn->Peer);
                Notice(kExchange + conn->Peer +
                       " \xef\xee\xe4\xea\xeb\xfe\xf7\xe8\xeb\xe0\xf1\xfc \xea " +
                       name_);  // " подключилась к "
            }
            conns_.push_back(std::move(conn));
        }
    }

    // With every place taken, the connection silent longest goes: a peer that sends nothing
    // holds a place only while no one else needs it.
    void MakeRoomFor(const std::string& peer) {
        auto oldest = conns_.end();
        int live = 0;
        for (auto it = conns_.begin(); it != conns_.end(); ++it) {
            if ((*it)->Ended) continue;
            ++live;
            if (oldest == conns_.end() || (*it)->LastByte < (*oldest)->LastByte) oldest = it;
        }
        if (live < kListenConnectionsMax) return;
        Pull(**oldest);
        Close(oldest, kExchange + (*oldest)->Peer +
                          " \xee\xf2\xea\xeb\xfe\xf7\xe5\xed\xe0 (\xec\xee\xeb\xf7\xe0\xeb\xe0 "
                          "\xe4\xee\xeb\xfc\xf8\xe5 \xe4\xf0\xf3\xe3\xe8\xf5, \xec\xe5\xf1\xf2\xee "
                          "\xee\xf2\xe4\xe0\xed\xee " +
                          peer + ")");  // " отключена (молчала дольше других, место отдано "
    }

    // A line under way goes to the reader only when nothing waits to be cut before it.
    bool MayClose(const TConnection& c) const { return c.Tail.empty() || CutFree(); }

    // The connection goes; the line it was sending reaches the reader cut off, never joined
    // to another's.
    TConnections::iterator Close(TConnections::iterator it, std::string text) {
        TConnection& c = **it;
        const bool unfinished = c.Tail.find_first_not_of('\n') != std::string::npos;
        buffer_ += c.Tail;
        if (unfinished) Cut();
        Notice(std::move(text));
        return conns_.erase(it);
    }

    // A scan or a misconfigured exchange knocking every second is told once a minute.
    void Refused(const std::string& address, std::string text) {
        const auto now = Clock::now();
        const auto it = refusals_.find(address);
        if (it != refusals_.end() && now - it->second < kRefusalNotice) return;
        if (refusals_.size() >= kRefusalsRemembered) refusals_.clear();
        refusals_[address] = now;
        Notice(std::move(text));
    }

    int listener_;
    const TAddressList allow_;
    const int keepAlive_;
    TConnections conns_;
    std::vector<TConnection*> watched_;  // in the order of the wait's descriptors
    std::map<std::string, Clock::time_point> refusals_;
};

// A listening socket on the endpoint: every address of both families when none is given.
int Listen(const TNetEndpoint& e, int& error) {
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (e.Host.empty()) {
        auto& a6 = reinterpret_cast<sockaddr_in6&>(ss);
        a6.sin6_family = AF_INET6;
        a6.sin6_addr = in6addr_any;
        a6.sin6_port = htons(e.Port);
        len = sizeof a6;
    } else {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
        addrinfo* result = nullptr;
        if (::getaddrinfo(e.Host.c_str(), std::to_string(e.Port).c_str(), &hints, &result) != 0 ||
            !result) {
            error = EADDRNOTAVAIL;
            return -1;
        }
        std::memcpy(&ss, result->ai_addr, result->ai_addrlen);
        len = result->ai_addrlen;
        ::freeaddrinfo(result);
    }
    int fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 && e.Host.empty() && errno == EAFNOSUPPORT) {
        // No IPv6 on this machine: every IPv4 address then.
        auto& a4 = reinterpret_cast<sockaddr_in&>(ss);
        ss = {};
        a4.sin_family = AF_INET;
        a4.sin_addr.s_addr = htonl(INADDR_ANY);
        a4.sin_port = htons(e.Port);
        len = sizeof a4;
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    }
    if (fd < 0) {
        error = errno;
        return -1;
    }
    const int on = 1, off = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (ss.ss_family == AF_INET6 && e.Host.empty())
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&ss), len) != 0 || ::listen(fd, 8) != 0) {
        error = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

bool ParseNetwork(const std::string& entry, TAddressList::TNetwork& n) {
    const size_t slash = entry.find('/');
    const std::string address = TrimBlanks(entry.substr(0, slash));
    in_addr a4{};
    in6_addr a6{};
    int max = 0;
    if (::inet_pton(AF_INET, address.c_str(), &a4) == 1) {
        n.V6 = false;
        std::memcpy(n.Bytes, &a4, 4);
        max = 32;
    } else if (::inet_pton(AF_INET6, address.c_str(), &a6) == 1) {
        n.V6 = true;
        std::memcpy(n.Bytes, &a6, 16);
        max = 128;
    } else {
        return false;
    }
    n.Prefix = max;
    if (slash != std::string::npos) {
        const std::string bits = TrimBlanks(entry.substr(slash + 1));
        if (bits.empty() || bits.size() > 3 ||
            bits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        n.Prefix = std::stoi(bits);
        if (n.Prefix > max) return false;
    }
    if (n.V6 && MappedV4(a6) && n.Prefix >= 96) {
        n.V6 = false;
        std::memmove(n.Bytes, n.Bytes + 12, 4);
        n.Prefix -= 96;
    }
    return true;
}

bool Matches(const TAddressList::TNetwork& n, const uint8_t* bytes) {
    const int whole = n.Prefix / 8, rest = n.Prefix % 8;
    if (std::memcmp(n.Bytes, bytes, static_cast<size_t>(whole)) != 0) return false;
    if (rest == 0) return true;
    const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return (n.Bytes[whole] & mask) == (bytes[whole] & mask);
}

}  // namespace

bool IsNetworkPortName(const std::string& name) {
    return StartsNoCase(name, "tcp://") || StartsNoCase(name, "listen://");
}

std::optional<TNetEndpoint> ParseNetworkPortName(const std::string& name) {
    TNetEndpoint e;
    std::string rest;
    if (StartsNoCase(name, "tcp://")) {
        rest = name.substr(6);
    } else if (StartsNoCase(name, "listen://")) {
        e.Listen = true;
        rest = name.substr(9);
    } else {
        return std::nullopt;
    }
    std::string port;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos || rest.compare(close + 1, 1, ":") != 0) return std::nullopt;
        e.Host = rest.substr(1, close - 1);
        port = rest.substr(close + 2);
        in6_addr a6{};
        if (::inet_pton(AF_INET6, e.Host.c_str(), &a6) != 1) return std::nullopt;
    } else {
        const size_t colon = rest.rfind(':');
        if (colon == std::string::npos) return std::nullopt;
        e.Host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        // Names and IPv4 addresses; an IPv6 address needs its brackets.
        for (char c : e.Host)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
                return std::nullopt;
    }
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int number = std::stoi(port);
    if (number < 1 || number > 65535 || e.Host.size() > 253) return std::nullopt;
    if (!e.Listen && e.Host.empty()) return std::nullopt;
    e.Port = static_cast<uint16_t>(number);
    return e;
}

TAddressList TAddressList::Parse(const std::string& text, std::vector<std::string>& bad) {
    TAddressList list;
    bad.clear();
    if (TrimBlanks(text).empty()) {
        TNetwork loop4, loop6;
        ParseNetwork("127.0.0.0/8", loop4);
        ParseNetwork("::1", loop6);
        list.networks_ = {loop4, loop6};
        return list;
    }
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string entry = TrimBlanks(text.substr(start, comma - start));
        start = comma + 1;
        if (entry.empty()) continue;
        TNetwork n;
        if (list.networks_.size() < kAllowEntriesMax && ParseNetwork(entry, n))
            list.networks_.push_back(n);
        else
            bad.push_back(entry);
    }
    return list;
}

bool TAddressList::Allows(const std::string& address) const {
    in_addr a4{};
    in6_addr a6{};
    uint8_t bytes[16] = {};
    bool v6 = false;
    if (::inet_pton(AF_INET, address.c_str(), &a4) == 1) {
        std::memcpy(bytes, &a4, 4);
    } else if (::inet_pton(AF_INET6, address.c_str(), &a6) == 1) {
        v6 = !MappedV4(a6);
        std::memcpy(bytes, v6 ? a6.s6_addr : a6.s6_addr + 12, v6 ? 16 : 4);
    } else {
        return false;
    }
    return std::any_of(networks_.begin(), networks_.end(),
                       [&](const TNetwork& n) { return n.V6 == v6 && Matches(n, bytes); });
}

TPrompt PromptAtEnd(const std::string& bytes) {
    const size_t brk = bytes.find_last_of("\r\n");
    const std::string tail = brk == std::string::npos ? bytes : bytes.substr(brk + 1);
    if (tail.size() > kPromptLineMax) return TPrompt::None;
    std::string lower;
    for (char c : tail) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.find("password") != std::string::npos) return TPrompt::Password;
    if (lower.find("login") != std::string::npos || lower.find("user") != std::string::npos)
        return TPrompt::Login;
    return TPrompt::None;
}

std::unique_ptr<TSerialDevice> OpenNetworkDevice(const std::string& name,
                                                 const TNetOptions& options, int& error) {
    const auto endpoint = ParseNetworkPortName(name);
    if (!endpoint) {
        error = EINVAL;
        return nullptr;
    }
    error = 0;
    if (!endpoint->Listen) return std::make_unique<TTcpSource>(name, *endpoint, options);
    std::vector<std::string> bad;
    TAddressList allow = TAddressList::Parse(options.Allow, bad);
    const int listener = Listen(*endpoint, error);
    if (listener < 0) return nullptr;
    auto device = std::make_unique<TListenSource>(name, listener, std::move(allow), options);
    for (const std::string& entry : bad)
        device->NoticeAtOpen(
            "Allow: \xed\xe5\xe2\xe5\xf0\xed\xe0\xff \xe7\xe0\xef\xe8\xf1\xfc \xab" + entry +
            "\xbb \xef\xf0\xee\xef\xf3\xf9\xe5\xed\xe0");  // "Allow: неверная запись «...»
                                                           // пропущена"
    return device;
}

}  // namespace platform
