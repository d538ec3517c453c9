#pragma once
// A serial device behind the platform layer that records the port's calls in order, holds the
// bytes and line states a test gives it, and fails the calls a test names.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/Serial.h"

class TFakeLine {
public:
    // What the device holds; set by the test, read by the port.
    std::string input;
    uint32_t modem = 0;   // MS_* bits
    uint32_t errors = 0;  // CE_* bits, taken by the next ClearCommError
    std::set<std::string> failing;
    int openError = 13;  // what a refused open reports
    int callError = 22;  // what a failing call reports

    void Log(const std::string& entry) {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.push_back(entry);
    }
    std::string Joined() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string s;
        for (const std::string& e : log_) s += (s.empty() ? "" : " ") + e;
        return s;
    }
    int Count(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const std::string& e : log_) n += e.rfind(name, 0) == 0;
        return n;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.clear();
    }
    // One batch of device events for the worker's wait.
    void Report(uint32_t events) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            batches_.push_back(events);
        }
        cv_.notify_all();
    }
    bool Fails(const std::string& call) {
        std::lock_guard<std::mutex> lock(mutex_);
        return failing.count(call) != 0;
    }
    std::mutex& Mutex() { return mutex_; }
    platform::TDcb lastState;
    std::string lastPath;

private:
    friend class TFakeDevice;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> log_;
    std::deque<uint32_t> batches_;
};

class TFakeDevice : public platform::TSerialDevice {
public:
    explicit TFakeDevice(std::shared_ptr<TFakeLine> line) : line_(std::move(line)) {}
    ~TFakeDevice() override { line_->Log("closed"); }

    bool SetupComm(uint32_t in, uint32_t out) override {
        return Call("SetupComm(" + std::to_string(in) + "," + std::to_string(out) + ")");
    }
    bool SetCommState(const platform::TDcb& dcb) override {
        {
            std::lock_guard<std::mutex> lock(line_->mutex_);
            line_->lastState = dcb;
        }
        return Call("SetCommState");
    }
    bool SetCommTimeouts(const platform::TCommTimeouts&) override {
        return Call("SetCommTimeouts");
    }
    bool SetCommMask(uint32_t mask) override {
        char text[32];
        std::snprintf(text, sizeof text, "SetCommMask(%#x)", mask);
        if (mask == 0) Cancel();
        return Call(text);
    }
    bool WaitCommEvent(uint32_t& events) override {
        std::unique_lock<std::mutex> lock(line_->mutex_);
        line_->cv_.wait(lock, [&] { return cancelled_ || !line_->batches_.empty(); });
        if (cancelled_) {
            cancelled_ = false;
            error_ = 0;
            return false;
        }
        events = line_->batches_.front();
        line_->batches_.pop_front();
        return true;
    }
    void CancelWait() override {
        line_->Log("CancelWait");
        Cancel();
    }
    bool Read(char* buffer, uint32_t count, uint32_t& done) override {
        if (!Call("Read")) return false;
        std::lock_guard<std::mutex> lock(line_->mutex_);
        done = std::min<uint32_t>(count, static_cast<uint32_t>(line_->input.size()));
        line_->input.copy(buffer, done);
        line_->input.erase(0, done);
        return true;
    }
    bool ClearCommError(uint32_t& errors, uint32_t& inQueue) override {
        if (line_->Fails("ClearCommError")) return Fail();
        std::lock_guard<std::mutex> lock(line_->mutex_);
        errors = line_->errors;
        line_->errors = 0;
        inQueue = static_cast<uint32_t>(line_->input.size());
        return true;
    }
    bool GetCommModemStatus(uint32_t& status) override {
        if (line_->Fails("GetCommModemStatus")) return Fail();
        std::lock_guard<std::mutex> lock(line_->mutex_);
        status = line_->modem;
        return true;
    }
    bool PurgeComm(uint32_t flags) override {
        if (!Call("PurgeComm(" + std::to_string(flags) + ")")) return false;
        if (flags & platform::PURGE_RXCLEAR) {
            std::lock_guard<std::mutex> lock(line_->mutex_);
            line_->input.clear();
        }
        return true;
    }
    int LastError() const override { return error_; }

private:
    bool Call(const std::string& entry) {
        line_->Log(entry);
        const std::string name = entry.substr(0, entry.find('('));
        return line_->Fails(name) ? Fail() : true;
    }
    bool Fail() {
        error_ = line_->callError;
        return false;
    }
    void Cancel() {
        {
            std::lock_guard<std::mutex> lock(line_->mutex_);
            cancelled_ = true;
        }
        line_->cv_.notify_all();
    }
    std::shared_ptr<TFakeLine> line_;
    bool cancelled_ = false;  // guarded by the line's mutex
    int error_ = 0;
};

// Puts the fake behind every port opened while it lives.
class TFakeOpener {
public:
    TFakeOpener() : line(std::make_shared<TFakeLine>()) {
        platform::SetSerialOpener(
            [line = line](const std::string& path,
                          int& error) -> std::unique_ptr<platform::TSerialDevice> {
                line->Log("open");
                {
                    std::lock_guard<std::mutex> lock(line->Mutex());
                    line->lastPath = path;
                }
                if (line->Fails("open")) {
                    error = line->openError;
                    return nullptr;
                }
                error = 0;
                return std::make_unique<TFakeDevice>(line);
            });
    }
    ~TFakeOpener() { platform::SetSerialOpener({}); }
    TFakeOpener(const TFakeOpener&) = delete;
    TFakeOpener& operator=(const TFakeOpener&) = delete;
    std::shared_ptr<TFakeLine> line;
};
