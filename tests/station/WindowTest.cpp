// The main window under the offscreen platform, driven through a test port.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QMenu>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QSystemTrayIcon>
#include <QTextBlock>
#include <QTimer>
#include <QToolButton>

#include "../common/TempDir.h"
#include "station/MainWindow.h"
#include "common/DateTime.h"
#include "tests/common/CaseName.h"
#include "tests/station/StationFakes.h"

namespace {

void Settle() {
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

struct Window {
    explicit Window(THolderSetup setup = {}) {
        SetMessageBoxHook([this](QWidget*, const QString& text) { Messages << text; });
        SetTrayAvailableHook([this] { return TrayAvailable; });
        Form = std::make_unique<TMainWindow>(Port, Db, HolderWith(setup));
        Port.Control = &Form->Control();
        TMainWindow* f = Form.get();
        Port.OnOpen = [f] { f->ComPortOpen(); };
        Port.OnClose = [f] { f->ComPortClose(); };
    }
    ~Window() {
        Form.reset();
        SetMessageBoxHook(nullptr);
        SetSaveFileHook(nullptr);
        SetTrayAvailableHook(nullptr);
    }
    void Receive(const std::string& bytes) {
        Port.Waiting += bytes;
        Form->ComPortRxChar(static_cast<int>(Port.Waiting.size()));
    }
    QStringList LogLines() const { return Form->mLog->toPlainText().split('\n'); }

    TTestPort Port;
    TTestDatabase Db;
    QStringList Messages;
    bool TrayAvailable = true;  // the desktop's notification area
    std::unique_ptr<TMainWindow> Form;
};

std::string Line(int n) {
    return "12/04/26 09:02:11 01 201 00:02:15 " + std::to_string(1000 + n);
}

class HeightTest : public ::testing::TestWithParam<bool> {};

TEST_P(HeightTest, OuterHeightAndLogFollowShowBuffer) {
    Window w({.ShowBuffer = GetParam()});
    w.Form->show();
    Settle();
    const int expected = GetParam() ? 228 : 118;
    EXPECT_EQ(w.Form->frameGeometry().height(), expected);
    EXPECT_EQ(w.Form->mLog->isVisible(), GetParam());
    const TRect& area = w.Form->Recorder()->WorkArea;
    EXPECT_GT(area.Bottom, 0);
    EXPECT_EQ(w.Form->frameGeometry().top(), (area.Bottom - expected) / 2);
    EXPECT_EQ(w.Form->windowTitle(), QString::fromUtf8("Статистика звонков."));
}

INSTANTIATE_TEST_SUITE_P(ShowBuffer, HeightTest, ::testing::Bool(), [](const auto& info) {
    return info.param ? "BufferShown" : "BufferHidden";
});

TEST(MainWindow, ComponentsCarryTheirCaptionsAndHints) {
    Window w;
    struct {
        const char* name;
        const char* caption;
        const char* hint;
    } buttons[] = {{"btnGo", "Начать", "Начать запись"},
                   {"btnSet", "Настройка", "Настройка"},
                   {"btnHide", "Скрыть", "Фоновый режим"},
                   {"sbExit", "Выход", "Выход"}};
    for (const auto& b : buttons) {
        auto* button = w.Form->findChild<QToolButton*>(b.name);
        ASSERT_NE(button, nullptr) << b.name;
        EXPECT_EQ(button->text(), QString::fromUtf8(b.caption));
        EXPECT_EQ(button->toolTip(), QString::fromUtf8(b.hint));
    }
    EXPECT_FALSE(w.Form->mStop->isEnabled());
    EXPECT_EQ(w.Form->N5->text(), QString::fromUtf8("Выход       Alt+F4"));
    EXPECT_FALSE(w.Form->Timer->isActive());
    EXPECT_EQ(w.Form->Timer->interval(), 1000);
    EXPECT_TRUE(w.Form->mLog->font().bold());
}

TEST(MainWindow, The251stLineRemovesTheOldestAndTheNewestIsOnTop) {
    Window w;
    w.Form->btnGoClick();
    for (int i = 1; i <= 251; ++i) w.Receive(Line(i) + "\r\n");
    const QStringList lines = w.LogLines();
    ASSERT_EQ(lines.size(), 250);
    EXPECT_EQ(lines.front().toStdString(), Line(251));
    EXPECT_EQ(lines.back().toStdString(), Line(2));
    EXPECT_EQ(w.Form->LogCount, 250);
    w.Form->N8->trigger();
    EXPECT_EQ(w.Form->mLog->toPlainText(), QString());
    w.Receive("\r");  // an empty line after a clear is still one line
    w.Receive(Line(7) + "\r");
    EXPECT_EQ(w.LogLines(), (QStringList{QString::fromStdString(Line(7)), QString()}));
}

TEST(MainWindow, StationEventsStandOutInTheLogWithTheirTimeAndNoBox) {
    TDateTime day = 0, time = 0;
    ASSERT_TRUE(TryEncodeDate(2026, 12, 9, day) && TryEncodeTime(7, 5, 3, 0, time));
    SetClock([at = day + time] { return at; });
    Window w;
    w.Form->btnGoClick();
    w.Receive(Line(1) + "\r");
    w.Form->Control().LogEvent("\xe1\xe0\xe7\xe0 \xed\xe5\xe4\xee\xf1\xf2\xf3\xef\xed\xe0");
    SetClock(nullptr);
    EXPECT_EQ(w.LogLines(),
              (QStringList{QString::fromUtf8("*** 09.12.2026 07:05:03 база недоступна"),
                           QString::fromStdString(Line(1))}));
    EXPECT_TRUE(w.Messages.isEmpty());
}

TEST(MainWindow, UnreachableDatabaseShowsTheMessageOnceAndLogsTheLines) {
    Window w({.SendMail = true});
    w.Db.Reachable = false;
    w.Form->btnGo->click();
    ASSERT_EQ(w.Messages, QStringList{QString::fromUtf8("Невозможно открыть базу данных !")});
    EXPECT_TRUE(w.Port.Connected());
    EXPECT_FALSE(w.Form->Timer->isActive());
    EXPECT_EQ(w.Form->btnGo->text(), QString::fromUtf8("Остановить"));
    w.Receive(Line(1) + "\r\n" + Line(2) + "\r\n");
    EXPECT_EQ(w.LogLines(),
              (QStringList{QString::fromStdString(Line(2)), QString::fromStdString(Line(1))}));
    EXPECT_EQ(w.Messages.size(), 1);
}

TEST(MainWindow, AutoRunAndHideRunActOnTheFirstActivationOnly) {
    Window w({.AutoRun = true, .HideRun = true});
    w.Form->show();
    Settle();
    EXPECT_TRUE(w.Port.Connected());
    EXPECT_FALSE(w.Form->isVisible());
    EXPECT_TRUE(w.Form->Tray->isVisible());
    w.Form->SysCommand(QSystemTrayIcon::Trigger);  // a left click on the icon
    Settle();
    EXPECT_TRUE(w.Form->isVisible());
    EXPECT_FALSE(w.Form->Tray->isVisible());
    EXPECT_TRUE(w.Port.Connected());
    EXPECT_EQ(w.Port.Opens, 1);
}

// A window hidden where the desktop has no notification area could never be brought back.
TEST(MainWindow, WithoutANotificationAreaHidingMinimisesAndSaysWhyOnce) {
    Window w({.HideRun = true});
    w.TrayAvailable = false;
    w.Form->show();
    Settle();
    EXPECT_TRUE(w.Form->isVisible());
    EXPECT_TRUE(w.Form->isMinimized());
    EXPECT_FALSE(w.Form->Tray->isVisible());
    w.Form->showNormal();
    Settle();
    w.Form->btnHide->click();
    Settle();
    EXPECT_TRUE(w.Form->isVisible());
    EXPECT_TRUE(w.Form->isMinimized());
    const QStringList events = w.LogLines().filter(QRegularExpression("^\\*\\*\\* "));
    ASSERT_EQ(events.size(), 1) << w.LogLines().join('|').toStdString();
    EXPECT_TRUE(events[0].contains(QString::fromUtf8("области уведомлений")))
        << events[0].toStdString();
    EXPECT_TRUE(w.Messages.isEmpty());
}

TEST(MainWindow, FailedConfigurationDisablesTheButtonButAutoRunStillStarts) {
    Window w({.Loaded = false, .AutoRun = true});
    EXPECT_EQ(w.Messages, QStringList{QString::fromUtf8("Невозможно прочитать шаблон!")});
    EXPECT_FALSE(w.Form->btnGo->isEnabled());
    EXPECT_TRUE(w.Form->mStart->isEnabled());
    w.Form->show();
    Settle();
    EXPECT_TRUE(w.Port.Connected());
}

TEST(MainWindow, SettingsAreUnavailableWhileCapturingAndReopenAtTheLastPage) {
    Window w;
    std::vector<int> opened;
    w.Form->SettingsDialog = [&](TMainWindow&, int page, int& selected) {
        opened.push_back(page);
        selected = 4;
        return true;
    };
    w.Form->btnGoClick();
    EXPECT_FALSE(w.Form->btnSet->isEnabled());
    EXPECT_FALSE(w.Form->mSet->isEnabled());
    w.Form->mStop->trigger();
    EXPECT_TRUE(w.Form->btnSet->isEnabled());
    EXPECT_TRUE(w.Form->mSet->isEnabled());
    EXPECT_EQ(w.Form->btnGo->text(), QString::fromUtf8("Начать"));
    w.Form->N9_14[1]->trigger();
    w.Form->btnSet->click();
    EXPECT_EQ(opened, (std::vector<int>{2, 4}));
}

struct SaveCase {
    const char* name;
    const char* chosen;
    const char* written;
};

class SaveLogTest : public ::testing::TestWithParam<SaveCase> {};

TEST_P(SaveLogTest, NameProposedAndExtensionAdded) {
    TempDir dir;
    TDateTime day = 0;
    ASSERT_TRUE(TryEncodeDate(2026, 2, 1, day));
    SetClock([day] { return day; });
    Window w;
    QString proposed;
    SetSaveFileHook([&](QWidget*, const QString&, const QString& name) {
        proposed = name;
        return QString::fromStdString(dir.file(GetParam().chosen));
    });
    w.Form->btnGoClick();
    w.Receive(Line(1) + "\r" + Line(2) + "\r");
    w.Form->N3->trigger();
    SetClock(nullptr);
    EXPECT_EQ(proposed, "Buffer_01_02_2026");
    EXPECT_EQ(ReadBytes(dir.file(GetParam().written)), Line(2) + "\r\n" + Line(1) + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(Names, SaveLogTest,
                         ::testing::Values(SaveCase{"NoExtension", "Buffer_01_02_2026",
                                                    "Buffer_01_02_2026.txt"},
                                           SaveCase{"OwnExtension", "calls.log", "calls.log"}),
                         CaseName());

TEST(MainWindow, SavingToAnUnwritablePlaceIsIgnored) {
    Window w;
    SetSaveFileHook(
        [](QWidget*, const QString&, const QString&) { return QString("/nonexistent-dir/x.txt"); });
    w.Form->N3->trigger();
    EXPECT_TRUE(w.Messages.isEmpty());
}

TEST(MainWindow, TrayMenuHoldsOneExitThatEndsTheProgram) {
    Window w;
    w.Form->show();
    w.Form->btnGoClick();
    w.Form->btnHideClick();
    ASSERT_EQ(w.Form->PopupMenu->actions().size(), 1);
    EXPECT_EQ(w.Form->PopupMenu->actions()[0]->text(), QString::fromUtf8("Выход"));
    EXPECT_EQ(w.Form->Tray->contextMenu(), w.Form->PopupMenu);
    w.Form->N2->trigger();
    Settle();
    EXPECT_FALSE(w.Form->isVisible());
    EXPECT_FALSE(w.Form->Tray->isVisible());
    EXPECT_FALSE(w.Port.Connected());
    EXPECT_EQ(w.Form->Recorder(), nullptr);
}

// Clicks served while the log keeper processes messages in the middle of a burst.
class BurstClickTest : public ::testing::TestWithParam<bool> {};

TEST_P(BurstClickTest, StopOrExitWaitsForTheReceiveHandler) {
    int stored = 0;
    Window w({.Stored = &stored});
    w.Form->show();
    w.Form->btnGoClick();
    const bool exit = GetParam();
    QTimer::singleShot(0, w.Form.get(), [&] {
        if (exit)
            w.Form->sbExit->click();
        else
            w.Form->btnGo->click();
    });
    std::string burst;
    for (int i = 1; i <= 40; ++i) burst += Line(i) + "\r\n";
    w.Receive(burst);
    EXPECT_EQ(w.Form->LogCount, 40);
    EXPECT_EQ(stored, 40);
    Settle();
    EXPECT_FALSE(w.Port.Connected());
    EXPECT_EQ(w.Port.ClosesInsideReceive, 0);
    EXPECT_EQ(w.Form->isVisible(), !exit);
    EXPECT_EQ(w.Form->Recorder() == nullptr, exit);
}

INSTANTIATE_TEST_SUITE_P(Clicks, BurstClickTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Exit" : "Stop"; });

TEST(MainWindow, AnErrorFromAHandlerIsReportedNotThrown) {
    Window w;
    w.Port.FailOpen = true;
    w.Form->btnGo->click();
    EXPECT_EQ(w.Messages, QStringList{"Unable to open com port"});
    EXPECT_EQ(w.Form->btnGo->text(), QString::fromUtf8("Начать"));
    EXPECT_TRUE(w.Form->Recorder()->DBConnected);
}

}  // namespace

namespace {

// A settings dialog asked for while the daily run waits for its mail server, with the port
// closed, would change the port under the run: it opens once the run has finished.
TEST(MainWindow, SettingsChosenDuringTheDailyRunOpenAfterIt) {
    Window w;
    std::vector<std::string> order;
    w.Form->SettingsDialog = [&](TMainWindow&, int, int&) {
        order.push_back("dialog");
        return false;
    };
    w.Form->DailyRun = [&] {
        order.push_back("run starts");
        w.Port.Close();
        w.Form->OpenSettings(2);
        Settle();  // the mail client's waits serve the event loop
        order.push_back("run ends");
        w.Port.Open();
    };
    w.Form->btnGoClick();
    w.Form->TimerTimer();
    Settle();
    EXPECT_EQ(order, (std::vector<std::string>{"run starts", "run ends", "dialog"}));
}

}  // namespace

namespace {

// A stop request while a dialog is open cancels the dialog and then closes the window for good.
TEST(MainWindow, StopRequestCancelsAnOpenDialogThenExits) {
    Window w;
    w.Form->show();
    Settle();
    int result = -1;
    w.Form->SettingsDialog = [&](TMainWindow& f, int, int&) {
        QDialog dlg(&f);
        QTimer::singleShot(20, &f, [&f] { f.StopRequested(); });
        result = dlg.exec();
        return result == QDialog::Accepted;
    };
    w.Form->btnSet->click();
    Settle();
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_TRUE(w.Form->Control().ShutDown());
    EXPECT_FALSE(w.Form->isVisible());
}

}  // namespace
