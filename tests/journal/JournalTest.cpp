// The capture journal on real files: what goes in comes back as lines with their places, day
// files begin where a line ends, lines cut off are marked and never read as calls, and a second
// station cannot write into the same journal.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "capture/Recorder.h"
#include "common/DateTime.h"
#include "journal/Journal.h"
#include "tests/common/CaseName.h"
#include "tests/common/TempDir.h"

namespace {

TDateTime At(int y, int m, int d, int hh, int nn) {
    return EncodeDateTimeOrZero(y, m, d, hh, nn, 0);
}

struct ClockAt {
    explicit ClockAt(TDateTime when) { Set(when); }
    ~ClockAt() { SetClock(nullptr); }
    void Set(TDateTime when) {
        SetClock([when] { return when; });
    }
};

std::vector<TJournalLine> ReadAll(const std::string& dir, TJournalPos from = {},
                                  TJournalPos limit = {}) {
    TJournalReader reader(dir, from, limit);
    std::vector<TJournalLine> lines;
    TJournalLine line;
    while (reader.Next(line)) lines.push_back(line);
    EXPECT_EQ(reader.Error(), "");
    return lines;
}

std::vector<std::string> Texts(const std::vector<TJournalLine>& lines) {
    std::vector<std::string> texts;
    for (const auto& l : lines) texts.push_back((l.Unfinished ? "!" : "") + l.Text);
    return texts;
}

class Journal : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(journal.Open(Dir(), error)) << error;
    }
    std::string Dir() const { return tmp.path() + "journal/"; }
    std::string File(const std::string& name) const { return ReadBytes(Dir() + name); }

    ClockAt clock{At(2026, 12, 9, 10, 0)};
    TempDir tmp;
    TJournal journal;
};

TEST_F(Journal, KeepsTheBytesAsReceivedAndReadsThemBackAsLinesWithTheirPlaces) {
    const std::string bytes = "first\r\n\nsec\x01ond\r\n\r\nthird 12";
    ASSERT_EQ(journal.Append(bytes.substr(0, 10)), 10u);
    ASSERT_EQ(journal.Append(bytes.substr(10)), bytes.size() - 10);
    ASSERT_TRUE(journal.Sync());
    EXPECT_EQ(File("2026-12-09.log"), bytes);
    EXPECT_EQ(JournalFiles(Dir()), std::vector<std::string>{"2026-12-09.log"});

    const auto lines = ReadAll(Dir());
    // Line feeds are dropped wherever they come; the line under way is not read yet.
    EXPECT_EQ(Texts(lines), (std::vector<std::string>{"first", "sec\x01ond", ""}));
    EXPECT_EQ(lines[0].Start, (TJournalPos{"2026-12-09.log", 0}));
    EXPECT_EQ(lines[0].End, (TJournalPos{"2026-12-09.log", 6}));
    EXPECT_EQ(lines[1].Start, lines[0].End);
    EXPECT_EQ(journal.LineEnd(), lines.back().End);
    EXPECT_TRUE(journal.LineUnderWay());
    // From a line's end the reader goes on with the next one.
    EXPECT_EQ(Texts(ReadAll(Dir(), lines[0].End)), (std::vector<std::string>{"sec\x01ond", ""}));
    // And never past a limit.
    EXPECT_EQ(Texts(ReadAll(Dir(), {}, lines[1].End)),
              (std::vector<std::string>{"first", "sec\x01ond"}));
}

TEST_F(Journal, ANewDayBeginsWhereTheLineUnderWayEnds) {
    journal.Append("before midnight\r\nhalf a li");
    clock.Set(At(2026, 12, 10, 0, 0));
    journal.Append("ne\r\nafter midnight\r\n");
    EXPECT_EQ(File("2026-12-09.log"), "before midnight\r\nhalf a line\r");
    EXPECT_EQ(File("2026-12-10.log"), "\nafter midnight\r\n");
    EXPECT_EQ(Texts(ReadAll(Dir())),
              (std::vector<std::string>{"before midnight", "half a line", "after midnight"}));
    EXPECT_EQ(journal.LineEnd(), (TJournalPos{"2026-12-10.log", 16}));
    EXPECT_EQ(JournalFileName(At(2026, 12, 10, 23, 59)), "2026-12-10.log");
}

