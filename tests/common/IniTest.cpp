#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/Ini.h"
#include "tests/common/AsUser.h"
#include "tests/common/TempDir.h"

namespace {

TEST(Ini, ReadsIgnoringCaseWithDefaults) {
    TempDir dir;
    WriteBytes(dir.file("a.ini"),
               "; comment\n[Other]\nDay=9\n[ parameters ]\n  DAY = 12 \nhex=0x1F\ndollar=$20\n"
               "bad=12abc\nquoted=\" x \"\nname=\xCA\xEE\xEC\xEC\xE5\xED\xF2\r\n");
    const TIniFile ini(dir.file("a.ini"));
    EXPECT_EQ(ini.ReadInteger("Parameters", "day", 0), 12);
    EXPECT_EQ(ini.ReadInteger("PARAMETERS", "Hex", 0), 31);
    EXPECT_EQ(ini.ReadInteger("Parameters", "dollar", 0), 32);
    EXPECT_EQ(ini.ReadInteger("Parameters", "bad", 0), 0);
    EXPECT_EQ(ini.ReadInteger("Parameters", "missing", 7), 7);
    EXPECT_EQ(ini.ReadString("Parameters", "quoted", ""), " x ");
    EXPECT_EQ(ini.ReadString("Parameters", "Name", ""), "\xCA\xEE\xEC\xEC\xE5\xED\xF2");
    EXPECT_EQ(ini.ReadString("Missing", "Day", "d"), "d");
    EXPECT_TRUE(ini.SectionExists("other"));
    EXPECT_FALSE(TIniFile(dir.file("none.ini")).SectionExists("Other"));
    EXPECT_EQ(TIniFile(dir.file("none.ini")).ReadString("a", "b", "def"), "def");
}

// One reading of a section finds each key where ReadString finds it.
TEST(Ini, SectionReadOnceAgreesWithKeyReads) {
    TempDir dir;
    WriteBytes(dir.file("a.ini"),
               "[Other]\r\nDay=9\r\n[parameters]\r\n; note=x\r\n Day = \"1.3\" \r\nday=2\r\n"
               "Name=\r\n[Parameters]\r\nMont=4\r\n");
    const TIniFile ini(dir.file("a.ini"));
    const auto entries = ini.ReadSection("Parameters");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0], (std::pair<std::string, std::string>{"Day", "1.3"}));
    EXPECT_EQ(entries[0].second, ini.ReadString("Parameters", "DAY", ""));
    EXPECT_EQ(entries[2].first, "Name");
    EXPECT_EQ(ini.ReadString("Parameters", "Mont", "none"), "none");
    EXPECT_TRUE(TIniFile(dir.file("missing.ini")).ReadSection("Parameters").empty());
}

TEST(Ini, WriteKeepsEveryOtherLineByteForByte) {
    TempDir dir;
    const std::string before =
        "[Vendor]\r\nModel=KX \xC0\xD2\xD1\r\n\r\n[Parameters]\r\nName=old\r\nX-Local=keep me\r\n"
        "Day=3\r\n\r\n[Tail]\r\nz=1\r\n";
    WriteBytes(dir.file("t.ats"), before);
    TIniFile ini(dir.file("t.ats"));
    ini.WriteString("parameters", "DAY", "5");
    ini.WriteInteger("Parameters", "Mont", 4);
    EXPECT_EQ(ReadBytes(dir.file("t.ats")),
              "[Vendor]\r\nModel=KX \xC0\xD2\xD1\r\n\r\n[Parameters]\r\nName=old\r\n"
              "X-Local=keep me\r\nDAY=5\r\nMont=4\r\n\r\n[Tail]\r\nz=1\r\n");
    ini.WriteString("New", "k", "v");
    EXPECT_EQ(ini.ReadString("new", "K", ""), "v");
    EXPECT_EQ(ini.ReadString("Tail", "z", ""), "1");
}

TEST(Ini, CreatesMissingFileAndReadsLfFiles) {
    TempDir dir;
    TIniFile ini(dir.file("new.ini"));
    ini.WriteString("ComPort", "Port", "COM1");
    EXPECT_EQ(ReadBytes(dir.file("new.ini")), "[ComPort]\r\nPort=COM1\r\n");
    WriteBytes(dir.file("lf.ini"), "[s]\nk=v");
    EXPECT_EQ(TIniFile(dir.file("lf.ini")).ReadString("S", "K", ""), "v");
}

TEST(Ini, RefusedWriteRaisesWithThePath) {
    TempDir dir;
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    WriteBytes(dir.file("ro.ini"), "[s]\r\nk=v\r\n");
    ::chmod(dir.file("ro.ini").c_str(), 0444);
    const std::string result = process::AsOrdinaryUser([&] {
        TIniFile ini(dir.file("ro.ini"));
        try {
            ini.WriteString("s", "k", "w");
            return std::string("write accepted");
        } catch (const EIniFileException& e) {
            return e.what() + std::string("|") + ini.ReadString("s", "k", "");
        }
    });
    EXPECT_EQ(result, "Unable to write to " + dir.file("ro.ini") + "|v");
}

// The profile reads take a file they cannot read for an empty one; the check tells it apart.
TEST(Ini, UnreadableFileIsToldFromAMissingOne) {
    TempDir dir;
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    WriteBytes(dir.file("secret.ini"), "[s]\r\nk=v\r\n");
    ::chmod(dir.file("secret.ini").c_str(), 0);
    const std::string result = process::AsOrdinaryUser([&] {
        const TIniFile ini(dir.file("secret.ini"));
        std::string out = ini.ReadString("s", "k", "default");
        try {
            ini.CheckReadable();
        } catch (const EIniFileException& e) {
            out += std::string("|") + e.what();
        }
        TIniFile(dir.file("missing.ini")).CheckReadable();
        return out;
    });
    EXPECT_EQ(result, "default|Unable to read " + dir.file("secret.ini") + ": Permission denied");
}

TEST(Ini, RefusedWriteIntoMissingDirectoryRaises) {
    TIniFile ini("/nonexistent-dir-for-tarvick/x.ini");
    EXPECT_THROW(ini.WriteString("s", "k", "v"), EIniFileException);
}

TEST(Ini, HugeAndBinaryInputIsHandled) {
    TempDir dir;
    std::string data = "[s]\nk=" + std::string(100000, 'x') + "\n";
    data += std::string("\0\0[s2]\0=\n", 10);
    WriteBytes(dir.file("big.ini"), data);
    const TIniFile ini(dir.file("big.ini"));
    EXPECT_EQ(ini.ReadString("s", "k", "").size(), 2047u);
    EXPECT_EQ(ini.ReadInteger("s2", "", 5), 5);
}

}  // namespace
