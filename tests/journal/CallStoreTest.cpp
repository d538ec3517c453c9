// Journal lines stored into a real call database with the station's mark: batches move the mark
// with their rows, a second program storing for the same station is noticed, lines that are not
// calls or that the database refuses are noted for a later look, and a database without the
// mark table still stores.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "capture/Recorder.h"
#include "journal/CallStore.h"
#include "tests/common/Calls.h"
#include "tests/common/CaseName.h"
#include "tests/common/TempDir.h"
#include "tests/db/FreshDatabase.h"

namespace {

class CallStore : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(db_.Created());
        ASSERT_TRUE(ReadTemplateFile(TARVICK_SOURCE_DIR "/data/GENERIC24.ATS",
                                     rules_.TemplateComment, rules_.Columns()));
        rules_.IncomLog = true;
        std::string error;
        ASSERT_TRUE(journal_.Open(tmp_.path() + "journal", error)) << error;
        dm_.Connect(db_.Path());
    }
    void TearDown() override {
        store_.Close();
        dm_.Disconnect();
    }
    // Appends the lines to the journal and reads back those not read before.
    std::vector<TJournalLine> Journal(const std::vector<std::string>& lines) {
        std::string bytes;
        for (const auto& l : lines) bytes += l + "\r\n";
        journal_.Append(bytes);
        TJournalReader reader(journal_.Dir(), read_, journal_.LineEnd());
        std::vector<TJournalLine> out;
        TJournalLine line;
        while (reader.Next(line)) out.push_back(line);
        if (!out.empty()) read_ = out.back().End;
        return out;
    }
    int64_t Count(const std::string& sql) { return QueryInt(dm_, sql); }
    std::string MarkInDatabase() {
        TFbTransaction& tr = dm_.DbTransaction;
        tr.StartTransaction();
        std::string text;
        {
            TFbStatement q(dm_.DbConnection, tr);
            q.SQL().Add("select JournalFile, JournalPos from JournalMarks where Station = '" +
                        journal_.StationId() + "'");
            q.ExecQuery();
            if (!q.Eof()) text = q.Fields(0).AsString() + ":" + q.Fields(1).AsString();
        }
        tr.Commit();
        return text;
    }

    TFreshDatabase db_;
    TempDir tmp_;
    TJournal journal_;
    TJournalPos read_;
    TCallDatabase dm_;
    TRecorder rules_;
    TCallStore store_{dm_};
};

TEST_F(CallStore, ABatchStoresItsRowsAndMovesTheMarkInOneTransaction) {
    store_.Open(journal_.StationId(), {});
    EXPECT_TRUE(store_.ExactlyOnce());
    EXPECT_EQ(store_.Mark(), TJournalPos{});
    std::vector<std::string> calls;
    for (int i = 0; i < 40; ++i) calls.push_back(Call(i));
    calls.push_back("        ");  // a blank line is handled without a row
    const auto lines = Journal(calls);
    const TStoreResult r = store_.Store(rules_, lines, lines.back().End);
    ASSERT_EQ(r.Status, TStoreResult::Committed) << r.Error;
    EXPECT_EQ(r.Stored, 40);
    EXPECT_EQ(r.Skipped, 1);
    EXPECT_EQ(Count("select count(*) from Rings"), 40);
    EXPECT_EQ(MarkInDatabase(), PositionText(lines.back().End));
    EXPECT_EQ(store_.Mark(), lines.back().End);
    EXPECT_FALSE(dm_.DbTransaction.InTransaction());

    // A fresh start reads the mark back, whatever the note beside the journal says.
    TCallStore again(dm_);
    again.Open(journal_.StationId(), {"2026-01-01.log", 5});
    EXPECT_EQ(again.Mark(), lines.back().End);
}

