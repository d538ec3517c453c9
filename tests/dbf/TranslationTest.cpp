// Texts between Windows-1251 and the table's code page: byte for byte, in character fields and
// in memos, whatever characters the other page lacks.
#include <gtest/gtest.h>

#include <set>

#include "dbf/DbfTable.h"
#include "tests/common/CaseName.h"
#include "tests/dbf/DbfTestUtil.h"

using namespace dbftest;

namespace {

// The bytes of one code page whose character the other page has too.
std::set<int> Bytes(std::initializer_list<std::pair<int, int>> ranges) {
    std::set<int> bytes;
    for (const auto& [first, last] : ranges)
        for (int b = first; b <= last; ++b) bytes.insert(b);
    return bytes;
}
// Windows-1251 in code page 866: ASCII, the no-break space, Ўў, ¤, Ёё, Єє, Її, °, ·, №, А..я.
const std::set<int> kAnsiIn866 = Bytes({{0x00, 0x7F},
                                        {0xA0, 0xA2},
                                        {0xA4, 0xA4},
                                        {0xA8, 0xA8},
                                        {0xAA, 0xAA},
                                        {0xAF, 0xB0},
                                        {0xB7, 0xBA},
                                        {0xBF, 0xFF}});
// Code page 866 in Windows-1251: all but the box drawing, ∙, √ and ■.
const std::set<int> k866InAnsi =
    Bytes({{0x00, 0xAF}, {0xE0, 0xF8}, {0xFA, 0xFA}, {0xFC, 0xFD}, {0xFF, 0xFF}});
const std::set<int> kEveryByte = Bytes({{0x00, 0xFF}});

// Every byte value once, half in each of two fields, between brackets so that no blank or NUL
// stands at a field's end.
std::string Half(int first) {
    std::string s = "[";
    for (int b = first; b < first + 128; ++b) s += static_cast<char>(b);
    return s + "]";
}
// What a text becomes after a round trip: the bytes the other page lacks turn into '?'.
std::string Survivor(const std::string& text, const std::set<int>& kept) {
    std::string out = text;
    for (char& c : out)
        if (!kept.count(static_cast<unsigned char>(c))) c = '?';
    return out;
}

struct TPageCase {
    const char* name;
    uint8_t languageId;
    const std::set<int>* ansiKept;    // 1251 bytes that come back from the table
    const std::set<int>* storedKept;  // table bytes that come back from the program
};

void PrintTo(const TPageCase& c, std::ostream* os) {
    *os << c.name;
}

class TranslationTest : public testing::TestWithParam<TPageCase> {
protected:
    void Make(const std::vector<FieldSpec>& fields, const std::vector<std::string>& records,
              bool memo) {
        TableSpec t;
        t.version = memo ? 0x8B : 0x03;
        t.languageId = GetParam().languageId;
        t.fields = fields;
        t.records = records;
        WriteFile(dir_.File("t.dbf"), BuildTable(t));
        if (memo) WriteFile(dir_.File("t.dbt"), BuildMemo(512, 1, true, {}));
        table_.SetTableName(dir_.File("t.dbf"));
        table_.Open();
    }
    std::string Record() const {
        const std::string b = ReadFile(dir_.File("t.dbf"));
        const size_t header = static_cast<uint8_t>(b[8]) | static_cast<uint8_t>(b[9]) << 8;
        return b.substr(header + 1, b.size() - header - 2);
    }
    void Assign(const std::string& field, const std::string& text) {
        table_.Edit();
        table_.FieldByName(field).SetAsString(text);
        table_.Post();
    }
    TempDir dir_;
    TDbfTable table_;
};

TEST_P(TranslationTest, EveryProgramByteComesBackOrBecomesOneReplacement) {
    Make({{"A", 'C', 130}, {"B", 'C', 130}}, {" " + std::string(260, ' ')}, false);
    Assign("A", Half(0x00));
    Assign("B", Half(0x80));
    EXPECT_EQ(Record().size(), 260u);
    table_.Close();
    table_.Open();
    EXPECT_EQ(table_.FieldByName("A").AsString(), Survivor(Half(0x00), *GetParam().ansiKept));
    EXPECT_EQ(table_.FieldByName("B").AsString(), Survivor(Half(0x80), *GetParam().ansiKept));
}

TEST_P(TranslationTest, EveryStoredByteComesBackOrBecomesOneReplacement) {
    Make({{"A", 'C', 130}, {"B", 'C', 130}}, {" " + Half(0x00) + Half(0x80)}, false);
    const std::string a = table_.FieldByName("A").AsString();
    const std::string b = table_.FieldByName("B").AsString();
    ASSERT_EQ(a.size(), 130u);
    ASSERT_EQ(b.size(), 130u);
    table_.Edit();
    table_.FieldByName("A").SetAsString(a);
    table_.FieldByName("B").SetAsString(b);
    table_.Post();
    EXPECT_EQ(Record(), Survivor(Half(0x00) + Half(0x80), *GetParam().storedKept));
}

// A long memo is translated a block at a time: characters the table's page lacks stand at every
// border of the blocks, and nothing after them moves.
TEST_P(TranslationTest, LongMemoKeepsEveryCharacterAcrossTheBlockBorders) {
    Make({{"M", 'M', 10}}, {" " + std::string(10, ' ')}, true);
    std::string text;
    for (int i = 0; text.size() < 5000; ++i)
        text += "\xC0\xE1\xE2 \xAB\xCA\xEE\xEC\xBB \x97 " + std::to_string(i) + "\r\n";
    text.resize(5000);
    for (size_t border = 512; border < text.size(); border += 512)
        text.replace(border - 2, 4, "\xAB\x97\xB9\xBB");  // « — № » over the border
    Assign("M", text);
    table_.Close();
    table_.Open();
    const std::string back = table_.FieldByName("M").AsString();
    ASSERT_EQ(back.size(), text.size());
    EXPECT_EQ(back, Survivor(text, *GetParam().ansiKept));
}

INSTANTIATE_TEST_SUITE_P(
    Pages, TranslationTest,
    testing::Values(TPageCase{"OemByDriverZero", 0x00, &kAnsiIn866, &k866InAnsi},
                    TPageCase{"Russian866", 0x26, &kAnsiIn866, &k866InAnsi},
                    TPageCase{"RussianWindows", 0xC9, &kEveryByte, &kEveryByte}),
    CaseName());

TEST(LanguageDriverTest, RussianWindowsIsTheSystemsOwnCodePage) {
    EXPECT_EQ(CodePageFromLanguageId(0xC9), 1251);
    EXPECT_EQ(TranslationModeFor(1251), TTranslationMode::tmNone);
    EXPECT_EQ(TranslationModeFor(CodePageFromLanguageId(0x26)), TTranslationMode::tmOem);
    EXPECT_EQ(TranslationModeFor(CodePageFromLanguageId(0x00)), TTranslationMode::tmOem);
}

}  // namespace
