// Writing: field coding, appends and the header, translation, edit and cancel.
#include <gtest/gtest.h>

#include "dbf/DbfTable.h"
#include "tests/common/CaseName.h"
#include "tests/dbf/DbfTestUtil.h"

using namespace dbftest;

namespace {

class DbfWriteTest : public testing::Test {
protected:
    void Make(TableSpec t) {
        spec_ = std::move(t);
        WriteFile(File(), BuildTable(spec_));
    }
    std::string File() const { return dir_.File("w.dbf"); }
    void Open() {
        table_.SetTableName(File());
        table_.SetUseFloatFields(false);
        table_.Open();
    }
    // The bytes of field `offset`/`length` in record n of the file.
    std::string Stored(uint32_t recNo, size_t offset, size_t length) const {
        const std::string b = ReadFile(File());
        const size_t header = 32 + 32 * spec_.fields.size() + 1;
        return b.substr(header + (recNo - 1) * RecordLength(spec_) + offset, length);
    }
    TempDir dir_;
    TableSpec spec_;
    TDbfTable table_;
};

struct TNumberCase {
    const char* name;
    int64_t value;
    const char* stored;
};

class DbfNumberTest : public DbfWriteTest, public testing::WithParamInterface<TNumberCase> {};

TEST_P(DbfNumberTest, IntegersAreZeroPaddedAndKeepTheLowDigits) {
    TableSpec t;
    t.fields = {{"N", 'N', 3}};
    t.records = {"    "};
    Make(t);
    Open();
    table_.Edit();
    table_.FieldByName("N").SetAsInteger(GetParam().value);
    table_.Post();
    table_.Close();
    EXPECT_EQ(Stored(1, 1, 3), GetParam().stored);
}

INSTANTIATE_TEST_SUITE_P(Values, DbfNumberTest,
                         testing::Values(TNumberCase{"Positive", 5, "005"},
                                         TNumberCase{"Negative", -5, "-05"},
                                         TNumberCase{"TooWide", 12345, "345"},
                                         TNumberCase{"Zero", 0, "000"},
                                         TNumberCase{"TooWideNegative", -123, "-23"}),
                         CaseName());

TEST_F(DbfWriteTest, TextLogicalFloatAndDateCoding) {
    TableSpec t;
    t.fields = {{"C", 'C', 254}, {"L", 'L', 1}, {"F", 'N', 8, 2}, {"D", 'D', 8}, {"S", 'C', 5}};
    t.records = {" " + std::string(254 + 1 + 8 + 8 + 5, ' ')};
    Make(t);
    Open();
    table_.Edit();
    table_.FieldByName("C").SetAsString(std::string(300, 'x'));
    table_.FieldByName("L").SetAsBoolean(true);
    table_.FieldByName("F").SetAsFloat(3.14159);
    table_.FieldByName("D").SetAsString("05.03.2024");
    table_.FieldByName("S").SetAsInteger(42);
    table_.Post();
    table_.Close();
    EXPECT_EQ(Stored(1, 1, 254), std::string(254, 'x'));
    EXPECT_EQ(Stored(1, 255, 1), "T");
    EXPECT_EQ(Stored(1, 256, 8), "    3.14");
    EXPECT_EQ(Stored(1, 264, 8), "20240305");
    EXPECT_EQ(Stored(1, 272, 5), "42   ");

    Open();
    table_.Edit();
    table_.FieldByName("L").SetAsBoolean(false);
    EXPECT_THROW(table_.FieldByName("F").SetAsFloat(123456.789), EDbfError)
        << "a number wider than the field is refused, not cut";
    table_.FieldByName("S").SetAsBoolean(true);
    table_.Post();
    table_.Close();
    EXPECT_EQ(Stored(1, 255, 1), "F");
    EXPECT_EQ(Stored(1, 256, 8), "    3.14");
    EXPECT_EQ(Stored(1, 272, 5), "T    ");
}

TEST_F(DbfWriteTest, EmptyTableAppendsOnFirstEditAndEndsWithEofByte) {
    TableSpec t;
    t.fields = {{"A", 'C', 3}, {"N", 'N', 2}};
    Make(t);
    Open();
    EXPECT_TRUE(table_.IsEmpty());
    EXPECT_EQ(table_.FieldByName("A").AsString(), "");
    EXPECT_EQ(table_.FieldByName("N").AsInteger(), 0);
    table_.Edit();
    EXPECT_EQ(table_.State(), TDataSetState::dsInsert);
    table_.FieldByName("A").SetAsString("abc");
    table_.Post();
    EXPECT_EQ(table_.RecordCount(), 1u);
    table_.Close();
    const std::string b = ReadFile(File());
    const size_t header = 32 + 64 + 1;
    EXPECT_EQ(GetU32(b, 4), 1u);
    ASSERT_EQ(b.size(), header + 6 + 1);
    EXPECT_EQ(b.substr(header, 6), " abc  ");
    EXPECT_EQ(b.back(), '\x1A');
}

TEST_F(DbfWriteTest, RecordCountFollowsTheFileSize) {
    TableSpec t;
    t.fields = {{"A", 'C', 1}};
    t.records = {" a", " b", " c"};
    t.headerCount = 7;
    t.endOfFile = false;
    Make(t);
    Open();
    EXPECT_EQ(table_.RecordCount(), 3u);
    EXPECT_EQ(GetU32(ReadFile(File()), 4), 3u) << "the header is mended at open";
    table_.Close();
    const std::string b = ReadFile(File());
    EXPECT_EQ(b.back(), '\x1A');
    Open();
    EXPECT_EQ(table_.RecordCount(), 3u) << "the end-of-file byte does not count";
}

TEST_F(DbfWriteTest, CloseStampsTodayAsUpdateDate) {
    TableSpec t;
    t.fields = {{"A", 'C', 1}};
    t.records = {" a"};
    Make(t);
    TDateTime day = 0;
    ASSERT_TRUE(TryEncodeDate(2031, 7, 9, day));
    SetClock([day] { return day + 0.5; });
    Open();
    table_.Close();
    SetClock({});
    const std::string b = ReadFile(File());
    EXPECT_EQ(static_cast<uint8_t>(b[1]), 131);
    EXPECT_EQ(b[2], 7);
    EXPECT_EQ(b[3], 9);
}

TEST_F(DbfWriteTest, CancelAndCloseDropChangesAndReleaseTheLock) {
    TableSpec t;
    t.fields = {{"A", 'C', 3}};
    t.records = {" old"};
    Make(t);
    Open();
    table_.Edit();
    table_.FieldByName("A").SetAsString("new");
    table_.Cancel();
    EXPECT_EQ(table_.FieldByName("A").AsString(), "old");
    table_.Edit();  // the lock was released, so it can be taken again
    table_.FieldByName("A").SetAsString("new");
    table_.Close();
    Open();
    EXPECT_EQ(table_.FieldByName("A").AsString(), "old");
}

TEST_F(DbfWriteTest, ReadOnlyTableRefusesEditing) {
    TableSpec t;
    t.fields = {{"A", 'C', 3}};
    t.records = {" old"};
    Make(t);
    const std::string before = ReadFile(File());
    table_.SetReadOnly(true);
    Open();
    try {
        table_.Edit();
        FAIL();
    } catch (const EDbfError& e) {
        EXPECT_STREQ(e.what(), "Cannot modify a read-only dataset");
    }
    EXPECT_THROW(table_.FieldByName("A").SetAsString("x"), EDbfError);
    table_.Close();
    EXPECT_EQ(ReadFile(File()), before);
}

TEST_F(DbfWriteTest, LockFieldRecordsCounterTimeAndComputer) {
    TableSpec t;
    t.fields = {{"A", 'C', 1}, {"_DBASELOCK", 'C', 24}};
    t.records = {" a" + std::string(24, '\0')};
    Make(t);
    const TDateTime when = EncodeDateTimeOrZero(2030, 4, 5, 13, 14, 15);
    SetClock([when] { return when; });
    Open();
    table_.Edit();
    table_.Post();
    table_.Close();
    SetClock({});
    const std::string info = Stored(1, 2, 24);
    EXPECT_EQ(info.substr(0, 8), std::string("\x01\x00\x0D\x0E\x0F\x82\x04\x05", 8));
    const std::string& name = TDbfCodePages::Instance().ComputerName();
    const size_t n = std::min<size_t>(16, name.size());
    EXPECT_EQ(info.substr(8, n), name.substr(0, n));
}

// Translation: the table's code page on disk, Windows-1251 in the program.
struct TCodePageCase {
    const char* name;
    uint8_t languageId;
    std::string ansi;    // as the program sees it
    std::string stored;  // as the file holds it
};

class DbfCodePageTest : public DbfWriteTest, public testing::WithParamInterface<TCodePageCase> {};

TEST_P(DbfCodePageTest, TextIsTranslatedBothWays) {
    TableSpec t;
    t.version = 0x03;
    t.languageId = GetParam().languageId;
    t.fields = {{"T", 'C', 8}};
    t.records = {" " + Pad(GetParam().stored, 8)};
    Make(t);
    Open();
    EXPECT_EQ(table_.FieldByName("T").AsString(), GetParam().ansi);
    table_.Edit();
    table_.FieldByName("T").SetAsString(GetParam().ansi + "!");
    table_.Post();
    table_.Close();
    EXPECT_EQ(Stored(1, 1, 8), Pad(GetParam().stored + "!", 8));
}

// "Привет" in Windows-1251 and in code page 866; the euro sign in 1251 and 1252.
const std::string kAnsiPrivet = "\xCF\xF0\xE8\xE2\xE5\xF2";
const std::string kOemPrivet = "\x8F\xE0\xA8\xA2\xA5\xE2";

INSTANTIATE_TEST_SUITE_P(Pages, DbfCodePageTest,
                         testing::Values(TCodePageCase{"OemById0", 0, kAnsiPrivet, kOemPrivet},
                                         TCodePageCase{"Oem866", 0x26, kAnsiPrivet, kOemPrivet},
                                         TCodePageCase{"Ansi1252", 0x57,
                                                       "\x88"
                                                       "abc",
                                                       "\x80"
                                                       "abc"}),
                         CaseName());

TEST_F(DbfWriteTest, UnsupportedCodePageMakesTheTableReadOnly) {
    TableSpec t;
    t.languageId = 0x69;  // code page 620, not available here
    t.fields = {{"T", 'C', 3}};
    t.records = {" abc"};
    Make(t);
    Open();
    EXPECT_EQ(table_.TranslationMode(), TTranslationMode::tmRefused);
    EXPECT_EQ(table_.FieldByName("T").AsString(), "abc");
    EXPECT_THROW(table_.Edit(), EDbfError);
}

TEST(DbfLangTest, CodePagesFromIdsAndNames) {
    EXPECT_EQ(CodePageFromLanguageId(0x26), 866);
    EXPECT_EQ(CodePageFromLanguageId(0x57), 1252);
    EXPECT_EQ(CodePageFromLanguageId(0x9B), 1250);
    EXPECT_EQ(CodePageFromLanguageId(0x00), 0);
    EXPECT_EQ(CodePageFromLanguageId(0x77), 0);
    EXPECT_EQ(CodePageFromLanguageName(std::string("DBWINUS0\0\0", 10)), 1252);
    EXPECT_EQ(CodePageFromLanguageName("DBHEBREW"), 1255);
    EXPECT_EQ(CodePageFromLanguageName("DB866RU0"), 866);
    EXPECT_EQ(CodePageFromLanguageName("FOXxx437"), 437);
    EXPECT_EQ(CodePageFromLanguageName("XYZ"), 0);
}

}  // namespace

