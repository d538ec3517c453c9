// tarvick-tool replay: stores the lines of capture journals that the call database does not
// hold yet, with the station's own exactly-once mark, and looks again at lines rejected before
// (a corrected template brings them in). With no file named it goes through DIR's own journal;
// named files may come from another machine's journal directory, copied with its station.id.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <thread>

#include "capture/CallStore.h"
#include "capture/Recorder.h"
#include "db/CallDatabase.h"
#include "db/FirebirdEnv.h"
#include "platform/CodePage.h"
#include "platform/ProgramDir.h"
#include "tools/Tool.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kBatch = 1000;
// The station may be storing for the same station at the same time: its transaction holds the
// mark's row for a moment.
constexpr int kBusyRetries = 200;
constexpr int kBusyPauseMs = 50;

struct TCounts {
    int64_t Lines = 0, Stored = 0;
};

class TReplay {
public:
    TReplay(TCallDatabase& db, TRecorder& rules) : Rules(rules), Store(db) {}

    // One station's files (names of dir), in order. False when the database failed.
    bool Run(const std::string& dir, const std::string& station, std::vector<std::string> files,
             bool everyLine, const TJournalPos& fallback) {
        Store.Open(station, fallback);
        std::sort(files.begin(), files.end());
        const TJournalPos mark = Store.Mark();
        // Storing a later file moves the mark past every file before it: a file between the
        // mark and the files named goes too, or its lines would never be stored.
        if (everyLine && !files.empty()) {
            const std::string last = files.back();
            for (const std::string& name : JournalFiles(dir)) {
                TJournalLine after;
                const bool pending = name > mark.File ||
                                     (name == mark.File &&
                                      TJournalReader::OneFile(dir + name, mark.Offset).Next(after));
                if (pending && name < last &&
                    std::find(files.begin(), files.end(), name) == files.end()) {
                    std::cerr << "also replaying " << name << ": it lies between the mark and "
                              << last << "\n";
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

    std::string OwnJournal;
    TCounts Counts;
    std::string Error;

private:
    // Every line of the file, or (a file wholly before the mark) only its rejected lines.
    bool File(const std::string& dir, const std::string& name, bool whole) {
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

    bool FlushAgain() {
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

    bool FlushNew() {
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

    bool Busy(const std::string& error, int attempt) {
        if (attempt >= kBusyRetries || error.find("conflict") == std::string::npos) {
            Error = error;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kBusyPauseMs));
        return true;
    }

    TRecorder& Rules;
    TCallStore Store;
    std::vector<TJournalLine> Again, New;
    std::error_code Ignored;
};

std::string Slash(std::string dir) {
    if (dir.empty()) dir = ".";
    if (dir.back() != '/') dir += '/';
    return dir;
}

int RunReplay(const ToolArgs& args) {
    if (args.empty()) {
        std::cerr << "usage: tarvick-tool replay DIR [JOURNAL_FILE ...]\n";
        return 1;
    }
    // The files named, by the journal directory they belong to.
    std::map<std::string, std::vector<std::string>> named;
    for (size_t i = 1; i < args.size(); ++i) {
        const fs::path path(args[i]);
        const std::string name = path.filename().string();
        if (!IsJournalFileName(name) || !fs::is_regular_file(path)) {
            std::cerr << "not a journal file: " << args[i] << " (journal files are named "
                      << "yyyy-mm-dd.log)\n";
            return 1;
        }
        const std::string dir = Slash(path.parent_path().string());
        if (ReadStationId(dir).empty()) {
            std::cerr << "no " << TJournal::kStationIdFile << " beside " << args[i]
                      << ": copy the whole journal directory\n";
            return 1;
        }
        named[dir].push_back(name);
    }
    platform::SetProgramDir(args[0]);
    PrepareFirebirdEnvironment(platform::ProgramDir());
    TCallDatabase callDb;
    TRecorder rules;
    rules.LoadConfiguration();
    if (!rules.ConfigLoaded) {
        std::cerr << "Невозможно прочитать шаблон!\n";
        return 2;
    }
    try {
        callDb.Connect(rules.DBPath);
    } catch (const std::exception&) {
    }
    if (!callDb.Connected()) {
        std::cerr << "Невозможно открыть базу данных !\n";
        return 3;
    }
    const std::string own = platform::ProgramDir() + "journal/";
    TReplay replay(callDb, rules);
    replay.OwnJournal = own;
    bool ok = true;
    try {
        if (named.empty()) {
            const std::string station = ReadStationId(own);
            if (!station.empty())
                ok = replay.Run(own, station, JournalFiles(own), false, ReadLocalMark(own));
        } else {
            for (const auto& [dir, files] : named) {
                std::error_code ec;
                const bool isOwn = fs::equivalent(dir, own, ec);
                ok = replay.Run(dir, ReadStationId(dir), files, true,
                                isOwn ? ReadLocalMark(dir) : TJournalPos{});
                if (!ok) break;
            }
        }
    } catch (const std::exception& e) {
        replay.Error = e.what();
        ok = false;
    }
    callDb.Disconnect();
    const TCounts& c = replay.Counts;
    std::cout << "lines=" << c.Lines << " stored=" << c.Stored << " skipped=" << c.Lines - c.Stored
              << std::endl;
    if (!ok) {
        std::cerr << "database: " << platform::AnsiToUtf8(replay.Error) << "\n";
        return 4;
    }
    return 0;
}

const ToolRegistration kReplay("replay", "replay DIR [JOURNAL_FILE ...]", RunReplay);

}  // namespace
