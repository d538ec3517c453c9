// The capture journal on real files: what goes in comes back as lines with their places, day
// files begin where a line ends, lines cut off are marked and never read as calls, and a second
// station cannot write into the same journal.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "capture/Recorder.h"
#include "common/DateTime.h"
#include "journal/Journal.h"
#include "tests/common/CaseName.h"
#include "tests/common/TempDir.h"
#include "tests/journal/Tampering.h"

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

// What another program does to the day file while the journal holds it, with a line under way
// or not: the lines before stay where the mark has them, every line after comes out whole and
// once, and the journal tells what it set right.
struct TamperCase {
    const char* name;
    void (*tamper)(const std::string& dir, const std::string& day);
    TJournalRepair::TKind kind;
    uint64_t bytes;  // told for a cut or foreign bytes; kWhole: the file's size
};
constexpr uint64_t kWhole = UINT64_MAX;

class JournalTampered : public Journal,
                        public ::testing::WithParamInterface<std::tuple<TamperCase, bool>> {};

TEST_P(JournalTampered, EveryLineAfterComesOutWholeAndOnce) {
    const auto& [c, underWay] = GetParam();
    const std::string first = "12/04/26 09:00:01 01 201 00:00:10 1001\r\n";
    const std::string second = "12/04/26 09:00:02 01 202 00:00:20 1002\r\n";
    const std::string third = "12/04/26 09:00:03 01 203 00:00:30 1003\r\n";
    ASSERT_EQ(journal.Append(first + first), 2 * first.size());
    const TJournalPos mark = journal.LineEnd();
    const size_t half = underWay ? 20 : 0;
    journal.Append(second.substr(0, half));
    ASSERT_TRUE(journal.Sync());
    const std::string id = journal.StationId();
    const uint64_t size = std::filesystem::file_size(Dir() + "2026-12-09.log");
    c.tamper(Dir(), Dir() + "2026-12-09.log");
    ASSERT_TRUE(journal.Verify()) << journal.Error();
    const auto repairs = journal.TakeRepairs();
    ASSERT_EQ(repairs.size(), 1u);
    EXPECT_EQ(repairs[0].Kind, c.kind);
    EXPECT_EQ(repairs[0].File, Dir() + "2026-12-09.log");
    EXPECT_EQ(repairs[0].Bytes, c.bytes == kWhole ? size : c.bytes);
    journal.Append(second.substr(half) + third);
    ASSERT_TRUE(journal.Sync());
    // From the mark: the two lines after it, whole, and nothing else that could be a call.
    std::vector<std::string> calls;
    for (const auto& line : ReadAll(Dir(), mark, journal.LineEnd()))
        if (!line.Unfinished && !line.Text.empty() &&
            line.Text.find_first_not_of(' ') != std::string::npos)
            calls.push_back(line.Text);
    EXPECT_EQ(calls, (std::vector<std::string>{second.substr(0, second.size() - 2),
                                               third.substr(0, third.size() - 2)}))
        << File("2026-12-09.log");
    EXPECT_EQ(ReadStationId(Dir()), id);
    // A restart finds the journal as it is now.
    journal.Close();
    TJournal next;
    std::string error;
    ASSERT_TRUE(next.Open(Dir(), error)) << error;
    EXPECT_EQ(next.LineEnd(), journal.LineEnd());
    EXPECT_FALSE(next.LineUnderWay());
}

INSTANTIATE_TEST_SUITE_P(
    Tampering, JournalTampered,
    ::testing::Combine(
        ::testing::Values(
            TamperCase{"Removed", tamper::RemoveDayFile, TJournalRepair::Deleted, 0},
            TamperCase{"DirectoryRemoved", tamper::RemoveJournal, TJournalRepair::Deleted, 0},
            TamperCase{"Replaced", tamper::ReplaceDayFile, TJournalRepair::Replaced, 0},
            TamperCase{"Emptied", tamper::EmptyDayFile, TJournalRepair::Truncated, kWhole},
            TamperCase{"CutByFive", tamper::CutFiveBytes, TJournalRepair::Truncated, 5},
            TamperCase{"JunkAppended", tamper::AppendJunk, TJournalRepair::Foreign, 4},
            TamperCase{"LongJunkAppended", tamper::AppendLongJunk, TJournalRepair::Foreign, 5000}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "UnderWay" : "");
    });

// The file put in the journal's place is kept aside, not lost.
TEST_F(Journal, AFileInTheJournalsPlaceIsSetAside) {
    journal.Append("12/04/26 09:00:01 01 201 00:00:10 1001\r\n");
    tamper::ReplaceDayFile(Dir(), Dir() + "2026-12-09.log");
    journal.Append("12/04/26 09:00:02 01 202 00:00:20 1002\r\n");
    const auto repairs = journal.TakeRepairs();
    ASSERT_EQ(repairs.size(), 1u);
    EXPECT_EQ(repairs[0].Aside, Dir() + "2026-12-09.log.replaced");
    EXPECT_EQ(File("2026-12-09.log.replaced"), "01/01/26 00:00:00 01 999 00:00:01 666\r\n");
    EXPECT_EQ(Texts(ReadAll(Dir())),
              (std::vector<std::string>{"12/04/26 09:00:01 01 201 00:00:10 1001",
                                        "12/04/26 09:00:02 01 202 00:00:20 1002"}));
}

}  // namespace
