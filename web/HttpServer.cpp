#include "web/HttpServer.h"

#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThreadPool>
#include <QTimer>

namespace web {
namespace {

// Bytes of a file body handed to the socket at a time, and how much may wait in its buffer.
constexpr qint64 kChunk = 64 * 1024;
constexpr qint64 kMaxBuffered = 256 * 1024;

std::string HttpDate() {
    return QLocale::c()
        .toString(QDateTime::currentDateTimeUtc(),
                  QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
        .toStdString();
}

}  // namespace

const char* StatusText(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 303:
            return "See Other";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 413:
            return "Content Too Large";
        case 414:
            return "URI Too Long";
        case 429:
            return "Too Many Requests";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 503:
            return "Service Unavailable";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Unknown";
    }
}

THttpResponse THttpResponse::Text(int status, const std::string& text) {
    THttpResponse r;
    r.Status = status;
    r.ContentType = "text/plain; charset=utf-8";
    r.Body = text + "\n";
    return r;
}

// One client connection: reads one request at a time, hands it to the workers, writes the answer.
class THttpConnection : public QObject {
public:
    THttpConnection(THttpServer& server, QTcpSocket* socket)
        : server_(server), socket_(socket), parser_(server.limits_.Http) {
        socket_->setParent(this);
        // What a client sends ahead while its request is served waits in the kernel, not here.
        socket_->setReadBufferSize(kChunk);
        ++server_.connections_;
        server_.live_.insert(this);
        peer_.Address = socket_->peerAddress();
        peer_.Loopback = peer_.Address.isLoopback();
        peer_.Secure = server_.secure_;
        timer_.setSingleShot(true);
        connect(&timer_, &QTimer::timeout, this, [this] { TimedOut(); });
        connect(socket_, &QTcpSocket::readyRead, this, [this] { Read(); });
        connect(socket_, &QTcpSocket::bytesWritten, this, [this] { Written(); });
        connect(socket_, &QTcpSocket::disconnected, this, [this] { deleteLater(); });
        connect(socket_, &QTcpSocket::errorOccurred, this, [this] { Close(); });
        // The connection, a TLS handshake included, has as long as a request's head.
        timer_.start(server_.limits_.HeadTimeoutMs);
        if (socket_->bytesAvailable() > 0) Read();
    }
    ~THttpConnection() override {
        --server_.connections_;
        server_.live_.erase(this);
    }

    // Answers at once without a request (too many connections).
    void Refuse(int status, const std::string& text) {
        Send(THttpResponse::Text(status, text), false, false);
    }

private:
    enum class TState { Reading, Busy, Writing, Closing };

    void Read() {
        if (state_ != TState::Reading) {
            // A pipelined request waits until the answer to this one is out.
            return;
        }
        while (state_ == TState::Reading) {
            if (pending_.empty()) {
                const QByteArray chunk = socket_->read(kChunk);
                if (chunk.isEmpty()) return;
                pending_.assign(chunk.constData(), static_cast<size_t>(chunk.size()));
            }
            const bool wasStarted = parser_.Started();
            size_t consumed = 0;
            const THttpParser::TState s = parser_.Feed(pending_, consumed);
            pending_.erase(0, consumed);
            if (!wasStarted && parser_.Started())
                timer_.start(server_.limits_.HeadTimeoutMs);  // a new request's clock
            if (s == THttpParser::TState::Error) {
                Send(THttpResponse::Text(parser_.ErrorStatus(), parser_.ErrorText()), false, false);
                return;
            }
            if (s == THttpParser::TState::Done) Dispatch();
        }
    }

    void Dispatch() {
        state_ = TState::Busy;
        timer_.stop();
        auto request = std::make_shared<THttpRequest>(parser_.TakeRequest());
        parser_.Reset();
        const bool keepAlive = request->KeepAlive();
        const bool head = request->Method == "HEAD";
        QPointer<THttpConnection> self(this);
        const THandler& handler = server_.handler_;
        const TPeer peer = peer_;
        server_.pool_->start([self, request, handler, peer, keepAlive, head] {
            auto response = std::make_shared<THttpResponse>();
            try {
                *response = handler(*request, peer);
            } catch (const std::exception& e) {
                *response = THttpResponse::Text(500, "Внутренняя ошибка");
            }
            QMetaObject::invokeMethod(
                self.data(),
                [self, response, keepAlive, head] {
                    if (self) self->Send(std::move(*response), keepAlive, head);
                },
                Qt::QueuedConnection);
        });
    }

    void Send(THttpResponse response, bool keepAlive, bool head) {
        keepAlive_ = keepAlive && response.Status < 400;
        long long length = static_cast<long long>(response.Body.size());
        if (response.BodyFile) {
            std::fseek(response.BodyFile.get(), 0, SEEK_END);
            length = std::ftell(response.BodyFile.get());
            std::fseek(response.BodyFile.get(), 0, SEEK_SET);
        }
        std::string out = "HTTP/1.1 " + std::to_string(response.Status) + " " +
                          StatusText(response.Status) + "\r\n";
        out += "Date: " + HttpDate() + "\r\n";
        out += "Content-Type: " + response.ContentType + "\r\n";
        out += "Content-Length: " + std::to_string(length) + "\r\n";
        out += keepAlive_ ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
        // Pages hold calls: never cached, never framed, no script of any origin.
        out +=
            "Cache-Control: no-store\r\n"
            "X-Content-Type-Options: nosniff\r\n"
            "X-Frame-Options: DENY\r\n"
            "Referrer-Policy: no-referrer\r\n"
            "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; "
            "img-src 'self' data:; form-action 'self'; frame-ancestors 'none'\r\n";
        if (server_.secure_) out += "Strict-Transport-Security: max-age=31536000\r\n";
        for (const auto& [name, value] : response.Headers) out += name + ": " + value + "\r\n";
        out += "\r\n";
        if (!head) {
            if (response.BodyFile)
                file_ = std::move(response.BodyFile);
            else
                out += response.Body;
        }
        state_ = TState::Writing;
        socket_->write(out.data(), static_cast<qint64>(out.size()));
        timer_.start(server_.limits_.WriteTimeoutMs);
        Written();
    }

