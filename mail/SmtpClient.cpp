#include "mail/SmtpClient.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <random>
#include <utility>

namespace {

std::string JoinComma(const std::vector<std::string>& entries) {
    std::string out;
    for (const auto& e : entries) out += (out.empty() ? "" : ",") + e;
    return out;
}

std::string RandomBoundary() {
    static std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<int> letter(0, 24);  // a to y
    std::string b = "====================54535";
    for (int i = 0; i < 6; ++i) b += static_cast<char>('a' + letter(random));
    return b + "====";
}

const char* ContentType(TSubType type) {
    switch (type) {
        case mtEnriched:
            return "Content-Type: text/enriched; charset=";
        case mtSgml:
            return "Content-Type: text/sgml; charset=";
        case mtTabSeperated:
            return "Content-Type: text/tab-separated-values; charset=";
        case mtHtml:
            return "Content-Type: text/html; charset=";
        default:
            return "Content-Type: text/plain; charset=";
    }
}

std::string FileNameOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A server that keeps a reply going past these is not speaking SMTP any more.
constexpr size_t kMaxReplyLines = 1000;
constexpr size_t kMaxReplyBytes = 65536;
constexpr size_t kMaxMechanismsText = 256;

// What of a reply that is no SMTP goes into its error: enough to recognise the peer.
constexpr size_t kNotSmtpExcerpt = 200;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The first line of a reply: a code of three digits, the first 2 to 5, then a blank, a hyphen
// or the line's end.
bool IsReplyLine(const std::string& line) {
    if (line.size() < 3 || line[0] < '2' || line[0] > '5' || !IsDigit(line[1]) || !IsDigit(line[2]))
        return false;
    return line.size() == 3 || line[3] == ' ' || line[3] == '-' || line[3] == '\r' ||
           line[3] == '\n';
}

ESockError NotSmtp(const std::string& message, const std::string& reply) {
    return ESockError(TMailFailure::NotSmtp, message, reply.substr(0, kNotSmtpExcerpt));
}

bool IsContinuation(const std::string& line) {
    return !line.empty() && (line[0] == ' ' || (line.size() > 3 && line[3] == '-'));
}

std::string UpperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

// The words of an EHLO line; "AUTH=LOGIN", the form of older servers, counts as two.
std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find_first_of(" \t=", at);
        const size_t stop = end == std::string_view::npos ? text.size() : end;
        if (stop > at) words.push_back(text.substr(at, stop - at));
        at = stop + 1;
    }
    return words;
}

}  // namespace

TSmtpCapabilities ParseEhloReply(std::string_view reply) {
    TSmtpCapabilities caps;
    bool first = true;  // the server's name and greeting
    size_t at = 0;
    while (at < reply.size()) {
        const size_t eol = reply.find('\n', at);
        std::string_view line =
            reply.substr(at, eol == std::string_view::npos ? std::string_view::npos : eol - at);
        at = eol == std::string_view::npos ? reply.size() : eol + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (std::exchange(first, false) || line.size() < 4) continue;
        const std::vector<std::string_view> words = Words(line.substr(4));
        if (words.empty()) continue;
        const std::string keyword = UpperAscii(words[0]);
        if (keyword == "STARTTLS") {
            caps.StartTls = true;
        } else if (keyword == "AUTH") {
            caps.Auth = true;
            for (size_t i = 1; i < words.size(); ++i) {
                const std::string mechanism = UpperAscii(words[i]);
                caps.AuthPlain = caps.AuthPlain || mechanism == "PLAIN";
                caps.AuthLogin = caps.AuthLogin || mechanism == "LOGIN";
                if (caps.AuthMechanisms.size() + mechanism.size() < kMaxMechanismsText)
                    caps.AuthMechanisms += (caps.AuthMechanisms.empty() ? "" : " ") + mechanism;
            }
        }
    }
    return caps;
}

std::string ExtractMailbox(const std::string& entry) {
    auto between = [&](char mark) {
        const size_t start = entry.find(mark) + 1;
        const size_t end = entry.find(mark, start);
        return entry.substr(start, end == std::string::npos ? std::string::npos : end - start);
    };
    if (entry.find('<') != std::string::npos) {
        const std::string inner = between('<');
        return inner.substr(0, inner.find('>'));
    }
    if (entry.find(':') != std::string::npos) return between(':');
    return entry;
}

TSmtpClient::TSmtpClient() {
    SetPort(25);
}

