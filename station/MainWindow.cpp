#include "station/MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "common/DateTime.h"
#include "platform/MessageLoop.h"
#include "platform/QtText.h"
#include "ui/AboutDialog.h"
#include "ui/WhatsNewDialog.h"

namespace {

TMessageBoxHook gMessageHook;
TSaveFileHook gSaveFileHook;
TTrayAvailableHook gTrayHook;

bool TrayAvailable() {
    return gTrayHook ? gTrayHook() : QSystemTrayIcon::isSystemTrayAvailable();
}

QString U(const char* utf8) {
    return QString::fromUtf8(utf8);
}

using platform::FromAnsi;
using platform::ToAnsi;

const char kCaption[] = "Статистика звонков.";
constexpr int kLogLines = 250;
constexpr int kHeightWithLog = 228;
constexpr int kHeightWithoutLog = 118;
constexpr int kWidth = 440;

QToolButton* FlatButton(const char* name, const char* caption, const char* hint, QWidget* parent) {
    auto* b = new QToolButton(parent);
    b->setObjectName(name);
    b->setText(U(caption));
    b->setToolTip(U(hint));
    b->setAutoRaise(true);
    b->setToolButtonStyle(Qt::ToolButtonTextOnly);
    b->setMinimumWidth(90);
    return b;
}

QAction* Item(QMenu* menu, const char* name, const char* caption) {
    QAction* a = menu->addAction(U(caption));
    a->setObjectName(name);
    return a;
}

}  // namespace

void SetMessageBoxHook(TMessageBoxHook hook) {
    gMessageHook = std::move(hook);
}

void ShowMessage(QWidget* parent, const QString& text) {
    if (gMessageHook) {
        gMessageHook(parent, text);
        return;
    }
    QMessageBox::information(parent, QGuiApplication::applicationDisplayName(), text);
}

void ReportError(QWidget* parent, const std::exception& e) {
    ShowMessage(parent, FromAnsi(e.what()));
}

void Guarded(QWidget* parent, const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        ReportError(parent, e);
    } catch (...) {
        ShowMessage(parent, U("Unknown error"));
    }
}

void SetSaveFileHook(TSaveFileHook hook) {
    gSaveFileHook = std::move(hook);
}

void SetTrayAvailableHook(TTrayAvailableHook hook) {
    gTrayHook = std::move(hook);
}

QPixmap TrayPicture(bool portOpen) {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor body = portOpen ? QColor(30, 160, 60) : QColor(150, 150, 150);
    p.setPen(QPen(Qt::black, 2));
    p.setBrush(body);
    p.drawEllipse(2, 2, 28, 28);
    // A handset: two ear pieces joined by a bar.
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRoundedRect(8, 10, 16, 4, 2, 2);
    p.drawRoundedRect(7, 13, 6, 8, 2, 2);
    p.drawRoundedRect(19, 13, 6, 8, 2, 2);
    if (!portOpen) {
        p.setPen(QPen(QColor(200, 0, 0), 3));
        p.drawLine(7, 25, 25, 7);
    }
    return pm;
}

