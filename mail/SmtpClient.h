#pragma once
// The station's mail client: one SMTP session at a time over a TSocketClient, in plain text or
// encrypted, with or without authentication.
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mail/MailEncoding.h"
#include "mail/SocketClient.h"

// How the connection to the mail server is protected.
enum class TMailSecurity {
    None,      // plain text; STARTTLS only when a user is set and the network is not trusted
    StartTls,  // plain connect, then STARTTLS, which the server must offer
    Tls,       // TLS from the first byte (the submission port 465)
};

// The server refused the user name and password (LoginRefused, with its reply), or offers no
// way to log in that we know (NoLogin, with the mechanisms it offers).
class EAuthError : public EMailError {
public:
    EAuthError(TMailFailure kind, const std::string& message, std::string reply = {},
               std::string detail = {})
        : EMailError(kind, message, std::move(reply), std::move(detail)) {}
};

// The server refused a command (ServerRefused) or every recipient (RecipientRefused, the first
// mailbox refused as the detail). The message is the server's reply as received, save for a
// refused HELO ("Authentication failed") and a refused recipient, whose message names it.
class EReplyError : public EMailError {
public:
    explicit EReplyError(const std::string& reply)
        : EMailError(TMailFailure::ServerRefused, reply, reply) {}
    EReplyError(TMailFailure kind, const std::string& message, std::string reply,
                std::string detail)
        : EMailError(kind, message, std::move(reply), std::move(detail)) {}
};

// What a server's EHLO reply offers, as far as the client uses it.
struct TSmtpCapabilities {
    bool StartTls = false;
    bool Auth = false;
    bool AuthPlain = false;
    bool AuthLogin = false;
    std::string AuthMechanisms;  // the AUTH line's mechanisms as offered, for messages
};

// The capabilities in an EHLO reply, all its lines as received. The reply comes from the
// network: any bytes of any length are taken.
TSmtpCapabilities ParseEhloReply(std::string_view reply);

// One message as it goes on the wire: the envelope and the bytes between DATA and the end line.
struct TMailEnvelope {
    std::string From;                     // the MAIL FROM mailbox
    std::vector<std::string> Recipients;  // the RCPT TO mailboxes, in order
    std::string Header;                   // the header block and the two line breaks after it
    std::string Body;                     // the body stream, dot-stuffed
};

class TSmtpClient : public TSocketClient {
public:
    TSmtpClient();

    const std::string& UserID() const { return userID_; }
    void SetUserID(const std::string& id) { userID_ = id; }
    TMailSecurity Security() const { return security_; }
    void SetSecurity(TMailSecurity security) { security_ = security; }
    // The login for AUTH, sent as these bytes (UTF-8 for today's servers); empty: no AUTH.
    const std::string& User() const { return user_; }
    void SetUser(const std::string& user) { user_ = user; }
    void SetPassword(const std::string& password) { password_ = password; }
    // The network to the server is trusted: the password may go over plain text.
    bool Trusted() const { return trusted_; }
    void SetTrusted(bool trusted) { trusted_ = trusted; }
    // What the server's last EHLO offered (nothing after a HELO).
    const TSmtpCapabilities& Capabilities() const { return capabilities_; }
    TMailMessage& PostMessage() { return postMessage_; }
    const std::vector<std::string>& FinalHeader() const { return finalHeader_; }
    UUMethods EncodeType() const { return encodeType_; }
    void SetEncodeType(UUMethods type) { encodeType_ = type; }
    bool ClearParams() const { return clearParams_; }
    void SetClearParams(bool clear) { clearParams_ = clear; }
    TSubType SubType() const { return subType_; }
    void SetSubType(TSubType type) { subType_ = type; }
    const std::string& Charset() const { return charset_; }
    void SetCharset(const std::string& charset) { charset_ = charset; }
    bool Busy() const { return busy_; }
    // What follows the header block after DATA, as built for the current message.
    const std::string& BodyStream() const { return bodyStream_; }
    const std::string& Boundary() const { return boundary_; }

    // Opens the connection, reads the greeting and introduces the client.
    void Connect();
    // Sends PostMessage; does nothing while a connect or send is in progress.
    void SendMail();
    // Sends a message built before, byte for byte; does nothing while busy, as SendMail.
    void SendEnvelope(const TMailEnvelope& envelope);
    // PostMessage as SendMail would send it now.
    TMailEnvelope BuildEnvelope();
    // Says QUIT and closes the connection.
    void Disconnect();
    // Ends the session after a failed operation: QUIT while the server is still in step, at
    // once when the connection failed (no reply, a broken line, a time-out).
    void CloseAfterFailure(const std::exception& failure) noexcept;
    // Fills FinalHeader and BodyStream from PostMessage.
    void BuildMessage();

    std::function<void()> OnConnectionRequired;
    std::function<void(bool& handled)> OnAuthenticationFailed;
    std::function<void(bool& handled, int kind)> OnHeaderIncomplete;  // 1 no sender, 2 no rcpt
    std::function<void()> OnSendStart;
    std::function<void(const std::string& recipient)> OnRecipientNotFound;
    std::function<void()> OnSuccess;
    std::function<void()> OnFailure;
    std::function<void(const std::string& file)> OnEncodeStart;
    std::function<void(const std::string& file)> OnEncodeEnd;
    std::function<void(const std::string& file)> OnAttachmentNotFound;
    std::function<void(const std::string& line)> OnMailListReturn;

protected:
    void ConnectionRequired() override;
    void SocketConnected() override {}

private:
    void ReadReply();
    void ReadContinuation();
    // A command and its whole reply.
    void Exchange(const std::string& command);
    void Helo();
    bool Ehlo();
    void Introduce();
    void Authenticate();
    void Command(const std::string& command, int limit);
    void RequireReply();
    TMailEnvelope Envelope() const;
    void Transfer(const TMailEnvelope& envelope);

    std::string userID_;
    TMailSecurity security_ = TMailSecurity::None;
    std::string user_;
    std::string password_;
    bool trusted_ = false;
    TSmtpCapabilities capabilities_;
    TMailMessage postMessage_;
    std::vector<std::string> finalHeader_;
    UUMethods encodeType_ = uuMime;
    bool clearParams_ = true;
    TSubType subType_ = mtPlain;
    std::string charset_ = "us-ascii";
    bool busy_ = false;
    std::string bodyStream_;
    std::string boundary_;
};

// The mailbox of a recipient entry: the part in angle brackets, else what follows a colon.
std::string ExtractMailbox(const std::string& entry);