// tarvick-tool replay and the station storing for one station at the same time: the one whose
// mark is stale stores nothing and learns the real mark.
TEST_F(CallStore, AStaleMarkStoresNothingAndLearnsTheRealOne) {
    store_.Open(journal_.StationId(), {});
    TCallDatabase otherDm;
    otherDm.Connect(db_.Path());
    TCallStore other(otherDm);
    other.Open(journal_.StationId(), {});
    const auto first = Journal({Call(1), Call(2)});
    ASSERT_EQ(other.Store(rules_, first, first.back().End).Status, TStoreResult::Committed);
    // No mark row existed when this store looked.
    const TStoreResult r = store_.Store(rules_, first, first.back().End);
    EXPECT_EQ(r.Status, TStoreResult::MarkMoved);
    EXPECT_EQ(store_.Mark(), first.back().End);
    const auto second = Journal({Call(3)});
    ASSERT_EQ(other.Store(rules_, second, second.back().End).Status, TStoreResult::Committed);
    EXPECT_EQ(store_.Store(rules_, second, second.back().End).Status, TStoreResult::MarkMoved);
    EXPECT_EQ(Count("select count(*) from Rings"), 3);
    other.Close();
    otherDm.Disconnect();
}

// A second program holding the mark's row: the store fails at once, as a database away does,
// and nothing of the batch is stored.
TEST_F(CallStore, AMarkHeldByAnotherTransactionFailsTheBatch) {
    store_.Open(journal_.StationId(), {});
    const auto first = Journal({Call(1)});
    ASSERT_EQ(store_.Store(rules_, first, first.back().End).Status, TStoreResult::Committed);
    TCallDatabase otherDm;
    otherDm.Connect(db_.Path());
    otherDm.DbTransaction.StartTransaction();
    {
        TFbStatement lock(otherDm.DbConnection, otherDm.DbTransaction);
        lock.SQL().Add("update JournalMarks set Updated = current_timestamp");
        lock.ExecQuery();
    }
    const auto second = Journal({Call(2), Call(3)});
    const TStoreResult r = store_.Store(rules_, second, second.back().End);
    EXPECT_EQ(r.Status, TStoreResult::Failed);
    EXPECT_NE(r.Error.find("conflict"), std::string::npos) << r.Error;
    otherDm.DbTransaction.Rollback();
    EXPECT_EQ(Count("select count(*) from Rings"), 1);
    EXPECT_EQ(store_.Mark(), first.back().End);
    EXPECT_EQ(store_.Store(rules_, second, second.back().End).Status, TStoreResult::Committed);
    EXPECT_EQ(Count("select count(*) from Rings"), 3);
    otherDm.Disconnect();
}

// A commit refused (here by a trigger) is the database refusing, not the lines: nothing moves.
TEST_F(CallStore, ARefusedCommitStoresNothingAndKeepsTheMark) {
    ExecSql(dm_, "create exception CommitRefused 'commit refused'");
    ExecSql(dm_,
            "create trigger Refuse_Commit on transaction commit as begin "
            "if (exists(select 1 from Rings where NumberOut = '777')) then "
            "exception CommitRefused; end");
    store_.Open(journal_.StationId(), {});
    const auto lines = Journal({Call(1), "12/04/26 09:02:11 01 201 00:02:15 777"});
    const TStoreResult r = store_.Store(rules_, lines, lines.back().End);
    EXPECT_EQ(r.Status, TStoreResult::Failed);
    EXPECT_EQ(store_.Mark(), TJournalPos{});
    ExecSql(dm_, "drop trigger Refuse_Commit");
    EXPECT_EQ(Count("select count(*) from Rings"), 0);
    EXPECT_EQ(MarkInDatabase(), "");
}

// A line whose row the database refuses (a trigger's exception) is noted and the batch goes on.
TEST_F(CallStore, ALineTheDatabaseRefusesIsNotedAndTheOthersAreStored) {
    ExecSql(dm_, "create exception Refused 'refused'");
    ExecSql(dm_,
            "create trigger Rings_Refuse for Rings before insert as begin "
            "if (new.NumberOut = '666') then exception Refused; end");
    store_.Open(journal_.StationId(), {});
    const auto lines = Journal({Call(1), "12/04/26 09:02:11 01 201 00:02:15 666", Call(2)});
    const TStoreResult r = store_.Store(rules_, lines, lines.back().End);
    ASSERT_EQ(r.Status, TStoreResult::Committed) << r.Error;
    EXPECT_EQ(r.Stored, 2);
    ASSERT_EQ(r.Rejected.size(), 1u);
    EXPECT_NE(r.Rejected[0].Reason.find("refused"), std::string::npos) << r.Rejected[0].Reason;
    EXPECT_EQ(Count("select count(*) from RejectedLines where JournalPos = " +
                    std::to_string(lines[1].Start.Offset) + " and Reason containing 'refused'"),
              1);
}

