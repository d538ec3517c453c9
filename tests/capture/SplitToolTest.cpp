#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/common/CaseName.h"
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

process::TOutput RunDetect(const std::string& args) {
    return process::Capture(std::string(TARVICK_TOOL) + " detect " + args + " 2>/dev/null");
}

struct TDetectCase {
    const char* name;
    const char* want;
    std::string log;
};

class Detect : public ::testing::TestWithParam<TDetectCase> {};

// Every published example is read best by its own template among all the shipped ones.
TEST_P(Detect, PicksTheExchangesTemplate) {
    TempDir dir;
    WriteBytes(dir.file("log.txt"), GetParam().log);
    const process::TOutput r = RunDetect(dir.file("log.txt") + " --dir " + Shipped(""));
    EXPECT_EQ(r.Status, 0);
    const auto lines = Lines(r.Out);
    ASSERT_EQ(lines.size(), 13u) << r.Out;
    EXPECT_EQ(lines[0].substr(0, lines[0].find('\t')), GetParam().want) << r.Out;
    EXPECT_NE(lines[0].find("\t100%\t"), std::string::npos) << lines[0];
}

INSTANTIATE_TEST_SUITE_P(
    Published, Detect,
    ::testing::Values(
        TDetectCase{"PanasonicTda", "PANASONIC_TDA.ATS",
                    "01/02/02 10:07AM  1200 01 <I>                       0'05 00:01'05 "
                    "9876543210\r\n"},
        TDetectCase{"PanasonicTa", "PANASONIC_TA.ATS",
                    "12/31/98 12:53PM 103 02 < incoming > 00:01'43 ....\r\n"
                    "12/31/98  1:06PM 103 01 092123456789 00:00'08 ....\r\n"},
        TDetectCase{"Samsung", "SAMSUNG_OFFICESERV.ATS",
                    "203 702 01/02 17:27:13 00:00:20 O 4264385\n"},
        TDetectCase{"OpenScape", "OPENSCAPE_BUSINESS.ATS",
                    "20.06.12|13:11:35|201|33388|00:02|00:00:07|0123456789||1||||||\r\n"},
        TDetectCase{"Avaya", "AVAYA_IPO.ATS",
                    "2008/06/28 09:28:41,00:00:00,9,8004206,I,4324,4324,,0,1000014155,0,E4324,"
                    "Joe Bloggs,T9161,LINE 5.1,0,0\r\n"},
        TDetectCase{"Grandstream", "GRANDSTREAM_UCM.ATS",
                    "62,,5300,5301,from-internal,\"pn01\" <5300>,SIP/5300-00000000,"
                    "SIP/5301-00000001,Dial,SIP/5301,60,,2013-12-03 11:46:40,2013-12-03 "
                    "11:46:43,2013-12-03 11:46:49,9,6,ANSWERED,DOCUMENTATION\n"},
        TDetectCase{"ThreeCx", "THREECX.ATS",
                    "Call 265500,89d3af2d8f010000_3456,00:08:10,2024/04/30 06:27:28,2024/04/30 "
                    "06:27:36,2024/04/30 06:35:46,TerminatedByDst,070XXXXXXX,Ext.80002,...\n"},
        TDetectCase{"Generic24WithBlankLines", "GENERIC24.ATS",
                    "\r\n12/04/26 09:02:11 01 201 00:02:15 84951234567\r\n  \r\n"}),
    CaseName());

TEST(DetectTool, NothingThatReadsNineTenthsExitsOne) {
    TempDir dir;
    WriteBytes(dir.file("log.txt"), "hello\r\n12/04/26 09:02:11 01 201 00:02:15 8495\r\n");
    const process::TOutput r = RunDetect(dir.file("log.txt") + " --dir " + Shipped(""));
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(Lines(r.Out).at(0).substr(0, 18), "GENERIC24.ATS\t50%\t");
    EXPECT_EQ(RunDetect("/nonexistent.log --dir " + Shipped("")).Status, 2);
}

TEST(SplitTool, ShowsDirectionCallerAndTheStartBeforeThePrintedEnd) {
    TempDir dir;
    WriteBytes(dir.file("in.log"),
               "Date     Time    Ext CO Dial Number\r\n"
               "12/09/26  3:15PM   205 01 <I>0501234567            0'12 01:00'00\r\n");
    const process::TOutput r = RunTool(Shipped("PANASONIC_TDA.ATS") + " " + dir.file("in.log"));
    ASSERT_EQ(r.Status, 0);
    const auto lines = Lines(r.Out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("NotCall\tDate", 0), 0u);
    EXPECT_NE(lines[1].find("NumberOut=\tDirection=<I>0501234567"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("\tIncoming=yes\tCaller=0501234567\tRHour=15\t"
                            "RingDate=2026-12-09 14:15:00"),
              std::string::npos)
        << lines[1];
}

}  // namespace
