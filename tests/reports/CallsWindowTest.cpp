// The calls window under the offscreen platform, on a database of generated calls, opened from
// the main window while it captures.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateEdit>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QThread>
#include <QToolButton>
#include <fstream>
#include <sstream>

#include "GeneratedCalls.h"
#include "platform/CodePage.h"
#include "station/CallsWindow.h"
#include "station/MainWindow.h"
#include "tests/common/TempDir.h"
#include "tests/station/StationFakes.h"

namespace {

bool WaitIdle(TCallsWindow& w) {
    QElapsedTimer t;
    t.start();
    // Sleeping between passes leaves the processor to the report thread, which gets only what
    // nobody else wants.
    while (w.Busy() && t.elapsed() < 30000) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    QApplication::processEvents();
    return !w.Busy();
}

class CallsWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        fresh_ = new TFreshDatabase;
        ASSERT_TRUE(fresh_->Created());
        calls_ = new std::vector<TGenCall>(MakeCalls(700, 10));
        TCallDatabase db;
        db.Connect(fresh_->Path());
        InsertCalls(db, *calls_, false);
    }
    static void TearDownTestSuite() {
        delete calls_;
        delete fresh_;
    }
    // The first ten days of March 2026 shown, with the extensions typed.
    void Show(TCallsWindow& w, const QString& extensions = {}) {
        ASSERT_TRUE(WaitIdle(w));
        w.deFrom->setDate(QDate(2026, 3, 1));
        w.deTo->setDate(QDate(2026, 3, 10));
        w.eExtensions->setText(extensions);
        w.btnShow->click();
        ASSERT_TRUE(WaitIdle(w)) << w.lTotals->text().toStdString();
    }
    static int64_t Count(const std::vector<int32_t>& extensions = {}) {
        TReportFilter f;
        f.Period = TReportPeriod::Days(Day(2026, 3, 1), Day(2026, 3, 10));
        f.Extensions = extensions;
        return std::count_if(calls_->begin(), calls_->end(),
                             [&](const TGenCall& c) { return Keeps(f, c); });
    }

    static TFreshDatabase* fresh_;
    static std::vector<TGenCall>* calls_;
};
TFreshDatabase* CallsWindowTest::fresh_ = nullptr;
std::vector<TGenCall>* CallsWindowTest::calls_ = nullptr;

TEST_F(CallsWindowTest, ShowsAPageTheTotalsEverySummaryAndTheCharts) {
    TCallsWindow w(fresh_->Path());
    w.show();
    Show(w, "201, 203");
    const int64_t count = Count({201, 203});
    EXPECT_EQ(w.gCalls->rowCount(), std::min<int64_t>(count, 100));
    EXPECT_TRUE(w.lTotals->text().startsWith(QString::fromUtf8("Звонков: %1 ").arg(count)))
        << w.lTotals->text().toStdString();
    // Two extensions and the totals row.
    EXPECT_EQ(w.gSummary[0]->rowCount(), 3);
    EXPECT_EQ(w.gSummary[0]->item(2, 2)->text(), QString::number(count));
    EXPECT_EQ(w.gSummary[1]->rowCount(), 11);  // ten days and the totals
    EXPECT_EQ(w.chDays->chart()->series().size(), 1);
    EXPECT_EQ(w.chHours->chart()->series().size(), 1);
    EXPECT_EQ(w.Tabs->count(), 8);
}

TEST_F(CallsWindowTest, MoreBringsTheNextPageUntilTheLast) {
    TCallsWindow w(fresh_->Path());
    Show(w);
    const int64_t count = Count();
    ASSERT_GT(count, 300);
    while (w.btnMore->isEnabled()) {
        w.btnMore->click();
        ASSERT_TRUE(WaitIdle(w));
    }
    EXPECT_EQ(w.gCalls->rowCount(), count);
}

TEST_F(CallsWindowTest, WrongExtensionsAreSaidAndNothingIsAsked) {
    TCallsWindow w(fresh_->Path());
    Show(w, "201,x");
    EXPECT_EQ(w.lTotals->text(), QString::fromUtf8("Абоненты: номера через запятую"));
}

TEST_F(CallsWindowTest, ExportsTheWholeListAndTheShownSummary) {
    TempDir dir;
    TCallsWindow w(fresh_->Path());
    Show(w, "202");
    QString asked;
    w.AskFileName = [&](const QString& proposed, const QString&) {
        asked = proposed;
        return QString::fromStdString(dir.file(proposed.toStdString()));
    };
    w.Tabs->setCurrentIndex(0);
    w.Export("csv1251");
    ASSERT_TRUE(WaitIdle(w));
    EXPECT_EQ(asked, "calls_2026-03-01_2026-03-10.csv");
    std::ifstream in(dir.file(asked.toStdString()), std::ios::binary);
    std::string line;
    int lines = 0;
    std::getline(in, line);
    EXPECT_EQ(line.substr(0, 13), "\xc4\xe0\xf2\xe0 \xe8 \xe2\xf0\xe5\xec\xff;");  // Дата и время;
    while (std::getline(in, line)) ++lines;
    EXPECT_EQ(lines, Count({202}));

    w.Tabs->setCurrentIndex(1);
    w.Export("xlsx");
    ASSERT_TRUE(WaitIdle(w));
    EXPECT_EQ(asked, "extension_2026-03-01_2026-03-10.xlsx");
    EXPECT_GT(std::filesystem::file_size(dir.file(asked.toStdString())), 1000u);
}

// The window runs its reports on its own connection: lines received meanwhile are stored at once.
TEST_F(CallsWindowTest, OpensFromTheMainWindowAndCaptureGoesOn) {
    int stored = 0;
    TTestPort port;
    TTestDatabase db;
    SetMessageBoxHook([](QWidget*, const QString&) {});
    auto form = std::make_unique<TMainWindow>(port, db, HolderWith({.Stored = &stored}));
    port.Control = &form->Control();
    TMainWindow* f = form.get();
    port.OnOpen = [f] { f->ComPortOpen(); };
    port.OnClose = [f] { f->ComPortClose(); };
    form->Recorder()->DBPath = fresh_->Path();
    form->show();
    form->btnGoClick();
    ASSERT_TRUE(port.Connected());

    form->btnCalls->click();
    ASSERT_NE(form->CallsWindow(), nullptr);
    EXPECT_TRUE(form->CallsWindow()->isVisible());
    TCallsWindow* calls = form->CallsWindow();
    form->mCalls->trigger();
    EXPECT_EQ(form->CallsWindow(), calls);  // the same window again

    calls->deFrom->setDate(QDate(2026, 3, 1));
    calls->btnShow->click();
    for (int i = 1; i <= 20; ++i) {
        port.Waiting += "12/04/26 09:02:11 01 201 00:02:15 " + std::to_string(1000 + i) + "\r\n";
        form->ComPortRxChar(static_cast<int>(port.Waiting.size()));
    }
    EXPECT_EQ(stored, 20);
    EXPECT_TRUE(port.Connected());
    ASSERT_TRUE(WaitIdle(*calls));
    form.reset();
    SetMessageBoxHook(nullptr);
}

}  // namespace