// A template that reads the date from the wrong columns rejects every line; once corrected,
// looking at the rejected lines again stores each of them exactly once.
TEST_F(CallStore, RejectedLinesComeInOnceWithACorrectedTemplate) {
    store_.Open(journal_.StationId(), {});
    rules_.Day = 22;  // the extension's column: day 201
    const auto lines = Journal({Call(1), Call(2), Call(3)});
    TStoreResult r = store_.Store(rules_, lines, lines.back().End);
    ASSERT_EQ(r.Status, TStoreResult::Committed) << r.Error;
    EXPECT_EQ(r.Stored, 0);
    EXPECT_EQ(r.Rejected.size(), 3u);
    EXPECT_EQ(store_.RejectedIn(lines[0].Start.File),
              (std::vector<uint64_t>{lines[0].Start.Offset, lines[1].Start.Offset,
                                     lines[2].Start.Offset}));
    EXPECT_EQ(store_.Mark(), lines.back().End);

    rules_.Day = 1;
    r = store_.Reexamine(rules_, lines);
    ASSERT_EQ(r.Status, TStoreResult::Committed) << r.Error;
    EXPECT_EQ(r.Stored, 3);
    EXPECT_TRUE(store_.RejectedIn(lines[0].Start.File).empty());
    r = store_.Reexamine(rules_, lines);
    EXPECT_EQ(r.Stored, 0);
    EXPECT_EQ(Count("select count(*) from Rings"), 3);
    EXPECT_EQ(Count("select count(*) from Rings where RMont = 4 and RYear = 26"), 3);
}

// A wrong baud rate or line noise: a mebibyte of random bytes becomes no row, and the lines
// that looked like calls are noted as rejected.
TEST_F(CallStore, RandomBytesBecomeNoRows) {
    store_.Open(journal_.StationId(), {});
    std::mt19937 random(20261209);
    std::string noise(1024 * 1024, '\0');
    for (char& c : noise) c = static_cast<char>(random() & 0xFF);
    journal_.Append(noise);
    TJournalReader reader(journal_.Dir(), {}, journal_.LineEnd());
    std::vector<TJournalLine> batch;
    TJournalLine line;
    int lines = 0, stored = 0;
    bool more = true;
    while (more) {
        more = reader.Next(line);
        if (more) {
            batch.push_back(line);
            ++lines;
        }
        if (batch.size() == 1000 || (!more && !batch.empty())) {
            const TStoreResult r = store_.Store(rules_, batch, batch.back().End);
            ASSERT_EQ(r.Status, TStoreResult::Committed) << r.Error;
            stored += r.Stored;
            batch.clear();
        }
    }
    EXPECT_GT(lines, 3000);
    EXPECT_EQ(stored, 0);
    EXPECT_EQ(Count("select count(*) from Rings"), 0);
    EXPECT_EQ(store_.Mark(), journal_.LineEnd());
}

// A call database made before the mark's tables: stored all the same, the mark kept in memory
// (the station notes it beside the journal).
TEST_F(CallStore, ADatabaseWithoutTheMarkTableStillStores) {
    ExecSql(dm_, "drop table JournalMarks");
    ExecSql(dm_, "drop table RejectedLines");
    store_.Open(journal_.StationId(), {"2026-01-01.log", 0});
    EXPECT_FALSE(store_.ExactlyOnce());
    EXPECT_FALSE(store_.KeepsRejected());
    EXPECT_EQ(store_.Mark(), (TJournalPos{"2026-01-01.log", 0}));
    const auto lines = Journal({Call(1), Call(2), "31/02/26 09:02:11 01 201 00:00:10 0107"});
    const TStoreResult r = store_.Store(rules_, lines, lines.back().End);
    ASSERT_EQ(r.Status, TStoreResult::Committed) << r.Error;
    EXPECT_EQ(r.Stored, 2);
    EXPECT_EQ(r.Rejected.size(), 1u);
    EXPECT_EQ(store_.Mark(), lines.back().End);
    EXPECT_TRUE(store_.RejectedIn(lines[0].Start.File).empty());
}

