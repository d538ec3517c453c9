// The settings record: the shipped table, round trips, an empty table, a missing field.
#include <gtest/gtest.h>

#include <cstdlib>

#include "config/SettingsTable.h"
#include "tests/dbf/DbfTestUtil.h"

using namespace dbftest;

namespace {

const std::string kShipped = std::string(TARVICK_SOURCE_DIR) + "/data/";

class SettingsTableTest : public testing::Test {
protected:
    void SetUp() override {
        const std::string cmd = std::string(TARVICK_MKDAT) + " " + dir_.Path();
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        table_.SetTableName("tarvick.dat");
        table_.SetUseFloatFields(false);
        table_.SetDateTimeHandling(TDateTimeHandling::dtDateTime);
    }
    TempDir dir_;
    TDbfTable table_;
};

TEST_F(SettingsTableTest, GeneratorReproducesTheShippedFiles) {
    std::string made = ReadFile(dir_.File("tarvick.dat"));
    std::string shipped = ReadFile(kShipped + "tarvick.dat");
    ASSERT_EQ(made.size(), shipped.size());
    made.replace(1, 3, "xxx");  // the update date
    shipped.replace(1, 3, "xxx");
    EXPECT_EQ(made, shipped);
    EXPECT_EQ(ReadFile(dir_.File("tarvick.dbt")), ReadFile(kShipped + "tarvick.dbt"));
    // Russian Windows: the table's texts are the program's own, with nothing to translate.
    EXPECT_EQ(static_cast<uint8_t>(shipped[29]), 0xC9);
}

TEST_F(SettingsTableTest, ShippedDefaults) {
    TSettings s;
    ReadSettingsTable(table_, dir_.Path(), s);
    EXPECT_FALSE(table_.Active());
    EXPECT_EQ(s.Template, "GENERIC24.ATS");
    EXPECT_TRUE(s.IncomLog);
    EXPECT_EQ(s.DaysSilenc, 3);
    EXPECT_EQ(s.PortSMTP, 25);
    EXPECT_EQ(s.AddrSMTP, "");
    EXPECT_EQ(s.DBPath, "");
    EXPECT_FALSE(s.SendMail);
    EXPECT_EQ(s.MsgFooter, "");
}

TSettings Everything() {
    TSettings s;
    s.Template = "PANA12.ATS";
    s.DBPath = "localhost:/var/lib/firebird/\xC1\xE0\xE7\xE0.fdb";  // "База"
    s.AddrSMTP = "mail.example.org";
    s.FromSMTP = "station@example.org";
    s.PortSMTP = 99;
    s.MinLenPhon = 6;
    s.MaxLenPhon = 11;
    s.MinEmpty = 59;
    s.EmptyLen = true;
    s.IncomLog = false;
    s.ShowBuffer = true;
    s.AutoRun = true;
    s.HideRun = true;
    s.SubjSendM = std::string(50, '\xDF');  // fifty "Я"
    s.MsgFooter =
        "\xD1 \xF3\xE2\xE0\xE6\xE5\xED\xE8\xE5\xEC,\r\n\xE0\xE4\xEC\xE8\xED "
        "\xAB\xCE\xCE\xCE\xBB\r\n";
    s.MsgAddress = std::string(50, 'a');
    s.SubjARight = "\xC2\xF1\xB8 \xF5\xEE\xF0\xEE\xF8\xEE";  // with "ё"
    s.MsgARight = std::string(3000, 'x') + "\r\n" + "\xC5\xB8";
    s.SubjSilenc =
        "\xCE\xCE\xCE \xAB\xD0\xEE\xEC\xE0\xF8\xEA\xE0\xBB \x97 \xF2\xE5\xEB. 123";  // "ООО
                                                                                     // «Ромашка» —
                                                                                     // тел. 123"
    s.MsgSilence = "line 1\r\nline 2\r\n\r\nline 4";
    s.SendMail = true;
    s.NeedARight = true;
    s.NeedSilenc = true;
    s.DaysSilenc = 1;
    return s;
}

void ExpectSame(const TSettings& a, const TSettings& b) {
    EXPECT_EQ(a.Template, b.Template);
    EXPECT_EQ(a.DBPath, b.DBPath);
    EXPECT_EQ(a.AddrSMTP, b.AddrSMTP);
    EXPECT_EQ(a.FromSMTP, b.FromSMTP);
    EXPECT_EQ(a.PortSMTP, b.PortSMTP);
    EXPECT_EQ(a.MinLenPhon, b.MinLenPhon);
    EXPECT_EQ(a.MaxLenPhon, b.MaxLenPhon);
    EXPECT_EQ(a.MinEmpty, b.MinEmpty);
    EXPECT_EQ(a.EmptyLen, b.EmptyLen);
    EXPECT_EQ(a.IncomLog, b.IncomLog);
    EXPECT_EQ(a.ShowBuffer, b.ShowBuffer);
    EXPECT_EQ(a.AutoRun, b.AutoRun);
    EXPECT_EQ(a.HideRun, b.HideRun);
    EXPECT_EQ(a.SubjSendM, b.SubjSendM);
    EXPECT_EQ(a.MsgFooter, b.MsgFooter);
    EXPECT_EQ(a.MsgAddress, b.MsgAddress);
    EXPECT_EQ(a.SubjARight, b.SubjARight);
    EXPECT_EQ(a.MsgARight, b.MsgARight);
    EXPECT_EQ(a.SubjSilenc, b.SubjSilenc);
    EXPECT_EQ(a.MsgSilence, b.MsgSilence);
    EXPECT_EQ(a.SendMail, b.SendMail);
    EXPECT_EQ(a.NeedARight, b.NeedARight);
    EXPECT_EQ(a.NeedSilenc, b.NeedSilenc);
    EXPECT_EQ(a.DaysSilenc, b.DaysSilenc);
}

TEST_F(SettingsTableTest, EveryFieldRoundTrips) {
    const TSettings written = Everything();
    WriteSettingsTable(table_, dir_.Path(), written);
    EXPECT_FALSE(table_.Active());
    TSettings read;
    ReadSettingsTable(table_, dir_.Path(), read);
    ExpectSame(read, written);
    // A new station's table holds every character as typed: «, — and » have no OEM counterpart.
    const std::string dat = ReadFile(dir_.File("tarvick.dat"));
    EXPECT_NE(dat.find("\xC1\xE0\xE7\xE0.fdb"), std::string::npos);
    EXPECT_NE(dat.find(written.SubjSilenc), std::string::npos);
    // A second save over the first keeps one record and reads back the same.
    TSettings changed = written;
    changed.MsgARight = "short";
    changed.MsgFooter.clear();
    WriteSettingsTable(table_, dir_.Path(), changed);
    ReadSettingsTable(table_, dir_.Path(), read);
    ExpectSame(read, changed);
    table_.Open();
    EXPECT_EQ(table_.RecordCount(), 1u);
    table_.Close();
}

TEST_F(SettingsTableTest, EmptyTableLoadsEmptyAndFirstSaveAppends) {
    std::string dat = ReadFile(dir_.File("tarvick.dat"));
    const uint32_t header = (dat[8] & 0xFF) | (dat[9] & 0xFF) << 8;
    dat.resize(header);
    PutU32(dat, 4, 0);
    WriteFile(dir_.File("tarvick.dat"), dat);
    TSettings s = Everything();
    TSettings empty;
    ReadSettingsTable(table_, dir_.Path(), s);
    ExpectSame(s, empty);
    WriteSettingsTable(table_, dir_.Path(), Everything());
    const std::string after = ReadFile(dir_.File("tarvick.dat"));
    EXPECT_EQ(GetU32(after, 4), 1u);
    EXPECT_EQ(after.back(), '\x1A');
    TSettings read;
    ReadSettingsTable(table_, dir_.Path(), read);
    ExpectSame(read, Everything());
}

TEST_F(SettingsTableTest, FirstLiveRecordHoldsTheSettings) {
    std::string dat = ReadFile(dir_.File("tarvick.dat"));
    dat.pop_back();  // the end-of-file byte
    const std::string record = dat.substr(dat.size() - 1272);
    std::string deleted = record;
    deleted[0] = '*';
    deleted.replace(1, 8, "DELETED ");
    dat.insert(dat.size() - 1272, deleted);
    WriteFile(dir_.File("tarvick.dat"), dat);
    TSettings s;
    ReadSettingsTable(table_, dir_.Path(), s);
    EXPECT_EQ(s.Template, "GENERIC24.ATS");
    s.Template = "PANA12.ATS";
    WriteSettingsTable(table_, dir_.Path(), s);
    const std::string after = ReadFile(dir_.File("tarvick.dat"));
    EXPECT_NE(after.find("*DELETED "), std::string::npos) << "the deleted record is left alone";
    EXPECT_NE(after.find(" PANA12.ATS"), std::string::npos);
}

TEST_F(SettingsTableTest, MissingFieldFailsAndKeepsWhatWasRead) {
    std::string dat = ReadFile(dir_.File("tarvick.dat"));
    // Rename the fifth field (PortSMTP).
    dat.replace(32 + 4 * 32, 8, "PORTXXXX");
    WriteFile(dir_.File("tarvick.dat"), dat);
    TSettings s;
    s.PortSMTP = 77;
    s.MinLenPhon = 5;
    try {
        ReadSettingsTable(table_, dir_.Path(), s);
        FAIL();
    } catch (const EDbfError& e) {
        EXPECT_STREQ(e.what(), "Field 'PortSMTP' not found");
    }
    EXPECT_FALSE(table_.Active());
    EXPECT_EQ(s.Template, "GENERIC24.ATS");
    EXPECT_EQ(s.PortSMTP, 77);
    EXPECT_EQ(s.MinLenPhon, 5);
    EXPECT_THROW(WriteSettingsTable(table_, dir_.Path(), s), EDbfError);
    EXPECT_FALSE(table_.Active());
    // Once the cause is gone, the same table object works again.
    dat.replace(32 + 4 * 32, 8, std::string("PORTSMTP"));
    WriteFile(dir_.File("tarvick.dat"), dat);
    EXPECT_NO_THROW(WriteSettingsTable(table_, dir_.Path(), s));
}

TEST_F(SettingsTableTest, MissingTableFails) {
    TempDir empty;
    TSettings s;
    EXPECT_THROW(ReadSettingsTable(table_, empty.Path(), s), EDbfError);
    EXPECT_FALSE(table_.Active());
}

}  // namespace
