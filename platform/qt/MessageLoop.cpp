#include "platform/MessageLoop.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace platform {
namespace {

struct Request {
    const std::function<void()>* fn = nullptr;
    std::exception_ptr error;
    bool done = false;
};

std::mutex gMutex;
std::condition_variable gChanged;  // a request queued, a request done, or a waiter woken
std::deque<Request*> gQueue;
QThread* gMainThread = nullptr;
unsigned gWakes = 0;  // counts WakeWaiters calls

void ServeQueue() {
    for (;;) {
        Request* r = nullptr;
        {
            std::lock_guard<std::mutex> lock(gMutex);
            if (gQueue.empty()) return;
            r = gQueue.front();
            gQueue.pop_front();
        }
        std::exception_ptr error;
        try {
            (*r->fn)();
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> lock(gMutex);
            r->error = error;
            r->done = true;
        }
        gChanged.notify_all();
    }
}

}  // namespace

void InitMessageLoop() {
    gMainThread = QThread::currentThread();
}

bool IsMainThread() {
    if (!gMainThread && QCoreApplication::instance())
        gMainThread = QCoreApplication::instance()->thread();
    return QThread::currentThread() == gMainThread;
}

void ProcessMessages() {
    // Another thread's waits (a mail session's) serve only that thread's own events.
    if (IsMainThread()) ServeQueue();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void Synchronize(const std::function<void()>& fn) {
    if (IsMainThread()) {
        fn();
        return;
    }
    Request r;
    r.fn = &fn;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gQueue.push_back(&r);
    }
    gChanged.notify_all();
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [] { ServeQueue(); }, Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(gMutex);
    gChanged.wait(lock, [&] { return r.done; });
    if (r.error) std::rethrow_exception(r.error);
}

void WaitServingSync(const std::function<bool()>& done) {
    for (;;) {
        ServeQueue();
        if (done()) return;
        std::unique_lock<std::mutex> lock(gMutex);
        const unsigned wakes = gWakes;
        // The time limit only guards against a wake that was missed; wakes are prompt.
        gChanged.wait_for(lock, std::chrono::milliseconds(20),
                          [wakes] { return !gQueue.empty() || gWakes != wakes; });
    }
}

void WakeWaiters() {
    {
        std::lock_guard<std::mutex> lock(gMutex);
        ++gWakes;
    }
    gChanged.notify_all();
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace platform
