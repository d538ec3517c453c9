#pragma once
// Delivers the outbox from the station's timer, one message at a time, on a thread of its own:
// the main thread only picks the next message and learns the outcome, so a mail server that
// accepts and never answers holds up neither the port nor the storing.
#include <functional>
#include <memory>
#include <string>

#include "common/DateTime.h"
#include "mail/MailSettings.h"
#include "mail/Outbox.h"

// Where and how mail goes out, as the settings give it when a message is picked.
struct TMailServer {
    std::string Host;
    int Port = 25;
    TMailSettings Settings;
    int TimeOutMs = 60000;
};

// The log text of an error caught around a mail session, Windows-1251, one line: the one place
// the station words a mail failure.
std::string MailErrorText(const std::exception& error);

// Sends one message built before through a session of its own, on the calling thread: the
// error text, empty when delivered. started sees the client before it connects; false from it
// sends nothing.
std::string SendEnvelope(const TMailServer& server, const TMailEnvelope& envelope,
                         const std::function<bool(TSmtpClient&)>& started = {});

class TOutboxSender {
public:
    explicit TOutboxSender(TOutbox& outbox);
    // Ends a session under way at once; its message stays in the outbox.
    ~TOutboxSender();
    TOutboxSender(const TOutboxSender&) = delete;
    TOutboxSender& operator=(const TOutboxSender&) = delete;

    // The timer's tick: when no session is under way, the next due message goes out.
    void Tick();
    bool Busy() const;
    // Ends a session under way and sends nothing more.
    void Stop();

    std::function<TMailServer()> Server;
    // What came of each message (delivered, failed, dropped), on the main thread.
    std::function<void(const TOutboxReport& report)> OnReport;

    TOutbox& Outbox() { return Outbox_; }

private:
    struct TWorker;
    void Finished();

    TOutbox& Outbox_;
    std::unique_ptr<TWorker> Worker;
    bool Stopped = false;
};
