// tarvick-tool sendmail: sends one message the way the station does, to check mail settings.
// Exit status: 0 sent, 1 refused by the server (a command or a recipient), 2 usage, 3 login
// refused, 4 TLS or certificate failure, 5 no connection, a time-out, or a peer that does not
// speak SMTP.
#include <iostream>

#include "common/Text.h"
#include "mail/MailFailure.h"
#include "mail/MailSettings.h"
#include "mail/SmtpClient.h"
#include "platform/CodePage.h"
#include "tools/Tool.h"

namespace {

constexpr const char* kUsage =
    "sendmail --host HOST --port PORT --from ADDRESS --to ADDRESS [--to ADDRESS ...] "
    "[--subject TEXT] [--timeout MS] [--security none|starttls|tls] [--user USER "
    "--password-file FILE] [--fingerprint SHA256HEX] [--trusted]";

enum Exit { kSent = 0, kRefused = 1, kBadUsage = 2, kLoginRefused = 3, kTls = 4, kConnection = 5 };

// A message or reply as terminal lines: a reply of several lines keeps them, without its CRs.
std::string AsLines(const std::string& text) {
    std::string out;
    for (const char c : text)
        if (c != '\r') out += c;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

int ExitFor(const std::exception& e) {
    switch (MailFailureKind(e)) {
        case TMailFailure::Tls:
            return kTls;
        case TMailFailure::LoginRefused:
        case TMailFailure::NoLogin:
            return kLoginRefused;
        case TMailFailure::TimedOut:
        case TMailFailure::Aborted:
        case TMailFailure::HostNotFound:
        case TMailFailure::ConnectionRefused:
        case TMailFailure::ConnectionFailed:
        case TMailFailure::ConnectionClosed:
        case TMailFailure::NotSmtp:
            return kConnection;
        case TMailFailure::ServerRefused:
        case TMailFailure::RecipientRefused:
        case TMailFailure::Other:
            break;
    }
    return kRefused;
}

int Usage() {
    std::cerr << "usage: tarvick-tool " << kUsage << "\n";
    return kBadUsage;
}

// The first line of the file.
bool ReadPassword(const std::string& path, std::string& password) {
    std::string data;
    if (!ReadInput(path, data)) return false;
    password = data.substr(0, data.find_first_of("\r\n"));
    return true;
}

int RunSendmail(const ToolArgs& args) {
    std::string host, from, subject, passwordFile;
    std::vector<std::string> to;
    int port = -1, timeout = 0;
    // The settings as the station holds them, in Windows-1251, so they go the station's way.
    TMailSettings settings;
    bool ok = true;
    for (size_t i = 0; i < args.size() && ok; ++i) {
        const std::string& opt = args[i];
        if (opt == "--trusted") {
            settings.Trusted = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            ok = false;
            break;
        }
        const std::string& value = args[++i];
        if (opt == "--host") {
            host = value;
        } else if (opt == "--port") {
            const auto p = TryStrToInt(value);
            ok = p && *p > 0 && *p < 65536;
            port = ok ? *p : -1;
        } else if (opt == "--from") {
            from = value;
        } else if (opt == "--to") {
            to.push_back(value);
        } else if (opt == "--subject") {
            subject = value;
        } else if (opt == "--timeout") {
            const auto t = TryStrToInt(value);
            ok = t && *t >= 0;
            timeout = ok ? *t : 0;
        } else if (opt == "--security") {
            const auto s = ParseSecurity(value);
            ok = s.has_value();
            if (ok) settings.Security = *s;
        } else if (opt == "--user") {
            settings.User = platform::Utf8ToAnsi(value);
        } else if (opt == "--password-file") {
            passwordFile = value;
        } else if (opt == "--fingerprint") {
            const auto f = ParseFingerprint(value);
            ok = f.has_value();
            if (ok) settings.Fingerprint = *f;
        } else {
            ok = false;
        }
    }
    // A login needs both halves; a password file alone would be ignored without a word.
    if (!ok || host.empty() || port < 0 || from.empty() || to.empty() ||
        settings.User.empty() != passwordFile.empty())
        return Usage();
    if (!passwordFile.empty()) {
        std::string password;
        if (!ReadPassword(passwordFile, password)) {
            std::cerr << "cannot read " << passwordFile << "\n";
            return kBadUsage;
        }
        settings.Password = platform::Utf8ToAnsi(password);
    }
    std::string body;
    if (!ReadInput("", body)) {
        std::cerr << "cannot read standard input\n";
        return kRefused;
    }

    TSmtpClient smtp;
    smtp.SetSubType(mtPlain);
    smtp.SetEncodeType(uuMime);
    smtp.SetHost(host);
    smtp.SetPort(port);
    smtp.SetTimeOut(timeout);
    int status = kSent;
    try {
        ApplyMailSettings(smtp, settings);
        smtp.Connect();
        smtp.SetCharset("windows-1251");
        TMailMessage& m = smtp.PostMessage();
        m.Subject = subject;
        m.FromAddress = from;
        m.ToAddress = to;
        m.Body = TextToLines(body);
        smtp.SendMail();
    } catch (const std::exception& e) {
        std::cerr << AsLines(e.what()) << "\n";
        status = ExitFor(e);
        smtp.CloseAfterFailure(e);
    }
    // Once the message is taken, a goodbye the server refuses changes nothing.
    std::string farewell;
    if (smtp.Connected()) {
        try {
            smtp.Disconnect();
            farewell = smtp.ReplyText();
        } catch (const std::exception& e) {
            farewell = e.what();
        }
    }
    if (status == kSent) std::cout << AsLines(farewell) << "\n";
    return status;
}

const ToolRegistration kRegistration("sendmail", kUsage, RunSendmail);

}  // namespace
