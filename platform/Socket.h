#pragma once
// TCP client sockets, host lookup and the local host name. Error numbers use the Windows
// Sockets numbering (10035 would-block, 10061 refused, ...) so the mail layer can report them
// in the form its users know; 0 means no error.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform {

constexpr int kSockWouldBlock = 10035;
constexpr int kSockNotConnected = 10057;

// A non-blocking IPv4 TCP socket; move-only, closed by the destructor.
class TcpSocket {
public:
    TcpSocket() = default;
    ~TcpSocket();
    TcpSocket(TcpSocket&& other) noexcept;
    TcpSocket& operator=(TcpSocket&& other) noexcept;
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // A fresh socket, or an invalid one with error set.
    static TcpSocket Create(int& error);
    bool Valid() const { return fd_ >= 0; }
    // Closing resets the connection at once instead of lingering over unsent data.
    int SetAbortiveClose();
    int Close();

    // Starts connecting; kSockWouldBlock while the connection is under way.
    int StartConnect(uint32_t address, uint16_t port);
    // The outcome of a connect under way: 0, kSockWouldBlock when still pending, or its error.
    int ConnectResult();

    // Waits at most ms milliseconds for readability or writability; true when ready.
    bool WaitReadable(int ms) const;
    bool WaitWritable(int ms) const;

    // Byte counts, or -1 with error set; 0 from Peek/Receive means the peer closed.
    long Send(const char* data, size_t size, int& error);
    long Peek(char* data, size_t size, int& error);
    long Receive(char* data, size_t size, int& error);
    // Bytes waiting to be read (0 when none or unknown).
    size_t Pending() const;

private:
    explicit TcpSocket(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// A dotted IPv4 address in host byte order, or nothing when the text is not one.
std::optional<uint32_t> ParseDottedAddress(const std::string& text);

// A name lookup run on a resolver thread; the main thread polls or waits briefly for it.
// Abandoning it before completion is safe: the thread finishes on its own.
class HostLookup {
public:
    // Looks up the IPv4 address of name.
    static HostLookup Address(const std::string& name);
    // Looks up this machine's name, fully qualified when the resolver knows one.
    static HostLookup LocalName();

    // Waits at most ms milliseconds; true once the lookup has completed.
    bool Wait(int ms) const;
    // After completion: 0 or the lookup error (11001 host not found, ...).
    int Error() const;
    uint32_t AddressResult() const;  // host byte order
    std::string NameResult() const;

    struct State;

private:
    explicit HostLookup(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

// Process-wide limits reported as the socket library's description.
int MaxSockets();

// Sends one state message ("READY=1", "WATCHDOG=1", "STATUS=...") to the service manager that
// started the program, through the datagram socket named by $NOTIFY_SOCKET (a path, or the
// abstract namespace after "@"). False when there is none or the message did not go out.
bool NotifyServiceManager(const std::string& state);

}  // namespace platform
