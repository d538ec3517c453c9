#include <gtest/gtest.h>

#include <string>

#include "capture/Recorder.h"
#include "tests/common/CaseName.h"
#include "tests/db/FreshDatabase.h"

namespace {

// A fresh call database made by the shipped script, and the station's template for the lines.
class RecordPath : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(db_.Created());
        path_ = db_.Path();
        ASSERT_TRUE(ReadTemplateFile(TARVICK_SOURCE_DIR "/data/GENERIC24.ATS", mo_.TemplateComment,
                                     mo_.Columns()));
        dm_.Connect(path_);
    }
    void TearDown() override { dm_.Disconnect(); }
    void Feed(const std::string& line) {
        for (char c : line) mo_.PutChar(c);
        mo_.PutChar('\r');
    }
    int64_t Count(const std::string& where = "") {
        return QueryInt(dm_, "select count(*) from Rings " + where);
    }

    TFreshDatabase db_;
    std::string path_;
    TCallDatabase dm_;
    TRecorder mo_;
};

struct RuleCase {
    const char* name;
    const char* line;
    bool incomLog;
    int minLen, maxLen;
    bool emptyLen;
    int minEmpty;
    bool stored;
};

class Rules : public RecordPath, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(Rules, StoresOrDrops) {
    const RuleCase& c = GetParam();
    mo_.IncomLog = c.incomLog;
    mo_.MinLenPhon = c.minLen;
    mo_.MaxLenPhon = c.maxLen;
    mo_.EmptyLen = c.emptyLen;
    mo_.MinEmpty = c.minEmpty;
    Feed(c.line);
    EXPECT_EQ(Count(), c.stored ? 1 : 0);
    EXPECT_TRUE(mo_.RingText.empty());
    EXPECT_FALSE(dm_.DbTransaction.InTransaction());
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Rules,
    ::testing::Values(RuleCase{"Blank", "        ", true, 0, 0, false, 0, false},
                      RuleCase{"IncomingLogged", "12/04/26 09:05:40 02 203 00:00:48", true, 0, 0,
                               false, 0, true},
                      RuleCase{"IncomingDropped", "12/04/26 09:05:40 02 203 00:00:48", false, 0, 0,
                               false, 0, false},
                      RuleCase{"IncomingNoLengthTest", "12/04/26 09:05:40 02 203 00:00:48", true, 6,
                               0, false, 0, true},
                      RuleCase{"FiveBelowSix", "12/04/26 09:02:11 01 201 00:02:15 12345", false, 6,
                               0, false, 0, false},
                      RuleCase{"SixAtSix", "12/04/26 09:02:11 01 201 00:02:15 123456", false, 6, 0,
                               false, 0, true},
                      RuleCase{"EightAboveSeven", "12/04/26 09:02:11 01 201 00:02:15 12345678",
                               false, 0, 7, false, 0, false},
                      RuleCase{"SevenAtSeven", "12/04/26 09:02:11 01 201 00:02:15 1234567", false,
                               0, 7, false, 0, true},
                      RuleCase{"NoUpperBound", "12/04/26 09:02:11 01 201 00:02:15 1234567890123",
                               false, 0, 0, false, 0, true},
                      RuleCase{"ThreeSecondsDropped", "12/04/26 09:02:11 01 201 00:00:03 1234",
                               false, 0, 0, true, 3, false},
                      RuleCase{"ZeroDropped", "12/04/26 09:02:11 01 201 00:00:00 1234", false, 0, 0,
                               true, 3, false},
                      RuleCase{"FourStored", "12/04/26 09:02:11 01 201 00:00:04 1234", false, 0, 0,
                               true, 3, true},
                      RuleCase{"MinuteStored", "12/04/26 09:02:11 01 201 00:01:00 1234", false, 0,
                               0, true, 3, true},
                      RuleCase{"ShortKeptWhenOff", "12/04/26 09:02:11 01 201 00:00:03 1234", false,
                               0, 0, false, 3, true}),
    CaseName());

TEST_F(RecordPath, StoresValuesAsBound) {
    mo_.IncomLog = true;
    Feed("12/04/26 09:02:11 01 201 01:02:03 0084951234567890123");
    EXPECT_EQ(Count("where ringlength = 3723 and NumberOut = '0084951234567890123' and "
                    "NumberOut > 0"),
              1);
}

// With the date's columns in the template, a line whose date-time does not exist is noise, not
// a call; a template without them stores such a line as before, dated 30 December 1899.
TEST_F(RecordPath, LineWithoutARealDateIsNoCallWhenTheTemplateReadsTheDate) {
    mo_.IncomLog = true;
    const TDateTime before = mo_.LastRingDate = 1.0;
    Feed("31/02/26 09:02:11 01 201 00:00:10 0107");
    Feed("12/04/26 25:02:11 01 201 00:00:10 0108");
    EXPECT_EQ(Count(), 0);
    EXPECT_EQ(mo_.LastRingDate, before);
    EXPECT_FALSE(dm_.DbTransaction.InTransaction());
    mo_.Day = mo_.Mont = mo_.Year = 0;
    Feed("31/02/26 09:02:11 01 201 00:00:10 0107");
    EXPECT_EQ(Count("where NumberOut = '0107' and RingDate = '1899-12-30 00:00:00'"), 1);
}

TEST_F(RecordPath, ParamsHoldThreeLinesAfterManyConnects) {
    for (int i = 0; i < 5; ++i) {
        dm_.Disconnect();
        dm_.Connect(path_);
    }
    EXPECT_EQ(dm_.DbConnection.Params().size(), 3u);
}

TEST_F(RecordPath, EmptyPathFails) {
    dm_.Disconnect();
    EXPECT_THROW(dm_.Connect(""), EError);
    EXPECT_FALSE(dm_.Connected());
}

TEST_F(RecordPath, LostDatabaseLosesOnlyItsLinesAndKeepsRunning) {
    mo_.IncomLog = true;
    Feed("12/04/26 09:02:11 01 201 00:02:15 1234");
    dm_.Disconnect();
    Feed("12/04/26 09:03:11 01 201 00:02:15 1235");
    EXPECT_TRUE(mo_.RingText.empty());
    dm_.Connect(path_);
    Feed("12/04/26 09:04:11 01 201 00:02:15 1236");
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(Count("where NumberOut = '1235'"), 0);
}

}  // namespace
