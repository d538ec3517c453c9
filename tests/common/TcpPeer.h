#pragma once
// The exchange's end of a network source on loopback: a listening or a connecting peer, with
// blocking calls bounded in time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>

class TPeerSocket {
public:
    TPeerSocket() = default;
    explicit TPeerSocket(int fd) : fd_(fd) {}
    ~TPeerSocket() { Close(); }
    TPeerSocket(TPeerSocket&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    TPeerSocket& operator=(TPeerSocket&& o) noexcept {
        if (this != &o) {
            Close();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    TPeerSocket(const TPeerSocket&) = delete;
    TPeerSocket& operator=(const TPeerSocket&) = delete;

    bool Valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void Close() {
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }
    bool Send(const std::string& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // One line the station typed, without its CR LF; nothing when none came in time.
    bool ReadLine(std::string& line, int ms) const {
        line.clear();
        char c = 0;
        while (Wait(ms) && ::recv(fd_, &c, 1, 0) == 1) {
            if (c == '\n') {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return true;
            }
            line += c;
        }
        return false;
    }
    // Whether bytes (or the end) wait to be read.
    bool Readable() const { return Wait(0); }
    // Whether the station closed its end within the time (what it sent meanwhile is dropped).
    bool ClosedByStation(int ms) const {
        char buf[256];
        while (Wait(ms)) {
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return true;
        }
        return false;
    }

private:
    bool Wait(int ms) const {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, ms) > 0;
    }
    int fd_ = -1;
};

inline sockaddr_in LoopbackAddress(const std::string& address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    return a;
}

class TPeerListener {
public:
    explicit TPeerListener(uint16_t port = 0, const std::string& address = "127.0.0.1") {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a = LoopbackAddress(address, port);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 8) != 0) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~TPeerListener() {
        if (fd_ >= 0) ::close(fd_);
    }
    TPeerListener(const TPeerListener&) = delete;
    TPeerListener& operator=(const TPeerListener&) = delete;

    bool Valid() const { return fd_ >= 0; }
    uint16_t Port() const { return port_; }
    // The station's connection, or an invalid socket when none came in time.
    TPeerSocket Accept(int ms) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return TPeerSocket();
        return TPeerSocket(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A connection to a listening station from the given loopback source address.
inline TPeerSocket ConnectFrom(const std::string& source, uint16_t port,
                               const std::string& address = "127.0.0.1") {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from = LoopbackAddress(source, 0);
    sockaddr_in to = LoopbackAddress(address, port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return TPeerSocket();
    }
    return TPeerSocket(fd);
}

// A loopback port nobody listens on at the moment.
inline uint16_t FreePort() {
    TPeerListener probe;
    return probe.Port();
}

// A peer that sends a byte now and then, on a thread of its own, until stopped or gone.
class TTrickle {
public:
    TTrickle(const TPeerSocket& peer, char byte, std::chrono::milliseconds every)
        : thread_([this, &peer, byte, every] {
              while (running_ && peer.Send(std::string(1, byte)))
                  std::this_thread::sleep_for(every);
          }) {}
    ~TTrickle() { Stop(); }
    TTrickle(const TTrickle&) = delete;
    TTrickle& operator=(const TTrickle&) = delete;
    void Stop() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
    }

private:
    std::atomic<bool> running_{true};
    std::thread thread_;
};
