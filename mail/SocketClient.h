#pragma once
// TCP client base of the mail client. Every wait is a loop of short socket polls that keeps the
// main thread's messages flowing, so the window, timers and Abort stay live during a session.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "mail/MailFailure.h"
#include "platform/Socket.h"
#include "platform/Tls.h"

class QTimer;

// The line to the server failed: a socket error, no connection, a time-out, or a peer that
// does not speak the protocol. Errors without a kind of their own are connection failures.
class ESockError : public EMailError {
public:
    explicit ESockError(const std::string& message)
        : EMailError(TMailFailure::ConnectionFailed, message) {}
    ESockError(TMailFailure kind, const std::string& message, std::string reply = {},
               std::string detail = {}, int timeOutMs = 0)
        : EMailError(kind, message, std::move(reply), std::move(detail), timeOutMs) {}
};

// A wait ended by Abort, the station's way of stopping a session; a time-out is an ESockError.
class EAbortError : public EMailError {
public:
    explicit EAbortError(const std::string& message) : EMailError(TMailFailure::Aborted, message) {}
};

// The encrypted connection could not be made or kept: the handshake, the certificate, or a
// server that offers no encryption where it is required.
class ETlsError : public ESockError {
public:
    explicit ETlsError(const std::string& message, std::string reply = {})
        : ESockError(TMailFailure::Tls, message, std::move(reply)) {}
};

// "12345:Text" for a socket error number, as users of the mail settings see it.
std::string SocketErrorMessage(int error);

// A timer whose OnTimer runs on the main thread while its messages are processed.
class TThreadTimer {
public:
    TThreadTimer();
    ~TThreadTimer();
    TThreadTimer(const TThreadTimer&) = delete;
    TThreadTimer& operator=(const TThreadTimer&) = delete;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    int Interval() const { return interval_; }
    void SetInterval(int ms);
    const std::function<void()>& OnTimer() const { return onTimer_; }
    void SetOnTimer(std::function<void()> handler);

private:
    void Update();

    bool enabled_ = true;
    int interval_ = 1000;
    std::function<void()> onTimer_;
    std::unique_ptr<QTimer> timer_;
};

class TSocketClient {
public:
    TSocketClient();
    virtual ~TSocketClient();
    TSocketClient(const TSocketClient&) = delete;
    TSocketClient& operator=(const TSocketClient&) = delete;

    const std::string& Host() const { return host_; }
    void SetHost(const std::string& host) { host_ = host; }
    int Port() const { return port_; }
    void SetPort(int port) { port_ = port; }
    int TimeOut() const { return timeOut_; }
    void SetTimeOut(int ms) { timeOut_ = ms; }
    int ReportLevel() const { return reportLevel_; }
    void SetReportLevel(int level) { reportLevel_ = level; }
    // TLS from the first byte: Connect completes the handshake before it returns.
    bool ImplicitTls() const { return implicitTls_; }
    void SetImplicitTls(bool on) { implicitTls_ = on; }
    // The SHA-256 fingerprint (64 lower-case hex digits) of the one certificate to accept, for a
    // server whose certificate no authority has signed; empty: the system's store and the host
    // name.
    const std::string& TlsFingerprint() const { return tlsFingerprint_; }
    void SetTlsFingerprint(const std::string& hex) { tlsFingerprint_ = hex; }

    bool Connected() const { return connected_; }
    // Whether the connection is encrypted now.
    bool Secure() const { return tlsSession_.Valid(); }
    const std::string& Status() const { return status_; }
    int LastErrorNo() const { return lastError_; }
    uint32_t RemoteAddress() const { return remoteAddress_; }
    // Lines describing the socket library in use.
    const std::vector<std::string>& WSAInfo() const { return wsaInfo_; }

    // The last transaction's reply: number of its leading digits (0 for none), and the line.
    int16_t ReplyNumber() const { return replyNumber_; }
    const std::string& ReplyText() const { return replyText_; }

    // Stream send counters.
    uint64_t BytesTotal() const { return bytesTotal_; }
    uint64_t BytesSent() const { return bytesSent_; }

