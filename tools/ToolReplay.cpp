// tarvick-tool replay: with no file named it goes through DIR's own journal; named files may
// come from another machine's journal directory, copied with its station.id.
#include <filesystem>
#include <iostream>
#include <map>

#include "capture/Recorder.h"
#include "db/CallDatabase.h"
#include "journal/Replay.h"
#include "platform/CodePage.h"
#include "platform/ProgramDir.h"
#include "tools/Tool.h"

namespace fs = std::filesystem;

namespace {

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
        const std::string dir = WithSlash(path.parent_path().string());
        if (ReadStationId(dir).empty()) {
            std::cerr << "no " << TJournal::kStationIdFile << " beside " << args[i]
                      << ": copy the whole journal directory\n";
            return 1;
        }
        named[dir].push_back(name);
    }
    TCallDatabase callDb;
    TRecorder rules;
    if (const int rc = OpenStation(args[0], rules, callDb)) return rc;
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
    const TReplayCounts& c = replay.Counts;
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
