// The headless station as a separate process: a real pseudo-terminal plays the exchange, every
// line reaches standard output in order, and a stop signal ends it cleanly.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "../common/TempDir.h"
#include "tests/common/CaseName.h"
#include "tests/station/Pty.h"
#include "tests/station/StationProcess.h"
#include "tests/station/StationStage.h"

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

// Started by systemd (Type=notify, WatchdogSec): the station says when it is ready, pets the
// watchdog from its event loop while it runs, and says when it stops.
TEST(HeadlessStation, TellsTheServiceManagerItIsReadyAndPetsItsWatchdog) {
    Staged s;
    ASSERT_TRUE(s.ok);
    const std::string path = s.dir.path() + "notify.sock";
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    setenv("WATCHDOG_USEC", "400000", 1);
    TStationProcess station(s.dir.path());
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    std::vector<std::string> messages;
    auto receive = [&](std::chrono::milliseconds limit) {
        for (auto end = Clock::now() + limit; Clock::now() < end;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char buf[512];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n > 0) messages.emplace_back(buf, static_cast<size_t>(n));
        }
    };
    receive(std::chrono::milliseconds(2500));
    auto count = [&](const std::string& m) {
        return std::count(messages.begin(), messages.end(), m);
    };
    EXPECT_EQ(count("READY=1"), 1);
    EXPECT_GE(count("WATCHDOG=1"), 3);  // every 200 ms once ready
    kill(station.Pid, SIGTERM);
    EXPECT_EQ(station.Wait(std::chrono::seconds(5)), 0);
    receive(std::chrono::milliseconds(200));
    EXPECT_EQ(count("STOPPING=1"), 1);
    close(fd);
}

// A port file or a settings table that is there but cannot be used stops the start, naming the
// file, and no device is opened on defaults nobody chose.
struct BadFileCase {
    const char* name;
    const char* file;
    std::string bytes;
    const char* said;
};

std::string Garbage(size_t n) {
    std::string bytes;
    for (size_t i = 0; i < n; ++i) bytes += static_cast<char>((i * 7919 + 13) % 256);
    return bytes;
}

class HeadlessBadFile : public ::testing::TestWithParam<BadFileCase> {};

TEST_P(HeadlessBadFile, StopsTheStartNamingTheFile) {
    Staged s;
    ASSERT_TRUE(s.ok);
    WriteBytes(s.dir.file(GetParam().file), GetParam().bytes);
    TStationProcess station(s.dir.path());
    EXPECT_EQ(station.Wait(std::chrono::seconds(10)), 2);
    const std::string errors = station.Errors();
    EXPECT_NE(errors.find(s.dir.file(GetParam().file)), std::string::npos) << errors;
    EXPECT_NE(errors.find(GetParam().said), std::string::npos) << errors;
}

INSTANTIATE_TEST_SUITE_P(
    Files, HeadlessBadFile,
    ::testing::Values(
        BadFileCase{"PortFileOfGarbage", "comport.ini", Garbage(2000), "no Port="},
        BadFileCase{"PortFileWithoutPort", "comport.ini", "[ComPort]\r\nBaudRate=1200\r\n",
                    "no Port="},
        BadFileCase{"PortFileWithUnknownBaudRate", "comport.ini",
                    "[ComPort]\r\nPort=/dev/null\r\nBaudRate=fast\r\n", "BaudRate=fast"},
        BadFileCase{"SettingsTableOfGarbage", "tarvick.dat", Garbage(2000), "Invalid DBF file."}),
    CaseName());

}  // namespace
