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

int RunDaily(const ToolArgs& args) {
    TDateTime day = 0;
    if (args.size() != 3 || args[1] != "--day" || !ParseIsoDay(args[2], day)) {
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
