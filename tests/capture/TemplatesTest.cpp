#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "capture/Recorder.h"
#include "common/Errors.h"
#include "common/Text.h"
#include "platform/CodePage.h"
#include "tests/common/AsUser.h"
#include "tests/common/CaseName.h"
#include "tests/common/TempDir.h"

namespace {

// The template page as a test script: answers and a record of what the user was shown.
class TScriptedPage : public ITemplateSavePage {
public:
    bool answer = true;
    std::vector<std::string> messages, questions, list;
    int selected = -2;
    bool focusedName = false, viewing = false;

    void FocusNameField() override { focusedName = true; }
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    bool AskYesNo(const std::string& text) override {
        questions.push_back(text);
        return answer;
    }
    void SwitchToViewing() override { viewing = true; }
    void SetTemplateList(const std::vector<std::string>& names, int sel) override {
        list = names;
        selected = sel;
    }
};

std::string Ansi(const char* utf8) {
    return platform::Utf8ToAnsi(utf8);
}

TEST(Templates, LoadTemplateReadsEveryKey) {
    TempDir dir;
    WriteBytes(dir.file("generic.ats"),
               "[PARAMETERS]\r\nname=\xD2\xE8\xEF\r\nDay=1\r\nMont=0x4\r\nYear=$7\r\nHour=x\r\n"
               "AmPm=-2\r\nNumberOut=1020\r\n");
    TRecorder recorder;
    recorder.ProgramDir = dir.path();
    recorder.Template = "GENERIC.ATS";
    recorder.Line = 99;
    ASSERT_TRUE(recorder.LoadTemplate());
    EXPECT_EQ(recorder.TemplateComment, "\xD2\xE8\xEF");
    EXPECT_EQ(recorder.Day, 1);
    EXPECT_EQ(recorder.Mont, 4);
    EXPECT_EQ(recorder.Year, 7);
    EXPECT_EQ(recorder.Hour, 0);
    EXPECT_EQ(recorder.AmPm, -2);
    EXPECT_EQ(recorder.Line, 0);          // missing keys read as 0
    EXPECT_EQ(recorder.NumberOut, 1020);  // kept beyond what the page shows
}

TEST(Templates, MissingOrEmptyNameFailsAndKeepsColumns) {
    TempDir dir;
    TRecorder recorder;
    recorder.ProgramDir = dir.path();
    recorder.Day = 5;
    recorder.Template = "";
    EXPECT_FALSE(recorder.LoadTemplate());
    recorder.Template = "NONE.ATS";
    EXPECT_FALSE(recorder.LoadTemplate());
    EXPECT_NE(recorder.LoadProblem.find(dir.file("NONE.ATS")), std::string::npos);
    EXPECT_EQ(recorder.Day, 5);
    const TTemplateView v = ReadTemplateForDisplay(dir.path(), "NONE.ATS");
    EXPECT_EQ(v.Comment, "");
    EXPECT_EQ(v.Columns.Day, 0);
}

// A template that is there but cannot be read must not load as a template of zeros that cuts
// nothing: the load fails as for a missing file, naming the file.
struct TUnreadableCase {
    const char* name;
    std::function<void(const std::string& path)> make;
};

void PrintTo(const TUnreadableCase& c, std::ostream* os) {
    *os << c.name;
}

class UnreadableTemplate : public ::testing::TestWithParam<TUnreadableCase> {};

TEST_P(UnreadableTemplate, FailsTheLoadAndKeepsTheColumns) {
    TempDir dir;
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    const std::string path = dir.file("GENERIC.ATS");
    GetParam().make(path);
    const std::string result = process::AsOrdinaryUser([&] {
        TRecorder recorder;
        recorder.ProgramDir = dir.path();
        recorder.Template = "GENERIC.ATS";
        recorder.Day = 5;
        const bool loaded = recorder.LoadTemplate();
        return std::string(loaded ? "loaded" : "failed") + " Day=" + std::to_string(recorder.Day) +
               "\n" + recorder.LoadProblem;
    });
    EXPECT_EQ(result.substr(0, result.find('\n')), "failed Day=5");
    EXPECT_NE(result.find("Unable to read " + path + ": "), std::string::npos) << result;
}

INSTANTIATE_TEST_SUITE_P(
    Causes, UnreadableTemplate,
    ::testing::Values(TUnreadableCase{"NoPermission",
                                      [](const std::string& path) {
                                          WriteBytes(path, "[Parameters]\r\nDay=1\r\n");
                                          std::filesystem::permissions(
                                              path, std::filesystem::perms::none);
                                      }},
                      TUnreadableCase{
                          "Directory",
                          [](const std::string& path) { std::filesystem::create_directory(path); }},
                      // Reading the start of a process's memory fails in the kernel with EIO.
                      TUnreadableCase{"InputOutputError",
                                      [](const std::string& path) {
                                          std::filesystem::create_symlink("/proc/self/mem", path);
                                      }}),
    CaseName());

TEST(Templates, RandomBytesLoadAsZeros) {
    TempDir dir;
    std::string junk;
    for (int i = 0; i < 5000; ++i) junk += static_cast<char>((i * 7919) & 0xFF);
    WriteBytes(dir.file("JUNK.ATS"), junk);
    TRecorder recorder;
    recorder.ProgramDir = dir.path();
    recorder.Template = "JUNK.ATS";
    EXPECT_TRUE(recorder.LoadTemplate());
}

TEST(Templates, ListingSkipsDirectoriesAndHiddenFilesAndSortsIgnoringCase) {
    TempDir dir;
    for (const char* name : {"b.ats", "A.ATS", "c.Ats", ".hidden.ats", "d.txt", "e.ats.bak"})
        WriteBytes(dir.file(name), "");
    std::filesystem::create_directory(dir.file("dir.ats"));
    EXPECT_EQ(ListTemplates(dir.path()), (std::vector<std::string>{"A.ATS", "b.ats", "c.Ats"}));
    EXPECT_TRUE(ListTemplates(dir.file("missing/")).empty());
}

TEST(Templates, SaveWritesSelectsAndActivates) {
    TempDir dir;
    WriteBytes(dir.file("other.ats"), "");
    TRecorder recorder;
    recorder.ProgramDir = dir.path();
    TScriptedPage page;
    TTemplateColumns cols;
    cols.Day = 3;
    cols.AmPm = 20;
    SaveTemplate(dir.path(), page, "NEW1", "comment", cols, [&](const std::string& name) {
        recorder.Template = name;
        return recorder.LoadTemplate();
    });
    EXPECT_TRUE(page.viewing);
    EXPECT_EQ(page.list, (std::vector<std::string>{"NEW1.ATS", "OTHER.ATS"}));
    EXPECT_EQ(page.selected, 0);
    EXPECT_EQ(recorder.Template, "NEW1.ATS");
    EXPECT_EQ(recorder.Day, 3);
    EXPECT_EQ(recorder.AmPm, 20);
    EXPECT_EQ(page.messages, (std::vector<std::string>{Ansi("Шаблон сохранен.")}));
    EXPECT_EQ(ReadBytes(dir.file("NEW1.ATS")),
              "[Parameters]\r\nName=comment\r\nDay=3\r\nMont=0\r\nYear=0\r\nHour=0\r\nMin=0\r\n"
              "Sec=0\r\nLine=0\r\nTimeHour=0\r\nTimeMin=0\r\nTimeSec=0\r\nNumberIn=0\r\n"
              "NumberOut=0\r\nAmPm=20\r\n");
}

TEST(Templates, SaveOverExistingFileAsksAndKeepsForeignKeys) {
    TempDir dir;
    const std::string foreign = "[Vendor]\r\nModel=X\r\n[Parameters]\r\nCustom=1\r\nDay=9\r\n";
    WriteBytes(dir.file("OLD.ATS"), foreign);
    TScriptedPage page;
    page.answer = false;
    auto activate = [](const std::string&) { return true; };
    SaveTemplate(dir.path(), page, "OLD", "c", {}, activate);
    ASSERT_EQ(page.questions.size(), 1u);
    EXPECT_EQ(page.questions[0],
              Ansi("Файл ") + dir.file("OLD.ATS") + Ansi(" уже существует. Удалить ?"));
    EXPECT_FALSE(page.viewing);
    EXPECT_EQ(ReadBytes(dir.file("OLD.ATS")), foreign);

    page.answer = true;
    SaveTemplate(dir.path(), page, "OLD", "c", {}, activate);
    const std::string after = ReadBytes(dir.file("OLD.ATS"));
    EXPECT_EQ(
        after.rfind("[Vendor]\r\nModel=X\r\n[Parameters]\r\nCustom=1\r\nDay=0\r\nName=c\r\n", 0),
        0u);
}

TEST(Templates, EmptyNameAsksForOneAndWritesNothing) {
    TempDir dir;
    TScriptedPage page;
    SaveTemplate(dir.path(), page, " \t", "c", {}, [](const std::string&) { return true; });
    EXPECT_TRUE(page.focusedName);
    EXPECT_FALSE(page.viewing);
    EXPECT_EQ(page.messages, (std::vector<std::string>{Ansi("Запишите название шаблона.")}));
    EXPECT_TRUE(ListTemplates(dir.path()).empty());
}

TEST(Templates, FailedActivationReportsTheError) {
    TempDir dir;
    TScriptedPage page;
    SaveTemplate(dir.path(), page, "T", "c", {}, [](const std::string&) { return false; });
    EXPECT_EQ(page.messages.back(), Ansi("Ошибка. Шаблон не сохранен."));
}

TEST(Templates, RefusedWriteRaisesAfterReturningToViewing) {
    TScriptedPage page;
    EXPECT_THROW(SaveTemplate("/nonexistent-tarvick/", page, "T", "c", {},
                              [](const std::string&) { return true; }),
                 EError);
    EXPECT_TRUE(page.viewing);
    EXPECT_EQ(page.selected, -2);  // the list was not re-formed
}

TEST(Templates, TypedNameKeys) {
    EXPECT_EQ(FilterTemplateNameKey('a'), 'A');
    EXPECT_EQ(FilterTemplateNameKey('Z'), 'Z');
    EXPECT_EQ(FilterTemplateNameKey('7'), '7');
    EXPECT_EQ(FilterTemplateNameKey('\b'), '\b');
    EXPECT_EQ(FilterTemplateNameKey('\xE0'), '\xC0');  // а -> А
    EXPECT_EQ(FilterTemplateNameKey('\xFF'), '\xDF');  // я -> Я
    for (char c : {' ', '.', '-', '_', '/', '\r', '\xB8', '\xA8'})
        EXPECT_EQ(FilterTemplateNameKey(c), 0) << static_cast<int>(c);
}

}  // namespace

