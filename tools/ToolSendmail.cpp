// tarvick-tool sendmail: sends one message the way the station does, to check mail settings.
#include <iostream>

#include "common/Text.h"
#include "mail/SmtpClient.h"
#include "tools/Tool.h"

namespace {

constexpr const char* kUsage =
    "sendmail --host HOST --port PORT --from ADDRESS --to ADDRESS [--to ADDRESS ...] "
    "[--subject TEXT] [--timeout MS]";

std::string WithoutLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

int RunSendmail(const ToolArgs& args) {
    std::string host, from, subject;
    std::vector<std::string> to;
    int port = -1, timeout = 0;
    bool ok = true;
    for (size_t i = 0; i < args.size() && ok; ++i) {
        const std::string& opt = args[i];
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
        } else {
            ok = false;
        }
    }
    if (!ok || host.empty() || port < 0 || from.empty() || to.empty()) {
        std::cerr << "usage: tarvick-tool " << kUsage << "\n";
        return 2;
    }
    std::string body;
    if (!ReadInput("", body)) {
        std::cerr << "cannot read standard input\n";
        return 1;
    }

    TSmtpClient smtp;
    smtp.SetSubType(mtPlain);
    smtp.SetEncodeType(uuMime);
    smtp.SetHost(host);
    smtp.SetPort(port);
    smtp.SetTimeOut(timeout);
    try {
        smtp.Connect();
        smtp.SetCharset("windows-1251");
        TMailMessage& m = smtp.PostMessage();
        m.Subject = subject;
        m.FromAddress = from;
        m.ToAddress = to;
        m.Body = TextToLines(body);
        smtp.SendMail();
        if (smtp.Connected()) smtp.Disconnect();
    } catch (const std::exception& e) {
        std::cerr << WithoutLineEnd(e.what()) << "\n";
        if (smtp.Connected()) {
            try {
                smtp.Disconnect();
            } catch (const std::exception&) {
                // the send's failure is the one to report
            }
        }
        return 1;
    }
    std::cout << WithoutLineEnd(smtp.ReplyText()) << "\n";
    return 0;
}

const ToolRegistration kRegistration("sendmail", kUsage, RunSendmail);

}  // namespace
