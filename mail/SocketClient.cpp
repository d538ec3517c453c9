#include "mail/SocketClient.h"

#include <QTimer>
#include <algorithm>
#include <cstring>

#include "platform/MessageLoop.h"

namespace {

constexpr size_t kBufferSize = 65536;
constexpr int kTurnMs = 2;           // longest sleep of one wait turn; readiness ends it early
constexpr size_t kTlsPiece = 16384;  // one TLS record
constexpr int kSockRefused = 10061;
constexpr int kSockHostNotFound = 11001;
constexpr const char* kNoReply = "No reply from the server";
constexpr const char* kNoDataTaken = "The server took no data";

const char* SocketErrorText(int error) {
    static const std::pair<int, const char*> kTexts[] = {
        {10004, "Interrupted system call"},
        {10009, "Bad file number"},
        {10013, "Permission denied"},
        {10014, "Bad address"},
        {10022, "Invalid argument"},
        {10024, "Too many open files"},
        {10035, "Operation would block"},
        {10036, "Operation now in progress"},
        {10037, "Operation already in progress"},
        {10038, "Socket operation on non-socket"},
        {10039, "Destination address required"},
        {10040, "Message too long"},
        {10041, "Wrong protocol type for socket"},
        {10042, "Bad protocol option"},
        {10043, "Protocol not supported"},
        {10044, "Socket type not supported"},
        {10045, "Operation not supported on socket"},
        {10046, "Protocol family not supported"},
        {10047, "Address family not supported by protocol family"},
        {10048, "Address already in use"},
        {10049, "Can't assign requested address"},
        {10050, "Network is down"},
        {10051, "Network is unreachable"},
        {10052, "Network dropped connection or reset"},
        {10053, "Software caused connection abort"},
        {10054, "Connection reset by peer"},
        {10055, "No buffer space available"},
        {10056, "Socket is already connected"},
        {10057, "Socket is not connected"},
        {10058, "Can't send after socket shutdown"},
        {10059, "Too many references, can't splice"},
        {10060, "Connection timed out"},
        {10061, "Connection refused"},
        {10062, "Too many levels of symbolic links"},
        {10063, "File name too long"},
        {10064, "Host is down"},
        {10065, "No route to Host"},
        {10066, "Directory not empty"},
        {10067, "Too many processes"},
        {10068, "Too many users"},
        {10069, "Disc quota exceeded"},
        {10070, "Stale NFS file handle"},
        {10071, "Too many levels of remote in path"},
        {10091, "Network subsystem is unavailable"},
        {10092, "Incompatible version of WINSOCK.DLL"},
        {10093, "Successful WSAStartup not yet performed"},
        {11001, "Host not found"},
        {11002, "Non-Authoritative Host not found"},
        {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
        {11004, "Valid name, no data record of requested type"},
    };
    for (const auto& [number, text] : kTexts)
        if (number == error) return text;
    return nullptr;
}

int16_t ReplyNumberOf(const std::string& line) {
    int64_t value = 0;
    for (size_t i = 0; i < line.size() && i < 10 && line[i] >= '0' && line[i] <= '9'; ++i)
        value = value * 10 + (line[i] - '0');
    return static_cast<int16_t>(value);
}

}  // namespace

std::string SocketErrorMessage(int error) {
    const char* text = SocketErrorText(error);
    return std::to_string(error) + ":" +
           (text ? std::string(text) : "Unknown Error No. " + std::to_string(error));
}

TThreadTimer::TThreadTimer() = default;
TThreadTimer::~TThreadTimer() = default;

void TThreadTimer::SetEnabled(bool enabled) {
    enabled_ = enabled;
    Update();
}

void TThreadTimer::SetInterval(int ms) {
    interval_ = ms;
    Update();
}

void TThreadTimer::SetOnTimer(std::function<void()> handler) {
    onTimer_ = std::move(handler);
    Update();
}

void TThreadTimer::Update() {
    if (!enabled_ || interval_ <= 0 || !onTimer_) {
        if (timer_) timer_->stop();
        return;
    }
    if (!timer_) {
        timer_ = std::make_unique<QTimer>();
        timer_->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer_.get(), &QTimer::timeout, [this] {
            if (onTimer_) onTimer_();
        });
    }
    timer_->start(interval_);
    if (!timer_->isActive()) throw EError("No Timer");
}

