// The station as a process: idle CPU while capturing with no calls, and resident memory after
// 1 000 and after 100 000 stored lines, headless and windowed (offscreen).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "bench/ProcessStats.h"
#include "tests/common/TempDir.h"
#include "tests/station/Pty.h"
#include "tests/station/StationStage.h"

namespace {

pid_t Spawn(const std::string& dir, bool headless) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        if (headless)
            execl(TARVICK_STATION, TARVICK_STATION, "--headless", "--dir", dir.c_str(), nullptr);
        else
            execl(TARVICK_STATION, TARVICK_STATION, "--dir", dir.c_str(), nullptr);
        _exit(127);
    }
    return pid;
}

std::string CallLine(int n) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "12/04/26 %02d:%02d:%02d 01 %3d 00:02:15 8495%07d",
                  n / 3600 % 24, n / 60 % 60, n % 60, 201 + n % 30, n);
    return buf;
}

void Feed(TPty& pty, int from, int count) {
    std::string block;
    for (int i = from; i < from + count; ++i) {
        block += CallLine(i) + "\r\n";
        if (block.size() > 64 * 1024) {
            pty.Send(block);
            block.clear();
        }
    }
    pty.Send(block);
}

void Station(benchmark::State& state, bool headless) {
    TempDir dir;
    TPty pty;
    stage::TStationFiles files{
        dir.path(),
        pty.Path(),
        "115200",
        {{"AutoRun", "T"}, {"ShowBuffer", "T"}, {"DBPath", dir.file("calls.fdb")}}};
    std::string what;
    if (!pty.Ok() || !stage::CreateDatabase(TARVICK_SOURCE_DIR, dir.file("calls.fdb")) ||
        !stage::Stage(files, TARVICK_SOURCE_DIR, TARVICK_TOOL, what)) {
        state.SkipWithError(("staging failed: " + what).c_str());
        return;
    }
    const pid_t pid = Spawn(dir.path(), headless);
    std::this_thread::sleep_for(std::chrono::seconds(3));  // started and capturing
    for (auto _ : state) {
        const double cpu0 = CpuSeconds(pid);
        std::this_thread::sleep_for(std::chrono::seconds(10));
        state.counters["idle_cpu_percent"] = (CpuSeconds(pid) - cpu0) / 10.0 * 100.0;
        Feed(pty, 0, 1000);
        std::this_thread::sleep_for(std::chrono::seconds(5));
        state.counters["rss_mb_1k"] = ResidentMb(pid);
        Feed(pty, 1000, 99000);
        // Let the station drain its queue: wait until its CPU use settles.
        for (double last = -1, now = CpuSeconds(pid); now != last; now = CpuSeconds(pid)) {
            last = now;
            std::this_thread::sleep_for(std::chrono::seconds(3));
        }
        state.counters["rss_mb_100k"] = ResidentMb(pid);
        state.counters["stored"] =
            static_cast<double>(stage::StoredCalls(TARVICK_SOURCE_DIR, dir.file("calls.fdb")));
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

void BM_StationHeadless(benchmark::State& state) {
    Station(state, true);
}
void BM_StationWindowed(benchmark::State& state) {
    Station(state, false);
}

BENCHMARK(BM_StationHeadless)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_StationWindowed)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
