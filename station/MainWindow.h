#pragma once
// The main window: capture control, the live log, the notification-area icon and the menus.
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "serial/PortControls.h"
#include "station/CallsWindow.h"
#include "station/Controller.h"

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QSystemTrayIcon;
class QTimer;
class QToolButton;
class QWidget;

// Every message box of the station goes through here, so tests can answer and record them.
using TMessageBoxHook = std::function<void(QWidget* parent, const QString& text)>;
void SetMessageBoxHook(TMessageBoxHook hook);
void ShowMessage(QWidget* parent, const QString& text);
// The error report of an event handler: a message box with the error's text.
void ReportError(QWidget* parent, const std::exception& e);
// Runs a handler at an event boundary: nothing it throws may cross the event loop.
void Guarded(QWidget* parent, const std::function<void()>& handler);

// The file-save dialog's answer; replaceable for tests. Empty when cancelled.
using TSaveFileHook =
    std::function<QString(QWidget* parent, const QString& dir, const QString& proposed)>;
void SetSaveFileHook(TSaveFileHook hook);

// Whether the desktop has a notification area; replaceable for tests. Empty: the desktop says.
using TTrayAvailableHook = std::function<bool()>;
void SetTrayAvailableHook(TTrayAvailableHook hook);

QPixmap TrayPicture(bool portOpen);  // "MAINICON" when open, "OFFICON" when closed

class TMainWindow : public QMainWindow, private TCaptureView {
public:
    TMainWindow(TCapturePort& port, TCaptureDatabase& db, THolderFactory makeHolder,
                QWidget* parent = nullptr);
    ~TMainWindow() override;

    // Components, named as their object names.
    QToolButton* btnGo = nullptr;
    QToolButton* btnSet = nullptr;
    QToolButton* btnHide = nullptr;
    QToolButton* btnCalls = nullptr;
    QToolButton* sbExit = nullptr;
    TPortLamp* ComLed1 = nullptr;  // CTS
    TPortLamp* ComLed2 = nullptr;  // DSR
    QLabel* lStatus = nullptr;  // "база недоступна, строк ждут: 12" while that lasts
    QPlainTextEdit* mLog = nullptr;
    QTimer* Timer = nullptr;
    QSystemTrayIcon* Tray = nullptr;
    QMenu* PopupMenu = nullptr;
    QAction* N2 = nullptr;
    QMenu* pmSaveFile = nullptr;
    QAction* N8 = nullptr;
    QAction* N3 = nullptr;
    QMenu* degr1 = nullptr;
    QAction* mStart = nullptr;
    QAction* mStop = nullptr;
    QAction* mCalls = nullptr;
    QAction* N5 = nullptr;
    QMenu* mSet = nullptr;
    QAction* N9_14[6] = {};
    QMenu* N1 = nullptr;
    QAction* N6 = nullptr;
    QAction* N7 = nullptr;

    bool FirstActivate = true;
    int LogCount = 0;
    int SettingsPage = 1;

    // Binds the CTS and DSR lamps to the capture port for the life of the window.
    void BindLamps(TSerialPort* port);

    TCaptureControl& Control() { return Control_; }
    TRecorder* Recorder() const { return Control_.Recorder(); }

    // The daily run, written elsewhere; the timer's tick hands it over outside any receive.
    std::function<void()> DailyRun;
    // The settings dialog, written elsewhere: runs it at the page, stores the page last shown
    // in selectedPage, returns true when confirmed.
    std::function<bool(TMainWindow& form, int page, int& selectedPage)> SettingsDialog;

    void StartStop(bool stop);
    bool TrayIcon(bool add);
    void LogChar(const std::string& line);
    void ClearLog();
    void FitWindow();
    void OpenSettings(int page);
    // The calls window, one at a time, on the database the settings name; capture goes on.
    void OpenCalls();
    TCallsWindow* CallsWindow() const { return Calls_; }

    // Handlers.
    void FormActivate();
    void btnGoClick();
    void btnSetClick();
    void btnHideClick();
    void sbExitClick();
    // A stop request from outside (SIGTERM): cancels an open dialog or message, then exits.
    void StopRequested();
    void N3Click();
    void ComPortOpen();
    void ComPortClose();
    void ComPortRxChar(int count);
    void TimerTimer();
    void SysCommand(int reason);
    void OSExit();

    // The log's lines, newest first, as Windows-1251.
    std::string LogText() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void FormCreate();
    void BuildMenus();
    void RefreshCommands();

    // The controller's front end.
    void LogLine(const std::string& line) override;
    void ShowMessage(const std::string& text) override;
    void LogEvent(const std::string& text) override;
    void SetTimerEnabled(bool on) override;
    void ShowStatus(const std::string& text) override;
    void CaptureStateChanged() override;
    void Post(std::function<void()> fn) override;
    void PostDelayed(int ms, std::function<void()> fn) override;

    TCapturePort& Port;
    TCaptureControl Control_;
    QPointer<TCallsWindow> Calls_;
    bool Destroying = false;
    bool CloseAccepted = false;
    bool LogEmpty = true;          // an empty line and no line look alike in the text control
    bool TrayMissingTold = false;  // hiding without a notification area was explained
};
