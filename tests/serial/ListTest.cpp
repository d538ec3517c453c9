// Which devices count as serial ports, and the names they are listed by.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Serial.h"
#include "serial/SerialPort.h"
#include "tests/common/CaseName.h"
#include "tests/common/TempDir.h"

namespace {

struct TtyEntry {
    const char* name;
    const char* type;  // nullptr: no type file
    bool device;       // a device link, as a probed chip has
};

void MakeTtyClass(const TempDir& dir, const std::vector<TtyEntry>& entries) {
    for (const TtyEntry& e : entries) {
        const std::string path = dir.file(e.name);
        std::filesystem::create_directories(path);
        if (e.type) WriteBytes(path + "/type", std::string(e.type) + "\n");
        if (e.device) std::filesystem::create_directories(path + "/device");
    }
}

struct ListCase {
    const char* name;
    std::vector<TtyEntry> entries;
    std::vector<std::string> paths;
};
class DevicePaths : public ::testing::TestWithParam<ListCase> {};

TEST_P(DevicePaths, ListOnlyRealSerialDevicesInNumberOrder) {
    TempDir dir;
    MakeTtyClass(dir, GetParam().entries);
    EXPECT_EQ(platform::SerialDevicePaths(dir.path()), GetParam().paths);
}

INSTANTIATE_TEST_SUITE_P(Machines, DevicePaths,
                         ::testing::Values(ListCase{"Empty", {}, {}},
                                           ListCase{"UartSlotsWithoutAChipAreLeftOut",
                                                    {{"ttyS0", "4", true},
                                                     {"ttyS1", "0", true},
                                                     {"ttyS2", "4", false},
                                                     {"ttyS3", nullptr, true}},
                                                    {"/dev/ttyS0"}},
                                           ListCase{"ConsolesAndTerminalsAreNoPorts",
                                                    {{"tty1", nullptr, false},
                                                     {"console", nullptr, false},
                                                     {"ptmx", nullptr, false},
                                                     {"ttyUSB0", nullptr, true}},
                                                    {"/dev/ttyUSB0"}},
                                           ListCase{"TwoDigitNumbersAfterOneDigit",
                                                    {{"ttyS10", "4", true},
                                                     {"ttyS2", "4", true},
                                                     {"ttyACM1", nullptr, true},
                                                     {"ttyUSB10", nullptr, true},
                                                     {"ttyUSB9", nullptr, true}},
                                                    {"/dev/ttyACM1", "/dev/ttyS2", "/dev/ttyS10",
                                                     "/dev/ttyUSB9", "/dev/ttyUSB10"}}),
                         CaseName());

TEST(DevicePaths, MissingClassDirectoryListsNothing) {
    EXPECT_TRUE(platform::SerialDevicePaths("/nonexistent-tarvick/tty").empty());
}

struct NameCase {
    const char* path;
    const char* name;
};
class ListedNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(ListedNames, OpenTheDeviceTheyCameFrom) {
    const std::string name = PortNameOfDevice(GetParam().path);
    EXPECT_EQ(name, GetParam().name);
    EXPECT_EQ(NormalizePortName(name), name);
    EXPECT_EQ(TCustomSerialPort::DevicePath(name), GetParam().path);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, ListedNames,
    ::testing::Values(NameCase{"/dev/ttyS0", "COM1"}, NameCase{"/dev/ttyS9", "COM10"},
                      NameCase{"/dev/ttyS10", "COM11"}, NameCase{"/dev/ttyS95", "COM96"},
                      NameCase{"/dev/ttyS96", "/dev/ttyS96"},
                      NameCase{"/dev/ttyUSB0", "/dev/ttyUSB0"},
                      NameCase{"/dev/ttyACM3", "/dev/ttyACM3"}),
    // The device's own name: the expected port name may be a path.
    [](const auto& info) { return std::filesystem::path(info.param.path).filename().string(); });

}  // namespace
