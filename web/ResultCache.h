#pragma once
// Figures of a selection kept for a while, so that the same summary asked for again (by another
// client, or by the same one going back) is not read again, and asked for by several clients at
// once is read once. A period over by yesterday changes only by a late call: it is kept longer.
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <string>

namespace web {

template <class T>
class TResultCache {
public:
    using TSteadyTime = std::chrono::steady_clock::time_point;

    explicit TResultCache(size_t capacity = 256) : capacity_(capacity) {}

    // The value for key: a kept one younger than `keep`, the one another thread is reading, or
    // `read()` run now. A read that fails is not kept: the next request reads again.
    T Get(const std::string& key, std::chrono::seconds keep, const std::function<T()>& read) {
        std::promise<T> promise;
        std::shared_future<T> future;
        bool mine = false;
        uint64_t id = 0;
        {
            std::lock_guard lock(mutex_);
            const auto now = std::chrono::steady_clock::now();
            const auto it = entries_.find(key);
            if (it != entries_.end() && it->second.Expires > now) {
                future = it->second.Value;
            } else {
                if (entries_.size() >= capacity_) Sweep(now);
                future = promise.get_future().share();
                id = ++lastId_;
                entries_[key] = {now + keep, future, id};
                mine = true;
            }
        }
        if (!mine) return future.get();
        try {
            promise.set_value(read());
        } catch (...) {
            promise.set_exception(std::current_exception());
            std::lock_guard lock(mutex_);
            const auto it = entries_.find(key);
            if (it != entries_.end() && it->second.Id == id) entries_.erase(it);
        }
        return future.get();
    }

private:
    struct TEntry {
        TSteadyTime Expires;
        std::shared_future<T> Value;
        uint64_t Id = 0;
    };

    void Sweep(TSteadyTime now) {
        std::erase_if(entries_, [now](const auto& e) {
            return e.second.Expires <= now &&
                   e.second.Value.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        });
        if (entries_.size() >= capacity_) {
            std::erase_if(entries_, [](const auto& e) {
                return e.second.Value.wait_for(std::chrono::seconds(0)) ==
                       std::future_status::ready;
            });
        }
    }

    size_t capacity_;
    std::mutex mutex_;
    std::map<std::string, TEntry> entries_;
    uint64_t lastId_ = 0;
};

}  // namespace web
