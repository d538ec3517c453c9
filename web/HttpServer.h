#pragma once
// The web program's HTTP/1.1 server over Qt's TCP and TLS servers. The network side (reading,
// timing out, writing) stays on the thread of the event loop; each complete request is handed to
// the handler on a small pool of worker threads, so a slow page never holds up another client.
#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "web/HttpParser.h"
#include "web/WebError.h"

class QTcpServer;
class QThreadPool;

namespace web {

struct THttpResponse {
    int Status = 200;
    std::string ContentType = "text/html; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> Headers;
    std::string Body;
    // A body too large to hold in memory: written from this file (read from its start) instead.
    std::shared_ptr<std::FILE> BodyFile;

    // A short plain page for an error or a notice.
    static THttpResponse Text(int status, const std::string& text);
};

struct TPeer {
    QHostAddress Address;
    bool Loopback = false;
    bool Secure = false;
};

// Runs on a worker thread, several at once: it must be safe to call concurrently.
using THandler = std::function<THttpResponse(const THttpRequest&, const TPeer&)>;

struct TServerLimits {
    THttpLimits Http;
    int HeadTimeoutMs = 10000;   // from a request's first byte (or the connection) to its end
    int IdleTimeoutMs = 30000;   // between the requests of a kept-alive connection
    int WriteTimeoutMs = 30000;  // a client that reads nothing of its answer for this long
    int MaxConnections = 256;
    int Workers = 4;
};

const char* StatusText(int status);

class THttpServer : public QObject {
public:
    explicit THttpServer(THandler handler, TServerLimits limits = {}, QObject* parent = nullptr);
    ~THttpServer() override;

    // Serves HTTPS with the PEM certificate (chain) and key; raises EWebError when they cannot be
    // read. Must come before Listen.
    void SetTls(const std::string& certificateFile, const std::string& keyFile);
    bool Secure() const { return secure_; }
    // Raises EWebError when the address cannot be bound. Returns the port (for port 0: the one
    // chosen).
    quint16 Listen(const QHostAddress& address, quint16 port);
    int OpenConnections() const { return connections_; }

private:
    friend class THttpConnection;
    void Accept();

    THandler handler_;
    TServerLimits limits_;
    QSslConfiguration tls_;
    bool secure_ = false;
    QTcpServer* server_ = nullptr;
    std::unique_ptr<QThreadPool> pool_;
    int connections_ = 0;
    std::unordered_set<class THttpConnection*> live_;
};

}  // namespace web
