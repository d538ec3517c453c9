// The shipped templates on the published example lines of their exchanges and on lines of our
// own in the same layouts: every value of the row they would store.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>

#include "capture/Recorder.h"
#include "tests/common/CaseName.h"

namespace {

TDateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return EncodeDateTimeOrZero(y, mo, d, h, mi, s);
}

// A fixed-column line: each text placed at its 1-based column, blanks between.
std::string Fixed(const std::map<int, std::string>& at) {
    std::string line;
    for (const auto& [column, text] : at) {
        line.resize(static_cast<size_t>(column) - 1, ' ');
        line += text;
    }
    return line;
}

// The station's time zone for one test.
class TZone {
public:
    explicit TZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) saved_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~TZone() {
        if (saved_.empty())
            ::unsetenv("TZ");
        else
            ::setenv("TZ", saved_.c_str(), 1);
        ::tzset();
    }

private:
    std::string saved_;
};

struct TRowWant {
    int32_t Values[11];  // RDay .. NumberIn
    const char* NumberOut;
    TDateTime RingDate;
    const char* Caller;  // nullptr: NULL
};

struct TFormatCase {
    const char* name;
    const char* file;  // in data/
    std::string line;
    TDateTime clock;  // the station's clock (years that are not printed)
    TLineVerdict verdict;
    TRowWant want;
};

const TDateTime kDec9 = At(2026, 12, 9, 12, 0, 0);

class ShippedTemplate : public ::testing::TestWithParam<TFormatCase> {
protected:
    void SetUp() override {
        SetClock([] { return GetParam().clock; });
        rec_.ProgramDir = std::string(TARVICK_SOURCE_DIR) + "/data/";
        rec_.Template = GetParam().file;
        rec_.IncomLog = true;
        ASSERT_TRUE(rec_.LoadTemplate()) << rec_.LoadProblem;
        EXPECT_TRUE(rec_.TemplateNotes.empty()) << rec_.TemplateNotes.front();
    }
    void TearDown() override { SetClock({}); }

    TZone zone_{"Europe/Moscow"};
    TRecorder rec_;
};

TEST_P(ShippedTemplate, StoresEveryColumn) {
    const TFormatCase& c = GetParam();
    rec_.RingText = c.line;
    TRingRow row;
    ASSERT_EQ(rec_.JudgeLine(row), c.verdict);
    if (c.verdict != TLineVerdict::Store) return;
    const char* names[11] = {"RDay",  "RMont",    "RYear",   "RHour",   "RMin",    "RSec",
                             "RLine", "TimeHour", "TimeMin", "TimeSec", "NumberIn"};
    for (int i = 0; i < 11; ++i) EXPECT_EQ(row.Values[i], c.want.Values[i]) << names[i];
    EXPECT_EQ(row.NumberOut, c.want.NumberOut);
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss", row.RingDate),
              FormatDateTime("yyyy-mm-dd hh:nn:ss", c.want.RingDate));
    if (c.want.Caller) {
        ASSERT_TRUE(row.Caller.has_value());
        EXPECT_EQ(*row.Caller, c.want.Caller);
    } else {
        EXPECT_FALSE(row.Caller.has_value()) << *row.Caller;
    }
}

const std::string kTdaHeader = "Date     Time    Ext CO Dial Number              Ring Duration";