void TSmtpClient::ConnectionRequired() {
    if (OnConnectionRequired) OnConnectionRequired();
}

void TSmtpClient::RequireReply() {
    // The server went away while its reply was awaited; nothing it said can be trusted.
    if (ReplyText().empty())
        throw ESockError(TMailFailure::ConnectionClosed, "Connection closed by server");
}

// Every reply is read whole, so a reply of several lines to one command is never taken for
// the reply to the next.
void TSmtpClient::ReadContinuation() {
    std::string reply = ReplyText();
    // A peer of another protocol is told apart before its line could be taken for the first of
    // many ("SSH-2.0-..." has a hyphen where a continuation has one).
    if (!reply.empty() && !IsReplyLine(reply))
        throw NotSmtp("The server does not speak SMTP: " + OneLineExcerpt(reply, kNotSmtpExcerpt),
                      reply);
    std::string line = reply;
    size_t lines = 1;
    while (IsContinuation(line)) {
        line = ReadLn();
        StatusMessage(1, line);
        if (++lines > kMaxReplyLines || reply.size() + line.size() > kMaxReplyBytes)
            throw NotSmtp("Reply too long", reply);
        reply += line;
    }
    if (lines > 1) KeepReply(reply);
}

void TSmtpClient::ReadReply() {
    const TTimeOutScope limit(*this);
    SetReply(ReadLn());
    ReadContinuation();
    RequireReply();
}

void TSmtpClient::Exchange(const std::string& command) {
    const TTimeOutScope limit(*this);
    Transaction(command);
    ReadContinuation();
}

void TSmtpClient::Command(const std::string& command, int limit) {
    Exchange(command);
    RequireReply();
    if (ReplyNumber() >= limit) throw EReplyError(ReplyText());
}

bool TSmtpClient::Ehlo() {
    Exchange("EHLO " + (userID_.empty() ? LocalHostName() : userID_));
    RequireReply();
    if (ReplyNumber() < 300) {
        capabilities_ = ParseEhloReply(ReplyText());
        return true;
    }
    if (ReplyNumber() >= 500) return false;  // a server that knows only HELO
    throw EReplyError(ReplyText());
}

void TSmtpClient::Introduce() {
    if (!Ehlo()) Helo();
    // Without a security mode the password alone asks for encryption, where the server has it.
    const bool wantTls =
        !Secure() && (security_ == TMailSecurity::StartTls || (!user_.empty() && !trusted_));
    if (wantTls && capabilities_.StartTls) {
        Exchange("STARTTLS");
        RequireReply();
        if (ReplyNumber() >= 300) throw ETlsError("STARTTLS refused: " + ReplyText(), ReplyText());
        StartTls();
        // What the server offered in plain text may have been changed on the way.
        capabilities_ = {};
        if (!Ehlo()) throw EReplyError(ReplyText());
    } else if (security_ == TMailSecurity::StartTls && !Secure()) {
        throw ETlsError("The server offers no STARTTLS");
    }
    if (!user_.empty()) Authenticate();
}

void TSmtpClient::Authenticate() {
    if (!Secure() && !trusted_)
        throw ETlsError("The password is not sent over an unencrypted connection");
    if (!capabilities_.Auth) throw EAuthError(TMailFailure::NoLogin, "The server offers no AUTH");
    if (capabilities_.AuthPlain) {
        const std::string credentials = Base64(std::string(1, '\0') + user_ + '\0' + password_);
        Exchange("AUTH PLAIN " + credentials);
        RequireReply();
        // A server that ignores the initial response asks for it.
        if (ReplyNumber() == 334) Exchange(credentials);
    } else if (capabilities_.AuthLogin) {
        Exchange("AUTH LOGIN");
        RequireReply();
        if (ReplyNumber() == 334) Exchange(Base64(user_));
        RequireReply();
        if (ReplyNumber() == 334) Exchange(Base64(password_));
    } else {
        throw EAuthError(TMailFailure::NoLogin,
                         "No AUTH mechanism in common: " + capabilities_.AuthMechanisms, {},
                         capabilities_.AuthMechanisms);
    }
    RequireReply();
    if (ReplyNumber() != 235)
        throw EAuthError(TMailFailure::LoginRefused, ReplyText(), ReplyText());
}