namespace {

// Level 7: 68-byte header with the language driver name, 48-byte descriptors.
std::string LevelSevenTable(const std::vector<FieldSpec>& fields, const std::string& record,
                            uint32_t nextAutoInc) {
    const size_t headerLength = 68 + 48 * fields.size() + 1;
    std::string b(headerLength, '\0');
    b[0] = 0x04;
    PutU32(b, 4, 1);
    PutU16(b, 8, static_cast<uint32_t>(headerLength));
    uint32_t recordLength = 1;
    for (const auto& f : fields) recordLength += f.length;
    PutU16(b, 10, recordLength);
    b.replace(32, 8, "DB866RU0");
    for (size_t i = 0; i < fields.size(); ++i) {
        const size_t at = 68 + 48 * i;
        b.replace(at, fields[i].name.size(), fields[i].name);
        b[at + 32] = fields[i].type;
        b[at + 33] = static_cast<char>(fields[i].length);
        if (fields[i].type == '+') PutU32(b, at + 42, nextAutoInc);
    }
    b[headerLength - 1] = 0x0D;
    return b + record + "\x1A";
}

TEST(DbfLevelSevenTest, BinaryFieldsAndAutoIncrement) {
    TempDir dir;
    const std::vector<FieldSpec> fields = {
        {"I", 'I', 4}, {"O", 'O', 8}, {"ID", '+', 4}, {"TS", '@', 8}, {"T", 'C', 3}};
    const std::string record =
        std::string(" \x80\x00\x00\x05", 5) + std::string("\xBF\xF8\x00\x00\x00\x00\x00\x00", 8) +
        std::string("\x80\x00\x00\x01", 4) + std::string(8, '\0') + "\x8F\xE0\xA8";
    WriteFile(dir.File("s.dbf"), LevelSevenTable(fields, record, 2));
    TDbfTable table;
    table.SetTableName(dir.File("s.dbf"));
    table.SetDateTimeHandling(TDateTimeHandling::dtDateTime);
    table.Open();
    EXPECT_EQ(table.TableLevel(), 7);
    EXPECT_EQ(table.FieldByName("I").AsInteger(), 5);
    EXPECT_DOUBLE_EQ(table.FieldByName("O").AsFloat(), 1.5);
    EXPECT_EQ(table.FieldByName("ID").AsInteger(), 1);
    EXPECT_TRUE(table.FieldByName("TS").IsNull());
    EXPECT_EQ(table.FieldByName("T").AsString(), "\xCF\xF0\xE8");
    EXPECT_THROW(table.FieldByName("ID").SetAsInteger(9), EDbfError);

    table.Append();
    table.FieldByName("I").SetAsInteger(-1);
    table.FieldByName("O").SetAsFloat(-2.0);
    const TDateTime when = EncodeDateTimeOrZero(2024, 3, 5, 12, 30, 0);
    table.FieldByName("TS").SetAsDateTime(when);
    table.Post();
    EXPECT_EQ(table.FieldByName("ID").AsInteger(), 2);
    table.Close();
    const std::string b = ReadFile(dir.File("s.dbf"));
    const size_t second = 68 + 48 * 5 + 1 + 28;
    EXPECT_EQ(b.substr(second + 1, 4), std::string("\x7F\xFF\xFF\xFF", 4));
    EXPECT_EQ(b.substr(second + 5, 8), std::string("\x3F\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8));
    EXPECT_EQ(b.substr(second + 13, 4), std::string("\x80\x00\x00\x02", 4));
    EXPECT_EQ(GetU32(b, 68 + 48 * 2 + 42), 3u) << "the next counter value is kept";
    table.Open();
    table.Next();
    EXPECT_NEAR(table.FieldByName("TS").AsDateTime(), when, 1e-6);
    EXPECT_EQ(table.FieldByName("TS").AsString(), "05.03.2024 12:30:00");
}

TEST(DbfZapTest, NeedsExclusiveAccess) {
    TempDir dir;
    TableSpec t;
    t.fields = {{"A", 'C', 1}};
    t.records = {" a", " b"};
    WriteFile(dir.File("z.dbf"), BuildTable(t));
    TDbfTable table;
    table.SetTableName(dir.File("z.dbf"));
    table.Open();
    try {
        table.Zap();
        FAIL();
    } catch (const EDbfError& e) {
        EXPECT_STREQ(e.what(), "Exclusive access is required for this operation.");
    }
    table.Close();
    table.SetExclusive(true);
    table.Open();
    table.Zap();
    EXPECT_TRUE(table.IsEmpty());
    table.Close();
    EXPECT_EQ(ReadFile(dir.File("z.dbf")).size(), 32u + 32 + 1 + 1);
}

}  // namespace