TEST_F(Journal, ALineCutOffIsMarkedAndNeverJoinedToTheNext) {
    journal.Append("12/04/26 09:02:11 01 201 00:02:15 1234\r\n12/04/26 09:0");
    ASSERT_TRUE(journal.EndUnfinished("port closed"));
    EXPECT_FALSE(journal.LineUnderWay());
    EXPECT_TRUE(journal.EndUnfinished("port closed"));  // nothing under way: nothing written
    journal.Append("12/04/26 09:05:40 02 203 00:00:48\r\n");
    const std::string file = File("2026-12-09.log");
    EXPECT_NE(file.find("12/04/26 09:0\n*** unfinished: port closed 09.12.2026 10:00:00 ***\r\n"
                        "12/04/26 09:05:40"),
              std::string::npos)
        << file;
    const auto lines = ReadAll(Dir());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_FALSE(lines[0].Unfinished);
    EXPECT_TRUE(lines[1].Unfinished);
    EXPECT_EQ(lines[2].Text, "12/04/26 09:05:40 02 203 00:00:48");
    EXPECT_FALSE(lines[2].Unfinished);
}

// Garbage without a carriage return for longer than a line is kept: the marker after it is
// still found though the line's text stops at its limit.
TEST_F(Journal, AnOverlongFragmentIsStillMarked) {
    journal.Append(std::string(3000, 'x'));
    journal.EndUnfinished("port closed");
    const auto lines = ReadAll(Dir());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].Unfinished);
    EXPECT_EQ(lines[0].Text.size(), TRecorder::kMaxLine);
}

// The station was killed in the middle of a line: the terminal still holds the rest of it,
// which the next run reads and journals after it.
TEST_F(Journal, TheNextRunGoesOnWithTheLineAKilledRunLeft) {
    journal.Append("whole\r\n12/04/26 09");
    const std::string id = journal.StationId();
    journal.Close();
    TJournal next;
    std::string error;
    ASSERT_TRUE(next.Open(Dir(), error)) << error;
    EXPECT_EQ(next.StationId(), id);
    EXPECT_TRUE(next.LineUnderWay());
    EXPECT_EQ(next.OpenedEnd(), (TJournalPos{"2026-12-09.log", 6}));
    next.Append(":05:40 02 203 00:00:48\r\n");
    EXPECT_EQ(Texts(ReadAll(Dir())),
              (std::vector<std::string>{"whole", "12/04/26 09:05:40 02 203 00:00:48"}));
}

// The machine started again since (a power cut): the device lost the rest of the line, which
// is ended as unfinished rather than joined to the first line of the new boot.
TEST_F(Journal, AfterTheMachineRestartedALineLeftUnderWayIsMarked) {
    journal.Append("whole\r\n12/04/26 09");
    journal.Close();
    WriteBytes(Dir() + TJournal::kLockFile, "an earlier boot\n");
    TJournal next;
    std::string error;
    ASSERT_TRUE(next.Open(Dir(), error)) << error;
    EXPECT_FALSE(next.LineUnderWay());
    next.Append("06/12/26 14:00:01 02 203 00:00:48\r\n");
    const auto lines = ReadAll(Dir());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[1].Unfinished);
    EXPECT_NE(lines[1].Text.find("machine restarted"), std::string::npos);
    EXPECT_EQ(lines[2].Text, "06/12/26 14:00:01 02 203 00:00:48");
    EXPECT_EQ(next.OpenedEnd(), lines[1].End);
}