TSocketClient::TSocketClient() : buffer_(kBufferSize) {
    timer_.SetEnabled(false);
    timer_.SetOnTimer([this] { TimerFired(); });
    StatusMessage(8, "Create");
    wsaInfo_ = {"Version= 1.1",
                "High Version= 1.1",
                "Description= POSIX sockets",
                "System= Running",
                "Max Sockets= " + std::to_string(platform::MaxSockets()),
                "Max Udp pack size= 65507"};
    NewSocket();
    if (socket_.SetAbortiveClose() != 0)
        throw ESockError("Initializaton of windows sockets failed");
}

TSocketClient::~TSocketClient() {
    destroying_ = true;
    canceled_ = true;
    connected_ = false;
}

void TSocketClient::StatusMessage(int level, const std::string& text) {
    status_ = text;
    if (destroying_ || level > reportLevel_ || !OnStatus) return;
    try {
        OnStatus(text);
    } catch (...) {
        // a failing status display must not end the session
    }
}

void TSocketClient::NewSocket() {
    int error = 0;
    socket_ = platform::TcpSocket::Create(error);
    if (!socket_.Valid()) throw ESockError("Initializaton of windows sockets failed");
}

void TSocketClient::ArmTimer() {
    // Inside another scope the enclosing time-out bounds this wait too.
    if (timerDepth_ > 0) {
        ++timerDepth_;
        return;
    }
    timedOut_ = false;
    if (timeOut_ > 0) {
        StatusMessage(8, "Timer On");
        timer_.SetInterval(timeOut_);
        timer_.SetEnabled(true);
    }
    timerDepth_ = 1;
}

void TSocketClient::DisarmTimer() noexcept {
    if (timerDepth_ > 0 && --timerDepth_ > 0) return;
    StopTimer();
}

void TSocketClient::StopTimer() noexcept {
    if (!timer_.Enabled()) return;
    timer_.SetEnabled(false);
    StatusMessage(8, "Timer Off");
}

void TSocketClient::TimerFired() {
    StatusMessage(8, "Timer Triggered");
    StopTimer();
    timedOut_ = true;
    lookupDone_ = true;
    Abort();
}

void TSocketClient::RaiseCanceled(const std::string& abortMessage, const char* timeOutMessage) {
    canceled_ = false;
    if (!timedOut_) throw EAbortError(abortMessage);
    throw ESockError(TMailFailure::TimedOut,
                     std::string(timeOutMessage) + " within " + SecondsText(timeOut_, '.') + " s",
                     {}, {}, timeOut_);
}

void TSocketClient::RaiseIfError(int error) {
    lastError_ = error;
    if (error == platform::kSockWouldBlock || error <= 10000) return;
    const std::string message = SocketErrorMessage(error);
    StatusMessage(8, "Looking Up Error Message" + message);
    if (OnError) OnError(error, message);
    throw ESockError(
        error == kSockRefused ? TMailFailure::ConnectionRefused : TMailFailure::ConnectionFailed,
        message);
}

void TSocketClient::RaiseHostNotFound() {
    if (host_.empty()) throw ESockError(TMailFailure::HostNotFound, "No server host name given");
    std::string message = "Host not found: " + host_;
    // A name that does not exist says it all; a resolver that fails is worth naming.
    if (lastError_ != 0 && lastError_ != kSockHostNotFound)
        message += " (" + SocketErrorMessage(lastError_) + ")";
    throw ESockError(TMailFailure::HostNotFound, message, {}, host_);
}

void TSocketClient::Abort() {
    StatusMessage(8, "Abort");
    canceled_ = true;
}

std::string TSocketClient::LocalHostName() {
    static std::string cached;
    if (cached.empty()) {
        const platform::HostLookup lookup = platform::HostLookup::LocalName();
        while (!lookup.Wait(kTurnMs)) platform::ProcessMessages();
        cached = lookup.NameResult();
    }
    return cached;
}

void TSocketClient::ResolveHost() {
    StatusMessage(8, "Resolve Host");
    if (const auto address = platform::ParseDottedAddress(host_)) {
        remoteAddress_ = *address;
        return;
    }
    remoteAddress_ = 0;
    int error = 0;
    {
        const TTimeOutScope limit(*this);
        lookupDone_ = false;
        const platform::HostLookup lookup = platform::HostLookup::Address(host_);
        for (;;) {
            if (lookup.Wait(kTurnMs)) {
                lookupDone_ = true;
                error = lookup.Error();
                remoteAddress_ = error ? 0 : lookup.AddressResult();
                break;
            }
            platform::ProcessMessages();
            if (canceled_) break;
        }
    }
    if (timedOut_)
        throw ESockError(TMailFailure::HostNotFound,
                         "Host lookup of " + host_ + " gave no answer within " +
                             SecondsText(timeOut_, '.') + " s",
                         {}, host_, timeOut_);
    if (canceled_) throw EAbortError("Host Lookup Canceled");
    if (error) {
        lastError_ = error;
        throw ESockError(TMailFailure::HostNotFound, "Host Lookup Failed", {}, host_);
    }
    if (OnHostResolved) OnHostResolved();
}

