#pragma once
// A capture view that keeps what the control tells it and runs posted work on the Qt loop, as
// the windows do: for tests that drive a real control from the event loop.
#include <QObject>
#include <QTimer>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "station/Controller.h"

class TQueuedView : public TCaptureView {
public:
    void LogLine(const std::string& line) override { Lines.push_back(line); }
    void ShowMessage(const std::string& text) override { Messages.push_back(text); }
    void LogEvent(const std::string& text) override { Events.push_back(text); }
    void SetTimerEnabled(bool) override {}
    void ShowStatus(const std::string&) override {}
    void CaptureStateChanged() override {}
    void Post(std::function<void()> fn) override {
        QMetaObject::invokeMethod(&Context, std::move(fn), Qt::QueuedConnection);
    }
    void PostDelayed(int ms, std::function<void()> fn) override {
        QTimer::singleShot(ms, &Context, std::move(fn));
    }
    QObject Context;
    std::vector<std::string> Lines, Messages, Events;
};
