#pragma once
// The station's mail client: one SMTP session at a time over a TSocketClient, no authentication.
#include <functional>
#include <string>
#include <vector>

#include "mail/MailEncoding.h"
#include "mail/SocketClient.h"

class TSmtpClient : public TSocketClient {
public:
    TSmtpClient();

    const std::string& UserID() const { return userID_; }
    void SetUserID(const std::string& id) { userID_ = id; }
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
    // Says QUIT and closes the connection.
    void Disconnect();
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
    void SkipContinuation();
    void Helo();
    void Command(const std::string& command, int limit);
    void RequireReply();

    std::string userID_;
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
