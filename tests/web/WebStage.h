#pragma once
// A station directory for the web program: the shipped settings table naming a fresh call
// database that holds known calls, a web.ini with users, and tarvick-web run on it as a process
// on a free loopback port; and a plain HTTP/1.1 client over a socket.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QProcess>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/DateTime.h"
#include "config/SettingsTable.h"
#include "dbf/DbfTable.h"
#include "tests/common/TempDir.h"
#include "tests/db/FreshDatabase.h"

namespace webtest {

struct TCall {
    TDateTime Start;
    int Extension;
    int Line;
    std::string Number;  // "0": incoming
    int Seconds;
};

// Calls over the last days: extensions 101..104 on lines 1..3, one in three incoming, every
// one told apart by its number and minute; day 0 is today.
inline std::vector<TCall> KnownCalls(int days, int perDay) {
    std::vector<TCall> calls;
    const TDateTime today = static_cast<TDateTime>(DayNumber(Now()));
    for (int d = days - 1; d >= 0; --d)
        for (int i = 0; i < perDay; ++i) {
            const int n = d * perDay + i;
            TDateTime t = 0;
            TryEncodeTime(8 + i % 10, (n * 7) % 60, (n * 13) % 60, 0, t);
            char number[24];
            std::snprintf(number, sizeof number, "8495%07d", n);
            calls.push_back({today - d + t, 101 + n % 4, 1 + n % 3, n % 3 == 0 ? "0" : number,
                             30 + (n * 37) % 600});
        }
    return calls;
}

inline std::string InsertSql(const std::vector<TCall>& calls) {
    std::string sql;
    for (const TCall& c : calls) {
        const TDateParts d = DecodeDate(c.Start);
        const TTimeParts t = DecodeTime(c.Start);
        char buf[512];
        std::snprintf(
            buf, sizeof buf,
            "INSERT INTO Rings (RDay, RMont, RYear, RHour, RMin, RSec, RLine, TimeHour, "
            "TimeMin, TimeSec, NumberIn, NumberOut, RingDate) VALUES (%d, %d, %d, %d, %d, "
            "%d, %d, %d, %d, %d, %d, '%s', '%04d-%02d-%02d %02d:%02d:%02d');\n",
            d.Day, d.Month, d.Year, t.Hour, t.Min, t.Sec, c.Line, c.Seconds / 3600,
            c.Seconds / 60 % 60, c.Seconds % 60, c.Extension, c.Number.c_str(), d.Year, d.Month,
            d.Day, t.Hour, t.Min, t.Sec);
        sql += buf;
    }
    return sql + "COMMIT;\n";
}

struct THttpReply {
    int Status = 0;
    std::map<std::string, std::string> Headers;  // names in lower case; repeated ones joined by \n
    std::string Body;
    std::string Raw;

    std::string Header(const std::string& name) const {
        const auto it = Headers.find(name);
        return it == Headers.end() ? std::string() : it->second;
    }
};

inline THttpReply ParseReply(const std::string& raw) {
    THttpReply r;
    r.Raw = raw;
    const size_t end = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) return r;
    r.Status = std::atoi(raw.c_str() + 9);
    size_t pos = raw.find("\r\n") + 2;
    while (pos < end) {
        const size_t eol = raw.find("\r\n", pos);
        const std::string line = raw.substr(pos, eol - pos);
        const size_t colon = line.find(':');
        std::string name = line.substr(0, colon);
        for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        std::string value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.erase(value.begin());
        std::string& slot = r.Headers[name];
        slot += (slot.empty() ? "" : "\n") + value;
        pos = eol + 2;
    }
    r.Body = raw.substr(end + 4);
    return r;
}

