#include "mail/OutboxSender.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <mutex>

#include "mail/SmtpClient.h"

std::string MailErrorText(const std::exception& error) {
    const std::string text = MailFailureText(error);
    return text.empty() ? std::string("mail failed") : text;
}

std::string SendEnvelope(const TMailServer& server, const TMailEnvelope& envelope,
                         const std::function<bool(TSmtpClient&)>& started) {
    TSmtpClient smtp;
    if (started && !started(smtp)) return "station stopping";
    smtp.SetTimeOut(server.TimeOutMs);
    try {
        ApplyMailSettings(smtp, server.Settings);
        smtp.SetHost(server.Host);
        smtp.SetPort(server.Port);
        smtp.Connect();
        smtp.SendEnvelope(envelope);
    } catch (const std::exception& e) {
        smtp.CloseAfterFailure(e);
        return MailErrorText(e);
    }
    // Delivered: a goodbye the server does not take must not send the message again.
    try {
        if (smtp.Connected()) smtp.Disconnect();
    } catch (const std::exception&) {
        // Closed all the same.
    }
    return {};
}

// One session on a thread of its own. Its client lives and dies on that thread (its time-out
// timer belongs there); the main thread reaches it only through a queued call, which the
// client's waits serve.
struct TOutboxSender::TWorker {
    std::string Name;
    std::string Result;
    std::unique_ptr<QThread> Thread;
    QObject Context;  // on the main thread: where the end is told
    std::mutex Lock;
    QObject* ClientContext = nullptr;  // on the worker, while its client lives
    TSmtpClient* Client = nullptr;
    bool AbortRequested = false;

    void Abort() {
        std::lock_guard<std::mutex> guard(Lock);
        AbortRequested = true;
        if (ClientContext)
            QMetaObject::invokeMethod(
                ClientContext, [client = Client] { client->Abort(); }, Qt::QueuedConnection);
    }
};

TOutboxSender::TOutboxSender(TOutbox& outbox) : Outbox_(outbox) {}

TOutboxSender::~TOutboxSender() {
    Stop();
}

bool TOutboxSender::Busy() const {
    return Worker != nullptr;
}

void TOutboxSender::Stop() {
    Stopped = true;
    if (!Worker) return;
    Worker->Abort();
    Worker->Thread->wait();
    Worker.reset();
}

void TOutboxSender::Tick() {
    if (Worker || Stopped || !Server) return;
    const auto report = [this](const TOutboxReport& r) {
        if (OnReport) OnReport(r);
    };
    std::optional<TQueuedMail> mail = Outbox_.Next(Now(), report);
    if (!mail) return;
    auto worker = std::make_unique<TWorker>();
    worker->Name = mail->Name;
    TWorker* w = worker.get();
    worker->Thread.reset(
        QThread::create([w, server = Server(), envelope = std::move(mail->Envelope)] {
            QObject context;
            w->Result = SendEnvelope(server, envelope, [w, &context](TSmtpClient& client) {
                std::lock_guard<std::mutex> guard(w->Lock);
                w->ClientContext = &context;
                w->Client = &client;
                return !w->AbortRequested;
            });
            std::lock_guard<std::mutex> guard(w->Lock);
            w->ClientContext = nullptr;
            w->Client = nullptr;
        }));
    QObject::connect(
        worker->Thread.get(), &QThread::finished, &worker->Context, [this] { Finished(); },
        Qt::QueuedConnection);
    Worker = std::move(worker);
    Worker->Thread->start();
}

void TOutboxSender::Finished() {
    if (!Worker) return;
    Worker->Thread->wait();
    const std::unique_ptr<TWorker> done = std::move(Worker);
    Outbox_.Done(done->Name, Now(), done->Result, [this](const TOutboxReport& r) {
        if (OnReport) OnReport(r);
    });
    // The next one right away: a server that is back takes the whole queue in one go.
    Tick();
}
