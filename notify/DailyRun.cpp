#include "notify/DailyRun.h"

#include <unistd.h>

#include <exception>
#include <filesystem>
#include <iterator>
#include <utility>

#include "config/ReportMailSettings.h"
#include "db/CallDatabase.h"
#include "mail/Outbox.h"
#include "mail/OutboxSender.h"
#include "mail/SmtpClient.h"
#include "notify/ReportMail.h"
#include "platform/CodePage.h"
#include "platform/ProgramDir.h"
#include "reports/ReportExport.h"

using platform::Utf8ToAnsi;

namespace {

constexpr const char* kOwnersStatement = "SELECT NumberIN,FIO,EMail FROM Users WHERE SendMail=1";

constexpr const char* kTotalsStatement[] = {
    "SELECT Users.NumberIN,",
    "(SELECT sum(rings.ringlength) FROM rings WHERE (rings.ringdate between :d1 and :d2) and "
    "rings.numberin=users.numberin AND rings.numberout=0) as InRing,",
    "(SELECT sum(rings.ringlength) FROM rings WHERE (rings.ringdate between :d3 and :d4) and "
    "rings.numberin=users.numberin AND rings.numberout>0) as OutRing",
    "FROM users",
    "WHERE Users.NumberIN=",
};

constexpr const char* kDayNames[] = {"Воскресенье", "Понедельник", "Вторник", "Среда",
                                     "Четверг",     "Пятница",     "Суббота"};

std::string SilenceText(const TRecorder& recorder, TDateTime today) {
    return recorder.MsgSilence + DateToStr(today) + "|" + DateToStr(recorder.LastRingDate) + "|" +
           std::to_string(recorder.DaysSilenc);
}

// A reason as one line of the log: a server's reply may have several lines, control bytes, and
// any length.
std::string OneLine(std::string_view text) {
    constexpr size_t kMaxReason = 500;
    std::string out;
    for (const char c : text) {
        const bool blank = static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
        if (blank && (out.empty() || out.back() == ' ')) continue;
        out += blank ? ' ' : c;
        if (out.size() >= kMaxReason) {
            out += "...";
            break;
        }
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

std::string Joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) out += (out.empty() ? "" : ",") + item;
    return out;
}

}  // namespace

std::string DayName(TDateTime day) {
    const int dow = DayOfWeek(day);
    return Utf8ToAnsi(kDayNames[(dow >= 1 && dow <= 7) ? dow - 1 : 0]);
}