TMainWindow::TMainWindow(TCapturePort& port, TCaptureDatabase& db, THolderFactory makeHolder,
                         QWidget* parent)
    : QMainWindow(parent), Port(port), Control_(port, db, *this, std::move(makeHolder)) {
    setObjectName("MainWindow");
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(4, 2, 4, 4);
    layout->setSpacing(2);
    auto* buttons = new QHBoxLayout;
    btnGo = FlatButton("btnGo", "Начать", "Начать запись", central);
    btnSet = FlatButton("btnSet", "Настройка", "Настройка", central);
    btnHide = FlatButton("btnHide", "Скрыть", "Фоновый режим", central);
    btnCalls = FlatButton("btnCalls", "Звонки", "Звонки, отчёты и выгрузка", central);
    sbExit = FlatButton("sbExit", "Выход", "Выход", central);
    for (QToolButton* b : {btnGo, btnSet, btnHide, btnCalls, sbExit}) buttons->addWidget(b);
    buttons->addStretch();
    const char* labels[2] = {"CTS", "DSR"};
    const TLampSignal signals_[2] = {lsCTS, lsDSR};
    TPortLamp** leds[2] = {&ComLed1, &ComLed2};
    for (int i = 0; i < 2; ++i) {
        auto* led = new TPortLamp(central);
        led->setObjectName(i == 0 ? "ComLed1" : "ComLed2");
        led->SetKind(lkCustom);
        led->SetGlyphOn(CaptureLampGlyph(true));
        led->SetGlyphOff(CaptureLampGlyph(false));
        led->SetLedSignal(signals_[i]);
        led->setFixedSize(25, 25);
        buttons->addWidget(led);
        buttons->addWidget(new QLabel(labels[i], central));
        *leds[i] = led;
    }
    lStatus = new QLabel(central);
    lStatus->setObjectName("lStatus");
    lStatus->setStyleSheet("color: #b00000; font-weight: bold;");
    buttons->addWidget(lStatus, 1);
    layout->addLayout(buttons);

    mLog = new QPlainTextEdit(central);
    mLog->setObjectName("mLog");
    mLog->setReadOnly(true);
    mLog->setLineWrapMode(QPlainTextEdit::NoWrap);
    mLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mLog->setUndoRedoEnabled(false);
    QFont mono("Courier New");
    mono.setStyleHint(QFont::TypeWriter);
    mono.setBold(true);
    mLog->setFont(mono);
    QPalette pal = mLog->palette();
    pal.setColor(QPalette::Base, Qt::black);
    pal.setColor(QPalette::Text, Qt::white);
    mLog->setPalette(pal);
    mLog->setContextMenuPolicy(Qt::CustomContextMenu);
    layout->addWidget(mLog, 1);
    setCentralWidget(central);

    pmSaveFile = new QMenu(this);
    pmSaveFile->setObjectName("pmSaveFile");
    N8 = Item(pmSaveFile, "N8", "Очистить");
    N3 = Item(pmSaveFile, "N3", "Сохранить");
    connect(mLog, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { pmSaveFile->popup(mLog->mapToGlobal(at)); });

    Timer = new QTimer(this);
    Timer->setObjectName("Timer");
    Timer->setInterval(1000);

    PopupMenu = new QMenu(this);
    PopupMenu->setObjectName("PopupMenu");
    N2 = Item(PopupMenu, "N2", "Выход");
    Tray = new QSystemTrayIcon(this);
    Tray->setObjectName("TrayIcon");
    Tray->setContextMenu(PopupMenu);

    BuildMenus();

    auto guard = [this](void (TMainWindow::*handler)()) {
        return [this, handler] { Guarded(this, [this, handler] { (this->*handler)(); }); };
    };
    connect(btnGo, &QToolButton::clicked, this, guard(&TMainWindow::btnGoClick));
    connect(btnSet, &QToolButton::clicked, this, guard(&TMainWindow::btnSetClick));
    connect(btnHide, &QToolButton::clicked, this, guard(&TMainWindow::btnHideClick));
    connect(sbExit, &QToolButton::clicked, this, guard(&TMainWindow::sbExitClick));
    connect(btnCalls, &QToolButton::clicked, this, guard(&TMainWindow::OpenCalls));
    connect(mCalls, &QAction::triggered, this, guard(&TMainWindow::OpenCalls));
    connect(mStart, &QAction::triggered, this, guard(&TMainWindow::btnGoClick));
    connect(mStop, &QAction::triggered, this, guard(&TMainWindow::btnGoClick));
    connect(N5, &QAction::triggered, this, guard(&TMainWindow::sbExitClick));
    connect(N2, &QAction::triggered, this, guard(&TMainWindow::sbExitClick));
    connect(N8, &QAction::triggered, this, guard(&TMainWindow::ClearLog));
    connect(N3, &QAction::triggered, this, guard(&TMainWindow::N3Click));
    connect(Timer, &QTimer::timeout, this, guard(&TMainWindow::TimerTimer));
    for (int i = 0; i < 6; ++i)
        connect(N9_14[i], &QAction::triggered, this,
                [this, i] { Guarded(this, [this, i] { OpenSettings(i + 1); }); });
    connect(N6, &QAction::triggered, this, [this] {
        Guarded(this, [this] {
            TAboutDialog about(this);
            about.exec();
        });
    });
    connect(N7, &QAction::triggered, this, [this] {
        Guarded(this, [this] {
            TWhatsNewDialog news(this);
            news.exec();
        });
    });
    connect(Tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        Guarded(this, [this, r] { SysCommand(static_cast<int>(r)); });
    });
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        connect(gui, &QGuiApplication::commitDataRequest, this,
                [this](QSessionManager&) { Guarded(this, [this] { OSExit(); }); });

    FormCreate();
}