INSTANTIATE_TEST_SUITE_P(
    Lines, ShippedTemplate,
    ::testing::Values(
        // Panasonic KX-TDA: the end of the call is printed, and an incoming call's caller
        // follows <I>.
        TFormatCase{
            "TdaPublished",
            "PANASONIC_TDA.ATS",
            "01/02/02 10:07AM  1200 01 <I>                       0'05 00:01'05 9876543210",
            kDec9,
            TLineVerdict::Store,
            {{2, 1, 2, 10, 5, 55, 1, 0, 1, 5, 1200}, "0", At(2002, 1, 2, 10, 5, 55), nullptr}},
        TFormatCase{"TdaEndAfterMidnightOfNewYear",
                    "PANASONIC_TDA.ATS",
                    Fixed({{1, "01/01/27"},
                           {10, "12:02AM"},
                           {18, "  201"},
                           {24, "03"},
                           {27, "84951234567"},
                           {53, "0'00"},
                           {58, "00:05'30"}}),
                    kDec9,
                    TLineVerdict::Store,
                    {{31, 12, 26, 23, 56, 30, 3, 0, 5, 30, 201},
                     "84951234567",
                     At(2026, 12, 31, 23, 56, 30),
                     nullptr}},
        TFormatCase{"TdaIncomingWithCaller",
                    "PANASONIC_TDA.ATS",
                    Fixed({{1, "12/09/26"},
                           {10, " 3:15PM"},
                           {18, "  205"},
                           {24, "01"},
                           {27, "<I>0501234567"},
                           {53, "0'12"},
                           {58, "01:00'00"},
                           {67, "ACC1"}}),
                    kDec9,
                    TLineVerdict::Store,
                    {{9, 12, 26, 14, 15, 0, 1, 1, 0, 0, 205},
                     "0",
                     At(2026, 12, 9, 14, 15, 0),
                     "0501234567"}},
        TFormatCase{
            "TdaPageHeader", "PANASONIC_TDA.ATS", kTdaHeader, kDec9, TLineVerdict::NotCall, {}},
        TFormatCase{"TdaDateChangedDuringTheCall",
                    "PANASONIC_TDA.ATS",
                    "**/**/** 10:07AM  1200 01 0501234567                0'05 00:01'05",
                    kDec9,
                    TLineVerdict::BadDate,
                    {}},
        // Panasonic KX-TA: the start is printed; years print as two digits.
        TFormatCase{
            "TaPublishedIncoming",
            "PANASONIC_TA.ATS",
            "12/31/98 12:53PM 103 02 < incoming > 00:01'43 ....",
            kDec9,
            TLineVerdict::Store,
            {{31, 12, 98, 12, 53, 0, 2, 0, 1, 43, 103}, "0", At(2098, 12, 31, 12, 53, 0), nullptr}},
        TFormatCase{"TaPublishedOutgoing",
                    "PANASONIC_TA.ATS",
                    "12/31/98  1:06PM 103 01 092123456789 00:00'08 ....",
                    kDec9,
                    TLineVerdict::Store,
                    {{31, 12, 98, 13, 6, 0, 1, 0, 0, 8, 103},
                     "092123456789",
                     At(2098, 12, 31, 13, 6, 0),
                     nullptr}},
        TFormatCase{"TaOwnMorning",
                    "PANASONIC_TA.ATS",
                    "12/08/26 12:05AM 117 04 84957654321  00:12'00 ....",
                    kDec9,
                    TLineVerdict::Store,
                    {{8, 12, 26, 0, 5, 0, 4, 0, 12, 0, 117},
                     "84957654321",
                     At(2026, 12, 8, 0, 5, 0),
                     nullptr}},
        // Samsung OfficeServ: no year; a flag tells incoming calls.
        TFormatCase{"SamsungPublished",
                    "SAMSUNG_OFFICESERV.ATS",
                    "203 702 01/02 17:27:13 00:00:20 O 4264385",
                    kDec9,
                    TLineVerdict::Store,
                    {{2, 1, 26, 17, 27, 13, 702, 0, 0, 20, 203},
                     "4264385",
                     At(2026, 1, 2, 17, 27, 13),
                     nullptr}},
        TFormatCase{"SamsungDecemberSeenInJanuary",
                    "SAMSUNG_OFFICESERV.ATS",
                    "205 703 12/31 23:59:01 00:01:05 I 0501234567",
                    At(2027, 1, 1, 0, 10, 0),
                    TLineVerdict::Store,
                    {{31, 12, 26, 23, 59, 1, 703, 0, 1, 5, 205},
                     "0",
                     At(2026, 12, 31, 23, 59, 1),
                     "0501234567"}},
        TFormatCase{
            "SamsungTomorrowIsThisYear",
            "SAMSUNG_OFFICESERV.ATS",
            "205 703 12/10 08:00:00 00:00:09 O 123",
            kDec9,
            TLineVerdict::Store,
            {{10, 12, 26, 8, 0, 0, 703, 0, 0, 9, 205}, "123", At(2026, 12, 10, 8, 0, 0), nullptr}},
        // HiPath 3000: the end is printed; type 1 is incoming.
        TFormatCase{"HipathOutgoingAcrossMidnight",
                    "HIPATH_3000.ATS",
                    Fixed({{1, "09.12.26"},
                           {9, "00:03:10"},
                           {17, "001"},
                           {20, "  1"},
                           {23, "   201"},
                           {29, "    5"},
                           {34, "00:05:20"},
                           {42, "0501234567"},
                           {67, "          3"},
                           {78, "2"},
                           {79, "ACC"}}),
                    kDec9,
                    TLineVerdict::Store,
                    {{8, 12, 26, 23, 57, 50, 1, 0, 5, 20, 201},
                     "0501234567",
                     At(2026, 12, 8, 23, 57, 50),
                     nullptr}},
        TFormatCase{"HipathIncomingFirstOfMonth",
                    "HIPATH_3000.ATS",
                    Fixed({{1, "01.03.26"},
                           {9, "00:00:30"},
                           {17, "002"},
                           {23, "   305"},
                           {29, "   12"},
                           {34, "00:01:00"},
                           {42, "84951112233"},
                           {78, "1"}}),
                    kDec9,
                    TLineVerdict::Store,
                    {{28, 2, 26, 23, 59, 30, 2, 0, 1, 0, 305},
                     "0",
                     At(2026, 2, 28, 23, 59, 30),
                     "84951112233"}},
        // OpenScape Business: HiPath's fields separated by "|".
        TFormatCase{"OpenScapePublished",
                    "OPENSCAPE_BUSINESS.ATS",
                    "20.06.12|13:11:35|201|33388|00:02|00:00:07|0123456789||1||||||",
                    kDec9,
                    TLineVerdict::Store,
                    {{20, 6, 12, 13, 11, 28, 201, 0, 0, 7, 33388},
                     "0",
                     At(2012, 6, 20, 13, 11, 28),
                     "0123456789"}},
        TFormatCase{"OpenScapeOutgoing",
                    "OPENSCAPE_BUSINESS.ATS",
                    "09.12.26|10:00:00|202|301|00:05|01:00:00|84951234567|12|2||||||",
                    kDec9,
                    TLineVerdict::Store,
                    {{9, 12, 26, 9, 0, 0, 202, 1, 0, 0, 301},
                     "84951234567",
                     At(2026, 12, 9, 9, 0, 0),
                     nullptr}},
        // NEC SL1100: class PIN is incoming; no year.
        TFormatCase{"NecOutgoing",
                    "NEC_SL1100.ATS",
                    Fixed({{1, "POT"},
                           {6, "14:05"},
                           {12, "12/08"},
                           {18, "0003"},
                           {23, "00:02:41"},
                           {32, "       201"},
                           {43, "0501234567"}}),
                    kDec9,
                    TLineVerdict::Store,
                    {{8, 12, 26, 14, 5, 0, 3, 0, 2, 41, 201},
                     "0501234567",
                     At(2026, 12, 8, 14, 5, 0),
                     nullptr}},
        TFormatCase{"NecIncoming",
                    "NEC_SL1100.ATS",
                    Fixed({{1, "PIN"},
                           {6, "09:30"},
                           {12, "11/30"},
                           {18, "0001"},
                           {23, "00:00:15"},
                           {32, "       202"},
                           {43, "84951234567"}}),
                    kDec9,
                    TLineVerdict::Store,
                    {{30, 11, 26, 9, 30, 0, 1, 0, 0, 15, 202},
                     "0",
                     At(2026, 11, 30, 9, 30, 0),
                     "84951234567"}},
        // Mitel 3300: "p" marks the afternoon, a long-call mark stands before the duration.
        TFormatCase{"MitelAfternoonLongCall",
                    "MITEL_3300.ATS",
                    Fixed({{1, "12/08"},
                           {7, "02:15"},
                           {12, "p"},
                           {14, "%"},
                           {15, "00:17:31"},
                           {24, "2001"},
                           {29, "005"},
                           {33, "0501234567"}}),
                    kDec9,
                    TLineVerdict::Store,
                    {{8, 12, 26, 14, 15, 0, 0, 0, 17, 31, 2001},
                     "0501234567",
                     At(2026, 12, 8, 14, 15, 0),
                     nullptr}},
        TFormatCase{
            "MitelAfterMidnight",
            "MITEL_3300.ATS",
            Fixed({{1, "12/09"}, {7, "12:30"}, {15, "00:00:41"}, {24, "2002"}, {33, "123"}}),
            kDec9,
            TLineVerdict::Store,
            {{9, 12, 26, 0, 30, 0, 0, 0, 0, 41, 2002}, "123", At(2026, 12, 9, 0, 30, 0), nullptr}},
        // Avaya IP Office: the caller and the called number swap places on incoming calls.
        TFormatCase{"AvayaPublished",
                    "AVAYA_IPO.ATS",
                    "2008/06/28 09:28:41,00:00:00,9,8004206,I,4324,4324,,0,1000014155,0,E4324,"
                    "Joe Bloggs,T9161,LINE 5.1,0,0",
                    kDec9,
                    TLineVerdict::Store,
                    {{28, 6, 8, 9, 28, 41, 9161, 0, 0, 0, 4324},
                     "0",
                     At(2008, 6, 28, 9, 28, 41),
                     "8004206"}},
        TFormatCase{"AvayaOutgoing",
                    "AVAYA_IPO.ATS",
                    "2026/12/09 10:11:12,00:02:05,3,4324,O,84951234567,984951234567,,0,1000014200,"
                    "0,E4324,\"Ivanov, I.\",T9161,LINE 5.1,0,0",
                    kDec9,
                    TLineVerdict::Store,
                    {{9, 12, 26, 10, 11, 12, 9161, 0, 2, 5, 4324},
                     "84951234567",
                     At(2026, 12, 9, 10, 11, 12),
                     nullptr}},
        // Asterisk Master.csv: every field quoted, talk time in whole seconds.
        TFormatCase{"AsteriskOutgoing",
                    "ASTERISK_CSV.ATS",
                    "\"\",\"201\",\"84951234567\",\"from-internal\",\"\"\"Ivanov\"\" <201>\","
                    "\"SIP/201-00000001\",\"SIP/trunk-00000002\",\"Dial\","
                    "\"SIP/trunk/84951234567,60\",\"2026-12-09 10:11:12\",\"2026-12-09 10:11:20\","
                    "\"2026-12-09 10:13:35\",143,135,\"ANSWERED\",\"DOCUMENTATION\"",
                    kDec9,
                    TLineVerdict::Store,
                    {{9, 12, 26, 10, 11, 12, 0, 0, 2, 15, 201},
                     "84951234567",
                     At(2026, 12, 9, 10, 11, 12),
                     nullptr}},
        TFormatCase{"AsteriskIncomingFromTrunk",
                    "ASTERISK_CSV.ATS",
                    "\"\",\"+74951234567\",\"205\",\"from-trunk\",\"\",\"SIP/trunk-00000003\","
                    "\"SIP/205-00000004\",\"Dial\",\"SIP/205,30\",\"2026-12-09 11:00:00\","
                    "\"2026-12-09 11:00:05\",\"2026-12-09 12:05:10\",3910,3905,\"ANSWERED\","
                    "\"DOCUMENTATION\",\"1765278000.3\",\"\"",
                    kDec9,
                    TLineVerdict::Store,
                    {{9, 12, 26, 11, 0, 0, 0, 1, 5, 5, 205},
                     "0",
                     At(2026, 12, 9, 11, 0, 0),
                     "74951234567"}},
        // Grandstream UCM: Asterisk's fields with an AcctId first.
        TFormatCase{"GrandstreamPublished",
                    "GRANDSTREAM_UCM.ATS",
                    "62,,5300,5301,from-internal,\"pn01\" <5300>,SIP/5300-00000000,"
                    "SIP/5301-00000001,Dial,SIP/5301,60,,2013-12-03 11:46:40,2013-12-03 11:46:43,"
                    "2013-12-03 11:46:49,9,6,ANSWERED,DOCUMENTATION",
                    kDec9,
                    TLineVerdict::Store,
                    {{3, 12, 13, 11, 46, 40, 0, 0, 0, 6, 5300},
                     "5301",
                     At(2013, 12, 3, 11, 46, 40),
                     nullptr}},
        TFormatCase{
            "GrandstreamIncomingDid",
            "GRANDSTREAM_UCM.ATS",
            "63,,84951234567,5301,ext-did-0001,\"\" <84951234567>,SIP/trunk-00000002,"
            "SIP/5301-00000003,Dial,SIP/5301,60,,2026-12-09 09:00:00,2026-12-09 09:00:04,"
            "2026-12-09 09:01:04,64,60,ANSWERED,DOCUMENTATION",
            kDec9,
            TLineVerdict::Store,
            {{9, 12, 26, 9, 0, 0, 0, 0, 1, 0, 5301}, "0", At(2026, 12, 9, 9, 0, 0), "84951234567"}},
        // 3CX: times in UTC, stored in the station's local time (Moscow here, UTC+3).
        TFormatCase{
            "ThreeCxPublished",
            "THREECX.ATS",
            "Call 265500,89d3af2d8f010000_3456,00:08:10,2024/04/30 06:27:28,"
            "2024/04/30 06:27:36,2024/04/30 06:35:46,TerminatedByDst,070XXXXXXX,"
            "Ext.80002,...",
            kDec9,
            TLineVerdict::Store,
            {{30, 4, 24, 9, 27, 28, 0, 0, 8, 10, 80002}, "0", At(2024, 4, 30, 9, 27, 28), "070"}},
        TFormatCase{"ThreeCxOutgoingLateEvening",
                    "THREECX.ATS",
                    "Call 265501,89d3af2d8f010000_3457,00:00:42,2026/12/09 22:30:00,"
                    "2026/12/09 22:30:05,2026/12/09 22:30:47,TerminatedBySrc,Ext.80003,"
                    "+74951234567,80003,,74951234567",
                    kDec9,
                    TLineVerdict::Store,
                    {{10, 12, 26, 1, 30, 0, 0, 0, 0, 42, 80003},
                     "74951234567",
                     At(2026, 12, 10, 1, 30, 0),
                     nullptr}}),
    CaseName());

