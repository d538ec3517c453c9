#pragma once
// Servers for the mail tests, each a separate process on a free loopback port: the real SMTP
// server from Debian's packages, and a scripted one that misbehaves on purpose.
#include <QProcess>
#include <QStringList>
#include <exception>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/common/TempDir.h"

inline int StartServer(QProcess& process, const QStringList& args) {
    process.setProgram(TARVICK_PYTHON);
    process.setArguments(args);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start();
    if (!process.waitForStarted(10000)) return 0;
    while (!process.canReadLine())
        if (!process.waitForReadyRead(20000)) return 0;
    return process.readLine().trimmed().toInt();
}

inline void StopServer(QProcess& process) {
    if (process.state() == QProcess::NotRunning) return;
    process.kill();
    process.waitForFinished(5000);
}

// aiosmtpd saving every message as NNNN.eml (data) and NNNN.env (sender, recipients); options
// of smtp_sink.py choose its encryption and login.
class SinkServer {
public:
    explicit SinkServer(const QStringList& options = {}) {
        port_ = StartServer(process_, QStringList{TARVICK_SOURCE_DIR "/tests/mail/smtp_sink.py",
                                                  QString::fromStdString(dir_.path())} +
                                          options);
    }
    ~SinkServer() { StopServer(process_); }
    int Port() const { return port_; }
    std::string Data(int n) const { return ReadBytes(Base(n) + ".eml"); }
    std::string Envelope(int n) const { return ReadBytes(Base(n) + ".env"); }
    // One line per login attempt: "MECHANISM user ok" or "... refused".
    std::string AuthLog() const { return ReadBytes(dir_.file("auth.log")); }

private:
    std::string Base(int n) const {
        char name[16];
        std::snprintf(name, sizeof name, "%04d", n);
        return dir_.file(name);
    }
    TempDir dir_;
    QProcess process_;
    int port_ = 0;
};

using Step = std::pair<std::string, std::string>;  // operation and its argument
using Script = std::vector<Step>;

class ScriptedServer {
public:
    explicit ScriptedServer(const std::vector<Step>& steps) {
        port_ = StartServer(process_, {QString(TARVICK_SOURCE_DIR "/tests/mail/scripted_server.py"),
                                       QString::fromStdString(dir_.file("log")),
                                       QString::fromStdString(Json(steps))});
    }
    ~ScriptedServer() { StopServer(process_); }
    int Port() const { return port_; }
    std::string File(const std::string& name) const { return dir_.file(name); }
    // Everything the client sent, once the script has run to its end.
    std::string Log() {
        process_.waitForFinished(20000);
        return ReadBytes(dir_.file("log"));
    }

private:
    static std::string Json(const std::vector<Step>& steps) {
        std::string out = "[";
        for (const auto& [op, arg] : steps) {
            if (out.size() > 1) out += ",";
            out += "[\"" + op + "\"";
            if (op == "pause") {
                out += "," + arg;
            } else if (!arg.empty() || op == "send") {
                out += ",\"";
                for (unsigned char c : arg) {
                    char esc[8];
                    if (c == '"' || c == '\\' || c < 0x20 || c >= 0x7f) {
                        std::snprintf(esc, sizeof esc, "\\u%04x", c);
                        out += esc;
                    } else {
                        out += static_cast<char>(c);
                    }
                }
                out += "\"";
            }
            out += "]";
        }
        return out + "]";
    }
    TempDir dir_;
    QProcess process_;
    int port_ = 0;
};

// Server halves of a well-behaved session, for building scripts.
inline std::vector<Step> Greeting() {
    return {{"send", "220 test ready\r\n"}, {"recv", ""}, {"send", "250 hello\r\n"}};
}

// Reset and sender taken, then each recipient answered with the reply given.
inline std::vector<Step> SenderAndRecipients(const char* senderReply, int recipients,
                                             const char* recipientReply) {
    std::vector<Step> s = {
        {"recv", ""}, {"send", "250 reset\r\n"}, {"recv", ""}, {"send", senderReply}};
    for (int i = 0; i < recipients; ++i) {
        s.push_back({"recv", ""});
        s.push_back({"send", recipientReply});
    }
    return s;
}

inline std::vector<Step> AcceptMessage(int recipients) {
    std::vector<Step> s = SenderAndRecipients("250 sender ok\r\n", recipients, "250 rcpt ok\r\n");
    s.insert(s.end(), {{"recv", ""},
                       {"send", "354 go ahead\r\n"},
                       {"until_dot", ""},
                       {"send", "250 queued\r\n"}});
    return s;
}

// A message whose every recipient is unknown, so that its data is refused.
inline std::vector<Step> RefuseRecipients(int recipients) {
    std::vector<Step> s = SenderAndRecipients("250 ok\r\n", recipients, "550 no such user\r\n");
    s.insert(s.end(), {{"recv", ""}, {"send", "503 no valid recipients\r\n"}});
    return s;
}

inline std::vector<Step> Quit() {
    return {{"recv", ""}, {"send", "221 bye\r\n"}, {"drain", ""}};
}

// The message of the error of type E that a call against a server raises; any other error
// escapes to fail the test.
template <class E = std::exception>
std::string WhatRaised(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const E& e) {
        return e.what();
    }
    return "no error";
}

struct ToolResult {
    int exitCode;
    std::string out, err;
};

// tarvick-tool sendmail with the arguments, the message body on its standard input.
inline ToolResult RunSendmail(const QStringList& args, const std::string& input) {
    QProcess tool;
    tool.start(TARVICK_TOOL, QStringList{"sendmail"} + args);
    tool.waitForStarted();
    tool.write(input.data(), static_cast<qint64>(input.size()));
    tool.closeWriteChannel();
    tool.waitForFinished(60000);
    return {tool.exitCode(), tool.readAllStandardOutput().toStdString(),
            tool.readAllStandardError().toStdString()};
}

inline std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
