#include "platform/TermSignals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <mutex>

namespace platform {
namespace {

sigset_t TerminationSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

void UnblockInThisThread() {
    const sigset_t set = TerminationSet();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace

void BlockTerminationSignals() {
    static std::once_flag atFork;
    std::call_once(atFork, [] { pthread_atfork(nullptr, nullptr, UnblockInThisThread); });
    const sigset_t set = TerminationSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

struct TTerminationWatch::TImpl {
    int Fd = -1;
    std::unique_ptr<QSocketNotifier> Notifier;
    std::function<void(int)> OnRequest;
};

TTerminationWatch::TTerminationWatch(std::function<void(int)> onRequest)
    : Impl(std::make_unique<TImpl>()) {
    Impl->OnRequest = std::move(onRequest);
    const sigset_t set = TerminationSet();
    Impl->Fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (Impl->Fd < 0) {
        UnblockInThisThread();  // nobody would read them: the default actions end the program
        return;
    }
    Impl->Notifier = std::make_unique<QSocketNotifier>(Impl->Fd, QSocketNotifier::Read);
    TImpl* impl = Impl.get();
    QObject::connect(Impl->Notifier.get(), &QSocketNotifier::activated, [impl] {
        signalfd_siginfo info;
        while (read(impl->Fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            if (impl->OnRequest) impl->OnRequest(static_cast<int>(info.ssi_signo));
    });
}

TTerminationWatch::~TTerminationWatch() {
    Impl->Notifier.reset();
    if (Impl->Fd >= 0) close(Impl->Fd);
}

}  // namespace platform
