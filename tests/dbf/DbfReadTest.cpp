// Reading tables crafted from the file format: levels, field kinds, deleted records, bad files.
#include <gtest/gtest.h>

#include <random>

#include "dbf/DbfTable.h"
#include "platform/ProgramDir.h"
#include "tests/common/CaseName.h"
#include "tests/dbf/DbfTestUtil.h"

using namespace dbftest;

namespace {

const std::vector<FieldSpec> kFields = {
    {"name", 'C', 10}, {"QTY", 'N', 5},  {"PRICE", 'N', 8, 2}, {"RATE", 'F', 6, 1},
    {"OK", 'L', 1},    {"BORN", 'D', 8}, {"NOTE", 'M', 10},
};

std::vector<std::string> Records() {
    return {
        "*" + Pad("gone", 10) + "    1" + "    1.00" + "   1.0" + "T" + "20000101" + "0000000000",
        " " + Pad("  abc", 10) + "  -42" + "   12.50" + "  -2.5" + "t" + "19991231" + "         1",
        " " + Pad("", 10) + "     " + "        " + "      " + " " + "        " + "          ",
        " " + Pad("xyz", 10) + "  abc" + "   x.yz " + "      " + "Y" + "20011301" + "0000000000",
    };
}

struct TLevelCase {
    const char* name;
    uint8_t version;
    uint8_t languageId;
    bool levelFourMemo;
    int expectedLevel;
};

class DbfReadTest : public testing::TestWithParam<TLevelCase> {
protected:
    void SetUp() override {
        TableSpec t;
        t.version = GetParam().version;
        t.languageId = GetParam().languageId;
        t.fields = kFields;
        t.records = Records();
        WriteFile(dir_.File("t.dbf"), BuildTable(t));
        const std::string text = "hello\r\nworld";
        WriteFile(dir_.File("t.dbt"), GetParam().levelFourMemo
                                          ? BuildMemo(512, 2, true, {{1, LevelFourMemo(text)}})
                                          : BuildMemo(512, 2, false, {{1, text + "\x1A\x1A"}}));
        table_.SetFilePath(dir_.Path());
        table_.SetTableName("t.dbf");
        table_.SetUseFloatFields(false);
        table_.SetReadOnly(true);
        table_.Open();
    }
    TempDir dir_;
    TDbfTable table_;
};

TEST_P(DbfReadTest, ReadsEveryKindAndSkipsDeletedRecords) {
    ASSERT_TRUE(table_.Active());
    EXPECT_EQ(table_.TableLevel(), GetParam().expectedLevel);
    EXPECT_EQ(table_.RecordCount(), 4u);
    // The deleted first record is skipped.
    EXPECT_EQ(table_.PhysicalRecNo(), 2u);
    EXPECT_EQ(table_.FieldByName("Name").AsString(), "  abc");
    EXPECT_EQ(table_.FieldByName("qty").AsInteger(), -42);
    EXPECT_EQ(table_.FieldByName("QTY").AsString(), "-42");
    EXPECT_DOUBLE_EQ(table_.FieldByName("PRICE").AsFloat(), 12.5);
    EXPECT_DOUBLE_EQ(table_.FieldByName("RATE").AsFloat(), -2.5);
    EXPECT_TRUE(table_.FieldByName("OK").AsBoolean());
    EXPECT_EQ(table_.FieldByName("OK").AsString(), "True");
    EXPECT_EQ(table_.FieldByName("BORN").AsString(), "31.12.1999");
    EXPECT_EQ(table_.FieldByName("NOTE").AsString(), "hello\r\nworld");

    table_.Next();
    EXPECT_EQ(table_.PhysicalRecNo(), 3u);
    for (const char* name : {"NAME", "QTY", "PRICE", "RATE", "OK", "BORN", "NOTE"}) {
        EXPECT_TRUE(table_.FieldByName(name).IsNull()) << name;
        EXPECT_EQ(table_.FieldByName(name).AsString(), "") << name;
    }
    EXPECT_EQ(table_.FieldByName("QTY").AsInteger(), 0);
    EXPECT_FALSE(table_.FieldByName("OK").AsBoolean());

    table_.Next();
    EXPECT_EQ(table_.FieldByName("QTY").AsInteger(), 0) << "unparsable number reads as 0";
    EXPECT_DOUBLE_EQ(table_.FieldByName("PRICE").AsFloat(), 0);
    EXPECT_FALSE(table_.FieldByName("OK").AsBoolean()) << "Y is not true in a logical field";
    EXPECT_DOUBLE_EQ(table_.FieldByName("BORN").AsDateTime(), 0) << "invalid date is the zero date";
    EXPECT_EQ(table_.FieldByName("NOTE").AsString(), "");
    EXPECT_FALSE(table_.Eof());
    table_.Next();
    EXPECT_TRUE(table_.Eof());
}

TEST_P(DbfReadTest, ShowDeletedVisitsDeletedRecords) {
    table_.Close();
    table_.SetShowDeleted(true);
    table_.Open();
    EXPECT_EQ(table_.PhysicalRecNo(), 1u);
    EXPECT_EQ(table_.FieldByName("NAME").AsString(), "gone");
}

INSTANTIATE_TEST_SUITE_P(Levels, DbfReadTest,
                         testing::Values(TLevelCase{"III", 0x83, 0, false, 3},
                                         TLevelCase{"IV", 0x8B, 0x26, true, 4},
                                         TLevelCase{"IIIReadsIVMemo", 0x83, 0, true, 3}),
                         CaseName());

// Conversions between kinds, and the refusals.
TEST(DbfConversionTest, ReadsInOtherKindsOrRefuses) {
    TempDir dir;
    TableSpec t;
    t.fields = {{"TXT", 'C', 6}, {"NUM", 'N', 4}, {"FLAG", 'L', 1}, {"YES", 'C', 3}};
    t.records = {" " + Pad("17", 6) + "  12" + "F" + "yes",
                 " " + Pad("abc", 6) + "   1" + "T" + "no "};
    WriteFile(dir.File("c.dbf"), BuildTable(t));
    TDbfTable table;
    table.SetTableName(dir.File("c.dbf"));
    table.SetReadOnly(true);
    table.Open();
    EXPECT_EQ(table.FieldByName("TXT").AsInteger(), 17);
    EXPECT_TRUE(table.FieldByName("YES").AsBoolean());
    EXPECT_EQ(table.FieldByName("FLAG").AsString(), "False");
    EXPECT_EQ(table.FieldByName("NUM").AsString(), "12");
    try {
        table.FieldByName("NUM").AsBoolean();
        FAIL();
    } catch (const EDbfError& e) {
        EXPECT_STREQ(e.what(), "Cannot access field 'NUM' as type Boolean");
    }
    try {
        table.FieldByName("FLAG").AsInteger();
        FAIL();
    } catch (const EDbfError& e) {
        EXPECT_STREQ(e.what(), "Cannot access field 'FLAG' as type Integer");
    }
    try {
        table.FieldByName("MISSING");
        FAIL();
    } catch (const EDbfError& e) {
        EXPECT_STREQ(e.what(), "Field 'MISSING' not found");
    }
    table.Next();
    try {
        table.FieldByName("TXT").AsInteger();
        FAIL();
    } catch (const EDbfError& e) {
        EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
    }
    EXPECT_FALSE(table.FieldByName("YES").AsBoolean());
}

TEST(DbfOpenTest, DuplicateNamesGetSuffixesAndLockFieldIsHidden) {
    TempDir dir;
    TableSpec t;
    t.fields = {{"A", 'C', 2}, {"A", 'C', 2}, {"A", 'C', 2}, {"_DBASELOCK", 'C', 16}};
    t.records = {" aabbcc" + std::string(16, ' ')};
    WriteFile(dir.File("d.dbf"), BuildTable(t));
    TDbfTable table;
    table.SetTableName(dir.File("d.dbf"));
    table.Open();
    ASSERT_EQ(table.Fields().size(), 3u);
    EXPECT_EQ(table.Fields()[1].FieldName(), "A2");
    EXPECT_EQ(table.FieldByName("A3").AsString(), "cc");
    EXPECT_EQ(table.FindField("_DBASELOCK"), nullptr);
}

TEST(DbfOpenTest, SettingPathWhileOpenIsRefused) {
    TempDir dir;
    TableSpec t;
    t.fields = {{"A", 'C', 2}};
    WriteFile(dir.File("e.dbf"), BuildTable(t));
    TDbfTable table;
    table.SetTableName(dir.File("e.dbf"));
    table.Open();
    EXPECT_TRUE(table.IsEmpty());
    try {
        table.SetFilePath("/tmp");
        FAIL();
    } catch (const EDbfError& e) {
        EXPECT_STREQ(e.what(), "Cannot perform this operation on an open dataset");
    }
}

TEST(DbfOpenTest, MissingTableOrMemoNamesTheFile) {
    TempDir dir;
    TDbfTable table;
    table.SetTableName(dir.File("none.dbf"));
    try {
        table.Open();
        FAIL();
    } catch (const EDbfError& e) {
        EXPECT_EQ(std::string(e.what()), "Open: file not found: \"" + dir.File("none.dbf") + "\".");
    }
    TableSpec t;
    t.version = 0x83;
    t.fields = {{"M", 'M', 10}};
    WriteFile(dir.File("m.dbf"), BuildTable(t));
    table.SetTableName(dir.File("m.dbf"));
    try {
        table.Open();
        FAIL();
    } catch (const EDbfError& e) {
        EXPECT_EQ(std::string(e.what()), "Open: file not found: \"" + dir.File("m.dbt") + "\".");
    }
    EXPECT_FALSE(table.Active());
}

TEST(DbfOpenTest, RelativePathIsTakenFromTheProgramDirectory) {
    TDbfTable table;
    table.SetFilePath("/abs/dir");
    EXPECT_EQ(table.AbsolutePath(), "/abs/dir/");
    table.SetFilePath("sub/../data");
    EXPECT_EQ(table.AbsolutePath(), platform::ProgramDir() + "data/");
    table.SetFilePath("");
    EXPECT_EQ(table.AbsolutePath(), platform::ProgramDir());
}

// Damaged files: each gives a clean error and the table stays closed.
struct TBadCase {
    const char* name;
    std::string (*make)();
    const char* message;
};

std::string Good() {
    TableSpec t;
    t.fields = {{"A", 'C', 4}, {"B", 'N', 3}};
    t.records = {" abcd123"};
    return BuildTable(t);
}

const TBadCase kBadCases[] = {
    {"Truncated", [] { return Good().substr(0, 20); }, "Invalid DBF file."},
    {"Version",
     [] {
         auto b = Good();
         b[0] = 0x30;
         return b;
     },
     "Invalid DBF file."},
    {"VersionF5",
     [] {
         auto b = Good();
         b[0] = '\xF5';
         return b;
     },
     "Invalid DBF file."},
    {"EmptyName",
     [] {
         auto b = Good();
         b[32] = 0;
         return b;
     },
     "Invalid DBF file."},
    {"TypeLetter",
     [] {
         auto b = Good();
         b[32 + 11] = 'X';
         return b;
     },
     "Invalid DBF file."},
    {"HeaderBeyondFile",
     [] {
         auto b = Good();
         PutU16(b, 8, 4000);
         return b;
     },
     "Invalid DBF file."},
    {"FieldPastRecord",
     [] {
         auto b = Good();
         b[32 + 32 + 16] = 50;
         return b;
     },
     "Invalid DBF file."},
    {"NoFields",
     [] {
         auto b = Good();
         b[32] = 0x0D;
         return b;
     },
     "Invalid field count: 0 (must be between 1 and 4095)."},
    {"ShortHeaderLength",
     [] {
         auto b = Good();
         PutU16(b, 8, 20);
         return b;
     },
     "Invalid DBF file."},
};

class DbfBadFileTest : public testing::TestWithParam<TBadCase> {};

TEST_P(DbfBadFileTest, FailsCleanly) {
    TempDir dir;
    WriteFile(dir.File("bad.dbf"), GetParam().make());
    const std::string before = ReadFile(dir.File("bad.dbf"));
    TDbfTable table;
    table.SetTableName(dir.File("bad.dbf"));
    try {
        table.Open();
        FAIL() << "opened";
    } catch (const EDbfError& e) {
        EXPECT_STREQ(e.what(), GetParam().message);
    }
    EXPECT_FALSE(table.Active());
    EXPECT_EQ(ReadFile(dir.File("bad.dbf")), before) << "a rejected file is left as it was";
}

INSTANTIATE_TEST_SUITE_P(Files, DbfBadFileTest, testing::ValuesIn(kBadCases), CaseName());

TEST(DbfOpenTest, ZeroLengthsAbandonTheOpenSilently) {
    TempDir dir;
    auto b = Good();
    PutU16(b, 10, 0);
    WriteFile(dir.File("z.dbf"), b);
    TDbfTable table;
    table.SetTableName(dir.File("z.dbf"));
    EXPECT_NO_THROW(table.Open());
    EXPECT_FALSE(table.Active());
}

TEST(DbfOpenTest, RandomBytesNeverCrash) {
    TempDir dir;
    std::mt19937 rng(7);
    const std::string good = Good();
    for (int i = 0; i < 300; ++i) {
        std::string b = good;
        for (int k = 0; k < 6; ++k) b[rng() % b.size()] = static_cast<char>(rng());
        if (i % 3 == 0) b.resize(rng() % b.size());
        WriteFile(dir.File("r.dbf"), b);
        TDbfTable table;
        table.SetTableName(dir.File("r.dbf"));
        try {
            table.Open();
            for (int n = 0; table.Active() && !table.Eof() && n < 10; ++n) {
                for (auto& f : table.Fields()) (void)f.AsString();
                table.Next();
            }
        } catch (const EError&) {
        }
    }
}

}  // namespace
