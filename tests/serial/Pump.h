#pragma once
// Serves the main thread's messages until a condition holds or the time runs out.
#include <chrono>

#include "platform/MessageLoop.h"

template <class Pred>
bool PumpUntil(Pred pred, int ms = 3000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        platform::ProcessMessages();
        platform::SleepMs(1);
    }
    return true;
}

// Serves messages for a while, for checks that something does not happen.
inline void PumpFor(int ms) {
    PumpUntil([] { return false; }, ms);
}
