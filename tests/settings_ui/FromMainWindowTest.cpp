// The settings dialog opened by the main window's commands: at the page asked for, with the
// window's newest log line in the template preview, and the window refitted after confirming.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <functional>

#include "station/SettingsCommands.h"
#include "config/SettingsDialog.h"
#include "db/CallDatabase.h"
#include "platform/ProgramDir.h"
#include "serial/SerialPort.h"
#include "tests/station/StationFakes.h"

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

// Narrows the character field at index to width in a table of the shipped layout (32-byte
// header and descriptors), cutting the field's bytes out of every record.
void NarrowField(const QString& path, int index, int width) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    QByteArray b = f.readAll();
    auto u16 = [&](int at) { return uint8_t(b[at]) | uint8_t(b[at + 1]) << 8; };
    const int header = u16(8), record = u16(10);
    int offset = 1;
    for (int i = 0; i < index; ++i) offset += uint8_t(b[32 + 32 * i + 16]);
    const int cut = uint8_t(b[32 + 32 * index + 16]) - width;
    ASSERT_GT(cut, 0);
    b[32 + 32 * index + 16] = char(width);
    b[10] = char((record - cut) & 0xFF);
    b[11] = char((record - cut) >> 8);
    for (int at = header + (b.size() - 1 - header) / record * record; at > header; at -= record)
        b.remove(at - record + offset + width, cut);
    f.resize(0);
    f.write(b);
}

// A text longer than its table field would be cut when saved, and the running station and
// the next start would disagree: each edit box takes no more than its field holds.
TEST_F(FromMainWindow, EditBoxesTakeNoMoreThanTheirTableFieldsHold) {
    form_.reset();
    const QString table = dir_.filePath("tarvick.dat");
    NarrowField(table, 13, 20);  // SubjSendM
    NarrowField(table, 3, 30);   // FromSMTP
    NarrowField(table, 2, 25);   // AddrSMTP
    NarrowField(table, 1, 40);   // DBPath
    form_ = std::make_unique<TMainWindow>(port_, db_, LoadHolder);
    ASSERT_TRUE(form_->Recorder()->ConfigLoaded);
    UseSettingsDialog(*form_, com_);
    form_->Recorder()->SendMail = true;
    const std::vector<std::pair<const char*, int>> edits = {{"eDBPath", 40},
                                                            {"eAddrSMTP", 25},
                                                            {"eFromSMTP", 30},
                                                            {"eSubjSendMail", 20},
                                                            {"eMsgAddress", 50}};
    std::vector<int> lengths;
    OnDialog([&](TSettingsDialog& dlg) {
        for (const auto& [name, width] : edits) {
            auto* e = dlg.findChild<QLineEdit*>(name);
            ASSERT_NE(e, nullptr) << name;
            e->setFocus();
            QTest::keyClicks(e, QString(80, 'x'));
            lengths.push_back(static_cast<int>(e->text().size()));
        }
        dlg.bbOk->click();
    });
    form_->N9_14[0]->trigger();
    QApplication::processEvents();
    EXPECT_EQ(lengths, (std::vector<int>{40, 25, 30, 20, 50}));
    const TRecorder& running = *form_->Recorder();
    const auto next = LoadHolder();
    ASSERT_TRUE(next->ConfigLoaded);
    EXPECT_EQ(next->DBPath, running.DBPath);
    EXPECT_EQ(next->AddrSMTP, running.AddrSMTP);
    EXPECT_EQ(next->FromSMTP, running.FromSMTP);
    EXPECT_EQ(next->SubjSendM, running.SubjSendM);
    EXPECT_EQ(next->DBPath, std::string(40, 'x'));
}

}  // namespace
