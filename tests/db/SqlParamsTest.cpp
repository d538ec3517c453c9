#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/SqlParams.h"
#include "tests/common/CaseName.h"

namespace {

struct PositionalCase {
    const char* name;
    std::string sql;
    std::string text;
    std::vector<std::string> names;
};

class Positional : public ::testing::TestWithParam<PositionalCase> {};

TEST_P(Positional, MarksParametersInTextOrder) {
    const PositionalCase& c = GetParam();
    const TPositionalSql out = ToPositionalSql(c.sql);
    EXPECT_EQ(out.Text, c.text);
    EXPECT_EQ(out.Names, c.names);
}

INSTANTIATE_TEST_SUITE_P(
    Statements, Positional,
    ::testing::Values(
        PositionalCase{
            "Insert",
            "INSERT INTO Rings (RDay,RMont,RYear,RHour,RMin,RSec,RLine,TimeHour,TimeMin,"
            "TimeSec,NumberIn,NumberOut,RingDate) values (:P0,:P1,:P2,:P3,:P4,:P5,:P6,"
            ":P7,:P8,:P9,:P10,:P11,:P12)",
            "INSERT INTO Rings (RDay,RMont,RYear,RHour,RMin,RSec,RLine,TimeHour,TimeMin,"
            "TimeSec,NumberIn,NumberOut,RingDate) values (?,?,?,?,?,?,?,?,?,?,?,?,?)",
            {"P0", "P1", "P2", "P3", "P4", "P5", "P6", "P7", "P8", "P9", "P10", "P11", "P12"}},
        // Position follows the text, not the number in the name.
        PositionalCase{"TextOrderNotNameOrder",
                       "where d between :d2 and :d1 or x = :P10 + :P9",
                       "where d between ? and ? or x = ? + ?",
                       {"d2", "d1", "P10", "P9"}},
        PositionalCase{"RepeatedName", ":a = :a", "? = ?", {"a", "a"}},
        PositionalCase{"AcrossLines",
                       "select 1\r\nfrom t where a=:d1\r\nand b=:d2",
                       "select 1\r\nfrom t where a=?\r\nand b=?",
                       {"d1", "d2"}},
        PositionalCase{"NameCharacters", "x=:_a$1,y=:Z9)", "x=?,y=?)", {"_a$1", "Z9"}},
        PositionalCase{"ColonBeforeDigitOrBlank", "a : b, :1, ::x", "a : b, :1, :?", {"x"}},
        PositionalCase{"ColonAtEnd", "select :", "select :", {}},
        PositionalCase{"BareMarker", "a=? and b=:b", "a=? and b=?", {"?", "b"}},
        PositionalCase{"InStringLiteral",
                       "select ':P1' from t where a=:P0",
                       "select ':P1' from t where a=?",
                       {"P0"}},
        PositionalCase{"DoubledQuoteStaysInLiteral", "'it''s :a', :b", "'it''s :a', ?", {"b"}},
        PositionalCase{"QuotedIdentifier",
                       "select \"A:b\" from t where c=:c",
                       "select \"A:b\" from t where c=?",
                       {"c"}},
        PositionalCase{"UnclosedLiteralRunsToEnd", "a=:a and b='x :b", "a=? and b='x :b", {"a"}},
        PositionalCase{"LineComment", "-- :x ?\n:y", "-- :x ?\n?", {"y"}},
        PositionalCase{"LineCommentAtEnd", ":y -- :x", "? -- :x", {"y"}},
        PositionalCase{"BlockComment", "/* :x ? */ :y", "/* :x ? */ ?", {"y"}},
        PositionalCase{"UnclosedBlockComment", ":y /* :x", "? /* :x", {"y"}},
        PositionalCase{"SingleDashAndSlash", "a-:b/:c", "a-?/?", {"b", "c"}},
        PositionalCase{"Empty", "", "", {}}),
    CaseName());

}  // namespace
