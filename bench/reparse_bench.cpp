// tarvick-tool reparse's core on a million journal lines already stored with their source:
// lines stored again per second in its transactions (TReparse::kBatch lines, the tool's cache)
// against one line to a transaction, with the CPU of each, and the resident memory before and
// after (constant: the journal is read as a stream, one batch held at a time). Forced writes
// on, the engine's default. The lines' times cycle through one hour, so each batch touches leaves
// all over the date indexes: the hard case for a batch.
//   reparse_bench [LINES [SAMPLE [BATCH [CACHE_PAGES]]]]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/ProcessStats.h"
#include "capture/Recorder.h"
#include "db/CallDatabase.h"
#include "db/FirebirdEnv.h"
#include "journal/CallStore.h"
#include "journal/Reparse.h"
#include "tests/common/Process.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// User and system CPU of this process (the embedded engine runs in it) so far.
double CpuNow() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::unique_ptr<TRecorder> Generic24() {
    auto rules = std::make_unique<TRecorder>();
    ReadTemplateFile(TARVICK_SOURCE_DIR "/data/GENERIC24.ATS", rules->TemplateComment,
                     rules->Columns());
    rules->IncomLog = true;
    return rules;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as it comes: a run takes minutes
    const long lines = argc > 1 ? std::atol(argv[1]) : 1000000;
    const long byLineSample = argc > 2 ? std::atol(argv[2]) : 5000;
    // The tool's batch and cache unless given.
    const long batchLines = argc > 3 ? std::atol(argv[3]) : static_cast<long>(TReparse::kBatch);
    const int cachePages = argc > 4 ? std::atoi(argv[4]) : TReparse::kCachePages;
    std::string tmpl = (std::filesystem::temp_directory_path() / "tarvick-reparse-XXXXXX");
    if (!mkdtemp(tmpl.data())) return 1;
    const std::string dir = tmpl + "/";
    PrepareFirebirdEnvironment(TARVICK_SOURCE_DIR "/data/");
    const std::string db = dir + "calls.fdb";
    if (process::Run({TARVICK_SOURCE_DIR "/scripts/create-db.sh", db}) != 0) return 1;

    // Two journal files: the million, and a sample for one line to a transaction.
    TJournal journal;
    std::string error;
    if (!journal.Open(dir + "journal", error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::string chunk;
    for (long i = 0; i < lines; ++i) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "12/04/26 09:%02ld:%02ld 01 %3ld 00:02:15 8495%07ld\r\n",
                      i / 60 % 60, i % 60, 201 + i % 7, i);
        chunk += buf;
        if (chunk.size() > (1u << 20)) {
            journal.Append(chunk);
            chunk.clear();
        }
    }
    journal.Append(chunk);
    journal.Sync();
    const std::string station = journal.StationId();
    const std::string file = journal.LineEnd().File;
    journal.Close();

    TCallDatabase callDb;
    // Attached as tarvick-tool reparse attaches.
    callDb.CachePages = cachePages;
    callDb.Connect(db);
    std::printf("%ld lines to a transaction, %d pages of cache\n", batchLines, cachePages);
    auto rules = Generic24();
    {
        TCallStore store(callDb);
        store.Open(station, {});
        TJournalReader reader(dir + "journal/", {});
        std::vector<TJournalLine> batch;
        TJournalLine line;
        const auto start = Clock::now();
        for (bool more = true; more;) {
            more = reader.Next(line);
            if (more) batch.push_back(line);
            if (batch.size() == 2000 || (!more && !batch.empty())) {
                if (store.Store(*rules, batch, batch.back().End).Status !=
                    TStoreResult::Committed) {
                    std::fprintf(stderr, "storing failed\n");
                    return 1;
                }
                batch.clear();
            }
        }
        std::printf("stored %ld lines first in %.1f s\n", lines, Seconds(start));
    }

    const double before = ResidentMb(getpid());
    TReparse batched(callDb, *rules);
    batched.Batch = static_cast<size_t>(batchLines);
    double cpu = CpuNow();
    long long writes = WriteCalls(getpid());
    auto start = Clock::now();
    if (batched.Run(dir + "journal/", station, {file}, false) != TReparse::Done) {
        std::fprintf(stderr, "reparse failed: %s\n", batched.Error.c_str());
        return 1;
    }
    const double batchedSeconds = Seconds(start);
    const double batchedCpu = CpuNow() - cpu;
    const long long batchedWrites = WriteCalls(getpid()) - writes;
    const double after = ResidentMb(getpid());
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto batchedLines = static_cast<double>(batched.Counts.Lines);
    std::printf(
        "reparse of %lld lines (replaced %lld, stored %lld): %.1f s, %.0f lines/s; CPU %.1f s, "
        "%.0f us a line; %.3f page writes a line\n",
        static_cast<long long>(batched.Counts.Lines),
        static_cast<long long>(batched.Counts.Replaced),
        static_cast<long long>(batched.Counts.Stored), batchedSeconds,
        batchedLines / batchedSeconds, batchedCpu, 1e6 * batchedCpu / batchedLines,
        static_cast<double>(batchedWrites) / batchedLines);
    std::printf("resident memory: %.1f MiB before, %.1f MiB after (peak of the process %.1f MiB)\n",
                before, after, static_cast<double>(usage.ru_maxrss) / 1024.0);

    // The same work one line to a transaction, on a sample of the lines (the first file cut to
    // byLineSample lines by a journal of its own would change nothing in the per-line cost).
    std::string sampleDir = dir + "sample/";
    std::filesystem::create_directories(sampleDir);
    {
        TJournalReader reader(dir + "journal/", {});
        TJournalLine line;
        std::string bytes;
        for (long i = 0; i < byLineSample && reader.Next(line); ++i) bytes += line.Text + "\r\n";
        FILE* f = std::fopen((sampleDir + file).c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    TReparse byLine(callDb, *rules);
    byLine.Batch = 1;
    cpu = CpuNow();
    writes = WriteCalls(getpid());
    start = Clock::now();
    if (byLine.Run(sampleDir, station, {file}, false) != TReparse::Done) {
        std::fprintf(stderr, "reparse by line failed: %s\n", byLine.Error.c_str());
        return 1;
    }
    const auto byLineLines = static_cast<double>(byLine.Counts.Lines);
    const double byLineRate = byLineLines / Seconds(start);
    const double byLineCpu = CpuNow() - cpu;
    const double byLineWrites = static_cast<double>(WriteCalls(getpid()) - writes) / byLineLines;
    std::printf(
        "one line to a transaction: %lld lines, %.0f lines/s; CPU %.1f s, %.0f us a line; %.3f "
        "page writes a line\n",
        static_cast<long long>(byLine.Counts.Lines), byLineRate, byLineCpu,
        1e6 * byLineCpu / byLineLines, byLineWrites);
    // The disk shared with other work makes the rates wander; CPU and writes a line do not.
    std::printf(
        "batched reparse: %.1f times one line to a transaction (wall); %.1f times less CPU, %.1f "
        "times fewer page writes a line\n",
        batchedLines / batchedSeconds / byLineRate,
        byLineCpu / byLineLines * batchedLines / batchedCpu,
        byLineWrites * batchedLines / static_cast<double>(std::max(1LL, batchedWrites)));
    callDb.Disconnect();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