// A connection to 127.0.0.1:port.
class TClient {
public:
    explicit TClient(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~TClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    TClient(const TClient&) = delete;
    TClient& operator=(const TClient&) = delete;

    bool Connected() const { return fd_ >= 0; }
    bool Send(const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // Everything until the server closes, or until timeoutMs passes without a byte.
    std::string ReadAll(int timeoutMs = 10000) {
        std::string out;
        char buf[65536];
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0) break;
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
    // One response of a kept-alive connection: head, then Content-Length bytes; bytes of the
    // next response that came with it are kept for the next call.
    THttpReply ReadOne(int timeoutMs = 10000) {
        std::string out = std::move(ahead_);
        ahead_.clear();
        char buf[65536];
        for (;;) {
            const size_t end = out.find("\r\n\r\n");
            if (end != std::string::npos) {
                const THttpReply head = ParseReply(out.substr(0, end + 4));
                const size_t want = end + 4 + std::stoul("0" + head.Header("content-length"));
                if (out.size() >= want) {
                    ahead_ = out.substr(want);
                    out.resize(want);
                    break;
                }
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0) break;
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        return ParseReply(out);
    }
    // Whether the server closed the connection (within timeoutMs).
    bool Closed(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return false;
        char c;
        return ::recv(fd_, &c, 1, MSG_PEEK) <= 0;
    }

private:
    int fd_ = -1;
    std::string ahead_;
};

inline THttpReply Request(int port, const std::string& method, const std::string& target,
                          const std::string& cookie = {}, const std::string& body = {},
                          const std::string& extraHeaders = {}, int timeoutMs = 10000) {
    TClient c(port);
    std::string req =
        method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    if (!cookie.empty()) req += "Cookie: " + cookie + "\r\n";
    if (!body.empty() || method == "POST")
        req += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n";
    req += extraHeaders + "\r\n" + body;
    c.Send(req);
    return ParseReply(c.ReadAll(timeoutMs));
}

inline THttpReply Get(int port, const std::string& target, const std::string& cookie = {},
                      int timeoutMs = 10000) {
    return Request(port, "GET", target, cookie, {}, {}, timeoutMs);
}

// The station directory and its database, with tarvick-web started on it on demand.
class TWebStation {
public:
    TWebStation() {
        namespace fs = std::filesystem;
        for (const char* name : {"tarvick.dat", "tarvick.dbt"})
            fs::copy_file(TARVICK_SOURCE_DIR "/data/" + std::string(name), dir_.file(name));
        fs::copy(TARVICK_SOURCE_DIR "/data/firebird", dir_.file("firebird"),
                 fs::copy_options::recursive);
        UseDatabase(db_.Path());
    }
    ~TWebStation() { Stop(); }

    const std::string& Dir() const { return dir_.path(); }
    TFreshDatabase& Db() { return db_; }
    // Points the settings at another database (a benchmark's, kept between runs).
    void UseDatabase(const std::string& path) {
        TDbfTable table;
        table.SetTableName("tarvick.dat");
        table.SetUseFloatFields(false);
        table.SetDateTimeHandling(TDateTimeHandling::dtDateTime);
        TSettings s;
        ReadSettingsTable(table, dir_.path(), s);
        s.DBPath = path;
        WriteSettingsTable(table, dir_.path(), s);
    }
    void WriteIni(const std::string& web) { std::ofstream(dir_.file("web.ini")) << web; }
    void AppendIni(const std::string& text) {
        std::ofstream(dir_.file("web.ini"), std::ios::app) << text;
    }

    // tarvick-web --add-user with the password on standard input; its exit status.
    int AddUser(const std::string& name, const std::string& role, const std::string& ext,
                const std::string& password) {
        QProcess p;
        QStringList args = {"--dir",      QString::fromStdString(Dir()),
                            "--add-user", QString::fromStdString(name),
                            "--role",     QString::fromStdString(role)};
        if (!ext.empty()) args << "--ext" << QString::fromStdString(ext);
        p.start(TARVICK_WEB, args);
        p.waitForStarted();
        p.write(QByteArray::fromStdString(password + "\n"));
        p.closeWriteChannel();
        p.waitForFinished(30000);
        return p.exitCode();
    }

    // Starts the program; its port, or 0 when it did not come up (output holds why).
    int Start() {
        Stop();
        process_ = std::make_unique<QProcess>();
        process_->setProcessChannelMode(QProcess::SeparateChannels);
        process_->start(TARVICK_WEB, {"--dir", QString::fromStdString(Dir())});
        output_.clear();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            process_->waitForReadyRead(200);
            output_ += process_->readAllStandardError().toStdString();
            const size_t at = output_.find(" on ");
            const size_t nl = output_.find('\n', at == std::string::npos ? 0 : at);
            if (output_.find("serving") != std::string::npos && at != std::string::npos &&
                nl != std::string::npos) {
                const std::string where =
                    output_.substr(at + 4, output_.find(' ', at + 4) - at - 4);
                port_ = std::atoi(where.substr(where.rfind(':') + 1).c_str());
                return port_;
            }
            if (process_->state() == QProcess::NotRunning) break;
        }
        process_->waitForFinished(5000);
        output_ += process_->readAllStandardError().toStdString();
        exitCode_ = process_->exitCode();
        return 0;
    }
    void Stop() {
        if (!process_) return;
        process_->terminate();
        if (!process_->waitForFinished(10000)) process_->kill();
        process_->waitForFinished(5000);
        process_.reset();
    }
    const std::string& Output() const { return output_; }
    int ExitCode() const { return exitCode_; }
    int Port() const { return port_; }
    qint64 Pid() const { return process_ ? process_->processId() : 0; }

private:
    TFreshDatabase db_;
    TempDir dir_;
    std::unique_ptr<QProcess> process_;
    std::string output_;
    int port_ = 0;
    int exitCode_ = -1;
};

// Signs in; the session cookie ("name=value"), empty when refused.
inline std::string SignIn(int port, const std::string& name, const std::string& password) {
    const THttpReply r =
        Request(port, "POST", "/signin", {}, "name=" + name + "&password=" + password);
    const std::string set = r.Header("set-cookie");
    if (r.Status != 303 || set.empty()) return {};
    return set.substr(0, set.find(';'));
}

}  // namespace webtest
