#include "capture/DailyRun.h"

#include <exception>
#include <iterator>
#include <utility>

#include "db/CallDatabase.h"
#include "mail/SmtpClient.h"
#include "platform/CodePage.h"

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
            const int32_t in = totals.Eof() ? 0 : totals.Fields(1).AsInteger();
            const int32_t out = totals.Eof() ? 0 : totals.Fields(2).AsInteger();
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
    if (result.Error.empty()) {
        result.Sent = true;
    } else {
        result.Failed = true;
        Recorder.SendMail = false;
    }
    return result;
}

void TDailyRun::SendAdminMail(const std::string& subject, const std::string& body) {
    if (Recorder.MsgAddress.empty()) return;
    if (!Mail(subject, Recorder.MsgAddress, TextToLines(body)).empty()) Recorder.NeedARight = false;
}

std::string TDailyRun::Mail(const std::string& subject, const std::string& to,
                            const std::vector<std::string>& body) {
    try {
        NSMTP.SetHost(Recorder.AddrSMTP);
        NSMTP.SetPort(Recorder.PortSMTP);
        NSMTP.Connect();
        NSMTP.SetCharset("windows-1251");
        TMailMessage& message = NSMTP.PostMessage();
        message.Subject = subject;
        message.FromAddress = Recorder.FromSMTP;
        message.ToAddress = TextToLines(to);
        message.Body = body;
        NSMTP.SendMail();
        if (NSMTP.Connected()) NSMTP.Disconnect();
        return {};
    } catch (const std::exception& e) {
        // A session left open by a failed send would make every later mail fail with
        // "Already connected".
        if (NSMTP.Connected()) {
            try {
                NSMTP.Disconnect();
            } catch (const std::exception&) {
                // Closed all the same.
            }
        }
        // Server replies end in their line break; the reason is reported as one line.
        std::string what = e.what();
        while (!what.empty() && (what.back() == '\n' || what.back() == '\r')) what.pop_back();
        return what.empty() ? std::string("mail failed") : what;
    }
}

void TDailyRun::Report(TOwnerOutcome outcome, const std::string& who, const std::string& reason) {
    if (OnOwner) OnOwner(outcome, who, reason);
}
