// How long a received line waits to be stored while the daily run's mail meets a server that
// accepts and never answers: fifty owners' statistics queued, lines at ten a second, the
// station's own mail time-out (60 s). Prints each line's wait from its sending on the terminal
// to its row being stored: median, 99th percentile and maximum.
//   mail_storing_bench [SECONDS [TIMEOUT_MS]]
#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/MessageLoop.h"
#include "tests/notify/BusyStation.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    platform::InitMessageLoop();
    busy::TOptions options;
    options.Seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    options.MailTimeOutMs = argc > 2 ? std::atoi(argv[2]) : 60000;
    busy::TResult r = busy::Run(options);
    if (!r.Failure.empty()) {
        std::fprintf(stderr, "not run: %s\n", r.Failure.c_str());
        return 1;
    }
    std::sort(r.DelayMs.begin(), r.DelayMs.end());
    const auto at = [&](double q) {
        return r.DelayMs.empty() ? 0.0 : r.DelayMs[static_cast<size_t>(q * (r.DelayMs.size() - 1))];
    };
    std::printf("owners %d, lines %d at %d/s, stored %lld, mail time-out %d ms\n", options.Owners,
                r.Lines, options.LinesPerSecond, static_cast<long long>(r.Stored),
                options.MailTimeOutMs);
    std::printf("line stored after: median %.1f ms, p99 %.1f ms, max %.1f ms\n", at(0.5), at(0.99),
                at(1.0));
    std::printf("mails queued %d, delivered once the server answered %d\n", r.MailsQueued,
                r.MailsDelivered);
    return r.Stored == r.Lines && r.MailsDelivered == r.MailsQueued ? 0 : 1;
}