    void Connect();
    void Disconnect();
    void Abort();
    void Write(const std::string& text);
    void Writeln(const std::string& text);
    std::string ReadLn();
    void Transaction(const std::string& command);
    void SendStream(const std::string& stream);
    void CheckConnection();
    void ClearInput();
    // Turns the open connection into a TLS session and checks the server's certificate. On
    // failure the connection is closed, since neither side can go back to plain text.
    void StartTls();

    std::function<void()> OnConnect;
    std::function<void()> OnDisconnect;
    std::function<void(bool& handled)> OnInvalidHost;
    std::function<void()> OnHostResolved;
    std::function<void(const std::string& status)> OnStatus;
    std::function<void()> OnConnectionFailed;
    std::function<void()> OnPacketSent;
    // Fired with the message before a socket error is raised.
    std::function<void(int error, const std::string& message)> OnError;

protected:
    // The subclass's chance to react before "Not Connected" is raised.
    virtual void ConnectionRequired() {}
    // The TCP connection is up; fires OnConnect unless a subclass announces it later.
    virtual void SocketConnected();
    // Records a reply line read outside a transaction (greetings, continuation lines).
    void SetReply(const std::string& line);
    // Records a reply of several lines, its number from the first, without a status report.
    void KeepReply(const std::string& text);
    void ClearCancel() { canceled_ = false; }
    void StatusMessage(int level, const std::string& text);

    // Waits inside one scope share a single time-out: a reply of many lines, or a command and
    // its reply, must come whole within TimeOut, not line by line.
    class TTimeOutScope {
    public:
        explicit TTimeOutScope(TSocketClient& client) : client_(client) { client_.ArmTimer(); }
        ~TTimeOutScope() { client_.DisarmTimer(); }
        TTimeOutScope(const TTimeOutScope&) = delete;
        TTimeOutScope& operator=(const TTimeOutScope&) = delete;

    private:
        TSocketClient& client_;
    };

    // This machine's name for introducing the client; looked up once per process.
    std::string LocalHostName();

private:
    void ResolveHost();
    void NewSocket();
    void ArmTimer();
    void DisarmTimer() noexcept;
    void StopTimer() noexcept;
    void TimerFired();
    // The error for a wait that Abort or the time-out ended: an EAbortError with abortMessage,
    // or a time-out whose message is timeOutMessage followed by " within N s".
    [[noreturn]] void RaiseCanceled(const std::string& abortMessage, const char* timeOutMessage);
    // Raises the socket error for a number that is one (not would-block, above 10000).
    void RaiseIfError(int error);
    [[noreturn]] void RaiseHostNotFound();
    size_t SendAll(const char* data, size_t size);
    size_t SendRaw(const char* data, size_t size);
    // The connection's bytes, through the TLS session when there is one.
    long PeekIn(char* data, size_t size, int& error);
    long ReceiveIn(char* data, size_t size, int& error);
    // Moves what the socket has into the session and the plaintext out of it, without waiting.
    void PumpTls();
    void FlushTls();
    [[noreturn]] void FailTls(const std::string& message);
    void VerifyPeer();

    std::string host_;
    int port_ = 0;
    int timeOut_ = 0;
    int reportLevel_ = 0;
    bool implicitTls_ = false;
    std::string tlsFingerprint_;

    platform::TcpSocket socket_;
    platform::TlsContext tlsContext_;
    platform::TlsSession tlsSession_;
    std::string tlsInput_;  // plaintext the session has given and the reader not yet taken
    bool tlsClosed_ = false;
    uint32_t remoteAddress_ = 0;
    bool connected_ = false;
    bool canceled_ = false;
    bool timedOut_ = false;
    int timerDepth_ = 0;  // nested time-out scopes; the outermost one runs the timer
    bool lookupDone_ = false;
    bool noError_ = true;
    bool destroying_ = false;
    int lastError_ = 0;
    std::string status_;
    std::vector<std::string> wsaInfo_;
    std::vector<char> buffer_;
    TThreadTimer timer_;
    uint64_t bytesTotal_ = 0;
    uint64_t bytesSent_ = 0;
    int16_t replyNumber_ = 0;
    std::string replyText_;
};