bool IsPlainInteger(const std::string& text) {
    const size_t start = (!text.empty() && text[0] == '-') ? 1 : 0;
    const size_t digits = text.size() - start;
    if (digits < 1 || digits > 10) return false;
    for (size_t i = start; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

std::string TDailyRun::FormatDuration(int32_t seconds) {
    int32_t minutes = seconds / 60;
    const int32_t secs = seconds % 60;
    const int32_t hours = minutes / 60;
    minutes %= 60;
    return Utf8ToAnsi(" " + std::to_string(hours) + " ч." + " " + std::to_string(minutes) +
                      " мин." + " " + std::to_string(secs) + " сек.");
}

TDailyRun::TDailyRun(TRecorder& recorder, TCallDatabase& callDb, TSmtpClient& smtp,
                     TDailyRunHooks hooks)
    : Recorder(recorder), CallDb(callDb), NSMTP(smtp), Hooks(std::move(hooks)) {
    NSMTP.SetSubType(mtPlain);
    NSMTP.SetEncodeType(uuMime);
    NSMTP.SetClearParams(true);
    NSMTP.SetTimeOut(kMailTimeOut);
}

void TDailyRun::TimerTimer() {
    // The mail client keeps messages flowing while it waits, so a tick can arrive mid-run.
    if (running_) return;
    const TDateTime today = Date();
    if (today <= Recorder.LastRunDate) return;

    running_ = true;
    if (Hooks.SetTimerEnabled) Hooks.SetTimerEnabled(false);
    std::exception_ptr failure;
    try {
        if (Hooks.HoldStorage) Hooks.HoldStorage();
        if (Recorder.SendMail) SendStatistics();
        if (Recorder.NeedARight) SendAdminMail(Recorder.SubjARight, Recorder.MsgARight);
        if (Recorder.NeedSilenc &&
            DayNumber(today) - DayNumber(Recorder.LastRingDate) > Recorder.DaysSilenc)
            SendAdminMail(Recorder.SubjSilenc, SilenceText(Recorder, today));
        SendReportMails(today);
    } catch (...) {
        failure = std::current_exception();
    }
    // Storing resumes whatever happened above: a failed run must not leave the exchange's
    // calls unstored, nor retry every second.
    try {
        if (Hooks.ResumeStorage) Hooks.ResumeStorage();
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    Recorder.LastRunDate = today;
    if (Hooks.AddUpTotals) Hooks.AddUpTotals(today);
    if (Hooks.SetTimerEnabled) Hooks.SetTimerEnabled(true);
    running_ = false;
    if (failure) std::rethrow_exception(failure);
}

void TDailyRun::SendStatistics() {
    TFbStatement owners(CallDb.DbConnection, CallDb.DbTransaction);
    TFbStatement totals(CallDb.DbConnection, CallDb.DbTransaction);
    const TDateTime day = static_cast<TDateTime>(DayNumber(Recorder.LastRunDate));
    TDateTime lastSecond = 0;
    TryEncodeTime(23, 59, 59, 59, lastSecond);
    const TDateTime periodEnd = day + lastSecond;

    std::exception_ptr failure;
    try {
        if (CallDb.DbTransaction.InTransaction()) CallDb.DbTransaction.Rollback();
        CallDb.DbTransaction.StartTransaction();
        owners.SQL().Add(kOwnersStatement);
        owners.ExecQuery();
        while (!owners.Eof()) {
            const std::string number = owners.FieldByName("NUMBERIN").AsString();
            // The number goes into the statement's text: nothing else may get there with it.
            if (!IsPlainInteger(number)) {
                Report(TOwnerOutcome::Skipped, number);
                owners.Next();
                continue;
            }
            int32_t in = 0, out = 0;
            try {
                totals.Close();
                totals.SQL().Clear();
                for (size_t i = 0; i + 1 < std::size(kTotalsStatement); ++i)
                    totals.SQL().Add(kTotalsStatement[i]);
                totals.SQL().Add(std::string(kTotalsStatement[4]) + number);
                totals.Params(0).SetAsDateTime(day);
                totals.Params(1).SetAsDateTime(periodEnd);
                totals.Params(2).SetAsDateTime(day);
                totals.Params(3).SetAsDateTime(periodEnd);
                totals.ExecQuery();
                in = totals.Eof() ? 0 : totals.Fields(1).AsInteger();
                out = totals.Eof() ? 0 : totals.Fields(2).AsInteger();
            } catch (const std::exception& e) {
                // A row of this owner's (a dialled number beyond 64 bits) fails their totals
                // only; the other owners' come out. A lost connection fails the next fetch.
                const std::string reason = OneLine(e.what());
                Report(TOwnerOutcome::Failed, number, reason);
                Log(Utf8ToAnsi("Статистика для ") + number + Utf8ToAnsi(" не подсчитана: ") +
                    reason);
                owners.Next();
                continue;
            }
            const std::string address = owners.FieldByName("EMAIL").AsString();
            const TMailResult r = SendUserStatistics(in, out, Recorder.LastRunDate, address,
                                                     owners.FieldByName("FIO").AsString());
            if (r.Sent)
                Report(TOwnerOutcome::Sent, address);
            else if (r.Failed)
                Report(TOwnerOutcome::Failed, address, r.Error);
            else
                Report(TOwnerOutcome::Skipped, number);
            owners.Next();
        }
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        try {
            CallDb.DbTransaction.Commit();
        } catch (const std::exception&) {
            // The first failure is the one to report; the next run rolls the rest back.
        }
        std::rethrow_exception(failure);
    }
    CallDb.DbTransaction.Commit();
}

TMailResult TDailyRun::SendUserStatistics(int32_t inSeconds, int32_t outSeconds, TDateTime day,
                                          const std::string& address, const std::string& name) {
    TMailResult result;
    if (address.empty()) return result;
    std::vector<std::string> body = {
        Utf8ToAnsi("Здравствуйте, ") + name,
        "",
        Utf8ToAnsi("Статистика за ") + DateToStr(day) + ", " + DayName(day),
        Utf8ToAnsi("Входящие  :") + FormatDuration(inSeconds),
        Utf8ToAnsi("Исходящие :") + FormatDuration(outSeconds),
        "",
    };
    for (auto& line : TextToLines(Recorder.MsgFooter)) body.push_back(std::move(line));
    result.Error = Mail(Recorder.SubjSendM, address, body);
    result.Sent = result.Error.empty();
    result.Failed = !result.Sent;
    return result;
}

// A failure changes no setting: the message waits in the outbox, and the next run mails again.
void TDailyRun::SendAdminMail(const std::string& subject, const std::string& body) {
    if (Recorder.MsgAddress.empty()) return;
    Mail(subject, Recorder.MsgAddress, TextToLines(body));
}

TMailEnvelope ComposeStationMail(TSmtpClient& smtp, const std::string& from,
                                 const std::string& subject, const std::string& to,
                                 const std::vector<std::string>& body,
                                 const std::vector<std::string>& attachments) {
    smtp.SetSubType(mtPlain);
    smtp.SetEncodeType(uuMime);
    smtp.SetClearParams(true);
    smtp.SetCharset("windows-1251");
    TMailMessage& message = smtp.PostMessage();
    message.Subject = subject;
    message.FromAddress = from;
    message.ToAddress = TextToLines(to);
    message.Body = body;
    message.Attachments = attachments;
    return smtp.BuildEnvelope();
}

std::string TDailyRun::Mail(const std::string& subject, const std::string& to,
                            const std::vector<std::string>& body,
                            const std::vector<std::string>& attachments) {
    const TMailEnvelope envelope =
        ComposeStationMail(NSMTP, Recorder.FromSMTP, subject, to, body, attachments);
    // The station's mail waits for nobody: the outbox's sender delivers it from the timer.
    if (Outbox) return Queue(envelope, to);
    const std::string error = Session([this, &envelope] { NSMTP.SendEnvelope(envelope); });
    if (!error.empty())
        Log(Utf8ToAnsi("Письмо для ") + Joined(TextToLines(to)) + Utf8ToAnsi(" не отправлено: ") +
            error);
    return error;
}

void TDailyRun::SendReportMails(TDateTime today) {
    const std::string iniPath = platform::FileInDir(Recorder.ProgramDir, kReportsIni);
    TReportMailSettings settings = ReadReportMailSettings(iniPath);
    const std::vector<TDueReport> due = DueReports(settings, today);
    if (due.empty() || Recorder.MsgAddress.empty()) return;
    std::unique_ptr<TReportEngine> engine;
    try {
        engine = std::make_unique<TReportEngine>(Recorder.DBPath, Recorder.Login);
    } catch (const std::exception& e) {
        Log(Utf8ToAnsi("Отчёт по абонентам не составлен: ") + OneLine(e.what()));
        return;
    }
    namespace fs = std::filesystem;
    for (const TDueReport& d : due) {
        std::error_code ec;
        const fs::path dir =
            fs::temp_directory_path(ec) / ("tarvick-report-" + std::to_string(::getpid()));
        try {
            TReportFilter filter;
            filter.Period = d.Period;
            const TSummary summary = engine->Summary(TSummaryKind::Extension, filter);
            const TReportMailText text = ComposeReportMail(summary, d);
            fs::create_directories(dir);
            const std::string xlsx = (dir / text.AttachmentName).string();
            WriteTable(SummaryTable(summary), *MakeXlsxWriter(xlsx));
            // A mail that fails goes to the outbox with its attachment, so the period counts as
            // mailed either way.
            Mail(text.Subject, Recorder.MsgAddress, text.Body, {xlsx});
            (d.Monthly ? settings.LastMonth : settings.LastWeek) = d.Period.From;
            WriteReportMailSettings(iniPath, settings);
        } catch (const std::exception& e) {
            Log(Utf8ToAnsi("Отчёт по абонентам не составлен: ") + OneLine(e.what()));
        }
        fs::remove_all(dir, ec);
    }
}

void TDailyRun::Cancel() {
    cancelled_ = true;
    NSMTP.Abort();
}

std::string TDailyRun::Session(const std::function<void()>& send) {
    if (cancelled_) return Utf8ToAnsi("станция останавливается");
    try {
        ApplyMailSettings(NSMTP, Recorder.Mail);
        NSMTP.SetHost(Recorder.AddrSMTP);
        NSMTP.SetPort(Recorder.PortSMTP);
        NSMTP.Connect();
        send();
    } catch (const std::exception& e) {
        // A session left open by a failed send would make every later mail fail with
        // "Already connected".
        NSMTP.CloseAfterFailure(e);
        return MailErrorText(e);
    }
    // Delivered: a goodbye the server does not take must not send the message again.
    try {
        if (NSMTP.Connected()) NSMTP.Disconnect();
    } catch (const std::exception&) {
        // Closed all the same.
    }
    return {};
}

std::string TDailyRun::Queue(const TMailEnvelope& envelope, const std::string& to) {
    try {
        Outbox->Queue(envelope, Now(), {});
        return {};
    } catch (const std::exception& e) {
        const std::string reason = Utf8ToAnsi("не сохранено в outbox/: ") + OneLine(e.what());
        Log(Utf8ToAnsi("Письмо для ") + Joined(TextToLines(to)) + Utf8ToAnsi(" не отправлено: ") +
            reason);
        return reason;
    }
}

std::string OutboxReportText(const TOutboxReport& r) {
    const std::string file = " (outbox/" + r.Name + ")";
    const std::string who = Utf8ToAnsi("Письмо для ") + Joined(r.Recipients);
    switch (r.Event) {
        case TOutboxEvent::Delivered:
            return r.Retry ? who + Utf8ToAnsi(" отправлено повторно") + file : std::string();
        case TOutboxEvent::Failed:
            return who + Utf8ToAnsi(" не отправлено: ") + r.Reason +
                   Utf8ToAnsi(". Повтор каждые 10 минут в течение суток") + file;
        case TOutboxEvent::Dropped:
            return who + Utf8ToAnsi(" не отправлено за сутки и удалено из очереди") + file +
                   (r.Reason.empty() ? "" : ": " + r.Reason);
        case TOutboxEvent::Unreadable:
            return Utf8ToAnsi("Файл outbox/") + r.Name +
                   Utf8ToAnsi(" не является письмом и пропущен");
    }
    return {};
}

void TDailyRun::Log(const std::string& text) {
    if (Hooks.LogEvent) Hooks.LogEvent(text);
}

void TDailyRun::Report(TOwnerOutcome outcome, const std::string& who, const std::string& reason) {
    if (OnOwner) OnOwner(outcome, who, reason);
}
