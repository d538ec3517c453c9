#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/common/Process.h"
#include "tests/common/TempDir.h"

namespace {

process::TOutput RunTool(const std::string& args) {
    return process::Capture(std::string(TARVICK_TOOL) + " split " + args + " 2>/dev/null");
}

std::string Data(const char* name) {
    return std::string(TARVICK_TEST_DATA) + "/" + name;
}
std::string Shipped(const char* name) {
    return std::string(TARVICK_SOURCE_DIR) + "/data/" + name;
}

std::vector<std::string> Lines(const std::string& s) {
    std::vector<std::string> v;
    size_t b = 0, e;
    while ((e = s.find('\n', b)) != std::string::npos) {
        v.push_back(s.substr(b, e - b));
        b = e + 1;
    }
    return v;
}

TEST(SplitTool, TwentyFourHourExchange) {
    const process::TOutput r = RunTool(Shipped("GENERIC24.ATS") + " " + Data("generic24.log"));
    ASSERT_EQ(r.Status, 0);
    const auto lines = Lines(r.Out);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0],
              "Day=12\tMont=04\tYear=26\tHour=09\tMin=02\tSec=11\tAmPm=\tLine=01\tTimeHour=00\t"
              "TimeMin=02\tTimeSec=15\tNumberIn=201\tNumberOut=84951234567\tRHour=9\t"
              "RingDate=2026-04-12 09:02:11");
    EXPECT_NE(lines[1].find("\tNumberOut=\t"), std::string::npos);   // incoming
    EXPECT_NE(lines[4].find("\tNumberOut=8\t"), std::string::npos);  // dashes end the number
    EXPECT_NE(lines[6].find("NumberOut=007495123456789\t"), std::string::npos);
}

TEST(SplitTool, TwelveHourExchangeWithHeaderLines) {
    const process::TOutput r = RunTool(Shipped("PANA12.ATS") + " " + Data("pana12.log"));
    ASSERT_EQ(r.Status, 0);
    const auto lines = Lines(r.Out);
    ASSERT_EQ(lines.size(), 7u);  // two header lines are records too
    EXPECT_NE(lines[0].find("RingDate=1899-12-30 00:00:00"), std::string::npos);
    EXPECT_NE(lines[2].find("Hour=9\t"), std::string::npos);
    EXPECT_NE(lines[3].find("AmPm=PM\t"), std::string::npos);
    EXPECT_NE(lines[3].find("RHour=15\tRingDate=2026-04-12 15:15:00"), std::string::npos);
    EXPECT_NE(lines[4].find("RHour=12\tRingDate=2026-04-12 12:00:00"), std::string::npos);  // noon
    EXPECT_NE(lines[5].find("RHour=0\tRingDate=2026-04-12 00:30:00"), std::string::npos);
    EXPECT_NE(lines[6].find("TimeHour=00\tTimeMin=12\tTimeSec=30\tNumberIn=207\t"
                            "NumberOut=84957654321\tRHour=23"),
              std::string::npos);
}

TEST(SplitTool, StdinLfCrEndingsAndTrailingBytes) {
    TempDir dir;
    WriteBytes(dir.file("in.log"), "120456\n\r130456\r\npartial");
    WriteBytes(dir.file("t.ats"), "[Parameters]\nDay=1\nMont=3\nYear=5\n");
    const process::TOutput r = RunTool(dir.file("t.ats") + " < " + dir.file("in.log"));
    ASSERT_EQ(r.Status, 0);
    const auto lines = Lines(r.Out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("RingDate=2056-04-12 00:00:00"), std::string::npos);
    EXPECT_NE(lines[1].find("RingDate=2056-04-13 00:00:00"), std::string::npos);
}

TEST(SplitTool, UnreadableTemplateExitsTwo) {
    EXPECT_EQ(RunTool("/nonexistent.ats /dev/null").Status, 2);
    EXPECT_EQ(RunTool("").Status, 2);
    TempDir dir;  // a directory is no template to cut by
    EXPECT_EQ(RunTool(dir.path() + " /dev/null").Status, 2);
}

// A template that reads nothing (another program's bytes, a section without one column) is
// refused as the station refuses a template it cannot load, naming the file.
TEST(SplitTool, ATemplateThatReadsNothingExitsTwoNamingIt) {
    TempDir dir;
    std::string garbage;
    for (int i = 0; i < 3000; ++i) garbage += static_cast<char>((i * 7919 + 13) % 256);
    for (const std::string& bytes : {garbage, std::string("[Parameters]\r\nName=empty\r\n")}) {
        WriteBytes(dir.file("bad.ats"), bytes);
        const process::TOutput r = process::Capture(std::string(TARVICK_TOOL) + " split " +
                                                    dir.file("bad.ats") + " /dev/null 2>&1");
        EXPECT_EQ(r.Status, 2) << r.Out;
        EXPECT_NE(r.Out.find(dir.file("bad.ats")), std::string::npos) << r.Out;
        EXPECT_EQ(r.Out.find("Day="), std::string::npos) << r.Out;
    }
}

}  // namespace
