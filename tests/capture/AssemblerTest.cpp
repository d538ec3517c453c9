#include <gtest/gtest.h>

#include "capture/Recorder.h"
#include "tests/common/CaseName.h"

namespace {

// A holder whose record end keeps the split lines instead of storing them.
class TLineRecorder : public TRecorder {
public:
    struct Record {
        std::string line;
        TFieldTexts fields;
        TDateTime when;
        int32_t hour;
    };
    std::vector<Record> records;

    void Feed(const std::string& bytes) {
        for (char c : bytes) PutChar(c);
    }

protected:
    void RecordEnd() override {
        SplitLine();
        records.push_back({RingText, Fields, RingDateTime(), CorrectedHour()});
        ClearRecord();
    }
};

TDateTime At(int y, int recorder, int d, int h = 0, int mi = 0, int s = 0) {
    return EncodeDateTimeOrZero(y, recorder, d, h, mi, s);
}

TEST(Assembler, DateFieldsByColumn) {
    TLineRecorder recorder;
    recorder.Columns() = {.Day = 1, .Mont = 3, .Year = 5};
    recorder.Feed("120456\r");
    ASSERT_EQ(recorder.records.size(), 1u);
    EXPECT_EQ(recorder.records[0].fields.Day, "12");
    EXPECT_EQ(recorder.records[0].fields.Mont, "04");
    EXPECT_EQ(recorder.records[0].fields.Year, "56");
    EXPECT_DOUBLE_EQ(recorder.records[0].when, At(2056, 4, 12));
}

TEST(Assembler, LineEndsAndLineFeeds) {
    TLineRecorder recorder;
    recorder.Day = 1;
    recorder.Feed("\n1\n2\r\n13\n\r\r");
    ASSERT_EQ(recorder.records.size(), 3u);
    EXPECT_EQ(recorder.records[0].line, "12");
    EXPECT_EQ(recorder.records[1].line, "13");
    EXPECT_EQ(recorder.records[2].line, "");  // an empty line still ends a record
    EXPECT_TRUE(recorder.RingText.empty());
}

TEST(Assembler, ControlCharactersAndNulBytesAreKept) {
    TLineRecorder recorder;
    recorder.Day = 2;
    recorder.Feed(std::string("\x01\x00"
                              "07\x1b",
                              5) +
                  "\r");
    ASSERT_EQ(recorder.records.size(), 1u);
    EXPECT_EQ(recorder.records[0].line.size(), 5u);
    EXPECT_EQ(recorder.records[0].fields.Day, "07");
}

TEST(Assembler, OverlongLineIsCutAndTheNextLineIsWhole) {
    TLineRecorder recorder;
    recorder.Day = 1;
    recorder.Feed(std::string(1024 * 1024, 'x'));
    EXPECT_EQ(recorder.RingText.size(), TRecorder::kMaxLine);
    recorder.Feed("\r05\r");
    ASSERT_EQ(recorder.records.size(), 2u);
    EXPECT_EQ(recorder.records[0].line.size(), TRecorder::kMaxLine);
    EXPECT_EQ(recorder.records[1].fields.Day, "05");
}

struct SpanCase {
    const char* name;
    const char* line;
    int32_t numberIn, numberOut;  // columns; the other keys stay 0
    const char* wantIn;
    const char* wantOut;
};

class FieldSpans : public ::testing::TestWithParam<SpanCase> {};

TEST_P(FieldSpans, DigitRuns) {
    const SpanCase& c = GetParam();
    TLineRecorder recorder;
    recorder.NumberIn = c.numberIn;
    recorder.NumberOut = c.numberOut;
    recorder.Feed(std::string(c.line) + "\r");
    ASSERT_EQ(recorder.records.size(), 1u);
    EXPECT_EQ(recorder.records[0].fields.NumberIn, c.wantIn);
    EXPECT_EQ(recorder.records[0].fields.NumberOut, c.wantOut);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, FieldSpans,
    ::testing::Values(SpanCase{"AnchoredBlankFirst", "201  812", 1, 5, "201", ""},
                      SpanCase{"AnchoredDash", "201 81-2", 1, 5, "201", "81"},
                      SpanCase{"AnchoredTrailingBlanks", "201 812   ", 1, 5, "201", "812"},
                      SpanCase{"LeadingZerosKept", "007 0107", 1, 5, "007", "0107"},
                      SpanCase{"SkipToFirstRunInSpan", "  x9 1234", 1, 6, "9", "1234"},
                      SpanCase{"SpanEndsBeforeNextColumn", "12341234", 1, 3, "12", "341234"},
                      SpanCase{"LastFieldRunsToEndOfLine", "     55", 0, 0, "", ""},
                      SpanCase{"LastKeyTakesDigitsAfterIt", "abc    77", 1, 0, "77", ""},
                      SpanCase{"ColumnBeyondLine", "12", 5, 9, "", ""},
                      SpanCase{"NoDigits", "---- ----", 1, 6, "", ""},
                      SpanCase{"SameColumnSharesSpan", "4567 x", 1, 1, "4567", "4567"},
                      SpanCase{"NegativeColumnIsAbsent", "4567", -3, -1, "", ""}),
    CaseName());

struct ClockCase {
    const char* name;
    const char* hour;
    const char* marker;
    int32_t ampmColumn;
    int32_t wantHour;
};

class TwelveHourClock : public ::testing::TestWithParam<ClockCase> {};

TEST_P(TwelveHourClock, CorrectsTheHour) {
    const ClockCase& c = GetParam();
    TLineRecorder recorder;
    recorder.Columns() = {
        .Day = 1, .Mont = 4, .Year = 7, .Hour = 10, .Min = 13, .AmPm = c.ampmColumn};
    // "dd/mm/yy hh:mm" then the marker from column 15 on.
    recorder.Feed(std::string("01/02/26 ") + c.hour + ":30" + c.marker + "\r");
    ASSERT_EQ(recorder.records.size(), 1u);
    EXPECT_EQ(recorder.records[0].hour, c.wantHour);
    EXPECT_DOUBLE_EQ(recorder.records[0].when, At(2026, 2, 1, c.wantHour, 30));
}

INSTANTIATE_TEST_SUITE_P(Markers, TwelveHourClock,
                         ::testing::Values(ClockCase{"PaddedLowerCasePm", "03", " pm ", 15, 15},
                                           ClockCase{"ElevenPm", "11", "PM", 15, 23},
                                           ClockCase{"NoonStaysTwelve", "12", "PM", 15, 12},
                                           ClockCase{"MidnightBecomesZero", "12", "AM", 15, 0},
                                           ClockCase{"MidnightLowerCase", "12", " am", 15, 0},
                                           ClockCase{"MorningUnchanged", "09", "AM", 15, 9},
                                           ClockCase{"HourPastTwelveUnchanged", "13", "PM", 15, 13},
                                           ClockCase{"DottedNoonUnchanged", "12", "P.M.", 15, 12},
                                           ClockCase{"BlankPaddedHourTabbedMarker", " 9",
                                                     "\tpm\x01", 15, 21},
                                           ClockCase{"NoMarkerColumn", "03", "PM", 0, 3},
                                           ClockCase{"DottedMarkerIsNotPm", "03", "P.M.", 15, 3}),
                         CaseName());

TEST(Assembler, MissingHourTextIsNotCorrected) {
    TLineRecorder recorder;
    recorder.Hour = 1;
    recorder.AmPm = 4;
    recorder.Feed("   PM\r");
    EXPECT_EQ(recorder.records[0].hour, 0);
}

struct DateCase {
    const char* name;
    const char* line;  // "dd mm yy hh nn ss" columns 1,4,7,10,13,16
    TDateTime want;
};

class CallDate : public ::testing::TestWithParam<DateCase> {};

TEST_P(CallDate, Composed) {
    TLineRecorder recorder;
    recorder.Columns() = {.Day = 1, .Mont = 4, .Year = 7, .Hour = 10, .Min = 13, .Sec = 16};
    recorder.Feed(std::string(GetParam().line) + "\r");
    EXPECT_DOUBLE_EQ(recorder.records.at(0).when, GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    Values, CallDate,
    ::testing::Values(DateCase{"TwoDigitYearAfterTwoThousand", "12 04 56 01 02 03",
                               At(2056, 4, 12, 1, 2, 3)},
                      DateCase{"MonthThirteen", "12 13 26 01 02 03", 0.0},
                      DateCase{"AprilThirtyFirst", "31 04 26 01 02 03", 0.0},
                      DateCase{"HourTwentyFive", "30 04 26 25 02 03", 0.0},
                      DateCase{"MinuteSixty", "30 04 26 01 60 03", 0.0},
                      DateCase{"LeapDay", "29 02 24 23 59 59", At(2024, 2, 29, 23, 59, 59)},
                      DateCase{"LeapDayInCommonYear", "29 02 25 00 00 00", 0.0},
                      DateCase{"EmptyLine", "", 0.0},
                      DateCase{"OverlongYear", "01 01 99999999999 00", 0.0}),
    CaseName());

TEST(Assembler, FourDigitYearIsTheYearItself) {
    TLineRecorder recorder;
    recorder.Columns() = {.Day = 1, .Mont = 4, .Year = 7};
    recorder.Feed("01/02/2005\r");
    EXPECT_DOUBLE_EQ(recorder.records.at(0).when, At(2005, 2, 1));
}

TEST(Assembler, FieldValues) {
    EXPECT_EQ(FieldValue(""), 0);
    EXPECT_EQ(FieldValue("007"), 7);
    EXPECT_EQ(FieldValue("2147483647"), 2147483647);
    EXPECT_EQ(FieldValue("2147483648"), 0);
    EXPECT_EQ(FieldValue("00000000000000000042"), 42);
    EXPECT_FALSE(FieldHasValue(""));
    EXPECT_FALSE(FieldHasValue("99999999999"));
    EXPECT_TRUE(FieldHasValue("0"));
}

}  // namespace