// A template of our own for the kinds one by one.
class TKinds : public ::testing::Test {
protected:
    void SetUp() override {
        SetClock([] { return kDec9; });
    }
    void TearDown() override { SetClock({}); }
    TRingRow Judge(const std::string& line, TLineVerdict want = TLineVerdict::Store) {
        rec_.RingText = line;
        TRingRow row;
        EXPECT_EQ(rec_.JudgeLine(row), want) << line;
        rec_.ClearRecord();
        return row;
    }
    TRecorder rec_;
};

TEST_F(TKinds, CsvQuotedSeparatorAndDoubledQuote) {
    rec_.Format.Separator = ',';
    rec_.IncomLog = true;
    rec_.Columns() = {.Line = 3, .NumberIn = 1, .NumberOut = 2};
    rec_.RingText = "\"201\",\"a,\"\"b\"\",c\",7";
    rec_.SplitLine();
    EXPECT_EQ(rec_.Fields.NumberIn, "201");
    EXPECT_EQ(rec_.Fields.Line, "7");  // the quoted separator did not cut a field
    rec_.Columns() = {.AmPm = 2};
    rec_.SplitLine();
    EXPECT_EQ(rec_.Fields.AmPm, "a,\"b\",c");
}

TEST_F(TKinds, TabSeparatedAndMissingFields) {
    rec_.Format.Separator = '\t';
    rec_.Columns() = {.Line = 2, .NumberIn = 4, .NumberOut = 9};
    rec_.RingText = "x\t12\t\t305";
    rec_.SplitLine();
    EXPECT_EQ(rec_.Fields.Line, "12");
    EXPECT_EQ(rec_.Fields.NumberIn, "305");
    EXPECT_EQ(rec_.Fields.NumberOut, "");
}

