// tarvick-tool alerts DIR --test: one test alert through the station's own mail settings, so an
// administrator can check once that its alerts will arrive.
#include <iostream>

#include "capture/Recorder.h"
#include "common/DateTime.h"
#include "db/CallDatabase.h"
#include "db/FirebirdEnv.h"
#include "journal/Journal.h"
#include "mail/OutboxSender.h"
#include "notify/Alerts.h"
#include "notify/DailyRun.h"
#include "platform/CodePage.h"
#include "platform/ProgramDir.h"
#include "tools/Tool.h"

namespace {

constexpr const char* kUsage = "alerts DIR --test";

using platform::AnsiToUtf8;
using platform::Utf8ToAnsi;

int RunAlerts(const ToolArgs& args) {
    if (args.size() != 2 || args[1] != "--test") {
        std::cerr << "usage: tarvick-tool " << kUsage << "\n";
        return 2;
    }
    platform::SetProgramDir(args[0]);
    const std::string dir = platform::ProgramDir();
    PrepareFirebirdEnvironment(dir);
    TCallDatabase settingsTable;  // the data module holds the settings table; nothing connects
    TRecorder recorder;
    recorder.ProgramDir = dir;
    if (!recorder.LoadSettings()) {
        std::cerr << "Невозможно прочитать шаблон!\n" << recorder.LoadProblem << "\n";
        return 2;
    }
    recorder.Mail = ReadMailSettings(platform::FileInDir(dir, kMailIni));
    const TAlertSettings settings = ReadAlertSettings(platform::FileInDir(dir, kAlertsIni));
    const std::string to = settings.Address.empty() ? recorder.MsgAddress : settings.Address;
    if (to.empty()) {
        std::cerr << "no recipient: neither Address= of alerts.ini nor the daily message's "
                     "address is set\n";
        return 2;
    }
    const std::string station = ReadStationId(dir + "journal/");
    const std::string subject =
        Utf8ToAnsi("Станция") + (station.empty() ? "" : " " + station) + Utf8ToAnsi(": проверка");
    TSmtpClient composer;
    const TMailEnvelope envelope = ComposeStationMail(
        composer, recorder.FromSMTP, subject, to,
        {Utf8ToAnsi("Проверка: тревоги станции доходят до этого адреса."), "",
         Utf8ToAnsi("Отправлено: ") + FormatDateTime("dd.mm.yyyy hh:nn:ss", Now()),
         Utf8ToAnsi("Каталог станции: ") + dir});
    const TMailServer server{recorder.AddrSMTP, recorder.PortSMTP, recorder.Mail,
                             TDailyRun::kMailTimeOut};
    const std::string error = SendEnvelope(server, envelope);
    if (!error.empty()) {
        std::cout << "failed " << AnsiToUtf8(to) << ": " << AnsiToUtf8(error) << "\n";
        return 1;
    }
    std::cout << "sent " << AnsiToUtf8(to) << "\n";
    return 0;
}

const ToolRegistration kAlerts("alerts", kUsage, RunAlerts);

}  // namespace
