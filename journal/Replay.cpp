#include "journal/Replay.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <set>
#include <thread>

#include "capture/Recorder.h"
#include "db/CallDatabase.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kBatch = 1000;
// The station may be storing for the same station at the same time: its transaction holds the
// mark's row for a moment.
constexpr int kBusyRetries = 200;
constexpr int kBusyPauseMs = 50;

}  // namespace

TReplay::TReplay(TCallDatabase& db, TRecorder& rules) : Rules(rules), Store(db) {}

bool TReplay::Run(const std::string& dir, const std::string& station,
                  std::vector<std::string> files, bool everyLine, const TJournalPos& fallback) {
    Store.Open(station, fallback);
    std::sort(files.begin(), files.end());
    const TJournalPos mark = Store.Mark();
    // Storing a later file moves the mark past every file before it: a file between the
    // mark and the files named goes too, or its lines would never be stored.
    if (everyLine && !files.empty()) {
        const std::string last = files.back();
        for (const std::string& name : JournalFiles(dir)) {
            TJournalLine after;
            const bool pending =
                name > mark.File ||
                (name == mark.File && TJournalReader::OneFile(dir + name, mark.Offset).Next(after));
            if (pending && name < last &&
                std::find(files.begin(), files.end(), name) == files.end()) {
                std::cerr << "also replaying " << name << ": it lies between the mark and " << last
                          << "\n";
                files.push_back(name);
            }
        }
        std::sort(files.begin(), files.end());
    }
    for (const std::string& name : files) {
        if (!File(dir, name, everyLine || name >= Store.Mark().File)) return false;
    }
    if (!Store.ExactlyOnce() && fs::equivalent(dir, OwnJournal, Ignored))
        SaveLocalMark(dir, Store.Mark());
    Store.Close();
    return true;
}

// Every line of the file, or (a file wholly before the mark) only its rejected lines.
bool TReplay::File(const std::string& dir, const std::string& name, bool whole) {
    const std::vector<uint64_t> rejectedList = Store.RejectedIn(name);
    const std::set<uint64_t> rejected(rejectedList.begin(), rejectedList.end());
    if (!whole) {
        for (uint64_t offset : rejected) {
            TJournalReader reader = TJournalReader::OneFile(dir + name, offset);
            TJournalLine line;
            if (reader.Next(line)) {
                Again.push_back(line);
                ++Counts.Lines;
            }
            if (Again.size() >= kBatch && !FlushAgain()) return false;
        }
        return FlushAgain();
    }
    TJournalReader reader = TJournalReader::OneFile(dir + name);
    TJournalLine line;
    while (reader.Next(line)) {
        ++Counts.Lines;
        if (line.End <= Store.Mark()) {
            if (rejected.count(line.Start.Offset)) Again.push_back(line);
        } else {
            New.push_back(line);
        }
        if ((Again.size() >= kBatch && !FlushAgain()) || (New.size() >= kBatch && !FlushNew()))
            return false;
    }
    if (!reader.Error().empty()) {
        Error = reader.Error();
        return false;
    }
    return FlushAgain() && FlushNew();
}

bool TReplay::FlushAgain() {
    if (Again.empty()) return true;
    for (int attempt = 0;; ++attempt) {
        const TStoreResult r = Store.Reexamine(Rules, Again);
        if (r.Status == TStoreResult::Committed) {
            Counts.Stored += r.Stored;
            Again.clear();
            return true;
        }
        if (!Busy(r.Error, attempt)) return false;
    }
}

bool TReplay::FlushNew() {
    for (int attempt = 0; !New.empty(); ++attempt) {
        // Lines the mark has passed meanwhile were stored by someone else.
        New.erase(std::remove_if(New.begin(), New.end(),
                                 [&](const TJournalLine& l) { return l.End <= Store.Mark(); }),
                  New.end());
        if (New.empty()) break;
        const TStoreResult r = Store.Store(Rules, New, New.back().End);
        if (r.Status == TStoreResult::Committed) {
            Counts.Stored += r.Stored;
            New.clear();
        } else if (r.Status == TStoreResult::Failed && !Busy(r.Error, attempt)) {
            return false;
        }
    }
    return true;
}

bool TReplay::Busy(const std::string& error, int attempt) {
    if (attempt >= kBusyRetries || error.find("conflict") == std::string::npos) {
        Error = error;
        return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kBusyPauseMs));
    return true;
}