struct TYearCase {
    const char* name;
    const char* year;  // as printed; nullptr: no year column
    TDateTime clock;
    TDateTime want;
};

class Years : public ::testing::TestWithParam<TYearCase> {};

TEST_P(Years, Completed) {
    const TYearCase& c = GetParam();
    SetClock([&] { return c.clock; });
    TRecorder rec;
    rec.Format.Separator = ';';
    rec.Columns() = {.Day = 1, .Mont = 2, .Year = c.year ? 3 : 0, .Hour = 4};
    rec.RingText = std::string("31;12;") + (c.year ? c.year : "") + ";23";
    rec.SplitLine();
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss", rec.RingDateTime()),
              FormatDateTime("yyyy-mm-dd hh:nn:ss", c.want));
    SetClock({});
}

INSTANTIATE_TEST_SUITE_P(
    Printed, Years,
    ::testing::Values(
        TYearCase{"FourDigits", "2025", kDec9, At(2025, 12, 31, 23)},
        TYearCase{"TwoDigits", "25", kDec9, At(2025, 12, 31, 23)},
        TYearCase{"OneDigit", "9", kDec9, At(2009, 12, 31, 23)},
        TYearCase{"NoneWeeksAheadIsLastYear", nullptr, kDec9, At(2025, 12, 31, 23)},
        TYearCase{"NoneSeenOnFirstJanuary", nullptr, At(2027, 1, 1, 0, 5), At(2026, 12, 31, 23)},
        TYearCase{"NoneSeenADayBefore", nullptr, At(2026, 12, 30, 23, 30), At(2026, 12, 31, 23)}),
    CaseName());

