// Memo files in both styles: block use, rewriting in place, moving, damaged memos.
#include <gtest/gtest.h>

#include "dbf/DbfTable.h"
#include "tests/common/CaseName.h"
#include "tests/dbf/DbfTestUtil.h"

using namespace dbftest;

namespace {

class MemoTest : public testing::Test {
protected:
    // A table of two memo records on a fresh memo file (level III: 0x83, level IV: 0x8B).
    void Make(bool levelFour, std::string memo = {}) {
        levelFour_ = levelFour;
        TableSpec t;
        t.version = levelFour ? 0x8B : 0x83;
        t.languageId = levelFour ? 0x26 : 0;
        t.fields = {{"M", 'M', 10}};
        t.records = {" " + std::string(10, ' '), " " + std::string(10, ' ')};
        WriteFile(dir_.File("m.dbf"), BuildTable(t));
        WriteFile(dir_.File("m.dbt"), memo.empty() ? BuildMemo(512, 1, levelFour, {}) : memo);
        table_.SetTableName(dir_.File("m.dbf"));
        table_.Open();
    }
    void Assign(const std::string& text) {
        table_.Edit();
        table_.FieldByName("M").SetAsString(text);
        table_.Post();
    }
    uint32_t Block() const {
        const std::string b = ReadFile(dir_.File("m.dbf"));
        const uint32_t no =
            static_cast<uint32_t>(std::stoul(b.substr(32 + 32 + 1 + RecOffset(), 10)));
        return no;
    }
    size_t RecOffset() const { return (table_.PhysicalRecNo() - 1) * 11 + 1; }
    std::string Dbt() const { return ReadFile(dir_.File("m.dbt")); }
    uint32_t NextFree() const { return GetU32(Dbt(), 0); }