void TSocketClient::Connect() {
    StatusMessage(8, "Connecting");
    canceled_ = false;
    if (connected_) throw ESockError(TMailFailure::Other, "Already connected");
    lastError_ = 0;
    auto resolve = [this] {
        try {
            ResolveHost();
        } catch (const ESockError&) {
            if (timedOut_) throw;
            remoteAddress_ = 0;
        }
    };
    resolve();
    if (remoteAddress_ == 0 && OnInvalidHost) {
        bool handled = false;
        OnInvalidHost(handled);
        if (handled) resolve();
    }
    if (remoteAddress_ == 0) RaiseHostNotFound();

    if (!socket_.Valid()) NewSocket();
    lookupDone_ = false;
    noError_ = true;
    int result = socket_.StartConnect(remoteAddress_, static_cast<uint16_t>(port_));
    if (result != 0 && result != platform::kSockWouldBlock) {
        NewSocket();  // a socket whose connect failed cannot be used again
        RaiseIfError(result);
    }
    {
        const TTimeOutScope limit(*this);
        while (result == platform::kSockWouldBlock) {
            socket_.WaitWritable(kTurnMs);
            result = socket_.ConnectResult();
            if (result != platform::kSockWouldBlock) break;
            platform::ProcessMessages();
            if (canceled_) break;
        }
    }
    if (result == 0) {
        connected_ = true;
        if (implicitTls_) StartTls();
        SocketConnected();
        return;
    }
    noError_ = result == platform::kSockWouldBlock;
    if (OnConnectionFailed) OnConnectionFailed();
    NewSocket();
    if (timedOut_)
        throw ESockError(TMailFailure::TimedOut,
                         "No connection to the server within " + SecondsText(timeOut_, '.') + " s",
                         {}, {}, timeOut_);
    if (canceled_) throw EAbortError("Connection Canceled");
    // The refusal or other failure reads as its socket error, which tells the user why.
    RaiseIfError(result);
    throw ESockError("Connection Failed");
}

void TSocketClient::SocketConnected() {
    if (OnConnect) OnConnect();
}

void TSocketClient::Disconnect() {
    StatusMessage(8, "Disconnecting");
    connected_ = false;
    if (!socket_.Valid()) return;
    StatusMessage(4, "Request Close Socket");
    if (tlsSession_.Valid()) {
        // The goodbye is a courtesy: it goes out if the socket takes it now, or not at all.
        tlsSession_.Shutdown();
        const std::string notify = tlsSession_.TakeOutput();
        int ignored = 0;
        socket_.Send(notify.data(), notify.size(), ignored);
        tlsSession_ = {};
    }
    tlsInput_.clear();
    tlsClosed_ = false;
    const int error = socket_.Close();
    if (error != 0) RaiseIfError(error);
    if (OnDisconnect) OnDisconnect();
    if (!destroying_) NewSocket();
}

size_t TSocketClient::SendAll(const char* data, size_t size) {
    if (!tlsSession_.Valid()) return SendRaw(data, size);
    size_t done = 0;
    for (;;) {
        size_t n = 0;
        std::string error;
        const platform::TlsStep step = tlsSession_.Write(data + done, size - done, n, error);
        done += n;
        FlushTls();
        if (step == platform::TlsStep::Done || step == platform::TlsStep::Closed) return done;
        if (step == platform::TlsStep::Failed) FailTls(error);
        // The session must read before it can write on (the server renegotiates).
        socket_.WaitReadable(kTurnMs);
        PumpTls();
        platform::ProcessMessages();
        if (canceled_) RaiseCanceled("Socket send aborted", kNoDataTaken);
    }
}

