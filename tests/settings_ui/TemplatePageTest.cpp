#include "tests/settings_ui/DialogStage.h"

#include "platform/Ini.h"

namespace {

class TemplatePage : public DialogStage {
protected:
    void WriteKey(const char* file, const char* key, int value) {
        TIniFile ini(Dir() + file);
        ini.WriteInteger(kTemplateSection, key, value);
    }
    int ReadKey(const char* file, const char* key) {
        TIniFile ini(Dir() + file);
        return ini.ReadInteger(kTemplateSection, key, -1);
    }
    void StartNew(const QString& name) {
        Click(form_->sbNew);
        Retype(form_->eNameFile, name);
    }
};

TEST_F(TemplatePage, ListsTemplatesInUpperCaseWithTheActiveOneSelected) {
    QFile f(Path("zeta.ats"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    mo_.Template = "generic24.ats";
    TSettingsDialog& d = Open(2);
    QStringList items;
    for (int i = 0; i < d.cbTemplates->count(); ++i) items << d.cbTemplates->itemText(i);
    EXPECT_EQ(items, (QStringList{"GENERIC24.ATS", "PANA12.ATS", "ZETA.ATS"}));
    EXPECT_EQ(d.cbTemplates->currentText(), "GENERIC24.ATS");
}

TEST_F(TemplatePage, ShowsTheTemplateInUseUntilRefreshed) {
    WriteKey("GENERIC24.ATS", "Day", 40);  // changed on disk after the holder loaded it
    TSettingsDialog& d = Open(2);
    EXPECT_EQ(d.seRDay->value(), 1);
    EXPECT_EQ(d.seNumberOut->value(), 35);
    Click(d.sbRefresh);
    EXPECT_EQ(d.seRDay->value(), 40);
}

TEST_F(TemplatePage, ChoosingAnotherTemplateShowsItsFile) {
    TSettingsDialog& d = Open(2);
    Choose(d.cbTemplates, "PANA12.ATS");
    EXPECT_EQ(d.seRAMPM->value(), 15);
    EXPECT_EQ(d.seNumberOut->value(), 26);
    EXPECT_EQ(d.eComment->text().toStdString(),
              platform::AnsiToUtf8(ReadTemplateForDisplay(Dir(), "PANA12.ATS").Comment));
}

TEST_F(TemplatePage, LongCommentIsShownAndSavedWhole) {
    mo_.TemplateComment = std::string(70, 'c');
    TSettingsDialog& d = Open(2);
    EXPECT_EQ(d.eComment->text(), QString(70, 'c'));
    StartNew("LONG");
    d.eComment->setFocus();
    d.eComment->end(false);
    QTest::keyClicks(d.eComment, "more");  // no room to grow
    boxes_.Answer(QMessageBox::Ok);
    Click(d.sbSave);
    ASSERT_EQ(boxes_.Texts().size(), 1u);
    EXPECT_EQ(boxes_.Texts()[0], U("Шаблон сохранен."));
    EXPECT_EQ(ReadTemplateForDisplay(Dir(), "LONG.ATS").Comment, std::string(70, 'c'));
}

TEST_F(TemplatePage, NewSwitchesToEditingWithTheSelectedName) {
    TSettingsDialog& d = Open(2);
    Click(d.sbNew);
    EXPECT_FALSE(d.cbTemplates->isVisible());
    EXPECT_TRUE(d.eNameFile->isVisible());
    EXPECT_EQ(d.eNameFile->text(), "GENERIC24");
    EXPECT_EQ(d.focusWidget(), d.eNameFile);
    EXPECT_FALSE(d.eComment->isReadOnly());
    EXPECT_TRUE(d.seRDay->isEnabled());
    EXPECT_TRUE(d.sbSave->isEnabled());
    EXPECT_FALSE(d.sbNew->isEnabled());
    EXPECT_FALSE(d.sbRefresh->isEnabled());
    EXPECT_EQ(d.seNumberOut->value(), 35);  // the page's values are the new one's start
}

TEST_F(TemplatePage, TypedNamesKeepOnlyDigitsAndLettersInUpperCase) {
    TSettingsDialog& d = Open(2);
    StartNew(U("ab-1 я./\\:ё"));  // Ё lies outside the letters the rule passes
    EXPECT_EQ(d.eNameFile->text(), U("AB1Я"));
    QTest::keyClick(d.eNameFile, Qt::Key_Backspace);
    EXPECT_EQ(d.eNameFile->text(), U("AB1"));
    QTest::keyClick(d.eNameFile, Qt::Key_Left);
    QTest::keyClick(d.eNameFile, Qt::Key_Delete);
    EXPECT_EQ(d.eNameFile->text(), U("AB"));
    QTest::keyClick(d.eNameFile, Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(d.eNameFile, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(d.eNameFile->text(), U("AB"));
    Retype(d.eNameFile, QString(60, 'x'));
    EXPECT_EQ(d.eNameFile->text(), QString(50, 'X'));
}

TEST_F(TemplatePage, SavingWithoutANameAsksForOneAndWritesNothing) {
    TSettingsDialog& d = Open(2);
    StartNew("");
    QTest::keyClicks(d.eNameFile, "   ");  // refused keys: the field stays empty
    boxes_.Answer(QMessageBox::Ok);
    Click(d.sbSave);
    ASSERT_EQ(boxes_.Texts().size(), 1u);
    EXPECT_EQ(boxes_.Texts()[0], U("Запишите название шаблона."));
    EXPECT_EQ(d.focusWidget(), d.eNameFile);
    EXPECT_TRUE(d.sbSave->isEnabled());
    EXPECT_EQ(QDir(dir_.path()).entryList({"*.ATS", "*.ats"}, QDir::Files).size(), 2);
}

TEST_F(TemplatePage, SavedTemplateIsActiveAtOnce) {
    TSettingsDialog& d = Open(2);
    StartNew("mypbx");
    Retype(d.eComment, U("Моя станция"));
    Retype(d.seRDay, "3");
    Retype(d.seNumberOut, "1999");
    boxes_.Answer(QMessageBox::Ok);
    Click(d.sbSave);
    ASSERT_EQ(boxes_.Texts().size(), 1u);
    EXPECT_EQ(boxes_.Texts()[0], U("Шаблон сохранен."));
    EXPECT_EQ(ReadKey("MYPBX.ATS", "Day"), 3);
    EXPECT_EQ(ReadKey("MYPBX.ATS", "NumberOut"), 1000);
    EXPECT_EQ(mo_.Template, "MYPBX.ATS");
    EXPECT_EQ(mo_.Day, 3);
    EXPECT_EQ(mo_.NumberOut, 1000);
    EXPECT_EQ(mo_.TemplateComment, A("Моя станция"));
    EXPECT_EQ(d.cbTemplates->currentText(), "MYPBX.ATS");
    EXPECT_TRUE(d.cbTemplates->isVisible());
    EXPECT_FALSE(d.sbSave->isEnabled());
    EXPECT_EQ(d.focusWidget(), d.cbTemplates);

    // Cancelling afterwards keeps the saved template active; the table keeps the old name.
    Click(d.bbClose);
    EXPECT_EQ(d.result(), QDialog::Rejected);
    EXPECT_EQ(mo_.Template, "MYPBX.ATS");
    EXPECT_EQ(ReadTable().Template, "GENERIC24.ATS");
}

TEST_F(TemplatePage, DecliningToOverwriteKeepsTheFileAndTheTypedValues) {
    TSettingsDialog& d = Open(2);
    StartNew("GENERIC24");
    Retype(d.seRDay, "9");
    boxes_.Answer(QMessageBox::No);
    Click(d.sbSave);
    ASSERT_EQ(boxes_.Texts().size(), 1u);
    EXPECT_EQ(boxes_.Texts()[0],
              U("Файл ") + Path("GENERIC24.ATS") + U(" уже существует. Удалить ?"));
    EXPECT_EQ(ReadKey("GENERIC24.ATS", "Day"), 1);
    EXPECT_TRUE(d.sbSave->isEnabled());
    EXPECT_EQ(d.seRDay->value(), 9);
    EXPECT_EQ(d.eNameFile->text(), "GENERIC24");
}

TEST_F(TemplatePage, OverwritingKeepsTheFilesOtherKeys) {
    {
        TIniFile ini(Dir() + "GENERIC24.ATS");
        ini.WriteString("Extra", "Keep", "yes");
    }
    TSettingsDialog& d = Open(2);
    StartNew("GENERIC24");
    Retype(d.seRDay, "2");
    boxes_.Answer(QMessageBox::Yes);
    boxes_.Answer(QMessageBox::Ok);
    Click(d.sbSave);
    ASSERT_EQ(boxes_.Texts().size(), 2u);
    EXPECT_EQ(boxes_.Texts()[1], U("Шаблон сохранен."));
    EXPECT_EQ(ReadKey("GENERIC24.ATS", "Day"), 2);
    EXPECT_EQ(TIniFile(Dir() + "GENERIC24.ATS").ReadString("Extra", "Keep", ""), "yes");
    EXPECT_EQ(mo_.Day, 2);
}

// ---- the preview ------------------------------------------------------------------------------

TEST_F(TemplatePage, PreviewCutsTheLastLineByTheColumnsShown) {
    TSettingsDialog& d = Open(2);
    d.SetLastLine("12/04/26 09:02:11 01 201 00:02:15 84951234567");
    EXPECT_EQ(d.PreviewLine(), "12/04/26 09:02:11 01 201 00:02:15 84951234567");
    EXPECT_TRUE(d.lPreviewFields->text().contains("<b>84951234567</b>"));
    EXPECT_TRUE(d.lPreviewFields->text().contains("<b>201</b>"));

    Click(d.sbNew);
    Retype(d.seNumberOut, "38");  // three digits later: the number loses its head
    EXPECT_TRUE(d.lPreviewFields->text().contains("<b>51234567</b>"));
    EXPECT_FALSE(d.lPreviewFields->text().contains("<b>84951234567</b>"));
}

TEST_F(TemplatePage, PreviewEscapesTheLineAndColoursEachStretch) {
    mo_.Template = "PANA12.ATS";
    ASSERT_TRUE(mo_.LoadTemplate());
    TSettingsDialog& d = Open(2);
    d.SetLastLine("12/04/26  3:15PM  203 02 <I>                      00:00'48");
    const QString html = d.lPreview->text();
    EXPECT_TRUE(html.contains("&lt;I&gt;"));
    EXPECT_FALSE(html.contains("<I>"));
    EXPECT_GE(html.count("background-color"), 10);
    EXPECT_TRUE(d.lPreviewFields->text().contains("<b>PM</b>"));
}

TEST_F(TemplatePage, WithoutAReceivedLineThePreviewShowsASampleOfTheTemplate) {
    TSettingsDialog& d = Open(2);
    EXPECT_EQ(d.PreviewLine(), "12/04/26 09:02:11 01 201 00:02:15 84951234567");
    Choose(d.cbTemplates, "PANA12.ATS");
    EXPECT_NE(d.PreviewLine().find("9:02AM"), std::string::npos);

    // An unknown exchange: a line made up from the template's own columns cuts cleanly.
    {
        TIniFile ini(Dir() + "OTHER.ATS");
        ini.WriteInteger(kTemplateSection, "Day", 5);
        ini.WriteInteger(kTemplateSection, "Mont", 1);
        ini.WriteInteger(kTemplateSection, "NumberOut", 12);
    }
    form_.reset();
    TSettingsDialog& again = Open(2);
    Choose(again.cbTemplates, "OTHER.ATS");
    EXPECT_EQ(again.PreviewLine(), "04  12     84951234567");
    const QString fields = again.lPreviewFields->text();
    EXPECT_TRUE(fields.contains("<b>12</b>"));
    EXPECT_TRUE(fields.contains("<b>04</b>"));
    EXPECT_TRUE(fields.contains("<b>84951234567</b>"));
}

}  // namespace

namespace {

const char kAvayaLine[] =
    "2008/06/28 09:28:41,00:00:00,9,8004206,I,4324,4324,,0,1000014155,0,E4324,Joe Bloggs,T9161,"
    "LINE 5.1,0,0";

// "Подобрать шаблон" chooses the template that reads the lines received so far; the page then
// shows its keys beyond the columns, and the preview its fields, direction and caller.
TEST_F(TemplatePage, DetectionChoosesTheTemplateThatReadsTheReceivedLines) {
    ASSERT_TRUE(QFile::copy(TARVICK_SOURCE_DIR "/data/AVAYA_IPO.ATS", Path("AVAYA_IPO.ATS")));
    TSettingsDialog& d = Open(2);
    EXPECT_FALSE(d.lFormat->isVisible());  // GENERIC24 has no keys beyond the columns
    d.SetReceivedLines({kAvayaLine, kAvayaLine});
    d.SetLastLine(kAvayaLine);
    Click(d.bDetect);
    EXPECT_EQ(d.cbTemplates->currentText(), "AVAYA_IPO.ATS");
    EXPECT_EQ(d.seRYear->value(), 1);
    EXPECT_TRUE(d.lFormat->isVisible());
    EXPECT_TRUE(d.lFormat->text().contains(QString::fromUtf8("поля через «,»")))
        << d.lFormat->text().toStdString();
    EXPECT_TRUE(d.lFormat->text().contains(QString::fromUtf8("(входящий: I)")));
    const QString fields = d.lPreviewFields->text();
    EXPECT_TRUE(fields.contains("<b>4324</b>")) << fields.toStdString();
    EXPECT_TRUE(fields.contains(QString::fromUtf8("звонил:&nbsp;<b>8004206</b>")))
        << fields.toStdString();
}

}  // namespace
