// The settings dialog opened by the main window's commands: at the page asked for, with the
// window's newest log line in the template preview, and the window refitted after confirming.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <functional>

#include "capture/SettingsCommands.h"
#include "config/SettingsDialog.h"
#include "db/CallDatabase.h"
#include "platform/ProgramDir.h"
#include "serial/SerialPort.h"
#include "tests/ui/StationFakes.h"

namespace {

// Runs what on the settings dialog once it is open and modal, from the event loop.
void OnDialog(std::function<void(TSettingsDialog&)> what) {
    auto* poll = new QTimer;
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, [poll, what] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* dlg = dynamic_cast<TSettingsDialog*>(w);
            if (!dlg || !dlg->isVisible()) continue;
            poll->stop();
            poll->deleteLater();
            what(*dlg);
            return;
        }
    });
    poll->start();
}

class FromMainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        for (const char* f : {"tarvick.dat", "tarvick.dbt", "GENERIC24.ATS", "PANA12.ATS"}) {
            ASSERT_TRUE(QFile::copy(QString(TARVICK_SOURCE_DIR "/data/") + f, dir_.filePath(f)));
            QFile(dir_.filePath(f))
                .setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        }
        platform::SetProgramDir(dir_.path().toStdString() + "/");
        form_ = std::make_unique<TMainWindow>(port_, db_, LoadHolder);
        ASSERT_NE(form_->Recorder(), nullptr);
        ASSERT_TRUE(form_->Recorder()->ConfigLoaded);
        UseSettingsDialog(*form_, com_);
        form_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
    }
    void TearDown() override { form_.reset(); }

    QTemporaryDir dir_;
    TCallDatabase dm_;
    TTestPort port_;
    TTestDatabase db_;
    TSerialPort com_;
    std::unique_ptr<TMainWindow> form_;
};

TEST_F(FromMainWindow, EachMenuEntryOpensItsPageAndTheButtonReopensTheLastOne) {
    for (int entry = 0; entry < 6; ++entry) {
        int shown = -1;
        OnDialog([&](TSettingsDialog& dlg) {
            shown = dlg.Notebook->currentIndex();
            dlg.bbClose->click();
        });
        form_->N9_14[entry]->trigger();
        EXPECT_EQ(shown, entry + 1);
        EXPECT_EQ(form_->SettingsPage, entry + 1);
    }
    int shown = -1;
    OnDialog([&](TSettingsDialog& dlg) {
        shown = dlg.Notebook->currentIndex();
        dlg.bbClose->click();
    });
    form_->btnSet->click();
    EXPECT_EQ(shown, 6);
}

TEST_F(FromMainWindow, PreviewShowsTheNewestLineOfTheLog) {
    form_->btnGoClick();
    port_.Waiting =
        "06/12/26 14:00:01 02 201 00:01:05 84951\r\n06/12/26 14:00:09 02 205 00:00:30 7\r\n";
    form_->ComPortRxChar(static_cast<int>(port_.Waiting.size()));
    form_->mStop->trigger();
    std::string last;
    OnDialog([&](TSettingsDialog& dlg) {
        last = dlg.LastLine();
        dlg.bbClose->click();
    });
    form_->N9_14[1]->trigger();
    EXPECT_EQ(last, "06/12/26 14:00:09 02 205 00:00:30 7");
}

TEST_F(FromMainWindow, ConfirmingStoresTheSettingsAndRefitsTheWindow) {
    const bool before = form_->Recorder()->ShowBuffer;
    const int heightBefore = form_->frameGeometry().height();
    OnDialog([&](TSettingsDialog& dlg) {
        QCheckBox* box = dlg.findChild<QCheckBox*>("cbShowBuffer");
        ASSERT_NE(box, nullptr);
        box->click();
        dlg.bbOk->click();
    });
    form_->N9_14[0]->trigger();
    QApplication::processEvents();
    EXPECT_EQ(form_->Recorder()->ShowBuffer, !before);
    EXPECT_EQ(form_->frameGeometry().height(), before ? 118 : 228);
    EXPECT_NE(form_->frameGeometry().height(), heightBefore);
    // Stored in the program directory's table: a fresh holder reads it back.
    EXPECT_EQ(LoadHolder()->ShowBuffer, !before);
    EXPECT_TRUE(QFile::exists(dir_.filePath("comport.ini")));
}

}  // namespace
