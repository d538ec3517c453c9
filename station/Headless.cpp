#include "station/Headless.h"

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "common/DateTime.h"
#include "platform/CodePage.h"
#include "platform/MessageLoop.h"
#include "platform/Socket.h"

namespace {
const char kNoConfig[] =
    "\xcd\xe5\xe2\xee\xe7\xec\xee\xe6\xed\xee \xef\xf0\xee\xf7\xe8\xf2\xe0\xf2\xfc "
    "\xf8\xe0\xe1\xeb\xee\xed!";  // "Невозможно прочитать шаблон!"

// Half the watchdog's time-out that systemd gives in WATCHDOG_USEC; 0 without a watchdog.
int WatchdogIntervalMs() {
    const char* usec = std::getenv("WATCHDOG_USEC");
    if (!usec) return 0;
    const long long value = std::atoll(usec);
    return value > 0 ? static_cast<int>(std::max(1LL, value / 2000)) : 0;
}
}  // namespace

THeadlessStation::THeadlessStation(TCapturePort& port, TCaptureDatabase& db,
                                   THolderFactory makeHolder)
    : Control_(port, db, *this, std::move(makeHolder)), Timer(std::make_unique<QTimer>()) {
    Timer->setInterval(1000);
    QObject::connect(Timer.get(), &QTimer::timeout, &Context,
                     [this] { Guard([this] { Control_.TimerTick(DailyRun); }); });
}

THeadlessStation::~THeadlessStation() = default;

bool THeadlessStation::Start() {
    if (!Control_.CreateHolder()) {
        ShowMessage(kNoConfig);
        return false;
    }
    Guard([this] { Control_.StartStop(false); });
    // Petted from the event loop: a station stuck anywhere stops petting and is restarted.
    if (const int interval = WatchdogIntervalMs()) {
        Watchdog = std::make_unique<QTimer>();
        Watchdog->setInterval(interval);
        QObject::connect(Watchdog.get(), &QTimer::timeout, &Context,
                         [] { platform::NotifyServiceManager("WATCHDOG=1"); });
        Watchdog->start();
    }
    platform::NotifyServiceManager("READY=1");
    return true;
}

int THeadlessStation::Exec() {
    return QCoreApplication::exec();
}

void THeadlessStation::Terminate() {
    if (Terminating) return;
    Terminating = true;
    platform::NotifyServiceManager("STOPPING=1");
    Guard([this] { Control_.Shutdown([] { QCoreApplication::exit(0); }); });
}

void THeadlessStation::ComPortRxChar(int count) {
    Guard([this, count] { Control_.RxChar(count); });
}

void THeadlessStation::Guard(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        ShowMessage(e.what());
    }
}

void THeadlessStation::LogLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    platform::ProcessMessages();
}

void THeadlessStation::ShowMessage(const std::string& text) {
    const std::string utf8 = platform::AnsiToUtf8(text);
    std::fprintf(stderr, "%s\n", utf8.c_str());
    std::fflush(stderr);
}

// Standard error, with the time: under systemd it is the station's journal.
void THeadlessStation::LogEvent(const std::string& text) {
    ShowMessage(EventLine(text));
}

void THeadlessStation::SetTimerEnabled(bool on) {
    if (on)
        Timer->start();
    else
        Timer->stop();
}

void THeadlessStation::ShowStatus(const std::string& text) {
    const std::string utf8 = platform::AnsiToUtf8(text);
    platform::NotifyServiceManager("STATUS=" + (utf8.empty() ? std::string("идёт запись") : utf8));
}

void THeadlessStation::PostDelayed(int ms, std::function<void()> fn) {
    QTimer::singleShot(ms, &Context, [this, fn = std::move(fn)] { Guard(fn); });
}

void THeadlessStation::Post(std::function<void()> fn) {
    QMetaObject::invokeMethod(
        &Context, [this, fn = std::move(fn)] { Guard(fn); }, Qt::QueuedConnection);
}