size_t TSocketClient::SendRaw(const char* data, size_t size) {
    size_t sent = 0;
    while (sent < size) {
        int error = 0;
        const long n = socket_.Send(data + sent, size - sent, error);
        if (n < 0) {
            if (error != platform::kSockWouldBlock) RaiseIfError(error);
            socket_.WaitWritable(kTurnMs);
            platform::ProcessMessages();
            if (canceled_) RaiseCanceled("Socket send aborted", kNoDataTaken);
            continue;
        }
        if (n == 0) break;
        sent += static_cast<size_t>(n);
    }
    return sent;
}

void TSocketClient::Write(const std::string& text) {
    StatusMessage(8, "Write");
    if (text.size() >= kBufferSize) throw EError("Range check error");
    std::copy(text.begin(), text.end(), buffer_.begin());
    const TTimeOutScope limit(*this);
    SendAll(buffer_.data(), text.size());
}

void TSocketClient::Writeln(const std::string& text) {
    StatusMessage(8, "Writeln");
    Write(text + "\r\n");
}

std::string TSocketClient::ReadLn() {
    StatusMessage(8, "ReadLn");
    const TTimeOutScope limit(*this);
    std::string line;
    for (;;) {
        int error = 0;
        long n = PeekIn(buffer_.data(), buffer_.size(), error);
        if (n == 0) {
            // The server closed the connection and nothing is left to read.
            if (connected_) Disconnect();
            return {};
        }
        if (n < 0) {
            if (error == platform::kSockNotConnected) return {};
            if (error != platform::kSockWouldBlock) RaiseIfError(error);
            n = 0;
        }
        const char* begin = buffer_.data();
        const char* lf = static_cast<const char*>(std::memchr(begin, '\n', n));
        const long take = lf ? lf - begin + 1 : n;
        if (take > 0) {
            const long got = ReceiveIn(buffer_.data(), take, error);
            if (got < 0) RaiseIfError(error);
            line.append(buffer_.data(), static_cast<size_t>(std::max(got, 0L)));
            if (lf) return line;
            // No peer of ours sends lines this long; one that does is not speaking the protocol.
            if (line.size() >= kBufferSize)
                throw ESockError(TMailFailure::NotSmtp, "Line too long", line.substr(0, 100));
        } else {
            socket_.WaitReadable(kTurnMs);
        }
        platform::ProcessMessages();
        if (canceled_) RaiseCanceled("Socket readln aborted", kNoReply);
    }
}

void TSocketClient::SetReply(const std::string& line) {
    replyText_ = line;
    replyNumber_ = ReplyNumberOf(line);
    StatusMessage(1, line);
}

void TSocketClient::Transaction(const std::string& command) {
    StatusMessage(8, "Transaction");
    replyNumber_ = 0;
    Writeln(command);
    SetReply(ReadLn());
}

void TSocketClient::SendStream(const std::string& stream) {
    StatusMessage(8, "SendStream");
    bytesTotal_ = stream.size();
    bytesSent_ = 0;
    while (bytesSent_ < bytesTotal_) {
        const size_t piece = std::min<uint64_t>(kBufferSize, bytesTotal_ - bytesSent_);
        std::copy_n(stream.data() + bytesSent_, piece, buffer_.begin());
        StatusMessage(4, "Sending Buffer");
        size_t sent = 0;
        {
            const TTimeOutScope limit(*this);
            sent = SendAll(buffer_.data(), piece);
        }
        bytesSent_ += sent;
        if (sent == 0) break;
        if (OnPacketSent) OnPacketSent();
        platform::ProcessMessages();
    }
}

void TSocketClient::CheckConnection() {
    StatusMessage(8, "Checking Connection");
    if (connected_) return;
    ConnectionRequired();
    throw EError("Not Connected");
}

void TSocketClient::ClearInput() {
    StatusMessage(8, "Clearing Input");
    int error = 0;
    const long n = PeekIn(buffer_.data(), buffer_.size(), error);
    if (n > 0) ReceiveIn(buffer_.data(), static_cast<size_t>(n), error);
}

void TSocketClient::KeepReply(const std::string& text) {
    replyText_ = text;
    replyNumber_ = ReplyNumberOf(text);
}

long TSocketClient::PeekIn(char* data, size_t size, int& error) {
    if (!tlsSession_.Valid()) return socket_.Peek(data, size, error);
    error = 0;
    if (tlsInput_.empty()) PumpTls();
    if (!tlsInput_.empty()) {
        const size_t n = std::min(size, tlsInput_.size());
        std::memcpy(data, tlsInput_.data(), n);
        return static_cast<long>(n);
    }
    if (tlsClosed_) return 0;
    error = platform::kSockWouldBlock;
    return -1;
}