// Lines the template marks as no calls are handled without a row and without a note; the
// journal keeps a NUL as received while the field after it keeps its column.
TEST_F(CallStore, NonCallLinesAreNotRejectedAndNulsKeepTheirColumn) {
    rules_.Format.NotCallMarks = {"LOGIN"};
    store_.Open(journal_.StationId(), {});
    const std::string nul("12/04/26 09:02:11 01 201 \0\0:27:19 8000002009", 44);
    const auto lines = Journal({"*** LOGIN 201 ***", nul});
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].Text, nul);
    const TStoreResult r = store_.Store(rules_, lines, lines.back().End);
    ASSERT_EQ(r.Status, TStoreResult::Committed) << r.Error;
    EXPECT_EQ(r.Stored, 1);
    EXPECT_TRUE(r.Rejected.empty());
    EXPECT_EQ(Count("select count(*) from RejectedLines"), 0);
    EXPECT_EQ(Count("select count(*) from Rings where TimeHour = 0 and TimeMin = 27 and TimeSec = "
                    "19 and NumberOut = '8000002009' and Caller is null"),
              1);
}

// The journal's road fills Caller too, where the table has it.
TEST_F(CallStore, AnIncomingCallKeepsItsCaller) {
    ASSERT_TRUE(ReadTemplateFile(TARVICK_SOURCE_DIR "/data/OPENSCAPE_BUSINESS.ATS",
                                 rules_.TemplateComment, rules_.Columns(), rules_.Format));
    store_.Open(journal_.StationId(), {});
    const auto lines = Journal({"20.06.12|13:11:35|201|33388|00:02|00:00:07|0123456789||1||||||"});
    const TStoreResult r = store_.Store(rules_, lines, lines.back().End);
    ASSERT_EQ(r.Stored, 1) << r.Error;
    EXPECT_EQ(Count("select count(*) from Rings where Caller = '0123456789' and NumberOut = '0' "
                    "and NumberIn = 33388 and RingDate = '2012-06-20 13:11:28'"),
              1);
}

// A value its column cannot hold: the line is rejected with the reason before the database is
// asked, and storing goes on with the next line, in the same batch and in the next one.
struct UnfitCase {
    const char* name;
    std::vector<std::string> alter;  // the columns as another installation made them
    std::string line;
    std::string reason;
};

class UnfitValues : public CallStore, public ::testing::WithParamInterface<UnfitCase> {};

TEST_P(UnfitValues, AreRejectedAndStoringGoesOn) {
    for (const std::string& sql : GetParam().alter) ExecSql(dm_, sql);
    store_.Open(journal_.StationId(), {});
    auto lines = Journal({Call(1), GetParam().line, Call(2)});
    TStoreResult r = store_.Store(rules_, lines, lines.back().End);
    ASSERT_EQ(r.Status, TStoreResult::Committed) << r.Error;
    EXPECT_EQ(r.Stored, 2);
    ASSERT_EQ(r.Rejected.size(), 1u);
    EXPECT_NE(r.Rejected[0].Reason.find(GetParam().reason), std::string::npos)
        << r.Rejected[0].Reason;
    EXPECT_EQ(Count("select count(*) from RejectedLines where JournalPos = " +
                    std::to_string(lines[1].Start.Offset) + " and Reason containing '" +
                    GetParam().reason + "'"),
              1);
    lines = Journal({GetParam().line, Call(3)});
    r = store_.Store(rules_, lines, lines.back().End);
    ASSERT_EQ(r.Status, TStoreResult::Committed) << r.Error;
    EXPECT_EQ(r.Stored, 1);
    EXPECT_EQ(Count("select count(*) from Rings"), 3);
    EXPECT_EQ(store_.Mark(), lines.back().End);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnfitValues,
    ::testing::Values(UnfitCase{"NumberLongerThanItsColumn",
                                {},
                                "12/04/26 09:02:11 01 201 00:02:15 " + std::string(41, '7'),
                                "longer than its column (40)"},
                      UnfitCase{"LineBeyondANarrowNumericColumn",
                                {"alter table Rings drop RLine",
                                 "alter table Rings add RLine numeric(4,3) default 0 not null"},
                                "12/04/26 09:02:11 99 201 00:02:15 84951234567",
                                "out of range for its column"},
                      UnfitCase{"NumberBeyondABigintColumn",
                                {"alter table Rings drop NumberOut",
                                 "alter table Rings add NumberOut bigint default 0 not null"},
                                "12/04/26 09:02:11 01 201 00:02:15 " + std::string(25, '9'),
                                "not a number the column holds"}),
    CaseName());

