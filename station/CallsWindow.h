#pragma once
// The calls window ("Звонки"): the call list with its filters, the summaries on tabs, charts of
// calls per day and per hour, and exports. Every query runs on the report engine's own thread
// and connection, so the window never holds up capture.
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

#include "reports/ReportEngine.h"

class QChartView;
class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QTableWidget;

class TCallsWindow : public QWidget {
public:
    // dbPath: the station's call database (the DBPath setting), Windows-1251.
    explicit TCallsWindow(const std::string& dbPath, const TDbLogin& login = {},
                          QWidget* parent = nullptr);
    ~TCallsWindow() override;

    // Components, named as their object names.
    QComboBox* cbPeriod = nullptr;
    QDateEdit* deFrom = nullptr;
    QDateEdit* deTo = nullptr;
    QLineEdit* eExtensions = nullptr;
    QLineEdit* eNumber = nullptr;
    QComboBox* cbDirection = nullptr;
    QSpinBox* seMinDuration = nullptr;
    QSpinBox* seLine = nullptr;  // 0: every line
    QComboBox* cbStation = nullptr;
    QPushButton* btnShow = nullptr;
    QPushButton* btnMore = nullptr;
    QPushButton* btnExport = nullptr;
    QLabel* lTotals = nullptr;
    QTabWidget* Tabs = nullptr;
    QTableWidget* gCalls = nullptr;
    QTableWidget* gSummary[6] = {};  // in the order of TSummaryKind
    QChartView* chDays = nullptr;
    QChartView* chHours = nullptr;

    // The filter the controls describe; nothing (and a message in lTotals) when they are wrong.
    std::optional<TReportFilter> Filter() const;
    // Runs the selection again: totals, the first page, every summary, the charts.
    void Refresh();
    void MoreCalls();
    // Exports what the current tab shows: format "csv1251", "csvutf8" or "xlsx".
    void Export(const std::string& format);
    // Whether a query is under way (tests wait for it).
    bool Busy() const { return pending_ > 0; }

    // The save dialog's answer; tests replace it. Empty when cancelled.
    std::function<QString(const QString& proposed, const QString& filter)> AskFileName;
    // What an export came to, for the user and tests: the rows written, or the error.
    std::function<void(const QString& text)> OnExported;

private:
    void ApplyPreset();
    void ShowPage(const TCallPage& page, bool first);
    void ShowSummary(const TSummary& summary);
    void ShowCharts(const TSummary& days, const TSummary& hours);
    void Fail(const std::exception_ptr& error);
    // Runs job on the engine's thread and hands its result to done on this window's thread;
    // results of an earlier selection are dropped unless `always`.
    template <class R>
    void Query(std::function<R(TReportEngine&)> job, std::function<void(R&)> done,
               bool always = false);

    std::unique_ptr<TReportWorker> worker_;
    TReportFilter shown_;
    std::optional<TCallCursor> next_;
    std::optional<TSummary> days_, hours_;
    std::optional<TSummary> summaries_[6];
    unsigned generation_ = 0;
    int pending_ = 0;
};
