#include "tests/settings_ui/DialogStage.h"

#include "tests/common/CaseName.h"

#include "config/AlertSettings.h"
#include "platform/Ini.h"
#include "tests/common/TempDir.h"

#include <QLineEdit>
#include <QTimeEdit>

namespace {

class Confirm : public DialogStage {
protected:
    // Every page's controls changed the way a user does.
    void EditEverything() {
        TSettingsDialog& f = *form_;
        f.SelectPage(1);
        Retype(f.eDBPath, "  localhost:/srv/calls.fdb  ");
        Click(f.cbShowBuffer);
        Click(f.cbAutoRun);
        Click(f.cbHideRun);
        Retype(f.sePortSMTP, "26");
        Retype(f.eAddrSMTP, " mail.example ");
        Retype(f.eFromSMTP, "station@example ");
        f.SelectPage(3);
        Click(f.cbIncomLog);
        Click(f.cbEmptyLen);
        Retype(f.seMinEmpty, "5");
        Retype(f.seMinLenPhon, "4");
        Retype(f.seMaxLenPhon, "12");
        f.SelectPage(4);
        Choose(f.ComComboBox[1], "19200");
        Choose(f.ComComboBox[4], "Even");
        f.SelectPage(5);
        Click(f.cbPubSendMail);
        Retype(f.eSubjSendMail, U("Статистика"));
        Retype(f.mMsgFooter, U("Первая"));
        QTest::keyClick(f.mMsgFooter, Qt::Key_Return);
        Type(f.mMsgFooter, U("вторая"));
        f.SelectPage(6);
        Retype(f.eMsgAddress, "admin@example");
        Click(f.cbNeedAllRight);
        Retype(f.eSubjAllRight, "ok");
        Retype(f.mMsgAllRight, U("Всё в порядке"));
        Click(f.cbNeedSilence);
        Retype(f.seDaysSilence, "3");
        Retype(f.eSubjSilence, "silence");
        Retype(f.mMsgSilence, "no calls");
        Leave();
    }
};

TEST_F(Confirm, WritesHolderIniAndTableInOrder) {
    mo_.DBConnected = true;
    Open(1);
    EditEverything();
    Click(form_->bbOk);
    ASSERT_EQ(boxes_.Texts().size(), 0u);
    EXPECT_FALSE(form_->isVisible());
    EXPECT_EQ(form_->result(), QDialog::Accepted);
    EXPECT_EQ(steps_, (std::vector<std::string>{"disconnect", "table after ini"}));
    EXPECT_FALSE(mo_.DBConnected);

    EXPECT_EQ(port_.BaudRate(), br19200);
    EXPECT_EQ(port_.Parity().Bits(), prEven);
    const std::string ini = Contents("comport.ini").toStdString();
    EXPECT_NE(ini.find("19200"), std::string::npos);
    EXPECT_NE(ini.find("Even"), std::string::npos);

    const TSettings expected = [&] {
        TSettings s;
        s.Template = "GENERIC24.ATS";
        s.DBPath = "localhost:/srv/calls.fdb";
        s.AddrSMTP = "mail.example";
        s.FromSMTP = "station@example";
        s.PortSMTP = 26;
        s.MinLenPhon = 4;
        s.MaxLenPhon = 12;
        s.MinEmpty = 5;
        s.EmptyLen = s.IncomLog = s.ShowBuffer = s.AutoRun = s.HideRun = true;
        s.SubjSendM = A("Статистика");
        s.MsgFooter = A("Первая\r\nвторая");
        s.MsgAddress = "admin@example";
        s.SubjARight = "ok";
        s.MsgARight = A("Всё в порядке");
        s.SubjSilenc = "silence";
        s.MsgSilence = "no calls";
        s.SendMail = s.NeedARight = s.NeedSilenc = true;
        s.DaysSilenc = 3;
        return s;
    }();
    const TSettings table = ReadTable();
    for (const TSettings* s : {static_cast<const TSettings*>(&mo_), &table}) {
        EXPECT_EQ(s->Template, expected.Template);
        EXPECT_EQ(s->DBPath, expected.DBPath);
        EXPECT_EQ(s->AddrSMTP, expected.AddrSMTP);
        EXPECT_EQ(s->FromSMTP, expected.FromSMTP);
        EXPECT_EQ(s->PortSMTP, expected.PortSMTP);
        EXPECT_EQ(s->MinLenPhon, expected.MinLenPhon);
        EXPECT_EQ(s->MaxLenPhon, expected.MaxLenPhon);
        EXPECT_EQ(s->MinEmpty, expected.MinEmpty);
        EXPECT_EQ(s->EmptyLen, expected.EmptyLen);
        EXPECT_EQ(s->IncomLog, expected.IncomLog);
        EXPECT_EQ(s->ShowBuffer, expected.ShowBuffer);
        EXPECT_EQ(s->AutoRun, expected.AutoRun);
        EXPECT_EQ(s->HideRun, expected.HideRun);
        EXPECT_EQ(s->SubjSendM, expected.SubjSendM);
        EXPECT_EQ(s->MsgFooter, expected.MsgFooter);
        EXPECT_EQ(s->MsgAddress, expected.MsgAddress);
        EXPECT_EQ(s->SubjARight, expected.SubjARight);
        EXPECT_EQ(s->MsgARight, expected.MsgARight);
        EXPECT_EQ(s->SubjSilenc, expected.SubjSilenc);
        EXPECT_EQ(s->MsgSilence, expected.MsgSilence);
        EXPECT_EQ(s->SendMail, expected.SendMail);
        EXPECT_EQ(s->NeedARight, expected.NeedARight);
        EXPECT_EQ(s->NeedSilenc, expected.NeedSilenc);
        EXPECT_EQ(s->DaysSilenc, expected.DaysSilenc);
    }
}

TEST_F(Confirm, MemoLinesOfTheHolderComeBackWithTheirBreaks) {
    mo_.MsgFooter = A("Строка 1\r\nСтрока 2\r\n");
    mo_.SendMail = true;
    Open(5);
    EXPECT_EQ(form_->mMsgFooter->toPlainText(), U("Строка 1\nСтрока 2\n"));
    Click(form_->bbOk);
    EXPECT_EQ(ReadTable().MsgFooter, mo_.MsgFooter);
}

TEST_F(Confirm, FailedTableSaveShowsTheMessageAndStaysOpen) {
    Open(1);
    ASSERT_TRUE(QFile::remove(Path("tarvick.dat")));
    Retype(form_->eDBPath, "other.fdb");
    boxes_.Answer(QMessageBox::Ok);
    Click(form_->bbOk);
    ASSERT_EQ(boxes_.Texts().size(), 1u);
    EXPECT_EQ(boxes_.Texts()[0], U("Невозможно открыть файл настроек tarvick.dat !"));
    EXPECT_TRUE(form_->isVisible());
    EXPECT_EQ(mo_.DBPath, "other.fdb");  // the holder already carries the confirmed values
    EXPECT_TRUE(Exists("comport.ini"));
}

TEST_F(Confirm, ANetworkSourceTypedOnThePortPageIsAppliedAndSaved) {
    Open(4);
    Retype(form_->ComComboBox[0]->lineEdit(), "tcp://10.0.0.5:2300");
    Click(form_->bbOk);
    EXPECT_EQ(form_->result(), QDialog::Accepted);
    EXPECT_EQ(port_.Port(), "tcp://10.0.0.5:2300");
    EXPECT_NE(Contents("comport.ini").toStdString().find("Port=tcp://10.0.0.5:2300"),
              std::string::npos);
}

TEST_F(Confirm, ANetworkSourceIsKeptWhenOnlyTheRateChanges) {
    port_.SetPort("listen://:9100");
    Open(4);
    EXPECT_EQ(form_->ComComboBox[0]->currentText(), "listen://:9100");
    Choose(form_->ComComboBox[1], "19200");
    Click(form_->bbOk);
    EXPECT_EQ(port_.Port(), "listen://:9100");
    EXPECT_EQ(port_.BaudRate(), br19200);
}

// The network fields open for the kind of source typed, and only for it.
struct TNetworkFieldsCase {
    const char* name;
    const char* port;
    bool login, allow, keepAlive;
};

class NetworkFields : public Confirm, public ::testing::WithParamInterface<TNetworkFieldsCase> {};

TEST_P(NetworkFields, OpenForTheSourceTyped) {
    const TNetworkFieldsCase& c = GetParam();
    Open(4);
    Retype(form_->ComComboBox[0]->lineEdit(), c.port);
    EXPECT_EQ(form_->eNetLogin->isEnabled(), c.login);
    EXPECT_EQ(form_->eNetPassword->isEnabled(), c.login);
    EXPECT_EQ(form_->eNetAllow->isEnabled(), c.allow);
    EXPECT_EQ(form_->seKeepAlive->isEnabled(), c.keepAlive);
    EXPECT_EQ(form_->seIdle->isEnabled(), c.keepAlive);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, NetworkFields,
    ::testing::Values(TNetworkFieldsCase{"SerialDevice", "/dev/ttyUSB0", false, false, false},
                      TNetworkFieldsCase{"Dialling", "tcp://10.0.0.5:2300", true, false, true},
                      TNetworkFieldsCase{"DiallingInCapitals", "TCP://pbx:23", true, false, true},
                      TNetworkFieldsCase{"Listening", "listen://:9100", false, true, true},
                      TNetworkFieldsCase{"NoPortNumber", "tcp://10.0.0.5", false, false, false}),
    CaseName());

TEST_F(Confirm, TheExchangesLoginAndWatchGoIntoThePortFileAndComeBack) {
    Open(4);
    Retype(form_->ComComboBox[0]->lineEdit(), "tcp://10.0.0.5:2300");
    Retype(form_->eNetLogin, "cdr");
    Retype(form_->eNetPassword, "s3cret");
    Retype(form_->seKeepAlive, "20");
    Retype(form_->seIdle, "45");
    Click(form_->bbOk);
    ASSERT_EQ(form_->result(), QDialog::Accepted);
    EXPECT_EQ(port_.Login(), "cdr");
    EXPECT_EQ(port_.Password(), "s3cret");
    EXPECT_EQ(port_.KeepAlive(), 20);
    EXPECT_EQ(port_.Idle(), 45);
    const std::string ini = Contents("comport.ini").toStdString();
    for (const char* line : {"Login=cdr", "Password=s3cret", "KeepAlive=20", "Idle=45"})
        EXPECT_NE(ini.find(line), std::string::npos) << line;

    TSerialPort reread;
    reread.LoadSetup(ssIniFile, Dir() + "comport.ini");
    Open(4);
    EXPECT_EQ(form_->eNetLogin->text(), "cdr");
    EXPECT_EQ(form_->eNetPassword->text(), "s3cret");
    EXPECT_EQ(form_->seKeepAlive->value(), 20);
    EXPECT_EQ(form_->seIdle->value(), 45);
    EXPECT_EQ(reread.Login(), "cdr");
    EXPECT_EQ(reread.KeepAlive(), 20);
}

// The watchdog's settings live in alerts.ini beside the table; the page shows the defaults for
// a station without one, writes what is changed (Sunday first in the file, Monday first on the
// page) and shows it again; an untouched page writes no file.
TEST_F(Confirm, TheWatchdogsSettingsGoIntoAlertsIniAndComeBack) {
    Open(6);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(form_->cbWorkDay[i]->isChecked(), i < 5) << i;
    EXPECT_EQ(form_->teWorkFrom->time(), QTime(9, 0));
    EXPECT_EQ(form_->teWorkTo->time(), QTime(18, 0));
    EXPECT_EQ(form_->seSilenceMinutes->value(), 120);
    EXPECT_EQ(form_->seGraceMinutes->value(), 10);
    Click(form_->bbOk);
    ASSERT_EQ(form_->result(), QDialog::Accepted);
    EXPECT_FALSE(Exists("alerts.ini"));

    Open(6);
    Click(form_->cbWorkDay[4]);  // Friday off
    Click(form_->cbWorkDay[6]);  // Sunday on
    form_->teWorkFrom->setTime(QTime(22, 0));
    form_->teWorkTo->setTime(QTime(6, 30));
    Retype(form_->seSilenceMinutes, "45");
    Retype(form_->seGraceMinutes, "3");
    Retype(form_->eAlertAddress, "duty@office.test");
    Click(form_->bbOk);
    ASSERT_EQ(form_->result(), QDialog::Accepted);
    const TAlertSettings saved = ReadAlertSettings(Dir() + "alerts.ini");
    const bool days[7] = {true, true, true, true, true, false, false};  // Sunday first
    for (int d = 0; d < 7; ++d) EXPECT_EQ(saved.WorkDays[d], days[d]) << d;
    EXPECT_EQ(saved.WorkFrom, 22 * 60);
    EXPECT_EQ(saved.WorkTo, 6 * 60 + 30);
    EXPECT_EQ(saved.SilenceMinutes, 45);
    EXPECT_EQ(saved.GraceMinutes, 3);
    EXPECT_EQ(saved.Address, "duty@office.test");

    Open(6);
    EXPECT_FALSE(form_->cbWorkDay[4]->isChecked());
    EXPECT_TRUE(form_->cbWorkDay[6]->isChecked());
    EXPECT_EQ(form_->teWorkFrom->time(), QTime(22, 0));
    EXPECT_EQ(form_->teWorkTo->time(), QTime(6, 30));
    EXPECT_EQ(form_->seSilenceMinutes->value(), 45);
    EXPECT_EQ(form_->eAlertAddress->text(), "duty@office.test");
}

TEST_F(Confirm, AListenersAllowListIsSavedAndAnEntryThatIsNoAddressStopsTheConfirm) {
    Open(4);
    Retype(form_->ComComboBox[0]->lineEdit(), "listen://:9100");
    Retype(form_->eNetAllow, "10.0.0.5, pbx.office");
    boxes_.Answer(QMessageBox::Ok);
    Click(form_->bbOk);
    ASSERT_EQ(boxes_.Texts().size(), 1u);
    EXPECT_EQ(boxes_.Texts()[0], U("Не адрес и не сеть: pbx.office"));
    EXPECT_TRUE(form_->isVisible());
    EXPECT_TRUE(steps_.empty());
    EXPECT_FALSE(Exists("comport.ini"));

    Retype(form_->eNetAllow, "10.0.0.5, 192.168.1.0/24");
    Click(form_->bbOk);
    EXPECT_EQ(form_->result(), QDialog::Accepted);
    EXPECT_EQ(port_.Allow(), "10.0.0.5, 192.168.1.0/24");
    EXPECT_NE(Contents("comport.ini").toStdString().find("Allow=10.0.0.5, 192.168.1.0/24"),
              std::string::npos);
}

// A directory copied from elsewhere keeps its one port settings file, whatever its name's case.
TEST_F(Confirm, PortSettingsGoIntoTheFileTheStationReads) {
    QFile ini(Path("ComPort.INI"));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[ComPort]\r\nPort=COM2\r\nBaudRate=2400\r\n");
    ini.close();
    Open(4);
    Choose(form_->ComComboBox[1], "19200");
    Click(form_->bbOk);
    EXPECT_EQ(form_->result(), QDialog::Accepted);
    EXPECT_FALSE(Exists("comport.ini"));
    EXPECT_TRUE(Contents("ComPort.INI").contains("BaudRate=19200"));
}

TEST_F(Confirm, CancellingDropsThePortChoices) {
    port_.SetBaudRate(br2400);
    Open(4);
    EXPECT_EQ(form_->ComComboBox[1]->currentText(), "2400");
    Choose(form_->ComComboBox[1], "115200");
    Choose(form_->ComComboBox[2], "7");
    Click(form_->bbClose);
    EXPECT_EQ(form_->result(), QDialog::Rejected);
    EXPECT_EQ(port_.BaudRate(), br2400);
    EXPECT_EQ(port_.DataBits(), dbEight);
    EXPECT_FALSE(Exists("comport.ini"));
    EXPECT_TRUE(steps_.empty());
}

TEST_F(Confirm, EditingTemplateAndAnsweringNoStoresSettingsWithoutTheTemplate) {
    Open(2);
    Click(form_->sbNew);
    Retype(form_->eNameFile, "NEWONE");
    form_->SelectPage(1);
    Retype(form_->eDBPath, "x.fdb");
    boxes_.Answer(QMessageBox::No);
    Click(form_->bbOk);
    ASSERT_EQ(boxes_.Texts().size(), 1u);
    EXPECT_EQ(boxes_.Texts()[0], U("Сохранить шаблон ?"));
    EXPECT_EQ(form_->result(), QDialog::Accepted);
    EXPECT_FALSE(Exists("NEWONE.ATS"));
    EXPECT_EQ(ReadTable().DBPath, "x.fdb");
}

TEST_F(Confirm, EditingTemplateAndAnsweringYesSavesItFirst) {
    Open(1);
    form_->SelectPage(2);
    Click(form_->sbNew);
    Retype(form_->eNameFile, "NEWONE");
    form_->SelectPage(6);
    boxes_.Answer(QMessageBox::Yes);
    boxes_.Answer(QMessageBox::Ok);
    Click(form_->bbOk);
    ASSERT_EQ(boxes_.Texts().size(), 2u);
    EXPECT_EQ(boxes_.Texts()[1], U("Шаблон сохранен."));
    EXPECT_TRUE(Exists("NEWONE.ATS"));
    EXPECT_EQ(form_->SelectedNodeIndex(), 2);
    EXPECT_EQ(ReadTable().Template, "NEWONE.ATS");
}

TEST_F(Confirm, ChosenTemplateTakesEffectAtTheNextStart) {
    Open(2);
    Choose(form_->cbTemplates, "PANA12.ATS");
    Click(form_->bbOk);
    EXPECT_EQ(mo_.Template, "PANA12.ATS");
    EXPECT_EQ(ReadTable().Template, "PANA12.ATS");
    EXPECT_EQ(mo_.AmPm, 0);  // still cutting by the previous template's columns
    EXPECT_EQ(mo_.NumberOut, 35);

    TRecorder next;  // the next start
    next.ProgramDir = Dir();
    ReadSettingsTable(table_, next.ProgramDir, next);
    ASSERT_TRUE(next.LoadTemplate());
    EXPECT_EQ(next.AmPm, 15);
}

TEST_F(Confirm, EmptyTemplateListStoresAnEmptyTemplate) {
    for (const char* f : {"GENERIC24.ATS", "PANA12.ATS"}) ASSERT_TRUE(QFile::remove(Path(f)));
    Open(2);
    EXPECT_EQ(form_->cbTemplates->count(), 0);
    Click(form_->bbOk);
    EXPECT_EQ(mo_.Template, "");
    EXPECT_EQ(ReadTable().Template, "");
}

TEST_F(Confirm, FailedPortStoreReportsTheErrorAndStaysOpen) {
    Open(4);
    ASSERT_TRUE(QDir(dir_.path()).mkdir("comport.ini"));  // nothing can be written there
    Choose(form_->ComComboBox[1], "19200");
    boxes_.Answer(QMessageBox::Ok);
    Click(form_->bbOk);
    ASSERT_EQ(boxes_.Texts().size(), 1u);
    EXPECT_EQ(boxes_.Texts()[0], "Failed to store settings");
    EXPECT_TRUE(form_->isVisible());
    EXPECT_EQ(steps_, std::vector<std::string>{"disconnect"});
    EXPECT_EQ(port_.BaudRate(), br19200);
}

// ---- the mail server's login and encryption, in mail.ini ------------------------------------

QFileDevice::Permissions OwnerOnly() {
    return QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
           QFileDevice::WriteUser;
}

TEST_F(Confirm, LoginAndEncryptionGoToAMailIniOnlyItsOwnerReads) {
    Open(1);
    Choose(form_->cbSecurity, "STARTTLS");
    Retype(form_->eUserSMTP, " station@example ");
    Retype(form_->ePasswordSMTP, U(" \"пароль\" "));
    Leave();
    EXPECT_EQ(form_->ePasswordSMTP->echoMode(), QLineEdit::Password);
    Click(form_->bbOk);
    EXPECT_EQ(form_->result(), QDialog::Accepted);
    EXPECT_EQ(QFile::permissions(Path("mail.ini")), OwnerOnly());
    const TMailSettings stored = ReadMailSettings(Dir() + "mail.ini");
    EXPECT_EQ(stored.Security, TMailSecurity::StartTls);
    EXPECT_EQ(stored.User, "station@example");
    EXPECT_EQ(stored.Password, A(" \"пароль\" "));  // blanks and quotes are the password's
    EXPECT_EQ(mo_.Mail.Password, stored.Password);

    // The next opening shows what is stored.
    Open(1);
    EXPECT_EQ(form_->cbSecurity->currentText(), "STARTTLS");
    EXPECT_EQ(form_->eUserSMTP->text(), "station@example");
    EXPECT_EQ(form_->ePasswordSMTP->text(), U(" \"пароль\" "));
}

// The database's login stands beside its path and goes to a db.ini only its owner reads; the
// defaults leave none.
TEST_F(Confirm, TheDatabaseLoginGoesToADbIniOnlyItsOwnerReads) {
    Open(1);
    EXPECT_EQ(form_->eUserDB->text(), "SYSDBA");
    Click(form_->bbOk);
    EXPECT_FALSE(Exists("db.ini"));

    Open(1);
    Retype(form_->eUserDB, " TARVICK ");
    Retype(form_->ePasswordDB, "s3cret");
    Retype(form_->eRoleDB, "STATION");
    EXPECT_EQ(form_->ePasswordDB->echoMode(), QLineEdit::Password);
    Click(form_->bbOk);
    EXPECT_EQ(form_->result(), QDialog::Accepted);
    EXPECT_EQ(QFile::permissions(Path("db.ini")), OwnerOnly());
    const TDbLogin stored = TDbLogin::Load(Dir());
    EXPECT_EQ(stored.User, "TARVICK");
    EXPECT_EQ(stored.Password, "s3cret");
    EXPECT_EQ(stored.Role, "STATION");
    EXPECT_EQ(mo_.Login, stored);
}

TEST_F(Confirm, PlainMailLeavesNoMailIni) {
    Open(1);
    EXPECT_EQ(form_->cbSecurity->currentIndex(), 0);
    Click(form_->bbOk);
    EXPECT_EQ(form_->result(), QDialog::Accepted);
    EXPECT_FALSE(Exists("mail.ini"));
}

TEST_F(Confirm, KeysTheDialogDoesNotShowAreKept) {
    WriteBytes(Dir() + "mail.ini", "[SMTP]\r\nSecurity=tls\r\nFingerprint=AB:CD:" +
                                       std::string(60, 'E') + "\r\nTrusted=1\r\n");
    QFile::setPermissions(Path("mail.ini"), OwnerOnly() | QFileDevice::ReadOther);
    mo_.Mail = ReadMailSettings(Dir() + "mail.ini");
    Open(1);
    EXPECT_EQ(form_->cbSecurity->currentText(), "TLS");
    Retype(form_->eUserSMTP, "u");
    Click(form_->bbOk);
    EXPECT_EQ(QFile::permissions(Path("mail.ini")), OwnerOnly());
    const TMailSettings stored = ReadMailSettings(Dir() + "mail.ini");
    EXPECT_EQ(stored.Security, TMailSecurity::Tls);
    EXPECT_EQ(stored.User, "u");
    EXPECT_TRUE(stored.Trusted);
    EXPECT_EQ(stored.Fingerprint, "abcd" + std::string(60, 'e'));
}

TEST_F(Confirm, FailedMailIniSaveShowsTheMessageAndStaysOpen) {
    Open(1);
    ASSERT_TRUE(QDir(dir_.path()).mkdir("mail.ini"));  // nothing can be written there
    Retype(form_->eUserSMTP, "u");
    boxes_.Answer(QMessageBox::Ok);
    Click(form_->bbOk);
    ASSERT_EQ(boxes_.Texts().size(), 1u);
    EXPECT_EQ(boxes_.Texts()[0], U("Невозможно записать файл настроек почты mail.ini !"));
    EXPECT_TRUE(form_->isVisible());
}

}  // namespace
