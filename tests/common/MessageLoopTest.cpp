#include <gtest/gtest.h>

#include <QTimer>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "platform/MessageLoop.h"

namespace {

TEST(MessageLoop, SynchronizeRunsOnMainThreadAndPassesErrorsBack) {
    std::atomic<bool> onMain{false};
    std::atomic<bool> caught{false};
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        platform::Synchronize([&] { onMain = platform::IsMainThread(); });
        try {
            platform::Synchronize([] { throw std::runtime_error("boom"); });
        } catch (const std::runtime_error& e) {
            caught = std::string(e.what()) == "boom";
        }
        finished = true;
        platform::WakeWaiters();
    });
    platform::WaitServingSync([&] { return finished.load(); });
    worker.join();
    EXPECT_TRUE(onMain);
    EXPECT_TRUE(caught);
}

TEST(MessageLoop, ProcessMessagesServesTimersAndWorkers) {
    bool fired = false;
    QTimer::singleShot(0, [&] { fired = true; });
    std::atomic<int> calls{0};
    std::thread worker([&] { platform::Synchronize([&] { ++calls; }); });
    while (!fired || calls.load() == 0) platform::ProcessMessages();
    worker.join();
    EXPECT_EQ(calls.load(), 1);
    EXPECT_TRUE(platform::IsMainThread());
}

}  // namespace
