// The headless station storing a backlog of a gigabyte of journal (a long outage of its
// database, or a journal brought from elsewhere): the rate, and its resident memory along the
// way, which must not grow with the backlog.
//   backlog_bench [MEGABYTES [async]]     (1024 when not given)
// With async the database's forced writes are off, so that a gigabyte is through in minutes
// rather than hours on a slow disk; the memory does not depend on it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/ProcessStats.h"
#include "journal/Journal.h"
#include "tests/common/TempDir.h"
#include "tests/station/Pty.h"
#include "tests/station/StationStage.h"

namespace {

std::string CallLine(int64_t n) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "12/04/26 %02d:%02d:%02d 01 %3d 00:02:15 8495%07lld\r\n",
                  static_cast<int>(n / 3600 % 24), static_cast<int>(n / 60 % 60),
                  static_cast<int>(n % 60), static_cast<int>(201 + n % 30),
                  static_cast<long long>(n % 10000000));
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    const int64_t megabytes = argc > 1 ? std::atoll(argv[1]) : 1024;
    TempDir dir;
    TPty pty;
    const std::string db = dir.file("calls.fdb");
    stage::TStationFiles files{
        dir.path(), pty.Path(), "115200", {{"AutoRun", "T"}, {"IncomLog", "T"}, {"DBPath", db}}};
    std::string what;
    if (!pty.Ok() || !stage::CreateDatabase(TARVICK_SOURCE_DIR, db) ||
        !stage::Stage(files, TARVICK_SOURCE_DIR, TARVICK_TOOL, what)) {
        std::fprintf(stderr, "staging failed: %s\n", what.c_str());
        return 1;
    }
    if (argc > 2 && std::string(argv[2]) == "async") {
        const std::string src = TARVICK_SOURCE_DIR;
        process::Capture("TARVICK_FIREBIRD_DIR='" + src + "/data/firebird' . '" + src +
                         "/data/firebird/env.sh' && gfix -user SYSDBA -password quillfern "
                         "-write async '" +
                         db + "'");
    }
    // The journal the station finds at its start: everything after its (missing) mark.
    int64_t lines = 0;
    TJournalPos end;
    {
        TJournal journal;
        std::string error;
        if (!journal.Open(dir.path() + "journal", error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        std::string chunk;
        for (int64_t bytes = 0; bytes < megabytes * 1024 * 1024;) {
            chunk.clear();
            while (chunk.size() < 4 * 1024 * 1024) chunk += CallLine(lines++);
            journal.Append(chunk);
            bytes += static_cast<int64_t>(chunk.size());
        }
        journal.Sync();
        end = journal.LineEnd();
    }
    std::printf("journal: %lld lines, %.0f MB\n", static_cast<long long>(lines),
                static_cast<double>(end.Offset) / 1048576.0);
    std::fflush(stdout);

    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execl(TARVICK_STATION, TARVICK_STATION, "--headless", "--dir", dir.path().c_str(), nullptr);
        _exit(127);
    }
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::pair<double, double>> samples;  // share stored, resident MB
    double peak = 0;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const TJournalPos mark = ReadLocalMark(dir.path() + "journal");
        const double share = static_cast<double>(mark.Offset) / static_cast<double>(end.Offset);
        const double rss = ResidentMb(pid);
        peak = std::max(peak, rss);
        samples.push_back({share, rss});
        const std::chrono::duration<double> now = std::chrono::steady_clock::now() - start;
        std::printf("%6.0f s: stored %5.1f%%, resident %.1f MB\n", now.count(), share * 100, rss);
        std::fflush(stdout);
        if (mark >= end || waitpid(pid, nullptr, WNOHANG) == pid) break;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    for (double at : {0.05, 0.25, 0.5, 0.75, 1.0})
        for (const auto& [share, rss] : samples)
            if (share >= at) {
                std::printf("stored %3.0f%%: resident %.1f MB\n", share * 100, rss);
                break;
            }
    std::printf("stored %lld lines in %.0f s: %.0f lines/s; resident peak %.1f MB\n",
                static_cast<long long>(lines), took.count(),
                static_cast<double>(lines) / took.count(), peak);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    std::printf("rows: %ld\n", stage::StoredCalls(TARVICK_SOURCE_DIR, db));
    return 0;
}