TMainWindow::~TMainWindow() {
    Destroying = true;
    delete Calls_;
    // The port closes before the holder goes, whichever way the window ends.
    if (!Control_.ShutDown()) {
        try {
            Port.Close();
        } catch (const std::exception&) {
            // Destruction goes on; the port object closes itself when it is destroyed.
        }
    }
    if (Tray) Tray->hide();
}

void TMainWindow::BuildMenus() {
    QMenuBar* bar = menuBar();
    bar->setObjectName("MainMenu1");
    degr1 = bar->addMenu(U("Файл"));
    degr1->setObjectName("degr1");
    mStart = Item(degr1, "mStart", "Начать запись");
    mStop = Item(degr1, "mStop", "Остановить запись");
    mStop->setEnabled(false);
    mCalls = Item(degr1, "mCalls", "Звонки...");
    QAction* sep = degr1->addSeparator();
    sep->setObjectName("N4");
    N5 = Item(degr1, "N5", "Выход       Alt+F4");
    mSet = bar->addMenu(U("Настройка"));
    mSet->setObjectName("mSet");
    const char* pages[6][2] = {{"N9", "Общие"}, {"N10", "Шаблон"},   {"N11", "Правила"},
                               {"N12", "Порт"}, {"N13", "Рассылка"}, {"N14", "Сообщения"}};
    for (int i = 0; i < 6; ++i) N9_14[i] = Item(mSet, pages[i][0], pages[i][1]);
    N1 = bar->addMenu(U("Справка"));
    N1->setObjectName("N1");
    N6 = Item(N1, "N6", "О программе ...");
    N7 = Item(N1, "N7", "Новое в версии");
}

void TMainWindow::FormCreate() {
    FirstActivate = true;
    LogCount = 0;
    SettingsPage = 1;
    setWindowTitle(U(kCaption));
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    Tray->setIcon(QIcon(TrayPicture(false)));
    Tray->setToolTip(U(kCaption).left(63));

    const bool loaded = Control_.CreateHolder();
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        Recorder()->WorkArea =
            TRect{area.left(), area.top(), area.left() + area.width(), area.top() + area.height()};
    }
    FitWindow();
    if (!loaded) {
        btnGo->setEnabled(false);
        ::ShowMessage(this, U("Невозможно прочитать шаблон!"));
    }
}

void TMainWindow::BindLamps(TSerialPort* port) {
    ComLed1->SetComPort(port);
    ComLed2->SetComPort(port);
}

void TMainWindow::FitWindow() {
    if (!Recorder()) return;
    const int outer = Recorder()->ShowBuffer ? kHeightWithLog : kHeightWithoutLog;
    const int frame = frameGeometry().height() - geometry().height();
    mLog->setVisible(Recorder()->ShowBuffer);
    setFixedSize(kWidth, outer - frame);
    const int top = (Recorder()->WorkArea.Bottom - outer) / 2;
    const int left = Recorder()->WorkArea.Left +
                     (Recorder()->WorkArea.Right - Recorder()->WorkArea.Left - kWidth) / 2;
    move(left, top);
}

void TMainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    FitWindow();  // the frame's own height is known once the window is shown
    if (FirstActivate)
        QTimer::singleShot(0, this, [this] { Guarded(this, [this] { FormActivate(); }); });
}

void TMainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && FirstActivate)
        Guarded(this, [this] { FormActivate(); });
}

void TMainWindow::FormActivate() {
    if (!FirstActivate) return;
    FirstActivate = false;
    if (Recorder() && Recorder()->AutoRun) btnGoClick();
    if (Recorder() && Recorder()->HideRun) btnHideClick();
}

// Capture that lost its port (the device went away) keeps running and opens it again, so the
// button stops it rather than starting it anew.
void TMainWindow::btnGoClick() {
    StartStop(Port.Connected() || Control_.Capturing());
}

void TMainWindow::StartStop(bool stop) {
    Control_.StartStop(stop);
}

void TMainWindow::btnSetClick() {
    OpenSettings(SettingsPage);
}

// The dialog changes the port and the holder: it waits for a receive handler or a daily run
// that closed the port for its mail to finish first.
void TMainWindow::OpenSettings(int page) {
    if (!SettingsDialog) return;
    Control_.Defer([this, page] {
        if (Control_.ShutDown()) return;
        int selected = SettingsPage;
        struct Keep {
            TMainWindow& f;
            int& selected;
            ~Keep() { f.SettingsPage = selected; }
        } keep{*this, selected};
        if (SettingsDialog(*this, page, selected)) FitWindow();
    });
}

bool TMainWindow::TrayIcon(bool add) {
    if (add) {
        Tray->setIcon(QIcon(TrayPicture(Port.Connected())));
        Tray->setToolTip(U(kCaption).left(63));
        Tray->show();
        return TrayAvailable();
    }
    Tray->hide();
    return true;
}

void TMainWindow::btnHideClick() {
    // A window hidden without an icon to bring it back would be lost for good.
    if (!TrayAvailable()) {
        if (!TrayMissingTold) {
            TrayMissingTold = true;
            LogEvent(ToAnsi(U("Нет области уведомлений: окно свёрнуто, а не скрыто")));
        }
        showMinimized();
        return;
    }
    TrayIcon(true);
    showMinimized();
    hide();
}

void TMainWindow::SysCommand(int reason) {
    if (reason == QSystemTrayIcon::Trigger) {
        showNormal();
        raise();
        activateWindow();
        TrayIcon(false);
    }
    // A right click opens PopupMenu, the icon's context menu, at the cursor.
}

void TMainWindow::sbExitClick() {
    close();
}

void TMainWindow::StopRequested() {
    for (int i = 0; i < 8; ++i) {  // a message over a dialog
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->close()) break;
    }
    sbExitClick();
}

void TMainWindow::closeEvent(QCloseEvent* event) {
    if (CloseAccepted) {
        event->accept();
        return;
    }
    // The port closes and the holder is freed only outside any receive handler; the window then
    // closes for good. Closing the main window ends the program also when it was hidden in the
    // notification area, where no visible window is left whose closing would end it.
    event->ignore();
    Control_.Shutdown([this] {
        TrayIcon(false);
        QTimer::singleShot(0, this, [this] {
            CloseAccepted = true;
            close();
            QCoreApplication::quit();
        });
    });
}

void TMainWindow::OSExit() {
    Control_.Defer([this] {
        Port.Close();
        TrayIcon(false);
    });
}

void TMainWindow::ComPortOpen() {
    btnGo->setText(U("Остановить"));
    btnGo->setToolTip(U("Остановить запись"));
    mStart->setEnabled(false);
    mStop->setEnabled(true);
}

void TMainWindow::ComPortClose() {
    if (Destroying || !btnGo || Control_.Capturing()) return;
    btnGo->setText(U("Начать"));
    btnGo->setToolTip(U("Начать запись"));
    mStart->setEnabled(true);
    mStop->setEnabled(false);
}

