#pragma once
// A program directory with the shipped settings table and templates, a holder and a port, and a
// settings dialog driven through its controls; message boxes are answered as they open.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "capture/Recorder.h"
#include "config/SettingsDialog.h"
#include "config/SettingsTable.h"
#include "platform/CodePage.h"
#include "serial/PortControls.h"
#include "serial/SerialPort.h"
#include "station/SettingsCommands.h"

inline QString U(const char* utf8) {
    return QString::fromUtf8(utf8);
}
inline std::string A(const char* utf8) {
    return platform::Utf8ToAnsi(utf8);
}

// Clicks a button of every message box that opens, in the order the answers were queued; a box
// with no answer left is closed with its escape button and still recorded.
class TBoxAnswerer {
public:
    TBoxAnswerer() {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
        timer_.start();
    }
    void Answer(QMessageBox::StandardButton button) { answers_.push_back(button); }
    const std::vector<QString>& Texts() const { return texts_; }
    int Unanswered() const { return unanswered_; }

private:
    void Poll() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible() || box->property("answered").toBool()) continue;
            box->setProperty("answered", true);
            texts_.push_back(box->text());
            QAbstractButton* b = nullptr;
            if (!answers_.empty()) {
                b = box->button(answers_.front());
                answers_.pop_front();
            } else {
                ++unanswered_;
            }
            if (!b) b = box->escapeButton() ? box->escapeButton() : box->buttons().value(0);
            QMetaObject::invokeMethod(b, "click", Qt::QueuedConnection);
        }
    }
    QTimer timer_;
    std::deque<QMessageBox::StandardButton> answers_;
    std::vector<QString> texts_;
    int unanswered_ = 0;
};

class DialogStage : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        for (const char* f : {"tarvick.dat", "tarvick.dbt", "GENERIC24.ATS", "PANA12.ATS"})
            ASSERT_TRUE(QFile::copy(QString(TARVICK_SOURCE_DIR "/data/") + f, Path(f)));
        for (const char* f : {"tarvick.dat", "tarvick.dbt"})
            QFile(Path(f)).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        mo_.ProgramDir = Dir();
        mo_.Template = "GENERIC24.ATS";
        ASSERT_TRUE(mo_.LoadTemplate());
        table_.SetTableName("tarvick.dat");
        table_.SetUseFloatFields(false);
        // What the holder learns of the table when the station loads its settings.
        TSettings loaded;
        ReadSettingsTable(table_, mo_.ProgramDir, loaded, &mo_.TextWidths);
    }

    void TearDown() override {
        EXPECT_EQ(boxes_.Unanswered(), 0)
            << "a message box nobody expected: " << boxes_.Texts().back().toStdString();
    }

    std::string Dir() const { return dir_.path().toStdString() + "/"; }
    QString Path(const char* name) const { return dir_.filePath(name); }
    bool Exists(const char* name) const { return QFile::exists(Path(name)); }
    QByteArray Contents(const char* name) const {
        QFile f(Path(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    // The dialog as the main window makes it; the settings table is written through the table
    // engine into the program directory, as the holder's own save does.
    TSettingsDialog& Open(int page = 1) {
        form_ = std::make_unique<TSettingsDialog>(mo_, port_);
        BindRecorder(*form_, mo_, [this] { steps_.push_back("disconnect"); });
        form_->OnSaveSettings = [this] {
            steps_.push_back(Exists("comport.ini") ? "table after ini" : "table");
            WriteSettingsTable(table_, mo_.ProgramDir, mo_);
        };
        form_->SelectPage(page);
        form_->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
        form_->activateWindow();
        QApplication::processEvents();
        return *form_;
    }

    template <typename W>
    W* Find(const char* name) {
        W* w = form_->findChild<W*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }

    // The label texts that name a control (its caption and, for spin boxes, its unit).
    QStringList LabelsOf(QWidget* w) {
        QStringList texts;
        for (QLabel* l : form_->findChildren<QLabel*>())
            if (l->buddy() == w) texts << l->text();
        return texts;
    }

    // The notebook page a control sits on.
    int PageOf(QWidget* w) {
        for (int i = 0; i < form_->Notebook->count(); ++i)
            if (form_->Notebook->widget(i)->isAncestorOf(w)) return i;
        return -1;
    }

    void Click(QWidget* w) {
        QApplication::processEvents();  // a page just shown lays itself out first
        // A check box answers only over its box and text, which may be narrower than it is.
        const QPoint at =
            qobject_cast<QCheckBox*>(w) ? QPoint(8, w->height() / 2) : w->rect().center();
        QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, at);
        QApplication::processEvents();
    }
    // Replaces a field's text by typing, as a user does.
    void Retype(QWidget* w, const QString& text) {
        w->setFocus();
        if (qobject_cast<QPlainTextEdit*>(w)) {
            QTest::keyClick(w, Qt::Key_A, Qt::ControlModifier);
        } else {  // the template name field takes no Ctrl keys
            QTest::keyClick(w, Qt::Key_End);
            QTest::keyClick(w, Qt::Key_Home, Qt::ShiftModifier);
        }
        QTest::keyClick(w, Qt::Key_Backspace);
        Type(w, text);
    }
    // Types each character as a key press with its text (the test library spells only ASCII).
    static void Type(QWidget* w, const QString& text) {
        for (QChar ch : text) {
            if (ch.unicode() < 128) {
                QTest::keyClick(w, ch.toLatin1());
                continue;
            }
            const int key = ch.toUpper().unicode();
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(ch));
            QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, QString(ch));
            QApplication::sendEvent(w, &press);
            QApplication::sendEvent(w, &release);
        }
    }
    // Leaves the focused field for the tree.
    void Leave() {
        form_->TreeView->setFocus();
        QApplication::processEvents();
    }
    TSettings ReadTable() {
        TSettings s;
        ReadSettingsTable(table_, mo_.ProgramDir, s);
        return s;
    }
    // Chooses an item of a drop-down list by its text with the keyboard.
    void Choose(QComboBox* box, const QString& text) {
        const int target = box->findText(text);
        ASSERT_GE(target, 0) << text.toStdString();
        box->setFocus();
        while (box->currentIndex() != target) {
            const int before = box->currentIndex();
            QTest::keyClick(box, box->currentIndex() < target ? Qt::Key_Down : Qt::Key_Up);
            ASSERT_NE(before, box->currentIndex());
        }
    }

    QTemporaryDir dir_;
    TRecorder mo_;
    TSerialPort port_;
    TDbfTable table_;
    std::unique_ptr<TSettingsDialog> form_;
    TBoxAnswerer boxes_;
    std::vector<std::string> steps_;
};
