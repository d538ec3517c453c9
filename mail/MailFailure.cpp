#include "mail/MailFailure.h"

#include "platform/CodePage.h"

namespace {

// A server's reply in the log: long enough for any real one, short enough for a log line.
constexpr size_t kMaxReplyInLog = 500;

std::string Ansi(std::string_view utf8) {
    return platform::Utf8ToAnsi(utf8);
}

std::string ReplyOf(const EMailError& e) {
    return OneLineExcerpt(e.Reply(), kMaxReplyInLog);
}

std::string HostNotFoundText(const EMailError& e) {
    if (e.Detail().empty()) return Ansi("не указан адрес почтового сервера");
    std::string text = Ansi("сервер не найден: ") + OneLineExcerpt(e.Detail(), kMaxReplyInLog);
    if (e.TimeOutMs() > 0)
        text += Ansi(" (нет ответа за ") + SecondsText(e.TimeOutMs(), ',') + Ansi(" с)");
    return text;
}

std::string NoLoginText(const EMailError& e) {
    if (e.Detail().empty()) return Ansi("сервер не предлагает входа по паролю");
    return Ansi("сервер не предлагает подходящего способа входа: ") +
           OneLineExcerpt(e.Detail(), kMaxReplyInLog);
}

std::string WhatText(const std::exception& e) {
    const std::string what = OneLineExcerpt(e.what(), kMaxReplyInLog);
    return what.empty() ? Ansi("ошибка почты") : what;
}

}  // namespace

TMailFailure MailFailureKind(const std::exception& e) {
    const auto* mail = dynamic_cast<const EMailError*>(&e);
    return mail ? mail->Kind() : TMailFailure::Other;
}

std::string MailFailureText(const std::exception& failure) {
    const auto* e = dynamic_cast<const EMailError*>(&failure);
    if (!e) return WhatText(failure);
    switch (e->Kind()) {
        case TMailFailure::TimedOut:
            return Ansi("нет ответа от сервера за ") + SecondsText(e->TimeOutMs(), ',') +
                   Ansi(" с");
        case TMailFailure::Aborted:
            return Ansi("отправка прервана");
        case TMailFailure::HostNotFound:
            return HostNotFoundText(*e);
        case TMailFailure::ConnectionRefused:
            return Ansi("сервер отказал в соединении");
        case TMailFailure::ConnectionFailed:
            return Ansi("нет связи с сервером: ") + WhatText(*e);
        case TMailFailure::ConnectionClosed:
            return Ansi("сервер разорвал соединение");
        case TMailFailure::NotSmtp:
            return Ansi("сервер ответил не по протоколу SMTP: ") + ReplyOf(*e);
        case TMailFailure::Tls:
            return Ansi("защищённое соединение не установлено: ") + WhatText(*e);
        case TMailFailure::LoginRefused:
            return Ansi("сервер отверг вход: ") + ReplyOf(*e);
        case TMailFailure::NoLogin:
            return NoLoginText(*e);
        case TMailFailure::ServerRefused:
            return Ansi("сервер отказал: ") + ReplyOf(*e);
        case TMailFailure::RecipientRefused:
            return Ansi("сервер не принял адрес ") + OneLineExcerpt(e->Detail(), kMaxReplyInLog) +
                   ": " + ReplyOf(*e);
        case TMailFailure::Other:
            break;
    }
    return WhatText(*e);
}

std::string SecondsText(int ms, char point) {
    std::string text = std::to_string(ms / 1000);
    const int fraction = ms % 1000;
    if (fraction == 0) return text;
    std::string digits = std::to_string(1000 + fraction).substr(1);
    while (digits.back() == '0') digits.pop_back();
    return text + point + digits;
}

std::string OneLineExcerpt(std::string_view text, size_t max) {
    std::string out;
    for (const char c : text) {
        const bool blank = static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
        if (blank && (out.empty() || out.back() == ' ')) continue;
        if (out.size() >= max) {
            out += "...";
            return out;
        }
        out += blank ? ' ' : c;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}
