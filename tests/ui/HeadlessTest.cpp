// The headless station as a separate process: a real pseudo-terminal plays the exchange, the
// station stores into a real embedded database, and a stop signal ends it cleanly.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "../common/TempDir.h"
#include "tests/ui/Pty.h"
#include "tests/ui/StationStage.h"

namespace {

using Clock = std::chrono::steady_clock;

class TStationProcess {
public:
    explicit TStationProcess(const std::string& dir) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
        Pid = fork();
        if (Pid == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            execl(TARVICK_STATION, TARVICK_STATION, "--headless", "--dir", dir.c_str(), nullptr);
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        Out = out[0];
        Err = err[0];
    }
    ~TStationProcess() {
        if (Pid > 0 && !Exited) {
            kill(Pid, SIGKILL);
            waitpid(Pid, nullptr, 0);
        }
        if (Out >= 0) close(Out);
        if (Err >= 0) close(Err);
    }

    // Reads standard output until n lines have arrived or the time is up.
    std::vector<std::string> Lines(size_t n, std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (Complete().size() < n && Clock::now() < end) ReadSome(Out, Stdout, 50);
        return Complete();
    }
    std::string Errors() {
        while (ReadSome(Err, Stderr, 0)) {
        }
        return Stderr;
    }
    // Exit code, or -1 when the process did not end in time.
    int Wait(std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            int status = 0;
            if (waitpid(Pid, &status, WNOHANG) == Pid) {
                Exited = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ReadSome(Out, Stdout, 10);
        }
        return -1;
    }
    pid_t Pid = -1;

private:
    std::vector<std::string> Complete() const {
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t i = 0; i < Stdout.size(); ++i)
            if (Stdout[i] == '\n') {
                lines.push_back(Stdout.substr(start, i - start));
                start = i + 1;
            }
        return lines;
    }
    static bool ReadSome(int fd, std::string& into, int timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        into.append(buf, static_cast<size_t>(n));
        return true;
    }
    int Out = -1, Err = -1;
    bool Exited = false;
    std::string Stdout, Stderr;
};

TEST(HeadlessStation, MissingConfigurationExitsWithTwoAndTheMessage) {
    TempDir dir;
    TStationProcess station(dir.path());
    EXPECT_EQ(station.Wait(std::chrono::seconds(10)), 2);
    EXPECT_NE(station.Errors().find("Невозможно прочитать шаблон!"), std::string::npos);
}

std::string CallLine(int n) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "12/04/26 09:%02d:%02d 01 %3d 00:02:15 8495%07d", n / 60 % 60,
                  n % 60, 201 + n % 30, n);
    return buf;
}

struct Staged {
    Staged() {
        stage::TStationFiles files{dir.path(), pty.Path()};
        std::string what;
        ok = pty.Ok() && stage::Stage(files, TARVICK_SOURCE_DIR, "", what);
    }
    TempDir dir;
    TPty pty;
    bool ok = false;
};

class HeadlessBaud : public ::testing::TestWithParam<int> {};

TEST_P(HeadlessBaud, EveryLineReachesStandardOutputInOrder) {
    Staged s;
    ASSERT_TRUE(s.ok);
    TStationProcess station(s.dir.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the port is open
    const int n = GetParam() == 1200 ? 20 : 400;
    std::string burst;
    for (int i = 0; i < n; ++i) burst += CallLine(i) + "\r\n";
    ASSERT_TRUE(s.pty.Send(burst, GetParam()));
    const auto lines = station.Lines(static_cast<size_t>(n), std::chrono::seconds(20));
    ASSERT_EQ(lines.size(), static_cast<size_t>(n)) << station.Errors();
    for (int i = 0; i < n; ++i) EXPECT_EQ(lines[static_cast<size_t>(i)], CallLine(i));
    kill(station.Pid, SIGTERM);
    EXPECT_EQ(station.Wait(std::chrono::seconds(2)), 0);
}

INSTANTIATE_TEST_SUITE_P(Rates, HeadlessBaud, ::testing::Values(1200, 115200));

TEST(HeadlessStation, SigtermDuringABurstExitsCleanlyWithCompleteLines) {
    Staged s;
    ASSERT_TRUE(s.ok);
    TStationProcess station(s.dir.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::thread feeder([&] {
        std::string burst;
        for (int i = 0; i < 5000; ++i) burst += CallLine(i) + "\r\n";
        s.pty.Send(burst);
    });
    station.Lines(50, std::chrono::seconds(10));
    kill(station.Pid, SIGTERM);
    const auto start = Clock::now();
    EXPECT_EQ(station.Wait(std::chrono::seconds(2)), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    s.pty.Stop = true;
    feeder.join();
    const auto lines = station.Lines(0, std::chrono::milliseconds(0));
    ASSERT_GE(lines.size(), 50u);
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], CallLine(static_cast<int>(i)));
}

}  // namespace
