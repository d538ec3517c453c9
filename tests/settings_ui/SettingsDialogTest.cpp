#include "tests/common/CaseName.h"
#include "tests/settings_ui/DialogStage.h"

#include "platform/Ini.h"

namespace {

// ---- the page table ---------------------------------------------------------------------------

enum TKind { kEdit, kCheck, kSpin, kCombo, kMemo, kTool, kPort };
struct TControlRow {
    const char* name;
    TKind kind;
    int page;
    std::vector<const char*> captions;  // labels naming it, or the check box's own text
    int minimum = 0, maximum = 0;       // spin boxes
    int maxLength = 0;                  // edits and spin boxes; 0: not limited by the page
    bool enabled = true;                // with every switch of the holder cleared
};

std::vector<TControlRow> PageTable() {
    return {
        {"eDBPath", kEdit, 1, {"База данных"}},
        {"cbShowBuffer", kCheck, 1, {"Показывать буфер"}},
        {"cbAutoRun", kCheck, 1, {"Автозапуск"}},
        {"cbHideRun", kCheck, 1, {"Запуск в скрытом режиме"}},
        {"sePortSMTP", kSpin, 1, {"Порт SMTP сервера"}, 1, 65535, 5},
        {"eAddrSMTP", kEdit, 1, {"Адрес SMTP сервера"}},
        {"eFromSMTP", kEdit, 1, {"Обратный адрес"}},
        {"cbSecurity", kCombo, 1, {"Защита соединения"}},
        {"eUserSMTP", kEdit, 1, {"Пользователь"}},
        {"ePasswordSMTP", kEdit, 1, {"Пароль"}},
        {"cbTemplates", kCombo, 2, {"Шаблон"}},
        {"sbRefresh", kTool, 2, {"Обновить"}},
        {"sbNew", kTool, 2, {"Новый"}},
        {"sbSave", kTool, 2, {"Сохранить"}, 0, 0, 0, false},
        {"eComment", kEdit, 2, {"Коментарий"}, 0, 0, 50},
        {"seRDay", kSpin, 2, {"День"}, 0, 1000, 5, false},
        {"seRMonth", kSpin, 2, {"Месяц"}, 0, 1000, 5, false},
        {"seRYear", kSpin, 2, {"Год"}, 0, 1000, 5, false},
        {"seRHour", kSpin, 2, {"Часы"}, 0, 1000, 5, false},
        {"seRMin", kSpin, 2, {"Минуты"}, 0, 1000, 5, false},
        {"seRSec", kSpin, 2, {"Секунды"}, 0, 1000, 5, false},
        {"seRAMPM", kSpin, 2, {"AM/PM"}, 0, 1000, 5, false},
        {"seRLine", kSpin, 2, {"Номер линии (EXT)"}, 0, 1000, 5, false},
        {"seNumberIn", kSpin, 2, {"Номер внутренний (CO)"}, 0, 1000, 5, false},
        {"seTimeHour", kSpin, 2, {"Часы разговора"}, 0, 1000, 5, false},
        {"seTimeMin", kSpin, 2, {"Минуты разговора"}, 0, 1000, 5, false},
        {"seTimeSec", kSpin, 2, {"Секунды разговора"}, 0, 1000, 5, false},
        {"seNumberOut", kSpin, 2, {"№ телефона"}, 0, 1000, 5, false},
        {"cbIncomLog", kCheck, 3, {"Протоколировать входящие звонки"}},
        {"cbEmptyLen", kCheck, 3, {"Игнорировать разговоры продолжительностью менее"}},
        {"seMinEmpty", kSpin, 3, {"сек."}, 0, 59, 2, false},
        {"seMinLenPhon",
         kSpin,
         3,
         {"Минимальная длина номера телефона (исходящие)", "зн."},
         0,
         99,
         2},
        {"seMaxLenPhon",
         kSpin,
         3,
         {"Максимальная длина номера телефона (исходящие)", "зн."},
         0,
         99,
         2},
        {"ComComboBox1", kPort, 4, {"Порт"}},
        {"ComComboBox2", kPort, 4, {"Скорость"}},
        {"ComComboBox3", kPort, 4, {"Биты данных"}},
        {"ComComboBox4", kPort, 4, {"Стоповые биты"}},
        {"ComComboBox5", kPort, 4, {"Четность"}},
        {"ComComboBox6", kPort, 4, {"Контроль передачи"}},
        {"eNetLogin", kEdit, 4, {"Логин"}, 0, 0, 64, false},
        {"eNetPassword", kEdit, 4, {"Пароль АТС"}, 0, 0, 64, false},
        {"eNetAllow", kEdit, 4, {"Разрешённые адреса"}, 0, 0, 1024, false},
        {"seKeepAlive", kSpin, 4, {"Обрыв, если АТС не отвечает, сек."}, 2, 3600, 4, false},
        {"seIdle", kSpin, 4, {"Переподключение без данных, мин. (0 — нет)"}, 0, 10080, 5, false},
        {"cbPubSendMail", kCheck, 5, {"Рассылка статистики"}},
        {"eSubjSendMail", kEdit, 5, {"Тема"}, 0, 0, 50, false},
        {"mMsgFooter", kMemo, 5, {"Подпись"}, 0, 0, 0, false},
        {"eMsgAddress", kEdit, 6, {"Кому"}, 0, 0, 50},
        {"cbNeedAllRight", kCheck, 6, {"Ежедневное сообщение"}},
        {"eSubjAllRight", kEdit, 6, {"Тема"}, 0, 0, 50, false},
        {"mMsgAllRight", kMemo, 6, {"Текст"}, 0, 0, 0, false},
        {"cbNeedSilence", kCheck, 6, {"Сообщение, если звонки не фиксировались более"}},
        {"seDaysSilence", kSpin, 6, {"дн."}, 1, 99, 2, false},
        {"eSubjSilence", kEdit, 6, {"Тема"}, 0, 0, 50, false},
        {"mMsgSilence", kMemo, 6, {"Текст"}, 0, 0, 0, false},
    };
}

class PageTableTest : public DialogStage, public ::testing::WithParamInterface<TControlRow> {};

TEST_P(PageTableTest, ControlHasItsCaptionLimitsAndInitialState) {
    const TControlRow& row = GetParam();
    mo_.TemplateComment = "short";
    Open();
    QWidget* w = Find<QWidget>(row.name);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(PageOf(w), row.page);
    EXPECT_EQ(w->isEnabled(), row.enabled);

    QStringList expected;
    for (const char* c : row.captions) expected << U(c);
    switch (row.kind) {
        case kCheck:
            ASSERT_NE(qobject_cast<QCheckBox*>(w), nullptr);
            EXPECT_EQ(QStringList{qobject_cast<QCheckBox*>(w)->text()}, expected);
            EXPECT_FALSE(qobject_cast<QCheckBox*>(w)->isChecked());
            break;
        case kTool:
            ASSERT_NE(qobject_cast<QToolButton*>(w), nullptr);
            EXPECT_EQ(QStringList{w->toolTip()}, expected);
            break;
        case kSpin: {
            auto* se = qobject_cast<QSpinBox*>(w);
            ASSERT_NE(se, nullptr);
            EXPECT_EQ(LabelsOf(w), expected);
            EXPECT_EQ(se->minimum(), row.minimum);
            EXPECT_EQ(se->maximum(), row.maximum);
            EXPECT_EQ(se->findChild<QLineEdit*>()->maxLength(), row.maxLength);
            break;
        }
        case kEdit: {
            auto* e = qobject_cast<QLineEdit*>(w);
            ASSERT_NE(e, nullptr);
            EXPECT_EQ(LabelsOf(w), expected);
            if (row.maxLength) {
                EXPECT_EQ(e->maxLength(), row.maxLength);
            }
            break;
        }
        case kCombo:
        case kPort: {
            auto* c = qobject_cast<QComboBox*>(w);
            ASSERT_NE(c, nullptr);
            // Drop-down lists, but the port also takes a typed name (a network source).
            EXPECT_EQ(c->isEditable(), std::string(row.name) == "ComComboBox1");
            EXPECT_EQ(LabelsOf(w), expected);
            if (row.kind == kPort) {
                EXPECT_NE(dynamic_cast<TPortComboBox*>(w), nullptr);
            }
            break;
        }
        case kMemo:
            ASSERT_NE(qobject_cast<QPlainTextEdit*>(w), nullptr);
            EXPECT_EQ(LabelsOf(w), expected);
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, PageTableTest, ::testing::ValuesIn(PageTable()), CaseName());

// ---- window, tree and keys --------------------------------------------------------------------

TEST_F(DialogStage, WindowHasItsCaptionButtonsAndTree) {
    TSettingsDialog& f = Open();
    EXPECT_EQ(f.windowTitle(), U("Настройка"));
    EXPECT_EQ(f.bbOk->text(), U("Установить"));
    EXPECT_EQ(f.bbClose->text(), U("Закрыть"));
    for (QPushButton* b : {f.bbOk, f.bbClose}) {
        EXPECT_FALSE(b->isDefault());
        EXPECT_FALSE(b->autoDefault());
    }
    ASSERT_EQ(f.TreeView->topLevelItemCount(), 1);
    QTreeWidgetItem* root = f.TreeView->topLevelItem(0);
    EXPECT_EQ(root->text(0), U("Параметры"));
    QStringList children;
    for (int i = 0; i < root->childCount(); ++i) children << root->child(i)->text(0);
    EXPECT_EQ(children, (QStringList{U("Общие"), U("Шаблон"), U("Правила"), U("Порт"),
                                     U("Рассылка"), U("Сообщения")}));
    EXPECT_EQ(f.Notebook->count(), 7);
    EXPECT_EQ(f.Notebook->widget(0)->objectName(), "Empty");
    EXPECT_FALSE(f.eNameFile->isVisible());
    EXPECT_TRUE(f.eComment->isReadOnly());
}

struct TPageCase {
    const char* name;
    int asked, shown;
};
class SelectPageTest : public DialogStage, public ::testing::WithParamInterface<TPageCase> {};

TEST_P(SelectPageTest, OpensAtThePageAsked) {
    TSettingsDialog& f = Open(GetParam().asked);
    EXPECT_EQ(f.SelectedNodeIndex(), GetParam().shown);
    EXPECT_EQ(f.Notebook->currentIndex(), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Pages, SelectPageTest,
                         ::testing::Values(TPageCase{"BeyondTheLastGivesGeneral", 7, 1},
                                           TPageCase{"NegativeGivesGeneral", -1, 1},
                                           TPageCase{"Root", 0, 0}, TPageCase{"General", 1, 1},
                                           TPageCase{"Port", 4, 4}, TPageCase{"Messages", 6, 6}),
                         CaseName());

TEST_F(DialogStage, ClickingANodeShowsItsPageAndTheRootStaysExpanded) {
    TSettingsDialog& f = Open(1);
    QTreeWidgetItem* root = f.TreeView->topLevelItem(0);
    QTreeWidgetItem* rules = root->child(2);
    QTest::mouseClick(f.TreeView->viewport(), Qt::LeftButton, Qt::NoModifier,
                      f.TreeView->visualItemRect(rules).center());
    EXPECT_EQ(f.Notebook->currentIndex(), 3);

    QTest::mouseClick(f.TreeView->viewport(), Qt::LeftButton, Qt::NoModifier,
                      f.TreeView->visualItemRect(root).center());
    EXPECT_EQ(f.Notebook->currentIndex(), 0);
    f.TreeView->setFocus();
    QTest::keyClick(f.TreeView, Qt::Key_Left);  // asks to collapse the selected root
    QTest::keyClick(f.TreeView, Qt::Key_Minus);
    EXPECT_TRUE(root->isExpanded());
    EXPECT_EQ(f.SelectedNodeIndex(), 0);
}

TEST_F(DialogStage, EnterAndEscapeCloseNothingWhileTheCloseBoxCancels) {
    TSettingsDialog& f = Open(1);
    int finished = 0;
    QObject::connect(&f, &QDialog::finished, [&] { ++finished; });
    for (QWidget* w :
         std::initializer_list<QWidget*>{f.eDBPath, f.sePortSMTP, f.bbOk, f.bbClose, f.TreeView}) {
        w->setFocus();
        QTest::keyClick(w, Qt::Key_Return);
        QTest::keyClick(w, Qt::Key_Enter);
        QTest::keyClick(w, Qt::Key_Escape);
        QApplication::processEvents();
        EXPECT_TRUE(f.isVisible()) << w->objectName().toStdString();
    }
    EXPECT_EQ(finished, 0);
    EXPECT_TRUE(steps_.empty());

    f.close();
    EXPECT_FALSE(f.isVisible());
    EXPECT_EQ(f.result(), QDialog::Rejected);
    EXPECT_TRUE(steps_.empty());
}

// ---- spin boxes and greyed groups -------------------------------------------------------------

TEST_F(DialogStage, SpinBoxesPullValuesIntoTheirRange) {
    mo_.DaysSilenc = 0;
    mo_.NumberOut = 1500;  // a file value above the page's limit stays in the holder
    mo_.PortSMTP = 25;
    mo_.EmptyLen = true;
    mo_.MinEmpty = 7;
    TSettingsDialog& f = Open(3);
    EXPECT_EQ(f.seDaysSilence->text(), "1");
    EXPECT_EQ(f.seNumberOut->text(), "1000");
    EXPECT_EQ(mo_.NumberOut, 1500);

    Retype(f.seMinEmpty, "75");
    Leave();
    EXPECT_EQ(f.seMinEmpty->text(), "59");

    Retype(f.seMinEmpty, "");
    Leave();
    EXPECT_EQ(f.seMinEmpty->text(), "0");

    f.SelectPage(1);
    Retype(f.sePortSMTP, "587");  // the submission port fits
    Leave();
    EXPECT_EQ(f.sePortSMTP->text(), "587");

    Retype(f.sePortSMTP, "655361");  // the sixth digit does not fit
    Leave();
    EXPECT_EQ(f.sePortSMTP->text(), "65535");

    Retype(f.sePortSMTP, "x");  // a letter is refused
    Leave();
    EXPECT_EQ(f.sePortSMTP->text(), "1");
}

TEST_F(DialogStage, ConfirmingStoresTheDaysOfSilenceWithinTheirRange) {
    mo_.DaysSilenc = 0;
    Open(6);
    Click(form_->bbOk);
    EXPECT_EQ(mo_.DaysSilenc, 1);
    EXPECT_EQ(ReadTable().DaysSilenc, 1);
}

struct TGroupCase {
    const char* box;
    std::vector<const char*> group;
    int page;
};
class GroupTest : public DialogStage, public ::testing::WithParamInterface<TGroupCase> {};

bool Greyed(QWidget* w) {
    return !w->isEnabled() && w->palette().color(QPalette::Base) ==
                                  w->parentWidget()->palette().color(QPalette::Window);
}
bool Live(QWidget* w) {
    return w->isEnabled() &&
           w->palette().color(QPalette::Base) == QApplication::palette().color(QPalette::Base);
}

TEST_P(GroupTest, ClearedBoxGreysItsGroupOnOpeningAndOnClicking) {
    Open(GetParam().page);
    auto* box = Find<QCheckBox>(GetParam().box);
    for (const char* name : GetParam().group) EXPECT_TRUE(Greyed(Find<QWidget>(name))) << name;
    Click(box);
    ASSERT_TRUE(box->isChecked());
    for (const char* name : GetParam().group) EXPECT_TRUE(Live(Find<QWidget>(name))) << name;
    Click(box);
    for (const char* name : GetParam().group) EXPECT_TRUE(Greyed(Find<QWidget>(name))) << name;
}

TEST_P(GroupTest, TickedSwitchInTheHolderOpensItsGroupLive) {
    mo_.EmptyLen = mo_.SendMail = mo_.NeedARight = mo_.NeedSilenc = true;
    Open(GetParam().page);
    EXPECT_TRUE(Find<QCheckBox>(GetParam().box)->isChecked());
    for (const char* name : GetParam().group) EXPECT_TRUE(Live(Find<QWidget>(name))) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, GroupTest,
    ::testing::Values(TGroupCase{"cbEmptyLen", {"seMinEmpty"}, 3},
                      TGroupCase{"cbPubSendMail", {"eSubjSendMail", "mMsgFooter"}, 5},
                      TGroupCase{"cbNeedAllRight", {"eSubjAllRight", "mMsgAllRight"}, 6},
                      TGroupCase{
                          "cbNeedSilence", {"eSubjSilence", "mMsgSilence", "seDaysSilence"}, 6}),
    [](const auto& info) { return std::string(info.param.box); });

}  // namespace
