// The headless station as a separate process: a real pseudo-terminal plays the exchange, every
// line reaches standard output in order, and a stop signal ends it cleanly.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "../common/TempDir.h"
#include "tests/ui/Pty.h"
#include "tests/ui/StationProcess.h"
#include "tests/ui/StationStage.h"

namespace {

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
        stage::TStationFiles files;
        files.Dir = dir.path();
        files.PortName = pty.Path();
        std::string what;
        ok = pty.Ok() && stage::Stage(files, TARVICK_SOURCE_DIR, "", what);
    }
    TempDir dir;
    TPty pty;
    bool ok = false;
};

class HeadlessBaud : public ::testing::TestWithParam<int> {};

// Files the station reads from its directory are found whatever the letter case of their names,
// as on the system a copied directory may come from.
TEST(HeadlessStation, DirectoryCopiedWithOtherLetterCaseRunsAsItIs) {
    Staged s;
    ASSERT_TRUE(s.ok);
    namespace fs = std::filesystem;
    for (const auto& [from, to] :
         std::vector<std::pair<const char*, const char*>>{{"tarvick.dat", "TARVICK.DAT"},
                                                          {"tarvick.dbt", "Tarvick.Dbt"},
                                                          {"comport.ini", "ComPort.INI"},
                                                          {"GENERIC24.ATS", "Generic24.ats"},
                                                          {"newread.txt", "NewRead.txt"}})
        fs::rename(s.dir.file(from), s.dir.file(to));
    TStationProcess station(s.dir.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the port is open
    ASSERT_TRUE(s.pty.Send(CallLine(1) + "\r\n" + CallLine(2) + "\r\n"));
    const auto lines = station.Lines(2, std::chrono::seconds(10));
    EXPECT_EQ(lines, (std::vector<std::string>{CallLine(1), CallLine(2)})) << station.Errors();
    kill(station.Pid, SIGTERM);
    EXPECT_EQ(station.Wait(std::chrono::seconds(5)), 0);
    EXPECT_FALSE(fs::exists(s.dir.file("tarvick.dat")));
}

// A template that is there but cannot be read stops the start as a missing one does, and the
// message names the file.
TEST(HeadlessStation, UnreadableTemplateExitsWithTwoNamingTheFile) {
    Staged s;
    ASSERT_TRUE(s.ok);
    std::filesystem::remove(s.dir.file("GENERIC24.ATS"));
    std::filesystem::create_directory(s.dir.file("GENERIC24.ATS"));
    TStationProcess station(s.dir.path());
    EXPECT_EQ(station.Wait(std::chrono::seconds(10)), 2);
    const std::string errors = station.Errors();
    EXPECT_NE(errors.find("Невозможно прочитать шаблон!"), std::string::npos) << errors;
    EXPECT_NE(errors.find(s.dir.file("GENERIC24.ATS")), std::string::npos) << errors;
}

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

INSTANTIATE_TEST_SUITE_P(Rates, HeadlessBaud, ::testing::Values(1200, 115200),
                         [](const auto& info) { return "Baud" + std::to_string(info.param); });

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
