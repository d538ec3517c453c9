// tarvick-tool daily: resends one day's statistics mails with the station's own settings, for
// an administrator whose station missed a run or whose mail server was down.
#include <iostream>

#include "capture/Recorder.h"
#include "common/DateTime.h"
#include "db/CallDatabase.h"
#include "db/FirebirdEnv.h"
#include "mail/MailEncoding.h"
#include "mail/SmtpClient.h"
#include "notify/DailyRun.h"
#include "platform/CodePage.h"
#include "platform/ProgramDir.h"
#include "tools/Tool.h"

namespace {

constexpr const char* kUsage = "daily DIR --day YYYY-MM-DD";

bool ParseDay(const std::string& text, TDateTime& day) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    int parts[3] = {};
    const size_t at[3][2] = {{0, 4}, {5, 2}, {8, 2}};
    for (int i = 0; i < 3; ++i) {
        for (size_t k = at[i][0]; k < at[i][0] + at[i][1]; ++k) {
            if (text[k] < '0' || text[k] > '9') return false;
            parts[i] = parts[i] * 10 + (text[k] - '0');
        }
    }
    return TryEncodeDate(parts[0], parts[1], parts[2], day);
}

int RunDaily(const ToolArgs& args) {
    TDateTime day = 0;
    if (args.size() != 3 || args[1] != "--day" || !ParseDay(args[2], day)) {
        std::cerr << "usage: tarvick-tool " << kUsage << "\n";
        return 2;
    }
    platform::SetProgramDir(args[0]);
    PrepareFirebirdEnvironment(platform::ProgramDir());
    TCallDatabase callDb;
    TRecorder recorder;
    recorder.LoadConfiguration();
    if (!recorder.ConfigLoaded) {
        std::cerr << "Невозможно прочитать шаблон!\n" << recorder.LoadProblem << "\n";
        return 2;
    }
    try {
        callDb.Connect(recorder.DBPath, recorder.Login);
    } catch (const std::exception& e) {
        std::cerr << "Невозможно открыть базу данных ! " << platform::AnsiToUtf8(e.what()) << "\n";
        return 1;
    }
    if (!callDb.Connected()) {
        std::cerr << "Невозможно открыть базу данных !\n";
        return 1;
    }

    TSmtpClient smtp;
    TDailyRun dailyRun(recorder, callDb, smtp, {});
    dailyRun.OnOwner = [](TOwnerOutcome outcome, const std::string& who,
                          const std::string& reason) {
        // Several addresses stand on separate lines; the report keeps one line per owner.
        std::string text;
        for (const auto& line : TextToLines(platform::AnsiToUtf8(who)))
            text += (text.empty() ? "" : ",") + line;
        switch (outcome) {
            case TOwnerOutcome::Sent:
                std::cout << "sent " << text << "\n";
                break;
            case TOwnerOutcome::Skipped:
                std::cout << "skipped " << text << "\n";
                break;
            case TOwnerOutcome::Failed:
                std::cout << "failed " << text << ": " << platform::AnsiToUtf8(reason) << "\n";
                break;
        }
        std::cout.flush();
    };
    recorder.LastRunDate = day;
    try {
        dailyRun.SendStatistics();
    } catch (const std::exception& e) {
        std::cerr << "database: " << platform::AnsiToUtf8(e.what()) << "\n";
        callDb.Disconnect();
        return 1;
    }
    callDb.Disconnect();
    return 0;
}

const ToolRegistration kDaily("daily", kUsage, RunDaily);

}  // namespace