struct TDurationCase {
    const char* name;
    const char* printed;
    int32_t hours, mins, secs;
};

class Durations : public ::testing::TestWithParam<TDurationCase> {};

TEST_P(Durations, StoredNormalised) {
    const TDurationCase& c = GetParam();
    TRecorder rec;
    rec.IncomLog = true;
    rec.Format.Separator = ',';
    rec.Format.Duration = {2, 0};
    rec.Columns() = {.NumberIn = 1};
    rec.RingText = std::string("201,") + c.printed + ",x";
    TRingRow row;
    ASSERT_EQ(rec.JudgeLine(row), TLineVerdict::Store);
    EXPECT_EQ(row.Values[7], c.hours);
    EXPECT_EQ(row.Values[8], c.mins);
    EXPECT_EQ(row.Values[9], c.secs);
}

INSTANTIATE_TEST_SUITE_P(Forms, Durations,
                         ::testing::Values(TDurationCase{"HoursMinutesSeconds", "01:02:03", 1, 2,
                                                         3},
                                           TDurationCase{"PanasonicQuote", "00:01'05", 0, 1, 5},
                                           TDurationCase{"MinutesQuote", "7'09", 0, 7, 9},
                                           TDurationCase{"MinutesColon", "12:34", 0, 12, 34},
                                           TDurationCase{"WholeSeconds", "3725", 1, 2, 5},
                                           TDurationCase{"MinutesPastAnHour", "75:00", 1, 15, 0},
                                           TDurationCase{"TrailingText", " 0'05 ACC12", 0, 0, 5},
                                           TDurationCase{"Empty", "", 0, 0, 0}),
                         CaseName());

