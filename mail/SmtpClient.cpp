#include "mail/SmtpClient.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <random>

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

}  // namespace

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
    if (ReplyText().empty()) throw EError("Connection closed by server");
}

void TSmtpClient::SkipContinuation() {
    std::string line = ReplyText();
    while (!line.empty() && (line[0] == ' ' || (line.size() > 3 && line[3] == '-'))) {
        line = ReadLn();
        StatusMessage(1, line);
    }
}

void TSmtpClient::ReadReply() {
    SetReply(ReadLn());
    SkipContinuation();
    RequireReply();
}

void TSmtpClient::Command(const std::string& command, int limit) {
    Transaction(command);
    RequireReply();
    if (ReplyNumber() >= limit) throw EError(ReplyText());
}

void TSmtpClient::Helo() {
    // A HELO needs a domain: servers refuse one with nothing after the blank.
    bool asked = false;
    for (;;) {
        Transaction("HELO " + (userID_.empty() ? LocalHostName() : userID_));
        SkipContinuation();
        RequireReply();
        if (ReplyNumber() < 300) return;
        if (!asked && OnAuthenticationFailed) {
            asked = true;
            bool handled = false;
            OnAuthenticationFailed(handled);
            if (handled) continue;
        }
        throw EError("Authentication failed");
    }
}

void TSmtpClient::Connect() {
    const bool setBusy = !busy_;
    busy_ = true;
    try {
        TSocketClient::Connect();
        try {
            ReadReply();
            if (ReplyNumber() >= 400) throw EError(ReplyText());
            Helo();
        } catch (...) {
            if (Connected()) {
                try {
                    Disconnect();
                } catch (const std::exception&) {
                    // the connect's own failure is the one to report
                }
            }
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
        Command("RSET", 400);
        Command("MAIL FROM:<" + m.FromAddress + ">", 400);
        for (const auto* list : {&m.ToAddress, &m.ToCarbonCopy, &m.ToBlindCarbonCopy}) {
            for (const auto& entry : *list) {
                const std::string mailbox = ExtractMailbox(entry);
                if (mailbox.empty()) continue;
                Transaction("RCPT TO:<" + mailbox + ">");
                RequireReply();
                if (ReplyNumber() > 300 && OnRecipientNotFound) OnRecipientNotFound(mailbox);
            }
        }
        Command("DATA", 400);
        // The header block goes out in one piece: a write per line would cost a packet each.
        std::string block;
        for (const auto& line : finalHeader_) block += line + "\r\n";
        block += "\r\n\r\n";
        if (block.size() < 65536)
            Write(block);
        else
            SendStream(block);
        SendStream(bodyStream_);
        Transaction(".");
        RequireReply();
        if (ReplyNumber() >= 400) {
            if (OnFailure) OnFailure();
            throw EError(ReplyText());
        }
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

void TSmtpClient::Disconnect() {
    ClearCancel();
    if (!Connected()) return;
    std::exception_ptr failure;
    try {
        Transaction("QUIT");
    } catch (...) {
        failure = std::current_exception();
    }
    if (Connected()) TSocketClient::Disconnect();
    if (failure) std::rethrow_exception(failure);
    if (ReplyNumber() >= 340) throw EError(ReplyText());
}
