#pragma once
// Termination requests (SIGTERM, SIGINT, SIGHUP) delivered as a call on the main loop.
//
// The database client installs its own handlers for these signals and starts shutting the engine
// down from a thread of its own, racing the station's orderly close of the port and the database.
// Blocking the signals in every thread and reading them from the loop keeps a stop request
// entirely in the station's hands.
#include <functional>
#include <memory>

namespace platform {

// Call first in main, before any thread exists: threads inherit the blocked set. Child processes
// started by fork get the usual signals back.
void BlockTerminationSignals();

// While it lives, every termination request calls onRequest on the main thread (needs a running
// Qt event loop); a second request while the first is handled calls it again. When the signals
// cannot be watched they are unblocked again, so that their default actions end the program.
class TTerminationWatch {
public:
    explicit TTerminationWatch(std::function<void(int signal)> onRequest);
    ~TTerminationWatch();
    TTerminationWatch(const TTerminationWatch&) = delete;
    TTerminationWatch& operator=(const TTerminationWatch&) = delete;

private:
    struct TImpl;
    std::unique_ptr<TImpl> Impl;
};

}  // namespace platform
