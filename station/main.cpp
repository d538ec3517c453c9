// The station's entry: the windowed station, or with --headless the station without windows.
//   tarvick [--headless] [--dir DIR]
#include <QApplication>
#include <QCoreApplication>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "db/CallDatabase.h"
#include "db/FirebirdEnv.h"
#include "mail/SmtpClient.h"
#include "platform/CodePage.h"
#include "platform/Ini.h"
#include "platform/MessageLoop.h"
#include "platform/ProgramDir.h"
#include "platform/TermSignals.h"
#include "station/Headless.h"
#include "station/MainWindow.h"
#include "station/SettingsCommands.h"
#include "station/Station.h"
#include "station/StationWatch.h"

namespace {

struct TOptions {
    bool Headless = false;
    std::string Dir;
};

TOptions ParseOptions(int argc, char** argv) {
    TOptions o;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0) {
            o.Headless = true;
        } else if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
            o.Dir = argv[++i];
            if (!o.Dir.empty() && o.Dir.back() != '/') o.Dir += '/';
        }
    }
    return o;
}

// The data module lives before and after the window or the console station.
struct TCallDatabaseLifetime {
    TCallDatabaseLifetime() { CallDatabase = new TCallDatabase(); }
    ~TCallDatabaseLifetime() {
        delete CallDatabase;
        CallDatabase = nullptr;
    }
    TCallDatabaseLifetime(const TCallDatabaseLifetime&) = delete;
    TCallDatabaseLifetime& operator=(const TCallDatabaseLifetime&) = delete;
};

// A network source's notices go to the log; a connection that dropped mid-line cuts the line.
void WireNetworkEvents(TSerialPort& port, TCaptureControl* control) {
    if (!control) {
        port.OnNotice = nullptr;
        port.OnBreak = nullptr;
        return;
    }
    port.OnNotice = [control](TCustomSerialPort&, const std::string& text) {
        control->PortNotice(text);
    };
    port.OnBreak = [control](TCustomSerialPort&) { control->LineCut(); };
}

void WriteError(const std::string& ansi) {
    std::fprintf(stderr, "%s\n", platform::AnsiToUtf8(ansi).c_str());
}

// The capture journal in the station directory; journal.ini may say how many days of it to
// keep ([Journal] KeepDays=400).
void UseJournal(TCaptureControl& control) {
    const std::string dir = platform::ProgramDir();
    const int keepDays =
        TIniFile(platform::FileInDir(dir, "journal.ini")).ReadInteger("Journal", "KeepDays", 400);
    control.UseJournal(dir + "journal/", keepDays);
}

int RunHeadless(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    platform::InitMessageLoop();
    SetApplicationExceptionReport([](const std::exception& e) { WriteError(e.what()); });
    TCallDatabaseLifetime module;
    TSmtpClient smtp;
    TStationPort port;
    TStationDatabase db;
    THeadlessStation station(port, db, LoadHolder);
    TStationWatch watch(station.Control(), platform::ProgramDir());
    station.DailyRun = DailyRunOf(station.Control(), smtp, &watch.Outbox());
    platform::TTerminationWatch stop([&station](int) { station.Terminate(); });
    port.ComPort().OnRxChar = [&station](TCustomSerialPort&, int count) {
        station.ComPortRxChar(count);
    };
    WireNetworkEvents(port.ComPort(), &station.Control());
    try {
        port.LoadSetup(platform::ProgramDir());
    } catch (const std::exception& e) {
        // Nobody is there to choose the port: the start fails as it does without a template.
        WriteError(e.what());
        return 2;
    }
    UseJournal(station.Control());
    if (!station.Start()) return 2;
    const int rc = station.Exec();
    port.ComPort().OnRxChar = nullptr;
    WireNetworkEvents(port.ComPort(), nullptr);
    return rc;
}

int RunWindowed(int argc, char** argv) {
    QApplication app(argc, argv);
    platform::InitMessageLoop();
    SetApplicationExceptionReport([](const std::exception& e) { ReportError(nullptr, e); });
    TCallDatabaseLifetime module;
    TSmtpClient smtp;
    TStationPort port;
    TStationDatabase db;
    TSerialPort& com = port.ComPort();
    int rc = 0;
    {
        TMainWindow form(port, db, LoadHolder);
        TStationWatch watch(form.Control(), platform::ProgramDir());
        watch.AlertsToStderr = true;
        form.DailyRun = DailyRunOf(form.Control(), smtp, &watch.Outbox());
        UseSettingsDialog(form, com);
        platform::TTerminationWatch stop(
            [&form](int) { Guarded(&form, [&form] { form.StopRequested(); }); });
        com.OnAfterOpen = [&form](TCustomSerialPort&) { form.ComPortOpen(); };
        com.OnAfterClose = [&form](TCustomSerialPort&) { form.ComPortClose(); };
        com.OnRxChar = [&form](TCustomSerialPort&, int count) { form.ComPortRxChar(count); };
        WireNetworkEvents(com, &form.Control());
        form.BindLamps(&com);
        Guarded(&form, [&] { port.LoadSetup(platform::ProgramDir()); });
        UseJournal(form.Control());
        form.show();
        rc = app.exec();
        // The window has closed the port and freed the holder; nothing reaches it any more.
        com.OnAfterOpen = nullptr;
        com.OnAfterClose = nullptr;
        com.OnRxChar = nullptr;
        WireNetworkEvents(com, nullptr);
    }
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    platform::BlockTerminationSignals();
    const TOptions options = ParseOptions(argc, argv);
    if (!options.Dir.empty()) platform::SetProgramDir(options.Dir);
    PrepareFirebirdEnvironment(platform::ProgramDir());
    return options.Headless ? RunHeadless(argc, argv) : RunWindowed(argc, argv);
}
