#include "capture/Headless.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

#include "common/DateTime.h"
#include "platform/CodePage.h"
#include "platform/MessageLoop.h"

namespace {
const char kNoConfig[] =
    "\xcd\xe5\xe2\xee\xe7\xec\xee\xe6\xed\xee \xef\xf0\xee\xf7\xe8\xf2\xe0\xf2\xfc "
    "\xf8\xe0\xe1\xeb\xee\xed!";  // "Невозможно прочитать шаблон!"
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
    return true;
}

int THeadlessStation::Exec() {
    return QCoreApplication::exec();
}

void THeadlessStation::Terminate() {
    if (Terminating) return;
    Terminating = true;
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

void THeadlessStation::Post(std::function<void()> fn) {
    QMetaObject::invokeMethod(
        &Context, [this, fn = std::move(fn)] { Guard(fn); }, Qt::QueuedConnection);
}