// What the server says when it refuses one statement's values is the line's; a lock held by
// another program, a missing table or a lost connection is the database's. The refusals are
// the server's own, sent past the checks above.
struct RefusalCase {
    const char* name;
    std::string sql;
    bool data;
};

class ServerRefusals : public CallStore, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(ServerRefusals, AreToldApart) {
    TCallDatabase other;
    other.Connect(db_.Path());
    ExecSql(dm_,
            "insert into JournalMarks (Station, JournalFile, JournalPos) values ('x', 'f', 0)");
    other.DbTransaction.StartTransaction();
    {
        TFbStatement lock(other.DbConnection, other.DbTransaction);
        lock.SQL().Add("update JournalMarks set JournalPos = 1");
        lock.ExecQuery();
    }
    dm_.DbTransaction.StartTransaction();
    try {
        TFbStatement q(dm_.DbConnection, dm_.DbTransaction);
        q.SQL().Add(GetParam().sql);
        q.ExecQuery();
        ADD_FAILURE() << "not refused";
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.RefusesData(), GetParam().data) << e.what();
    }
    dm_.DbTransaction.RollbackQuietly();
    other.DbTransaction.RollbackQuietly();
    other.Disconnect();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServerRefusals,
    ::testing::Values(
        RefusalCase{"TextTooLongForItsColumn",
                    "insert into Rings (NumberOut, RingDate) values ('" + std::string(41, '1') +
                        "', current_timestamp)",
                    true},
        RefusalCase{"NumberTooLargeForItsColumn",
                    "insert into Rings (NumberIn, NumberOut, RingDate) values (3000000000, '1', "
                    "current_timestamp)",
                    true},
        RefusalCase{"TextThatIsNoNumber",
                    "insert into Rings (NumberIn, NumberOut, RingDate) values ('abc', '1', "
                    "current_timestamp)",
                    true},
        RefusalCase{"RowLockedByAnotherProgram", "update JournalMarks set JournalPos = 2", false},
        RefusalCase{"NoSuchTable", "insert into NoSuchTable values (1)", false}),
    CaseName());

// Every row says which station stored it and where its line starts in that station's journal;
// the mark's row says from where on that holds. A database without those columns stores as
// before, and the mark then says it holds for nothing.
TEST_F(CallStore, RowsCarryTheirStationAndJournalPosition) {
    store_.Open(journal_.StationId(), {});
    EXPECT_TRUE(store_.KeepsSource());
    const auto lines = Journal({Call(1), "        ", Call(2), Call(3)});
    ASSERT_EQ(store_.Store(rules_, lines, lines.back().End).Status, TStoreResult::Committed);
    for (size_t i : {0u, 2u, 3u})
        EXPECT_EQ(Count("select count(*) from Rings where Station = '" + journal_.StationId() +
                        "' and JournalFile = '" + lines[i].Start.File +
                        "' and JournalPos = " + std::to_string(lines[i].Start.Offset)),
                  1)
            << i;
    EXPECT_EQ(Count("select count(*) from JournalMarks where TracedFile = '' and TracedPos = 0"),
              1);
    TJournalPos from;
    ASSERT_TRUE(store_.Traced(from));
    EXPECT_EQ(from, TJournalPos{});

    store_.Close();
    ExecSql(dm_, "drop index Rings_Source");
    ExecSql(dm_, "alter table Rings drop Station");
    TCallStore older(dm_);
    older.Open(journal_.StationId(), {});
    EXPECT_FALSE(older.KeepsSource());
    const auto more = Journal({Call(4)});
    ASSERT_EQ(older.Store(rules_, more, more.back().End).Status, TStoreResult::Committed);
    EXPECT_EQ(Count("select count(*) from Rings"), 4);
    EXPECT_EQ(Count("select count(*) from JournalMarks where TracedFile is null"), 1);
    EXPECT_FALSE(older.Traced(from));
}

}  // namespace