TEST_F(TKinds, SecondsColumnAloneIsNormalised) {
    rec_.IncomLog = true;
    rec_.Columns() = {.TimeSec = 1, .NumberIn = 6};
    const TRingRow row = Judge("  135 201");
    EXPECT_EQ(row.Values[8], 2);
    EXPECT_EQ(row.Values[9], 15);
}

TEST_F(TKinds, EndTimeAcrossTheEndOfFebruary) {
    rec_.IncomLog = true;
    rec_.Format = {.Separator = ',', .Duration = {3, 0}, .TimeIsEnd = true};
    rec_.Format.Places = {.Day = 1, .Mont = 2, .Year = 3, .Hour = 1, .Min = 2, .Sec = 3};
    rec_.Columns() = {.Day = 1, .Mont = 1, .Year = 1, .Hour = 2, .Min = 2, .Sec = 2, .NumberIn = 4};
    const TRingRow row = Judge("01.03.2024,00:10:00,02:30:00,201");
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss", row.RingDate), "2024-02-29 21:40:00");
    const int32_t start[6] = {29, 2, 24, 21, 40, 0};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(row.Values[i], start[i]) << i;
}

TEST_F(TKinds, UtcOnTheDayDaylightSavingStarts) {
    const TZone berlin("Europe/Berlin");
    rec_.IncomLog = true;
    rec_.Format = {.Separator = ',', .Utc = true};
    rec_.Format.Places = {.Day = 3, .Mont = 2, .Year = 1, .Hour = 4, .Min = 5, .Sec = 6};
    rec_.Columns() = {.Day = 1, .Mont = 1, .Year = 1, .Hour = 1, .Min = 1, .Sec = 1, .NumberIn = 2};
    // Clocks in Berlin went from 02:00 to 03:00 on 29 March 2026 (01:00 UTC).
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss", Judge("2026/03/29 00:30:00,201").RingDate),
              "2026-03-29 01:30:00");
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss", Judge("2026/03/29 01:30:00,201").RingDate),
              "2026-03-29 03:30:00");
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss", Judge("2026/10/25 00:30:00,201").RingDate),
              "2026-10-25 02:30:00");
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss", Judge("2026/10/25 01:30:00,201").RingDate),
              "2026-10-25 02:30:00");
}