// Lines read back across the reader's chunks, and across files.
TEST_F(Journal, ReadsLinesAcrossChunksAndFilesInOrder) {
    std::string day1, day2;
    for (int i = 0; i < 3000; ++i)
        day1 += "line " + std::to_string(i) + std::string(40, '.') + "\r\n";
    journal.Append(day1);
    clock.Set(At(2026, 12, 11, 8, 0));
    for (int i = 3000; i < 3100; ++i) day2 += "line " + std::to_string(i) + "\r\n";
    journal.Append(day2);
    const auto lines = ReadAll(Dir());
    ASSERT_EQ(lines.size(), 3100u);
    for (int i = 0; i < 3100; ++i)
        ASSERT_EQ(lines[static_cast<size_t>(i)].Text.rfind("line " + std::to_string(i), 0), 0u);
    EXPECT_EQ(lines[2999].End, (TJournalPos{"2026-12-09.log", day1.size() - 1}));
    EXPECT_EQ(lines[3000].Start, (TJournalPos{"2026-12-11.log", 0}));
    // A reader started inside a later file reads only from there.
    EXPECT_EQ(ReadAll(Dir(), lines[3050].Start).size(), 50u);
}

TEST_F(Journal, ASecondStationCannotUseTheSameJournal) {
    TJournal second;
    std::string error;
    EXPECT_FALSE(second.Open(Dir(), error));
    EXPECT_NE(error.find("used by another station"), std::string::npos) << error;
    // Nor one in another process.
    const pid_t pid = fork();
    if (pid == 0) {
        TJournal other;
        std::string e;
        _exit(other.Open(Dir(), e) ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    journal.Close();
    EXPECT_TRUE(second.Open(Dir(), error)) << error;
}

TEST_F(Journal, TheStoredMarkNoteRoundTripsAndOldStoredDaysArePruned) {
    EXPECT_EQ(ReadLocalMark(Dir()), TJournalPos{});
    for (int day : {9, 10, 11, 17}) {
        clock.Set(At(2026, 12, day, 12, 0));
        journal.Append("call\r\n");
    }
    journal.SaveLocalMark({"2026-12-11.log", 6});
    EXPECT_EQ(ReadLocalMark(Dir()), (TJournalPos{"2026-12-11.log", 6}));
    journal.SaveLocalMark({"2026-12-17.log", 123456789012});
    EXPECT_EQ(ReadLocalMark(Dir()), (TJournalPos{"2026-12-17.log", 123456789012}));
    // Days older than five days go, but only those wholly before the mark.
    journal.Prune({"2026-12-10.log", 6}, 5);
    EXPECT_EQ(JournalFiles(Dir()),
              (std::vector<std::string>{"2026-12-10.log", "2026-12-11.log", "2026-12-17.log"}));
    journal.Prune({"2026-12-17.log", 6}, 5);
    EXPECT_EQ(JournalFiles(Dir()), (std::vector<std::string>{"2026-12-17.log"}));
}

struct PositionCase {
    const char* name;
    const char* text;
    bool ok;
};

class JournalPlaces : public ::testing::TestWithParam<PositionCase> {};

TEST_P(JournalPlaces, ParsesOnlyJournalPlaces) {
    TJournalPos pos;
    EXPECT_EQ(ParsePosition(GetParam().text, pos), GetParam().ok);
    if (GetParam().ok) {
        EXPECT_EQ(::PositionText(pos), GetParam().text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JournalPlaces,
    ::testing::Values(PositionCase{"DayFile", "2026-12-09.log:1234", true},
                      PositionCase{"BeforeEveryFile", ":0", true},
                      PositionCase{"NotADayFile", "calls.txt:12", false},
                      PositionCase{"NoOffset", "2026-12-09.log:", false},
                      PositionCase{"Negative", "2026-12-09.log:-1", false},
                      PositionCase{"TooLarge", "2026-12-09.log:99999999999999999999999", false}),
    CaseName());

TEST(JournalFileNames, OnlyDayFilesBelongToTheJournal) {
    for (const char* ok : {"2026-12-09.log", "1999-01-31.log"}) EXPECT_TRUE(IsJournalFileName(ok));
    for (const char* bad : {"2026-12-09.txt", "2026-12-9.log", "station.id", "stored.mark",
                            "2026_12_09.log", "x2026-12-09.log"})
        EXPECT_FALSE(IsJournalFileName(bad)) << bad;
}

}  // namespace
