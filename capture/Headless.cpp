#include "capture/Headless.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstdio>

#include "platform/CodePage.h"
#include "platform/MessageLoop.h"

namespace {
int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
    const int saved = errno;
    const char c = 1;
    [[maybe_unused]] ssize_t n = write(gSignalPipe[1], &c, 1);
    errno = saved;
}

const char kNoConfig[] =
    "\xcd\xe5\xe2\xee\xe7\xec\xee\xe6\xed\xee \xef\xf0\xee\xf7\xe8\xf2\xe0\xf2\xfc "
    "\xf8\xe0\xe1\xeb\xee\xed!";  // "Невозможно прочитать шаблон!"
}  // namespace

THeadlessStation::THeadlessStation(TCapturePort& port, TCaptureDatabase& db,
                                   THolderFactory makeHolder)
    : Control_(port, db, *this, std::move(makeHolder)), Timer(std::make_unique<QTimer>()) {
    Timer->setInterval(1000);
    QObject::connect(Timer.get(), &QTimer::timeout, &Context, [this] {
        Guard([this] {
            if (DailyRun) Control_.Defer(DailyRun);
        });
    });
}

THeadlessStation::~THeadlessStation() {
    if (SignalNotifier) {
        SignalNotifier.reset();
        signal(SIGTERM, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        close(gSignalPipe[0]);
        close(gSignalPipe[1]);
        gSignalPipe[0] = gSignalPipe[1] = -1;
    }
}

bool THeadlessStation::Start() {
    if (!Control_.CreateHolder()) {
        ShowMessage(kNoConfig);
        return false;
    }
    if (gSignalPipe[0] < 0 && pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        SignalNotifier = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
        QObject::connect(SignalNotifier.get(), &QSocketNotifier::activated, &Context, [this] {
            char buf[16];
            while (read(gSignalPipe[0], buf, sizeof buf) > 0) {
            }
            Terminate();
        });
        struct sigaction sa = {};
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGINT, &sa, nullptr);
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