namespace {

struct TBadValueCase {
    const char* name;
    const char* entry;
    const char* reason;  // what the problem names besides the file and the key
};

class TemplateValue : public ::testing::TestWithParam<TBadValueCase> {};

// A template whose values cannot hold fails to load as a missing one does, and the holder keeps
// the template it had, so no call is stored with zeros.
TEST_P(TemplateValue, ThatCannotHoldFailsTheLoad) {
    TempDir dir;
    WriteBytes(dir.file("BAD.ATS"),
               std::string("[Parameters]\r\nDay=1\r\nMont=4\r\n") + GetParam().entry + "\r\n");
    TRecorder recorder;
    recorder.ProgramDir = dir.path();
    recorder.Template = "BAD.ATS";
    recorder.Day = 5;
    EXPECT_FALSE(recorder.LoadTemplate());
    EXPECT_EQ(recorder.Day, 5);
    EXPECT_NE(recorder.LoadProblem.find(dir.file("BAD.ATS")), std::string::npos);
    EXPECT_NE(recorder.LoadProblem.find(GetParam().entry), std::string::npos)
        << recorder.LoadProblem;
    EXPECT_NE(recorder.LoadProblem.find(GetParam().reason), std::string::npos)
        << recorder.LoadProblem;
}

INSTANTIATE_TEST_SUITE_P(
    Values, TemplateValue,
    ::testing::Values(TBadValueCase{"TwentyDigits", "Year=99999999999999999999", "too large"},
                      TBadValueCase{"LargestInteger", "Hour=2147483647", "longest line"},
                      TBadValueCase{"HundredThousand", "NumberOut=100000", "longest line"},
                      TBadValueCase{"JustBeyondTheLine", "Sec=1025", "longest line"},
                      TBadValueCase{"PlaceTooLarge", "Min=3.99999999999", "too large"},
                      TBadValueCase{"FieldBeyondTheLine", "Duration=5000", "longest line"},
                      TBadValueCase{"LongSeparator", "Separator=;;", "one character"},
                      TBadValueCase{"UnknownZone", "TimeZone=MSK", "UTC"},
                      TBadValueCase{"MarkersWithoutBar", "AmPmText=AMPM", "MORNING|AFTERNOON"}),
    CaseName());

TEST(Templates, NotesNameKeysReadAsZeroAndAMissingDate) {
    TempDir dir;
    WriteBytes(dir.file("T.ATS"), "[Parameters]\r\nHour=x1\r\nMin=1.y\r\nSec=1024\r\n");
    TRecorder recorder;
    recorder.ProgramDir = dir.path();
    recorder.Template = "T.ATS";
    ASSERT_TRUE(recorder.LoadTemplate());
    EXPECT_EQ(recorder.Hour, 0);
    EXPECT_EQ(recorder.Min, 0);
    EXPECT_EQ(recorder.Sec, 1024);
    ASSERT_EQ(recorder.TemplateNotes.size(), 3u);
    EXPECT_NE(recorder.TemplateNotes[0].find("Hour=x1 is not a number"), std::string::npos);
    EXPECT_NE(recorder.TemplateNotes[1].find("Min=1.y is not a number"), std::string::npos);
    EXPECT_NE(recorder.TemplateNotes[2].find("stored without a date"), std::string::npos);
}

TEST(Templates, NewKeysReadBackAsWritten) {
    TempDir dir;
    TTemplateColumns cols{.Day = 1, .Mont = 1, .Year = 1, .NumberIn = 4, .NumberOut = 6};
    TTemplateFormat f;
    f.Separator = '\t';
    f.Places.Day = 3;
    f.Places.Mont = 2;
    f.Places.Year = 1;
    f.Duration = {2, 0};
    f.TimeIsEnd = true;
    f.Utc = true;
    f.Direction = {5, 1};
    f.IncomingMarks = {"<I>", "< incoming >"};
    f.InExtension = {6, 0};
    f.InCaller = {4, 2};
    f.NotCallMarks = {"LOGIN"};
    f.AmText = "";
    f.PmText = "P";
    WriteTemplateFile(dir.file("NEW.ATS"), "c", cols, f);
    TTemplateColumns readCols;
    TTemplateFormat read;
    std::string comment;
    std::vector<std::string> notes;
    ASSERT_TRUE(ReadTemplateFile(dir.file("NEW.ATS"), comment, readCols, read, &notes));
    EXPECT_TRUE(notes.empty());
    EXPECT_EQ(read.Separator, '\t');
    EXPECT_EQ(read.Places.Day, 3);
    EXPECT_EQ(read.Places.Year, 1);
    EXPECT_EQ(read.Duration.Column, 2);
    EXPECT_TRUE(read.TimeIsEnd);
    EXPECT_TRUE(read.Utc);
    EXPECT_EQ(read.Direction.Place, 1);
    EXPECT_EQ(read.IncomingMarks, f.IncomingMarks);
    EXPECT_EQ(read.InCaller.Place, 2);
    EXPECT_EQ(read.InExtension.Column, 6);
    EXPECT_EQ(read.NotCallMarks, f.NotCallMarks);
    EXPECT_EQ(read.AmText, "");
    EXPECT_EQ(read.PmText, "P");
    EXPECT_NE(ReadBytes(dir.file("NEW.ATS")).find("Day=1.3\r\n"), std::string::npos);
}

TEST(Templates, PlainTemplateWritesNoNewKeys) {
    TempDir dir;
    WriteTemplateFile(dir.file("OLD.ATS"), "c", {.Day = 1}, TTemplateFormat{});
    EXPECT_EQ(ReadBytes(dir.file("OLD.ATS")),
              "[Parameters]\r\nName=c\r\nDay=1\r\nMont=0\r\nYear=0\r\nHour=0\r\nMin=0\r\n"
              "Sec=0\r\nLine=0\r\nTimeHour=0\r\nTimeMin=0\r\nTimeSec=0\r\nNumberIn=0\r\n"
              "NumberOut=0\r\nAmPm=0\r\n");
}

}  // namespace