void TSmtpClient::Helo() {
    // A HELO needs a domain: servers refuse one with nothing after the blank.
    bool asked = false;
    for (;;) {
        Exchange("HELO " + (userID_.empty() ? LocalHostName() : userID_));
        RequireReply();
        if (ReplyNumber() < 300) return;
        if (!asked && OnAuthenticationFailed) {
            asked = true;
            bool handled = false;
            OnAuthenticationFailed(handled);
            if (handled) continue;
        }
        throw EReplyError(TMailFailure::ServerRefused, "Authentication failed", ReplyText(), {});
    }
}

void TSmtpClient::Connect() {
    const bool setBusy = !busy_;
    busy_ = true;
    capabilities_ = {};
    try {
        SetImplicitTls(security_ == TMailSecurity::Tls);
        TSocketClient::Connect();
        try {
            ReadReply();
            if (ReplyNumber() >= 400) throw EReplyError(ReplyText());
            // Without a security mode and a user the session stays the plain one of old.
            if (security_ == TMailSecurity::None && user_.empty())
                Helo();
            else
                Introduce();
        } catch (const std::exception& e) {
            CloseAfterFailure(e);
            throw;
        }
    } catch (...) {
        if (setBusy) busy_ = false;
        throw;
    }
    if (setBusy) busy_ = false;
    if (OnConnect) OnConnect();
}

void TSmtpClient::BuildMessage() {
    const TMailMessage& m = postMessage_;
    finalHeader_.clear();
    bodyStream_.clear();
    finalHeader_.push_back("From: " + m.FromName + "<" + m.FromAddress + ">");
    if (!m.ToAddress.empty()) finalHeader_.push_back("To: " + JoinComma(m.ToAddress));
    if (!m.ToCarbonCopy.empty()) finalHeader_.push_back("CC: " + JoinComma(m.ToCarbonCopy));
    SetHeader(finalHeader_, "Subject", m.Subject);
    SetHeader(finalHeader_, "X-Mailer", m.LocalProgram);
    if (!m.ReplyTo.empty()) SetHeader(finalHeader_, "Reply-To", m.ReplyTo);
    if (!m.Date.empty()) SetHeader(finalHeader_, "Date", m.Date);
    finalHeader_.push_back("Mime-Version: 1.0");
    if (m.Attachments.empty()) {
        finalHeader_.push_back(ContentType(subType_) + charset_);
        for (const auto& line : m.Body) bodyStream_ += DotStuffedLine(line);
        return;
    }
    boundary_ = RandomBoundary();
    finalHeader_.push_back("Content-Type: multipart/mixed; boundary=\"" + boundary_ + "\"");
    bodyStream_ +=
        "--" + boundary_ + "\r\nContent-Type: text/plain; charset=" + charset_ + "\r\n\r\n";
    for (const auto& line : m.Body) bodyStream_ += DotStuffedLine(line);
    for (const auto& path : m.Attachments) {
        const std::string name = FileNameOf(path);
        bodyStream_ += "--" + boundary_ + "\r\n";
        bodyStream_ += "Content-Type: application/octet-stream; name=\"" + name + "\"\r\n";
        // Announce the encoding actually used, so the receiver can decode the part.
        bodyStream_ += encodeType_ == uuMime ? "Content-Transfer-Encoding: base64\r\n"
                                             : "Content-Transfer-Encoding: x-uuencode\r\n";
        bodyStream_ += "Content-Disposition: attachment; filename=\"" + name + "\"\r\n\r\n";
        if (OnEncodeStart) OnEncodeStart(path);
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            const std::string reason = std::strerror(errno);
            if (OnAttachmentNotFound) OnAttachmentNotFound(path);
            throw EError("Cannot open file \"" + path + "\". " + reason);
        }
        bodyStream_ += EncodeStream(file, encodeType_);
        if (OnEncodeEnd) OnEncodeEnd(path);
    }
    bodyStream_ += "--" + boundary_ + "--\r\n";
}

void TSmtpClient::SendMail() {
    if (busy_) return;
    busy_ = true;
    try {
        BuildMessage();
        CheckConnection();
        TMailMessage& m = postMessage_;
        auto complete = [&m] {
            return !m.FromAddress.empty() && (!m.ToAddress.empty() || !m.ToCarbonCopy.empty() ||
                                              !m.ToBlindCarbonCopy.empty());
        };
        if (!complete()) {
            bool handled = false;
            if (OnHeaderIncomplete) OnHeaderIncomplete(handled, m.FromAddress.empty() ? 1 : 2);
            if (!handled || !complete()) throw EError("Incomplete Header");
            BuildMessage();  // the handler may have filled in what the header lacked
        }
        if (OnSendStart) OnSendStart();
        Transfer(Envelope());
        if (clearParams_) {
            m.ToAddress.clear();
            m.ToCarbonCopy.clear();
            m.ToBlindCarbonCopy.clear();
            m.Attachments.clear();
        }
    } catch (...) {
        busy_ = false;
        throw;
    }
    busy_ = false;
    if (OnSuccess) OnSuccess();
}