long TSocketClient::ReceiveIn(char* data, size_t size, int& error) {
    if (!tlsSession_.Valid()) return socket_.Receive(data, size, error);
    error = 0;
    const size_t n = std::min(size, tlsInput_.size());
    std::memcpy(data, tlsInput_.data(), n);
    tlsInput_.erase(0, n);
    return static_cast<long>(n);
}

void TSocketClient::PumpTls() {
    char piece[kTlsPiece];
    bool ended = false;
    while (tlsInput_.size() < kBufferSize && !tlsClosed_) {
        size_t got = 0;
        std::string failure;
        const platform::TlsStep step = tlsSession_.Read(piece, sizeof piece, got, failure);
        if (step == platform::TlsStep::Done) {
            tlsInput_.append(piece, got);
            continue;
        }
        if (step == platform::TlsStep::Failed) FailTls(failure);
        if (step == platform::TlsStep::Closed || ended) {
            tlsClosed_ = true;
            break;
        }
        int error = 0;
        const long n = socket_.Receive(piece, sizeof piece, error);
        if (n > 0) {
            tlsSession_.PutInput(piece, static_cast<size_t>(n));
        } else if (n == 0 || error == platform::kSockNotConnected) {
            tlsSession_.InputEnded();
            ended = true;
        } else if (error == platform::kSockWouldBlock) {
            break;
        } else {
            RaiseIfError(error);
        }
    }
    FlushTls();
}

void TSocketClient::FlushTls() {
    const std::string out = tlsSession_.TakeOutput();
    if (!out.empty()) SendRaw(out.data(), out.size());
}

void TSocketClient::FailTls(const std::string& message) {
    // A session in an unknown state has nothing more to say to the server.
    tlsSession_ = {};
    try {
        Disconnect();
    } catch (const std::exception&) {
        // Closed all the same; the TLS failure is the one to report.
    }
    throw ETlsError(message);
}

void TSocketClient::StartTls() {
    StatusMessage(8, "Start TLS");
    if (!connected_) throw EError("Not Connected");
    if (tlsSession_.Valid()) return;
    std::string error;
    if (!tlsContext_.Valid()) tlsContext_ = platform::TlsContext::Client(error);
    if (!tlsContext_.Valid()) FailTls(error);
    tlsSession_ = platform::TlsSession::Client(tlsContext_, host_, tlsFingerprint_.empty(), error);
    if (!tlsSession_.Valid()) FailTls(error);
    tlsInput_.clear();
    tlsClosed_ = false;
    try {
        const TTimeOutScope limit(*this);
        char piece[kTlsPiece];
        bool ended = false;
        for (;;) {
            const platform::TlsStep step = tlsSession_.Handshake(error);
            FlushTls();
            if (step == platform::TlsStep::Done) break;
            if (step == platform::TlsStep::Failed) FailTls(error);
            if (step == platform::TlsStep::Closed || ended)
                FailTls("TLS failure: the server closed the connection during the handshake");
            int sockError = 0;
            const long n = socket_.Receive(piece, sizeof piece, sockError);
            if (n > 0) {
                tlsSession_.PutInput(piece, static_cast<size_t>(n));
                continue;
            }
            if (n == 0 || sockError == platform::kSockNotConnected) {
                tlsSession_.InputEnded();
                ended = true;
                continue;
            }
            if (sockError != platform::kSockWouldBlock) RaiseIfError(sockError);
            socket_.WaitReadable(kTurnMs);
            platform::ProcessMessages();
            if (canceled_)
                RaiseCanceled("TLS handshake aborted", "No TLS handshake from the server");
        }
    } catch (const ETlsError&) {
        throw;
    } catch (...) {
        tlsSession_ = {};
        try {
            Disconnect();
        } catch (const std::exception&) {
            // Closed all the same; the first failure is the one to report.
        }
        throw;
    }
    VerifyPeer();
    StatusMessage(8, "TLS " + tlsSession_.Description());
}

void TSocketClient::VerifyPeer() {
    if (tlsFingerprint_.empty()) return;  // the handshake has checked the chain and the name
    const std::string fingerprint = tlsSession_.PeerFingerprint();
    if (fingerprint != tlsFingerprint_)
        FailTls("Certificate fingerprint mismatch: the server's is SHA-256 " +
                (fingerprint.empty() ? std::string("(none)") : fingerprint));
}
