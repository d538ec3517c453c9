#pragma once
// The platform boundary of the capture control, for fault injection and call counting: a port
// fed by the test and a database that connects or refuses.
#include <functional>
#include <memory>
#include <string>

#include "capture/Controller.h"
#include "common/Errors.h"

class TTestPort : public TCapturePort {
public:
    bool Connected() const override { return Open_; }
    void Open() override {
        if (Open_) return;
        if (FailOpen) throw EError("Unable to open com port");
        Open_ = true;
        ++Opens;
        if (OnOpen) OnOpen();
    }
    void Close() override {
        if (!Open_) return;
        if (Control && Control->InReceive()) ++ClosesInsideReceive;
        Open_ = false;
        ++Closes;
        if (OnClose) OnClose();
    }
    std::string ReadText(int count) override {
        std::string out = Waiting.substr(0, static_cast<size_t>(count));
        Waiting.erase(0, out.size());
        return out;
    }

    bool FailOpen = false;
    int Opens = 0, Closes = 0, ClosesInsideReceive = 0;
    std::string Waiting;
    TCaptureControl* Control = nullptr;
    std::function<void()> OnOpen, OnClose;

private:
    bool Open_ = false;
};

class TTestDatabase : public TCaptureDatabase {
public:
    void Connect(const std::string& path) override {
        ++Connects;
        if (!Reachable) throw EError("unavailable database " + path);
        Connected_ = true;
    }
    void Disconnect() override {
        ++Disconnects;
        Connected_ = false;
    }
    bool Connected() const override { return Connected_; }

    bool Reachable = true;
    int Connects = 0, Disconnects = 0;

private:
    bool Connected_ = false;
};

// A holder with the given settings and template loaded or not; storage counts the lines that
// reached the assembler.
class TCountingHolder : public TRecorder {
public:
    explicit TCountingHolder(int* stored) : Stored(stored) {}

protected:
    void RecordEnd() override {
        if (Stored) ++*Stored;
        ClearRecord();
    }

private:
    int* Stored;
};

struct THolderSetup {
    bool Loaded = true;
    bool ShowBuffer = true;
    bool AutoRun = false;
    bool HideRun = false;
    bool SendMail = false;
    int* Stored = nullptr;
};

inline THolderFactory HolderWith(THolderSetup s) {
    return [s] {
        auto recorder = std::make_unique<TCountingHolder>(s.Stored);
        recorder->ConfigLoaded = s.Loaded;
        recorder->ShowBuffer = s.ShowBuffer;
        recorder->AutoRun = s.AutoRun;
        recorder->HideRun = s.HideRun;
        recorder->SendMail = s.SendMail;
        recorder->DBPath = "/nowhere/calls.fdb";
        return std::unique_ptr<TRecorder>(std::move(recorder));
    };
}
