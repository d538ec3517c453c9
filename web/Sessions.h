#pragma once
// Signed-in sessions and the brake on guessed passwords; both shared by the worker threads.
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace web {

using TSteady = std::chrono::steady_clock;

class TSessions {
public:
    explicit TSessions(std::chrono::minutes lifetime) : lifetime_(lifetime) {}

    // A new random token for the user.
    std::string Open(const std::string& user);
    // The user of a live session; each use extends it by the lifetime. Expired ones are dropped.
    std::optional<std::string> User(const std::string& token);
    void Close(const std::string& token);
    size_t Count();

private:
    struct TSession {
        std::string User;
        TSteady::time_point Expires;
    };
    void DropExpired(TSteady::time_point now);

    std::chrono::minutes lifetime_;
    std::mutex mutex_;
    std::map<std::string, TSession> sessions_;
    TSteady::time_point lastSweep_{};
};

// Counts failed sign-ins by key (a user name, an address); after a few, each next attempt has to
// wait longer, doubling up to a cap. A success clears the key.
class TSignInBrake {
public:
    static constexpr int kFreeFailures = 3;
    static constexpr std::chrono::seconds kMaxWait{300};

    // How long the key still has to wait before an attempt is heard (zero: now).
    std::chrono::seconds Wait(const std::string& key, TSteady::time_point now = TSteady::now());
    void Failed(const std::string& key, TSteady::time_point now = TSteady::now());
    void Succeeded(const std::string& key);

private:
    struct TEntry {
        int Failures = 0;
        TSteady::time_point NotBefore{};
    };
    std::mutex mutex_;
    std::map<std::string, TEntry> entries_;
};

}  // namespace web
