#pragma once
// The platform boundary of the capture control, for fault injection and call counting: a port
// fed by the test and a database that connects or refuses.
#include <functional>
#include <memory>
#include <string>

#include "station/Controller.h"
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
    std::string Name() const override { return "COM1"; }

    bool FailOpen = false;
    int Opens = 0, Closes = 0, ClosesInsideReceive = 0;
    std::string Waiting;
    TCaptureControl* Control = nullptr;
    std::function<void()> OnOpen, OnClose;

private:
    bool Open_ = false;
};

// A database that connects or refuses, and stores journal lines the way the call store does:
// the rules judge each line, the mark moves with every committed batch.
class TTestDatabase : public TCaptureDatabase {
public:
    void Connect(const std::string& path, const TDbLogin&) override {
        ++Connects;
        if (!Reachable) throw EError("unavailable database " + path);
        Connected_ = true;
    }
    void Disconnect() override {
        ++Disconnects;
        Connected_ = false;
    }
    bool Connected() const override { return Connected_; }
    void OpenStore(const std::string& station, const TJournalPos& fallback) override {
        Station = station;
        if (!HasMark) Mark_ = fallback;
    }
    bool ExactlyOnce() const override { return true; }
    TJournalPos Mark() const override { return Mark_; }
    TStoreResult Store(TRecorder& rules, const std::vector<TJournalLine>& lines,
                       const TJournalPos& to, const std::function<void()>& durable) override {
        TStoreResult r;
        if (!Connected_ || Refuse) {
            r.Error = "refused";
            return r;
        }
        if (Busy) Busy();
        Batches.push_back(lines.size());
        for (const TJournalLine& line : lines) {
            if (line.Unfinished) {
                ++r.Skipped;
                continue;
            }
            rules.RingText = line.Text;
            TRingRow row;
            const TLineVerdict verdict = rules.JudgeLine(row);
            rules.ClearRecord();
            if (verdict == TLineVerdict::Store) {
                Rows.push_back(line.Text);
                ++r.Stored;
            } else {
                if (verdict == TLineVerdict::BadDate) r.Rejected.push_back({line.Text, "date"});
                ++r.Skipped;
            }
        }
        if (durable) durable();
        Mark_ = to;
        HasMark = true;
        r.Status = TStoreResult::Committed;
        return r;
    }

    // The mark the database holds for the station.
    void SetMark(const TJournalPos& mark) {
        Mark_ = mark;
        HasMark = true;
    }

    bool Reachable = true;
    bool Refuse = false;  // every store fails as a database that went away would
    int Connects = 0, Disconnects = 0;
    std::string Station;
    std::vector<std::string> Rows;  // the stored lines, in order
    std::vector<size_t> Batches;    // lines per committed transaction
    std::function<void()> Busy;     // runs inside each store

private:
    bool Connected_ = false;
    bool HasMark = false;
    TJournalPos Mark_;
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