TEST_F(TKinds, IncomingWithoutTheRulesForIncomingIsDropped) {
    rec_.IncomLog = false;
    rec_.Format = {.Separator = ',', .Direction = {2, 0}, .IncomingMarks = {"I"}};
    rec_.Columns() = {.NumberIn = 1, .NumberOut = 3};
    Judge("201,I,0501234567", TLineVerdict::Filtered);
    EXPECT_EQ(Judge("201,O,0501234567").NumberOut, "0501234567");
}

TEST_F(TKinds, DirectionMarksIgnoreCaseAndMatchTheStart) {
    rec_.IncomLog = true;
    rec_.Format = {.Separator = ',', .Direction = {2, 0}, .IncomingMarks = {"from-trunk", "in"}};
    rec_.Columns() = {.NumberIn = 1, .NumberOut = 3};
    EXPECT_EQ(Judge("201, FROM-TRUNK-2 ,84951234567").Caller, "84951234567");
    EXPECT_EQ(Judge("201,Inbound,+7495").Caller, "7495");
    EXPECT_FALSE(Judge("201,from-internal,84951234567").Caller.has_value());
    EXPECT_FALSE(Judge("201,in,").Caller.has_value());  // a withheld number stays NULL
}

TEST_F(TKinds, NulCountsAsABlankWhereFieldsAreCut) {
    rec_.IncomLog = true;
    rec_.Columns() = {.TimeHour = 4, .TimeMin = 7, .TimeSec = 10, .NumberOut = 13};
    const std::string line("09 \0\0:27:19 8000002009", 22);
    const TRingRow row = Judge(line);
    EXPECT_EQ(row.Values[7], 0);
    EXPECT_EQ(row.Values[8], 27);
    EXPECT_EQ(row.Values[9], 19);
    EXPECT_EQ(row.NumberOut, "8000002009");
}

TEST_F(TKinds, NonCallLinesAreNotRejected) {
    rec_.Format.NotCallMarks = {"LOGIN", "----"};
    rec_.Columns() = {.Day = 1, .Mont = 4, .Year = 7};
    Judge("** LOGIN 201 **", TLineVerdict::NotCall);
    Judge("------------", TLineVerdict::NotCall);
    Judge("garbage", TLineVerdict::BadDate);
}

TEST_F(TKinds, AfternoonMarkerOfItsOwn) {
    rec_.Format.AmText = "";
    rec_.Format.PmText = "P";
    rec_.Columns() = {.Hour = 1, .Min = 4, .AmPm = 6};
    rec_.RingText = "12:30 ";
    rec_.SplitLine();
    EXPECT_EQ(rec_.CorrectedHour(), 0);
    rec_.RingText = "01:30p";
    rec_.SplitLine();
    EXPECT_EQ(rec_.CorrectedHour(), 13);
}

}  // namespace
