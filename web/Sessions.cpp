#include "web/Sessions.h"

#include <algorithm>

#include "web/Auth.h"

namespace web {
namespace {
// Keys kept at most; beyond it the ones that wait no more are forgotten.
constexpr size_t kMaxBrakeEntries = 100000;
}  // namespace

std::string TSessions::Open(const std::string& user) {
    const std::string token = RandomToken();
    std::lock_guard lock(mutex_);
    DropExpired(TSteady::now());
    sessions_[token] = {user, TSteady::now() + lifetime_};
    return token;
}

std::optional<std::string> TSessions::User(const std::string& token) {
    std::lock_guard lock(mutex_);
    const auto now = TSteady::now();
    DropExpired(now);
    const auto it = sessions_.find(token);
    if (it == sessions_.end()) return std::nullopt;
    if (it->second.Expires <= now) {
        sessions_.erase(it);
        return std::nullopt;
    }
    it->second.Expires = now + lifetime_;
    return it->second.User;
}

void TSessions::Close(const std::string& token) {
    std::lock_guard lock(mutex_);
    sessions_.erase(token);
}

size_t TSessions::Count() {
    std::lock_guard lock(mutex_);
    return sessions_.size();
}

void TSessions::DropExpired(TSteady::time_point now) {
    if (now - lastSweep_ < std::chrono::minutes(1)) return;
    lastSweep_ = now;
    std::erase_if(sessions_, [now](const auto& s) { return s.second.Expires <= now; });
}

std::chrono::seconds TSignInBrake::Wait(const std::string& key, TSteady::time_point now) {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(key);
    if (it == entries_.end() || it->second.NotBefore <= now) return std::chrono::seconds(0);
    return std::chrono::ceil<std::chrono::seconds>(it->second.NotBefore - now);
}

void TSignInBrake::Failed(const std::string& key, TSteady::time_point now) {
    std::lock_guard lock(mutex_);
    if (entries_.size() >= kMaxBrakeEntries)
        std::erase_if(entries_, [now](const auto& e) { return e.second.NotBefore <= now; });
    TEntry& e = entries_[key];
    ++e.Failures;
    if (e.Failures < kFreeFailures) return;
    const int doublings = std::min(e.Failures - kFreeFailures, 9);
    e.NotBefore = now + std::min(std::chrono::seconds(1 << doublings), kMaxWait);
}

void TSignInBrake::Succeeded(const std::string& key) {
    std::lock_guard lock(mutex_);
    entries_.erase(key);
}

}  // namespace web