void TMainWindow::ComPortRxChar(int count) {
    Guarded(this, [this, count] { Control_.RxChar(count); });
}

void TMainWindow::TimerTimer() {
    Control_.TimerTick(DailyRun);
}

void TMainWindow::RefreshCommands() {
    const bool open = Port.Connected() || Control_.Capturing();
    btnSet->setEnabled(!open);
    mSet->setEnabled(!open);
    if (open)
        ComPortOpen();
    else
        ComPortClose();
}

void TMainWindow::LogChar(const std::string& line) {
    ++LogCount;
    QTextDocument* doc = mLog->document();
    if (LogCount > kLogLines && doc->blockCount() > 1) {
        --LogCount;
        QTextCursor c(doc->lastBlock());
        c.movePosition(QTextCursor::EndOfBlock);
        c.movePosition(QTextCursor::PreviousBlock, QTextCursor::KeepAnchor);
        c.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        c.removeSelectedText();
    }
    if (LogCount > kLogLines + 1) ClearLog();
    platform::ProcessMessages();
    if (LogCount == 0) LogCount = 1;  // cleared while messages were served: this line counts
    QTextCursor top(doc);
    top.movePosition(QTextCursor::Start);
    top.insertText(LogEmpty ? FromAnsi(line) : FromAnsi(line) + QChar('\n'));
    LogEmpty = false;
    platform::ProcessMessages();
}

void TMainWindow::ClearLog() {
    LogCount = 0;
    LogEmpty = true;
    mLog->clear();
}

std::string TMainWindow::LogText() const {
    return ToAnsi(mLog->toPlainText());
}

void TMainWindow::OpenCalls() {
    if (!Calls_) {
        if (!Recorder()) return;
        Calls_ = new TCallsWindow(Recorder()->DBPath, Recorder()->Login);
    }
    Calls_->show();
    Calls_->raise();
    Calls_->activateWindow();
}

void TMainWindow::N3Click() {
    const QString dir = Recorder() ? FromAnsi(Recorder()->ProgramDir) : QString();
    const QString proposed =
        QString::fromStdString("Buffer_" + FormatDateTime("dd_mm_yyyy", Date()));
    QString name;
    if (gSaveFileHook)
        name = gSaveFileHook(this, dir, proposed);
    else
        name = QFileDialog::getSaveFileName(this, QString(), dir + proposed, "txt (*.txt)");
    if (name.isEmpty()) return;
    if (QFileInfo(name).suffix().isEmpty()) name += ".txt";
    QFile f(name);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return;  // ignored, as saving is
    std::string text = LogText();
    if (!text.empty()) text += "\r\n";
    std::string out;
    for (char c : text) {
        if (c == '\n' && (out.empty() || out.back() != '\r')) out += '\r';
        out += c;
    }
    f.write(out.data(), static_cast<qint64>(out.size()));
}

void TMainWindow::LogLine(const std::string& line) {
    LogChar(line);
}

void TMainWindow::ShowMessage(const std::string& text) {
    ::ShowMessage(this, FromAnsi(text));
}

void TMainWindow::LogEvent(const std::string& text) {
    LogChar(EventLine(text));
}

void TMainWindow::SetTimerEnabled(bool on) {
    if (on)
        Timer->start();
    else
        Timer->stop();
}

void TMainWindow::ShowStatus(const std::string& text) {
    lStatus->setText(FromAnsi(text));
    lStatus->setToolTip(FromAnsi(text));
}

void TMainWindow::CaptureStateChanged() {
    RefreshCommands();
}

void TMainWindow::Post(std::function<void()> fn) {
    QMetaObject::invokeMethod(
        this, [this, fn = std::move(fn)] { Guarded(this, fn); }, Qt::QueuedConnection);
}

void TMainWindow::PostDelayed(int ms, std::function<void()> fn) {
    QTimer::singleShot(ms, this, [this, fn = std::move(fn)] { Guarded(this, fn); });
}