    TempDir dir_;
    TDbfTable table_;
    bool levelFour_ = false;
};

struct TBlockCase {
    bool levelFour;
    size_t length;
    uint32_t blocks;
};

class MemoBlockTest : public MemoTest, public testing::WithParamInterface<TBlockCase> {};

TEST_P(MemoBlockTest, OccupiesExactlyTheNeededBlocks) {
    Make(GetParam().levelFour);
    const std::string text(GetParam().length, 'q');
    Assign(text);
    EXPECT_EQ(Block(), 1u);
    EXPECT_EQ(NextFree(), 1 + GetParam().blocks);
    EXPECT_EQ(Dbt().size(), 512u * (1 + GetParam().blocks));
    const std::string dbt = Dbt();
    if (GetParam().levelFour) {
        EXPECT_EQ(dbt.substr(512, 4), std::string("\xFF\xFF\x08\x00", 4));
        EXPECT_EQ(GetU32(dbt, 516), GetParam().length + 8);
    } else {
        EXPECT_EQ(dbt.substr(512 + GetParam().length, 2), "\x1A\x1A");
    }
    // The memo appended next starts after the last block used.
    table_.Next();
    Assign("second");
    EXPECT_EQ(Block(), 1 + GetParam().blocks);
    table_.Close();
    table_.Open();
    EXPECT_EQ(table_.FieldByName("M").AsString(), text);
    table_.Next();
    EXPECT_EQ(table_.FieldByName("M").AsString(), "second");
}

INSTANTIATE_TEST_SUITE_P(Sizes, MemoBlockTest,
                         testing::Values(TBlockCase{false, 510, 1}, TBlockCase{false, 511, 2},
                                         TBlockCase{false, 512, 2}, TBlockCase{true, 100, 1},
                                         TBlockCase{true, 504, 1}, TBlockCase{true, 505, 2}),
                         [](const auto& info) {
                             return std::string(info.param.levelFour ? "IV_" : "III_") +
                                    std::to_string(info.param.length) + "Bytes";
                         });

TEST_F(MemoTest, ShorterTextIsRewrittenInPlaceLongerMovesToTheEnd) {
    Make(true);
    Assign(std::string(900, 'a'));
    ASSERT_EQ(Block(), 1u);
    Assign("short");
    EXPECT_EQ(Block(), 1u);
    EXPECT_EQ(NextFree(), 3u);
    Assign(std::string(2000, 'b'));
    EXPECT_EQ(Block(), 3u);
    EXPECT_EQ(table_.FieldByName("M").AsString(), std::string(2000, 'b'));
}

TEST_F(MemoTest, EmptyTextStoresTenZerosAndNoBlock) {
    Make(false);
    Assign("");
    EXPECT_EQ(ReadFile(dir_.File("m.dbf")).substr(32 + 33 + 1, 10), "0000000000");
    EXPECT_EQ(Dbt().size(), 512u);
    EXPECT_TRUE(table_.FieldByName("M").IsNull());
}

TEST_F(MemoTest, CyrillicMemoIsStoredInTheOemPage) {
    Make(false);
    Assign("\xCF\xF0\xE8\r\n\xE2\xE5\xF2");
    EXPECT_EQ(Dbt().substr(512, 10), "\x8F\xE0\xA8\r\n\xA2\xA5\xE2\x1A\x1A");
    table_.Close();
    table_.Open();
    EXPECT_EQ(table_.FieldByName("M").AsString(), "\xCF\xF0\xE8\r\n\xE2\xE5\xF2");
}

TEST_F(MemoTest, CancelLeavesTheMemoFileUntouched) {
    Make(false);
    Assign("kept");
    const std::string before = Dbt();
    table_.Edit();
    table_.FieldByName("M").SetAsString("gone");
    EXPECT_EQ(table_.FieldByName("M").AsString(), "gone");
    table_.Cancel();
    EXPECT_EQ(Dbt(), before);
    EXPECT_EQ(table_.FieldByName("M").AsString(), "kept");
}

// Damaged memo files read as far as they go, never beyond.
struct TDamageCase {
    const char* name;
    const char* slot;  // the record's memo field
    std::string (*memo)();
    const char* text;
};

const TDamageCase kDamage[] = {
    {"BlockBeyondFile", "      0099",
     [] {
         return BuildMemo(512, 2, false, {{1, "x\x1A\x1A"}});
     },
     ""},
    {"NoTerminator", "         1",
     [] {
         return BuildMemo(512, 2, false, {{1, "abc"}}).substr(0, 515);
     },
     "abc"},
    {"SplitTerminator", "         1",
     [] {
         return BuildMemo(512, 3, false, {{1, std::string(511, 'z') + "\x1A\x1A"}});
     },
     nullptr},
    {"LengthBeyondFile", "         1",
     [] {
         std::string m = BuildMemo(512, 2, true, {{1, LevelFourMemo("hey")}});
         PutU32(m, 516, 0x7FFFFFFF);
         return m.substr(0, 512 + 11);
     },
     "hey"},
    {"NotANumber", "  garbage ", [] { return BuildMemo(512, 1, false, {}); }, ""},
    {"ShortHeader", "         1", [] { return std::string("\x02\0\0", 3); }, ""},
};

class MemoDamageTest : public testing::TestWithParam<TDamageCase> {};

TEST_P(MemoDamageTest, ReadsSafely) {
    TempDir dir;
    TableSpec t;
    t.version = 0x83;
    t.fields = {{"M", 'M', 10}};
    t.records = {std::string(" ") + GetParam().slot};
    WriteFile(dir.File("d.dbf"), BuildTable(t));
    WriteFile(dir.File("d.dbt"), GetParam().memo());
    TDbfTable table;
    table.SetTableName(dir.File("d.dbf"));
    table.SetReadOnly(true);
    table.Open();
    const std::string expected = GetParam().text ? GetParam().text : std::string(511, 'z');
    EXPECT_EQ(table.FieldByName("M").AsString(), expected);
}

INSTANTIATE_TEST_SUITE_P(Memos, MemoDamageTest, testing::ValuesIn(kDamage), CaseName());

TEST_F(MemoTest, DamagedNextFreeBlockNeverOverwritesOtherMemos) {
    std::string memo = BuildMemo(512, 1, false, {{1, "first\x1A\x1A"}, {2, "second\x1A\x1A"}});
    Make(false, memo);
    Assign("third");
    EXPECT_EQ(Block(), 3u);
    const std::string dbt = Dbt();
    EXPECT_EQ(dbt.substr(512, 7), "first\x1A\x1A");
    EXPECT_EQ(dbt.substr(1024, 8), "second\x1A\x1A");
}

TEST_F(MemoTest, BadBlockSizeIsReplacedBy512) {
    std::string memo = BuildMemo(512, 1, true, {});
    PutU16(memo, 20, 100);
    Make(true, memo);
    EXPECT_EQ(GetU32(Dbt(), 20) & 0xFFFF, 512u);
    Assign("x");
    EXPECT_EQ(Dbt().size(), 1024u);
}

}  // namespace