    void Written() {
        if (state_ != TState::Writing) return;
        timer_.start(server_.limits_.WriteTimeoutMs);  // the client reads: its clock starts again
        while (file_ && socket_->bytesToWrite() < kMaxBuffered) {
            char buf[kChunk];
            const size_t n = std::fread(buf, 1, sizeof buf, file_.get());
            if (n == 0) {
                file_.reset();
                break;
            }
            socket_->write(buf, static_cast<qint64>(n));
        }
        if (file_ || socket_->bytesToWrite() > 0) return;
        if (!keepAlive_) {
            Close();
            return;
        }
        state_ = TState::Reading;
        timer_.start(server_.limits_.IdleTimeoutMs);
        Read();
    }

    void TimedOut() {
        if (state_ == TState::Reading && parser_.Started()) {
            Send(THttpResponse::Text(408, "Запрос не пришёл вовремя"), false, false);
            // A client that does not read even this answer is cut at its write time-out.
            return;
        }
        if (state_ == TState::Busy) return;
        socket_->abort();
        deleteLater();
    }

    void Close() {
        if (state_ == TState::Closing) return;
        state_ = TState::Closing;
        timer_.stop();
        if (socket_->state() == QAbstractSocket::UnconnectedState) {
            deleteLater();
            return;
        }
        socket_->disconnectFromHost();
        // A peer that never finishes the close is cut.
        QTimer::singleShot(server_.limits_.WriteTimeoutMs, this, [this] {
            socket_->abort();
            deleteLater();
        });
    }

    THttpServer& server_;
    QTcpSocket* socket_;
    THttpParser parser_;
    TPeer peer_;
    QTimer timer_;
    std::string pending_;
    std::shared_ptr<std::FILE> file_;
    TState state_ = TState::Reading;
    bool keepAlive_ = false;
};

THttpServer::THttpServer(THandler handler, TServerLimits limits, QObject* parent)
    : QObject(parent),
      handler_(std::move(handler)),
      limits_(limits),
      pool_(std::make_unique<QThreadPool>()) {
    pool_->setMaxThreadCount(limits_.Workers);
}

THttpServer::~THttpServer() {
    // Workers may still run the handler; it must outlive them.
    pool_->waitForDone();
    while (!live_.empty()) delete *live_.begin();
}

void THttpServer::SetTls(const std::string& certificateFile, const std::string& keyFile) {
    QFile cert(QString::fromStdString(certificateFile)), key(QString::fromStdString(keyFile));
    if (!cert.open(QIODevice::ReadOnly))
        throw EWebError("Cannot read the certificate " + certificateFile + ": " +
                        cert.errorString().toStdString());
    if (!key.open(QIODevice::ReadOnly))
        throw EWebError("Cannot read the key " + keyFile + ": " + key.errorString().toStdString());
    const QList<QSslCertificate> chain = QSslCertificate::fromData(cert.readAll(), QSsl::Pem);
    const QByteArray keyData = key.readAll();
    QSslKey privateKey(keyData, QSsl::Ec, QSsl::Pem);
    if (privateKey.isNull()) privateKey = QSslKey(keyData, QSsl::Rsa, QSsl::Pem);
    if (chain.isEmpty()) throw EWebError("No PEM certificate in " + certificateFile);
    if (privateKey.isNull()) throw EWebError("No PEM key (EC or RSA) in " + keyFile);
    tls_ = QSslConfiguration::defaultConfiguration();
    tls_.setLocalCertificateChain(chain);
    tls_.setPrivateKey(privateKey);
    tls_.setProtocol(QSsl::TlsV1_2OrLater);
    tls_.setPeerVerifyMode(QSslSocket::VerifyNone);
    secure_ = true;
}

quint16 THttpServer::Listen(const QHostAddress& address, quint16 port) {
    if (secure_) {
        auto* ssl = new QSslServer(this);
        ssl->setSslConfiguration(tls_);
        ssl->setHandshakeTimeout(limits_.HeadTimeoutMs);
        server_ = ssl;
        // A TLS connection is handed over once its handshake is through; a failed one is dropped.
        connect(ssl, &QSslServer::pendingConnectionAvailable, this, [this] { Accept(); });
    } else {
        server_ = new QTcpServer(this);
        connect(server_, &QTcpServer::pendingConnectionAvailable, this, [this] { Accept(); });
    }
    server_->setMaxPendingConnections(limits_.MaxConnections);
    if (!server_->listen(address, port))
        throw EWebError("Cannot listen on " + address.toString().toStdString() + ":" +
                        std::to_string(port) + ": " + server_->errorString().toStdString());
    return server_->serverPort();
}

void THttpServer::Accept() {
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        auto* connection = new THttpConnection(*this, socket);
        if (connections_ > limits_.MaxConnections)
            connection->Refuse(503, "Слишком много соединений, попробуйте позже");
    }
}

}  // namespace web
