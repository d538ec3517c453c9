#pragma once
// The station without windows: received lines go to standard output, messages to standard
// error, and SIGTERM or SIGINT end capture cleanly.
#include <QObject>
#include <functional>
#include <memory>

#include "capture/Controller.h"

class QSocketNotifier;
class QTimer;

class THeadlessStation : private TCaptureView {
public:
    THeadlessStation(TCapturePort& port, TCaptureDatabase& db, THolderFactory makeHolder);
    ~THeadlessStation() override;

    // Loads the configuration and starts capture; false (message written) when it did not load.
    bool Start();
    // Runs the event loop until a stop signal; the exit code.
    int Exec();

    TCaptureControl& Control() { return Control_; }
    std::function<void()> DailyRun;

    // The receive event of the port.
    void ComPortRxChar(int count);

private:
    void LogLine(const std::string& line) override;
    void ShowMessage(const std::string& text) override;
    void SetTimerEnabled(bool on) override;
    void CaptureStateChanged() override {}
    void Post(std::function<void()> fn) override;
    void Guard(const std::function<void()>& fn);
    void Terminate();

    TCaptureControl Control_;
    QObject Context;
    std::unique_ptr<QTimer> Timer;
    std::unique_ptr<QSocketNotifier> SignalNotifier;
    bool Terminating = false;
};
