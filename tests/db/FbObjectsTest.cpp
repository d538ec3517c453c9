#include <gtest/gtest.h>

#include <string>

#include "tests/common/CaseName.h"
#include "tests/db/FreshDatabase.h"

namespace {

// Statements and parameters on the data module's connection to a fresh database.
class Statements : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(db_.Created());
        dm_.Connect(db_.Path());
        ASSERT_TRUE(dm_.Connected());
        dm_.DbTransaction.StartTransaction();
    }
    void TearDown() override {
        dm_.DbTransaction.RollbackQuietly();
        dm_.Disconnect();
    }

    TFreshDatabase db_;
    TCallDatabase dm_;
};

struct TextCase {
    const char* name;
    std::string value;
};

class TextParam : public Statements, public ::testing::WithParamInterface<TextCase> {};

// A text goes in and comes back byte for byte, never as NULL, through a column that refuses NULL.
TEST_P(TextParam, RoundTrips) {
    const std::string& value = GetParam().value;
    {
        TFbStatement ddl(dm_.DbConnection, dm_.DbTransaction);
        ddl.SQL().Add("create table Texts (s varchar(100) not null)");
        ddl.ExecQuery();
    }
    dm_.DbTransaction.Commit();
    dm_.DbTransaction.StartTransaction();
    {
        TFbStatement ins(dm_.DbConnection, dm_.DbTransaction);
        ins.SQL().Add("insert into Texts (s) values (:s)");
        ins.Params(0).SetAsString(value);
        ins.ExecQuery();
    }
    TFbStatement q(dm_.DbConnection, dm_.DbTransaction);
    q.SQL().Add("select s, char_length(s) from Texts");
    q.ExecQuery();
    ASSERT_FALSE(q.Eof());
    EXPECT_FALSE(q.Fields(0).IsNull());
    EXPECT_EQ(q.FieldByName("S").AsString(), value);
    EXPECT_EQ(q.Fields(1).AsInteger(), static_cast<int32_t>(value.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Values, TextParam,
    ::testing::Values(TextCase{"Empty", ""}, TextCase{"Digits", "0084951234567"},
                      TextCase{"Blanks", "  12  "},
                      // "Привет" in Windows-1251: the connection's character set.
                      TextCase{"Cyrillic1251", "\xCF\xF0\xE8\xE2\xE5\xF2"},
                      TextCase{"Quote", "it's"}),
    CaseName());

TEST_F(Statements, ParametersArePositionalInTextOrder) {
    TFbStatement q(dm_.DbConnection, dm_.DbTransaction);
    q.SQL().Add("select cast(:d2 as integer) - cast(:d1 as integer),");
    q.SQL().Add("cast(:d1 as varchar(10)) from rdb$database");
    ASSERT_EQ(q.ParamCount(), 3);
    EXPECT_EQ(q.Params(0).Name(), "d2");
    EXPECT_EQ(q.Params(1).Name(), "d1");
    q.Params(0).SetAsInteger(10);
    q.Params(1).SetAsInteger(3);
    q.Params(2).SetAsString("x");
    q.ExecQuery();
    EXPECT_EQ(q.Fields(0).AsInteger(), 7);
    EXPECT_EQ(q.Fields(1).AsString(), "x");
    EXPECT_THROW(q.Params(3), EDatabaseError);
}

TEST_F(Statements, RefilledTextPreparesAgain) {
    TFbStatement q(dm_.DbConnection, dm_.DbTransaction);
    q.SQL().Add("select 1 from rdb$database");
    q.ExecQuery();
    EXPECT_EQ(q.Fields(0).AsInteger(), 1);
    q.SQL().Clear();
    q.SQL().Add("select cast(:a as integer) * 2 from rdb$database");
    q.Params(0).SetAsInteger(21);
    q.ExecQuery();
    EXPECT_EQ(q.Fields(0).AsInteger(), 42);
}

TEST_F(Statements, TimestampDropsMilliseconds) {
    // 14 April 2026 09:02:11.789
    const TDateTime value = 46126.0 + (9 * 3600 + 2 * 60 + 11.789) / 86400.0;
    TFbStatement q(dm_.DbConnection, dm_.DbTransaction);
    q.SQL().Add("select cast(:t as timestamp), cast(cast(:t2 as timestamp) as varchar(30))");
    q.SQL().Add("from rdb$database");
    q.Params(0).SetAsDateTime(value);
    q.Params(1).SetAsDateTime(value);
    q.ExecQuery();
    EXPECT_EQ(FormatDateTime("dd.mm.yyyy hh:nn:ss", q.Fields(0).AsDateTime()),
              "14.04.2026 09:02:11");
    EXPECT_EQ(q.Fields(1).AsString(), "2026-04-14 09:02:11.0000");
}

TEST_F(Statements, SumOverNoRowsReadsAsZero) {
    TFbStatement q(dm_.DbConnection, dm_.DbTransaction);
    q.SQL().Add("select sum(ringlength) from Rings where NumberIn = 999");
    q.ExecQuery();
    ASSERT_FALSE(q.Eof());
    EXPECT_TRUE(q.Fields(0).IsNull());
    EXPECT_EQ(q.Fields(0).AsInteger(), 0);
    q.Next();
    EXPECT_TRUE(q.Eof());
}

TEST_F(Statements, ServerMessageTravelsWithTheError) {
    TFbStatement q(dm_.DbConnection, dm_.DbTransaction);
    q.SQL().Add("select NoSuchColumn from Rings");
    try {
        q.ExecQuery();
        FAIL() << "the statement was prepared";
    } catch (const EDatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find("NOSUCHCOLUMN"), std::string::npos) << e.what();
        EXPECT_EQ(e.Code(), isc_dsql_error);
    }
}

// isql-fb attaches as a second process while the module holds the database: both read and write.
TEST_F(Statements, SecondAttachmentSharesTheDatabase) {
    {
        TFbStatement ins(dm_.DbConnection, dm_.DbTransaction);
        ins.SQL().Add(
            "insert into Rings (NumberIn, NumberOut, RingDate) values (201, '1234', "
            "'2026-04-12 09:02:11')");
        ins.ExecQuery();
    }
    dm_.DbTransaction.Commit();
    std::string out;
    ASSERT_EQ(db_.Isql("set list on;\nselect count(*) as N from Rings where NumberOut = '1234';\n"
                       "insert into Rings (NumberIn, NumberOut, RingDate) values (202, '5678', "
                       "'2026-04-12 10:00:00');\ncommit;\n",
                       &out),
              0)
        << out;
    EXPECT_NE(out.find("N                               1"), std::string::npos) << out;
    EXPECT_EQ(QueryInt(dm_, "select count(*) from Rings where NumberOut = '5678'"), 1);
    dm_.DbTransaction.StartTransaction();
}

// The cache asked for is the attachment's own (the station's engine gives each one its cache),
// and an absurd value is refused before the server sees it.
TEST(Connection, AsksForTheCachePagesGiven) {
    TFreshDatabase db;
    ASSERT_TRUE(db.Created());
    TCallDatabase dm;
    dm.CachePages = 3000;
    dm.Connect(db.Path());
    EXPECT_EQ(QueryInt(dm, "select MON$PAGE_BUFFERS from MON$DATABASE"), 3000);
    TCallDatabase plain;
    plain.Connect(db.Path());
    EXPECT_NE(QueryInt(plain, "select MON$PAGE_BUFFERS from MON$DATABASE"), 3000);
    TFbConnection bad;
    bad.SetDatabaseName(db.Path());
    bad.Params() = {"user_name=SYSDBA", "password=quillfern", "num_buffers=many"};
    EXPECT_THROW(bad.Open(), EDatabaseError);
    EXPECT_FALSE(bad.Connected());
}

// Without the transaction's undo log a refused statement is still undone alone, the rest
// commits; and a transaction given up leaves nothing behind, rolled back on its own or with its
// attachment.
TEST_F(Statements, WithoutAutoUndoAStatementFailsAloneAndARollbackLeavesNothing) {
    dm_.DbTransaction.Commit();
    dm_.DbTransaction.SetNoAutoUndo(true);
    auto insert = [&](const char* number) {
        TFbStatement q(dm_.DbConnection, dm_.DbTransaction);
        q.SQL().Add(
            "insert into Rings (NumberIn, NumberOut, RingDate) values (201, :n, "
            "'2026-04-12 09:02:11')");
        q.Params(0).SetAsString(number);
        q.ExecQuery();
    };
    dm_.DbTransaction.StartTransaction();
    insert("1");
    EXPECT_THROW(insert(std::string(41, '9').c_str()), EDatabaseError);
    insert("2");
    dm_.DbTransaction.Commit();
    dm_.DbTransaction.StartTransaction();
    insert("3");
    dm_.DbTransaction.Rollback();
    dm_.DbTransaction.StartTransaction();
    insert("4");
    dm_.Disconnect();
    dm_.DbTransaction.SetNoAutoUndo(false);
    dm_.Connect(db_.Path());
    EXPECT_EQ(QueryInt(dm_, "select count(*) from Rings"), 2);
    EXPECT_EQ(QueryInt(dm_, "select sum(cast(NumberOut as integer)) from Rings"), 3);
    dm_.DbTransaction.StartTransaction();
}

}  // namespace