void TSmtpClient::SendEnvelope(const TMailEnvelope& envelope) {
    if (busy_) return;
    busy_ = true;
    try {
        CheckConnection();
        if (envelope.From.empty() || envelope.Recipients.empty()) throw EError("Incomplete Header");
        if (OnSendStart) OnSendStart();
        Transfer(envelope);
    } catch (...) {
        busy_ = false;
        throw;
    }
    busy_ = false;
    if (OnSuccess) OnSuccess();
}

TMailEnvelope TSmtpClient::BuildEnvelope() {
    BuildMessage();
    return Envelope();
}

TMailEnvelope TSmtpClient::Envelope() const {
    const TMailMessage& m = postMessage_;
    TMailEnvelope e;
    e.From = m.FromAddress;
    for (const auto* list : {&m.ToAddress, &m.ToCarbonCopy, &m.ToBlindCarbonCopy})
        for (const auto& entry : *list)
            if (std::string mailbox = ExtractMailbox(entry); !mailbox.empty())
                e.Recipients.push_back(std::move(mailbox));
    for (const auto& line : finalHeader_) e.Header += line + "\r\n";
    e.Header += "\r\n\r\n";
    e.Body = bodyStream_;
    return e;
}

void TSmtpClient::Transfer(const TMailEnvelope& e) {
    // A line break would end the command early and start one the server takes as ours.
    auto broken = [](const std::string& address) {
        return address.find_first_of("\r\n") != std::string::npos;
    };
    if (broken(e.From) || std::any_of(e.Recipients.begin(), e.Recipients.end(), broken))
        throw EError("Line break in a mail address");
    Command("RSET", 400);
    Command("MAIL FROM:<" + e.From + ">", 400);
    size_t accepted = 0;
    std::string refused, refusal;  // the first recipient refused and the server's reply
    for (const auto& mailbox : e.Recipients) {
        Exchange("RCPT TO:<" + mailbox + ">");
        RequireReply();
        if (ReplyNumber() <= 300) {
            ++accepted;
            continue;
        }
        if (refused.empty()) {
            refused = mailbox;
            refusal = ReplyText();
        }
        if (OnRecipientNotFound) OnRecipientNotFound(mailbox);
    }
    Exchange("DATA");
    RequireReply();
    if (ReplyNumber() >= 400) {
        // With no recipient taken, the refusal of the data only follows from theirs.
        if (accepted == 0 && !refused.empty())
            throw EReplyError(TMailFailure::RecipientRefused,
                              "Recipient " + refused + " refused: " + refusal, refusal, refused);
        throw EReplyError(ReplyText());
    }
    // The header block goes out in one piece: a write per line would cost a packet each.
    if (e.Header.size() < 65536)
        Write(e.Header);
    else
        SendStream(e.Header);
    SendStream(e.Body);
    Exchange(".");
    RequireReply();
    if (ReplyNumber() >= 400) {
        if (OnFailure) OnFailure();
        throw EReplyError(ReplyText());
    }
}

void TSmtpClient::CloseAfterFailure(const std::exception& failure) noexcept {
    if (!Connected()) return;
    try {
        // With the line itself gone wrong, a QUIT would only wait for a reply that never comes.
        // A TLS failure that leaves the connection open is a refusal in step with the server.
        const bool lineFailed = (dynamic_cast<const ESockError*>(&failure) &&
                                 !dynamic_cast<const ETlsError*>(&failure)) ||
                                dynamic_cast<const EAbortError*>(&failure);
        if (lineFailed)
            TSocketClient::Disconnect();
        else
            Disconnect();
    } catch (const std::exception&) {
        // Closed all the same; the failure itself is the one to report.
    }
}

void TSmtpClient::Disconnect() {
    ClearCancel();
    if (!Connected()) return;
    std::exception_ptr failure;
    try {
        Exchange("QUIT");
    } catch (...) {
        failure = std::current_exception();
    }
    if (Connected()) TSocketClient::Disconnect();
    if (failure) std::rethrow_exception(failure);
    if (ReplyNumber() >= 340) throw EReplyError(ReplyText());
}
