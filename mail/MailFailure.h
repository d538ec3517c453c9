#pragma once
// What went wrong in a mail session, told apart so that the station's log can say it plainly:
// every error of the mail client carries its kind, and MailFailureText turns any caught error
// into the line the station shows.
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "common/Errors.h"

enum class TMailFailure {
    Other,              // not the line or the server: an incomplete message, a missing file
    TimedOut,           // nothing (or not all of a reply) within the time-out
    Aborted,            // the session was stopped from our side (the station shuts down)
    HostNotFound,       // the server's name does not resolve, or no name was given
    ConnectionRefused,  // nothing listens on the server's port
    ConnectionFailed,   // any other socket failure: unreachable, reset
    ConnectionClosed,   // the server hung up while its reply was awaited
    NotSmtp,            // the peer's greeting or reply is no SMTP reply
    Tls,                // no encrypted connection where one is required
    LoginRefused,       // the server refused the user name and password
    NoLogin,            // the server offers no way to log in that the client speaks
    ServerRefused,      // the server refused a command
    RecipientRefused,   // the server refused a recipient of the message
};

class EMailError : public EError {
public:
    EMailError(TMailFailure kind, const std::string& message, std::string reply = {},
               std::string detail = {}, int timeOutMs = 0)
        : EError(message),
          kind_(kind),
          reply_(std::move(reply)),
          detail_(std::move(detail)),
          timeOutMs_(timeOutMs) {}

    TMailFailure Kind() const noexcept { return kind_; }
    // The server's reply as received, where the failure has one (a refusal, a greeting that is
    // no SMTP).
    const std::string& Reply() const noexcept { return reply_; }
    // The host not found, the recipient refused, or the login mechanisms offered.
    const std::string& Detail() const noexcept { return detail_; }
    // The time-out that ran out, in milliseconds; 0 when none did.
    int TimeOutMs() const noexcept { return timeOutMs_; }

private:
    TMailFailure kind_;
    std::string reply_;
    std::string detail_;
    int timeOutMs_;
};

// The kind of any caught error: Other for one that does not come from the mail client.
TMailFailure MailFailureKind(const std::exception& e);

// The station's log text (Windows-1251, one line) for an error caught around a mail session:
// "нет ответа от сервера за 60 с", "сервер отказал в соединении", "сервер не найден: HOST",
// "сервер отверг вход: <reply>", "сервер отказал: <reply>", ...
std::string MailFailureText(const std::exception& e);

// Milliseconds as seconds for a message: "60", "2,5", "0,3" with point ','.
std::string SecondsText(int ms, char point);

// Text from the network made fit for one line of a message: control bytes become single
// blanks, and anything beyond max bytes becomes "...".
std::string OneLineExcerpt(std::string_view text, size_t max);
