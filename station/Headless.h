#pragma once
// The station without windows: received lines go to standard output, messages to standard
// error, and a stop request ends capture cleanly. Started by systemd (Type=notify) it says when
// it is ready, pets the watchdog from its event loop and reports its state.
#include <QObject>
#include <functional>
#include <memory>

#include "station/Controller.h"

class QTimer;

class THeadlessStation : private TCaptureView {
public:
    THeadlessStation(TCapturePort& port, TCaptureDatabase& db, THolderFactory makeHolder);
    ~THeadlessStation() override;
    THeadlessStation(const THeadlessStation&) = delete;
    THeadlessStation& operator=(const THeadlessStation&) = delete;

    // Loads the configuration and starts capture; false (message written) when it did not load.
    bool Start();
    // Runs the event loop until Terminate has finished; the exit code.
    int Exec();
    // Closes the port and frees the holder outside any receive handler, then ends Exec with 0.
    void Terminate();

    TCaptureControl& Control() { return Control_; }
    std::function<void()> DailyRun;

    // The receive event of the port.
    void ComPortRxChar(int count);

private:
    void LogLine(const std::string& line) override;
    void ShowMessage(const std::string& text) override;
    void LogEvent(const std::string& text) override;
    void SetTimerEnabled(bool on) override;
    void ShowStatus(const std::string& text) override;
    void CaptureStateChanged() override {}
    void Post(std::function<void()> fn) override;
    void PostDelayed(int ms, std::function<void()> fn) override;
    void Guard(const std::function<void()>& fn);

    TCaptureControl Control_;
    QObject Context;
    std::unique_ptr<QTimer> Timer;
    std::unique_ptr<QTimer> Watchdog;
    bool Terminating = false;
};
