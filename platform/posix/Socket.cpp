#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

namespace platform {
namespace {

// The one translation of errno into the Windows Sockets numbering.
int SockErrorFromErrno(int e) {
    static const std::pair<int, int> kMap[] = {
        {EINTR, 10004},        {EBADF, 10009},           {EACCES, 10013},
        {EFAULT, 10014},       {EINVAL, 10022},          {EMFILE, 10024},
        {ENFILE, 10024},       {EWOULDBLOCK, 10035},     {EAGAIN, 10035},
        {EINPROGRESS, 10036},  {EALREADY, 10037},        {ENOTSOCK, 10038},
        {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},
        {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
        {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},
        {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},
        {ENETUNREACH, 10051},  {ENETRESET, 10052},       {ECONNABORTED, 10053},
        {ECONNRESET, 10054},   {ENOBUFS, 10055},         {ENOMEM, 10055},
        {EISCONN, 10056},      {ENOTCONN, 10057},        {ESHUTDOWN, 10058},
        {EPIPE, 10058},        {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},
        {ECONNREFUSED, 10061}, {ELOOP, 10062},           {ENAMETOOLONG, 10063},
        {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},
        {EUSERS, 10068},       {EDQUOT, 10069},          {ESTALE, 10070},
        {EREMOTE, 10071},
    };
    for (const auto& [from, to] : kMap)
        if (from == e) return to;
    return 20000 + e;  // outside the table, so it reads as an unknown error with its errno
}

int LastError() {
    return SockErrorFromErrno(errno);
}

int LookupError(int gaiError) {
    switch (gaiError) {
        case 0:
            return 0;
        case EAI_NONAME:
            return 11001;
        case EAI_AGAIN:
            return 11002;
        case EAI_NODATA:
        case EAI_ADDRFAMILY:
            return 11004;
        case EAI_SYSTEM:
            return LastError();
        default:
            return 11003;
    }
}

bool WaitFor(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    int r;
    do {
        r = ::poll(&p, 1, ms);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

}  // namespace

TcpSocket::~TcpSocket() {
    Close();
}

TcpSocket::TcpSocket(TcpSocket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

TcpSocket TcpSocket::Create(int& error) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    error = fd < 0 ? LastError() : 0;
    if (fd >= 0) {
        // Commands and replies are small; waiting to coalesce them only adds latency.
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return TcpSocket(fd);
}

int TcpSocket::SetAbortiveClose() {
    const linger l{1, 0};
    return ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l) < 0 ? LastError() : 0;
}

int TcpSocket::Close() {
    if (fd_ < 0) return 0;
    const int r = ::close(std::exchange(fd_, -1));
    return r < 0 && errno != EINTR ? LastError() : 0;
}

int TcpSocket::StartConnect(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(address);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return 0;
    // A connect under way is "would block" in the numbering the callers use.
    if (errno == EINPROGRESS || errno == EINTR) return kSockWouldBlock;
    return LastError();
}

int TcpSocket::ConnectResult() {
    if (!WaitFor(fd_, POLLOUT, 0)) return kSockWouldBlock;
    int e = 0;
    socklen_t len = sizeof e;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &e, &len) < 0) return LastError();
    return e == 0 ? 0 : SockErrorFromErrno(e);
}

bool TcpSocket::WaitReadable(int ms) const {
    return WaitFor(fd_, POLLIN, ms);
}

bool TcpSocket::WaitWritable(int ms) const {
    return WaitFor(fd_, POLLOUT, ms);
}

long TcpSocket::Send(const char* data, size_t size, int& error) {
    const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
    error = n < 0 ? LastError() : 0;
    return n;
}

long TcpSocket::Peek(char* data, size_t size, int& error) {
    const ssize_t n = ::recv(fd_, data, size, MSG_PEEK);
    error = n < 0 ? LastError() : 0;
    return n;
}

long TcpSocket::Receive(char* data, size_t size, int& error) {
    const ssize_t n = ::recv(fd_, data, size, 0);
    error = n < 0 ? LastError() : 0;
    return n;
}

size_t TcpSocket::Pending() const {
    int n = 0;
    if (fd_ < 0 || ::ioctl(fd_, FIONREAD, &n) < 0 || n < 0) return 0;
    return static_cast<size_t>(n);
}

std::optional<uint32_t> ParseDottedAddress(const std::string& text) {
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
    return ntohl(a.s_addr);
}

struct HostLookup::State {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    int error = 0;
    uint32_t address = 0;
    std::string name;
};

namespace {

void Finish(HostLookup::State& s, int error, uint32_t address, std::string name) {
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.error = error;
        s.address = address;
        s.name = std::move(name);
        s.done = true;
    }
    s.changed.notify_all();
}

}  // namespace

HostLookup HostLookup::Address(const std::string& name) {
    auto state = std::make_shared<State>();
    std::thread([state, name] {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* result = nullptr;
        const int r = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
        uint32_t address = 0;
        if (r == 0 && result)
            address = ntohl(reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr);
        if (result) ::freeaddrinfo(result);
        Finish(*state, r == 0 && address == 0 ? 11004 : LookupError(r), address, {});
    }).detach();
    return HostLookup(state);
}

HostLookup HostLookup::LocalName() {
    auto state = std::make_shared<State>();
    std::thread([state] {
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) < 0) {
            Finish(*state, LastError(), 0, {});
            return;
        }
        std::string name = host;
        addrinfo hints{};
        hints.ai_flags = AI_CANONNAME;
        addrinfo* result = nullptr;
        if (::getaddrinfo(host, nullptr, &hints, &result) == 0 && result && result->ai_canonname) {
            const std::string canonical = result->ai_canonname;
            if (canonical.find('.') != std::string::npos) name = canonical;
        }
        if (result) ::freeaddrinfo(result);
        Finish(*state, 0, 0, std::move(name));
    }).detach();
    return HostLookup(state);
}

bool HostLookup::Wait(int ms) const {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(ms),
                                    [this] { return state_->done; });
}

int HostLookup::Error() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->error;
}

uint32_t HostLookup::AddressResult() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->address;
}

std::string HostLookup::NameResult() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->name;
}

int MaxSockets() {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) < 0 || r.rlim_cur == RLIM_INFINITY) return 32767;
    return static_cast<int>(r.rlim_cur);
}

bool NotifyServiceManager(const std::string& state) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (!name || !*name) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = std::strlen(name);
    if (length >= sizeof address.sun_path || (name[0] != '/' && name[0] != '@')) return false;
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@') address.sun_path[0] = '\0';
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    const ssize_t sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address), size);
    ::close(fd);
    return sent == static_cast<ssize_t>(state.size());
}

}  // namespace platform
