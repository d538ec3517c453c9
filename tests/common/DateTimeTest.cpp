#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/DateTime.h"

namespace {

struct DateCase {
    int y, m, d;
    bool valid;
    double value;
};

class EncodeDate : public ::testing::TestWithParam<DateCase> {};

TEST_P(EncodeDate, MatchesDayCount) {
    const DateCase& c = GetParam();
    TDateTime v = -1;
    ASSERT_EQ(TryEncodeDate(c.y, c.m, c.d, v), c.valid);
    if (!c.valid) return;
    EXPECT_DOUBLE_EQ(v, c.value);
    const TDateParts back = DecodeDate(v);
    EXPECT_EQ(back.Year, c.y);
    EXPECT_EQ(back.Month, c.m);
    EXPECT_EQ(back.Day, c.d);
}

INSTANTIATE_TEST_SUITE_P(
    Calendar, EncodeDate,
    ::testing::Values(DateCase{1899, 12, 30, true, 0}, DateCase{1900, 1, 1, true, 2},
                      DateCase{1970, 1, 1, true, 25569}, DateCase{2026, 12, 6, true, 46362},
                      DateCase{1, 1, 1, true, -693593}, DateCase{9999, 12, 31, true, 2958465},
                      DateCase{2024, 2, 29, true, 45351}, DateCase{2023, 2, 29, false, 0},
                      DateCase{2100, 2, 29, false, 0}, DateCase{2000, 2, 29, true, 36585},
                      DateCase{2026, 13, 1, false, 0}, DateCase{2026, 4, 31, false, 0},
                      DateCase{0, 1, 1, false, 0}, DateCase{10000, 1, 1, false, 0},
                      DateCase{2026, 1, 0, false, 0}),
    [](const auto& info) {
        char name[32];
        std::snprintf(name, sizeof name, "%04d_%02d_%02d", info.param.y, info.param.m,
                      info.param.d);
        return std::string(name);
    });

TEST(DateTime, TimeValidity) {
    TDateTime t = 0;
    EXPECT_TRUE(TryEncodeTime(23, 59, 59, 999, t));
    EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, t));
    EXPECT_FALSE(TryEncodeTime(0, 60, 0, 0, t));
    EXPECT_FALSE(TryEncodeTime(0, 0, 60, 0, t));
    EXPECT_DOUBLE_EQ(EncodeDateTimeOrZero(2026, 4, 31, 10, 0, 0), 0.0);
    EXPECT_DOUBLE_EQ(EncodeDateTimeOrZero(2026, 4, 30, 25, 0, 0), 0.0);
    const TDateTime v = EncodeDateTimeOrZero(2056, 4, 12, 13, 14, 15);
    const TTimeParts p = DecodeTime(v);
    EXPECT_EQ(p.Hour, 13);
    EXPECT_EQ(p.Min, 14);
    EXPECT_EQ(p.Sec, 15);
}

TEST(DateTime, DayOfWeekSundayIsOne) {
    TDateTime v = 0;
    ASSERT_TRUE(TryEncodeDate(2026, 12, 6, v));
    EXPECT_EQ(DayOfWeek(v), 1);
    EXPECT_EQ(DayOfWeek(v + 1), 2);
    EXPECT_EQ(DayOfWeek(v - 1), 7);
    EXPECT_EQ(DayOfWeek(0), 7);  // 30 December 1899 was a Saturday
}

TEST(DateTime, FormatsAndReplaceableClock) {
    TDateTime v = 0;
    ASSERT_TRUE(TryEncodeDate(2026, 2, 1, v));
    EXPECT_EQ(DateToStr(v), "01.02.2026");
    EXPECT_EQ(FormatDateTime("dd_mm_yyyy", v), "01_02_2026");
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss", v + 0.5), "2026-02-01 12:00:00");
    SetClock([v] { return v + 0.75; });
    EXPECT_DOUBLE_EQ(Date(), v);
    EXPECT_DOUBLE_EQ(Now(), v + 0.75);
    SetClock({});
    EXPECT_GT(Date(), v);
}

}  // namespace
