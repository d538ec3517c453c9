#pragma once
// The main thread's message loop as the core sees it: pending-message processing for the
// waits that keep the window alive, and a blocking call from a worker into the main thread.
#include <functional>

namespace platform {

// Must be called once on the main thread after the Qt application object exists.
void InitMessageLoop();
bool IsMainThread();

// Runs the main thread's pending events and synchronised calls, then returns. On another thread
// with a Qt event loop: that thread's own pending events only.
void ProcessMessages();

// From a worker thread: runs fn on the main thread and blocks until it has returned; an
// exception thrown by fn is thrown again in the worker. On the main thread fn runs directly.
void Synchronize(const std::function<void()>& fn);

// Main thread: blocks until done() holds, serving only synchronised calls meanwhile (so a
// worker blocked in Synchronize can finish). Workers call WakeWaiters() when done() may change.
void WaitServingSync(const std::function<bool()>& done);
void WakeWaiters();

void SleepMs(int ms);

}  // namespace platform
