#include "station/CallsWindow.h"

#include <QBarCategoryAxis>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateEdit>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedBarSeries>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QValueAxis>
#include <fstream>

#include "common/Text.h"
#include "platform/QtText.h"
#include "reports/ReportExport.h"

using platform::FromAnsi;
using platform::ToAnsi;

namespace {

QString U(const char* utf8) {
    return QString::fromUtf8(utf8);
}

QDate ToQDate(TDateTime day) {
    const TDateParts d = DecodeDate(day);
    return QDate(d.Year, d.Month, d.Day);
}

TDateTime FromQDate(const QDate& date) {
    TDateTime d = 0;
    TryEncodeDate(date.year(), date.month(), date.day(), d);
    return d;
}

void FillTable(QTableWidget* grid, const std::vector<TReportColumn>& columns) {
    grid->clear();
    grid->setRowCount(0);
    grid->setColumnCount(static_cast<int>(columns.size()));
    QStringList titles;
    for (const auto& c : columns) titles << FromAnsi(c.Title);
    grid->setHorizontalHeaderLabels(titles);
}

void AddRow(QTableWidget* grid, const std::vector<TReportColumn>& columns,
            const std::vector<TReportCell>& cells, bool bold = false) {
    const int row = grid->rowCount();
    grid->insertRow(row);
    for (size_t i = 0; i < cells.size(); ++i) {
        auto* item = new QTableWidgetItem(FromAnsi(cells[i].Text));
        if (i < columns.size() && columns[i].Type != TCellType::Text)
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        if (bold) {
            QFont f = item->font();
            f.setBold(true);
            item->setFont(f);
        }
        grid->setItem(row, static_cast<int>(i), item);
    }
}

QTableWidget* MakeGrid(const char* name, QWidget* parent) {
    auto* grid = new QTableWidget(parent);
    grid->setObjectName(name);
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid->verticalHeader()->setVisible(false);
    grid->horizontalHeader()->setStretchLastSection(true);
    return grid;
}

QChartView* MakeChart(const char* name, const QString& title, QWidget* parent) {
    auto* chart = new QChart;
    chart->setTitle(title);
    chart->legend()->hide();
    auto* view = new QChartView(chart, parent);
    view->setObjectName(name);
    view->setRenderHint(QPainter::Antialiasing);
    return view;
}

void ShowBars(QChartView* view, const TSummary& summary, bool hours) {
    QChart* chart = view->chart();
    chart->removeAllSeries();
    for (QAbstractAxis* axis : chart->axes()) {
        chart->removeAxis(axis);
        delete axis;
    }
    auto* in = new QBarSet(U("Входящие"));
    auto* out = new QBarSet(U("Исходящие"));
    QStringList labels;
    int64_t most = 0;
    if (hours) {
        // Every hour of the day has its place, the quiet ones too.
        std::vector<const TSummaryRow*> at(24, nullptr);
        for (const auto& r : summary.Rows)
            if (r.KeyNumber >= 0 && r.KeyNumber < 24) at[r.KeyNumber] = &r;
        for (int h = 0; h < 24; ++h) {
            *in << static_cast<qreal>(at[h] ? at[h]->CallsIn : 0);
            *out << static_cast<qreal>(at[h] ? at[h]->CallsOut : 0);
            labels << QString::number(h);
            if (at[h]) most = std::max(most, at[h]->Calls());
        }
    } else {
        for (const auto& r : summary.Rows) {
            *in << static_cast<qreal>(r.CallsIn);
            *out << static_cast<qreal>(r.CallsOut);
            // Days of one month by their number alone, so that the labels fit.
            labels << ToQDate(r.KeyDate).toString(summary.Rows.size() <= 31 ? "d" : "dd.MM");
            most = std::max(most, r.Calls());
        }
    }
    auto* series = new QStackedBarSeries;
    series->append(in);
    series->append(out);
    chart->addSeries(series);
    auto* x = new QBarCategoryAxis;
    x->append(labels);
    chart->addAxis(x, Qt::AlignBottom);
    series->attachAxis(x);
    auto* y = new QValueAxis;
    y->setRange(0, static_cast<qreal>(std::max<int64_t>(most, 1)));
    y->setLabelFormat("%d");
    chart->addAxis(y, Qt::AlignLeft);
    series->attachAxis(y);
    chart->legend()->setVisible(true);
}

const char* const kGridNames[6] = {"gExtensions", "gDays",    "gHours",
                                   "gLines",      "gNumbers", "gStations"};

}  // namespace

TCallsWindow::TCallsWindow(const std::string& dbPath, const TDbLogin& login, QWidget* parent)
    : QWidget(parent, Qt::Window), worker_(std::make_unique<TReportWorker>(dbPath, login)) {
    setObjectName("CallsWindow");
    setWindowTitle(U("Звонки"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);

    auto* filters = new QHBoxLayout;
    cbPeriod = new QComboBox(this);
    cbPeriod->setObjectName("cbPeriod");
    cbPeriod->addItems({U("Сегодня"), U("Вчера"), U("Эта неделя"), U("Этот месяц"),
                        U("Прошлый месяц"), U("Даты")});
    deFrom = new QDateEdit(this);
    deFrom->setObjectName("deFrom");
    deTo = new QDateEdit(this);
    deTo->setObjectName("deTo");
    for (QDateEdit* d : {deFrom, deTo}) {
        d->setCalendarPopup(true);
        d->setDisplayFormat("dd.MM.yyyy");
    }
    filters->addWidget(new QLabel(U("Период:"), this));
    filters->addWidget(cbPeriod);
    filters->addWidget(deFrom);
    filters->addWidget(new QLabel("-", this));
    filters->addWidget(deTo);

    eExtensions = new QLineEdit(this);
    eExtensions->setObjectName("eExtensions");
    eExtensions->setPlaceholderText(U("все"));
    eExtensions->setToolTip(U("Абоненты через запятую"));
    eNumber = new QLineEdit(this);
    eNumber->setObjectName("eNumber");
    eNumber->setPlaceholderText(U("любой"));
    eNumber->setToolTip(U("Часть номера"));
    cbDirection = new QComboBox(this);
    cbDirection->setObjectName("cbDirection");
    cbDirection->addItems({U("Все"), U("Входящие"), U("Исходящие")});
    seMinDuration = new QSpinBox(this);
    seMinDuration->setObjectName("seMinDuration");
    seMinDuration->setRange(0, 86400);
    seMinDuration->setSuffix(U(" сек"));
    seMinDuration->setToolTip(U("Не короче"));
    seLine = new QSpinBox(this);
    seLine->setObjectName("seLine");
    seLine->setRange(0, 9999);
    seLine->setSpecialValueText(U("все"));
    cbStation = new QComboBox(this);
    cbStation->setObjectName("cbStation");
    cbStation->addItem(U("все"));
    cbStation->setEnabled(false);
    // Stations that keep a journal mark are offered; another one's name can be typed.
    cbStation->setEditable(true);
    auto* more = new QHBoxLayout;
    for (auto [label, w] :
         std::initializer_list<std::pair<const char*, QWidget*>>{{"Абоненты:", eExtensions},
                                                                 {"Номер:", eNumber},
                                                                 {"Направление:", cbDirection},
                                                                 {"Не короче:", seMinDuration},
                                                                 {"Линия:", seLine},
                                                                 {"Станция:", cbStation}}) {
        more->addWidget(new QLabel(U(label), this));
        more->addWidget(w);
    }
    btnShow = new QPushButton(U("Показать"), this);
    btnShow->setObjectName("btnShow");
    btnExport = new QPushButton(U("Экспорт"), this);
    btnExport->setObjectName("btnExport");
    auto* exportMenu = new QMenu(btnExport);
    exportMenu->addAction(U("CSV (Windows-1251)"), this, [this] { Export("csv1251"); });
    exportMenu->addAction(U("CSV (UTF-8)"), this, [this] { Export("csvutf8"); });
    exportMenu->addAction(U("Excel (XLSX)"), this, [this] { Export("xlsx"); });
    btnExport->setMenu(exportMenu);
    filters->addStretch();
    filters->addWidget(btnShow);
    filters->addWidget(btnExport);
    layout->addLayout(filters);
    layout->addLayout(more);

    lTotals = new QLabel(this);
    lTotals->setObjectName("lTotals");
    layout->addWidget(lTotals);

    Tabs = new QTabWidget(this);
    Tabs->setObjectName("Tabs");
    auto* callsPage = new QWidget(Tabs);
    auto* callsLayout = new QVBoxLayout(callsPage);
    callsLayout->setContentsMargins(0, 0, 0, 0);
    gCalls = MakeGrid("gCalls", callsPage);
    btnMore = new QPushButton(U("Ещё"), callsPage);
    btnMore->setObjectName("btnMore");
    btnMore->setEnabled(false);
    callsLayout->addWidget(gCalls, 1);
    callsLayout->addWidget(btnMore, 0, Qt::AlignLeft);
    Tabs->addTab(callsPage, U("Звонки"));
    for (int k = 0; k < 6; ++k) {
        gSummary[k] = MakeGrid(kGridNames[k], Tabs);
        Tabs->addTab(gSummary[k], FromAnsi(SummaryKindTitle(static_cast<TSummaryKind>(k))));
    }
    auto* charts = new QWidget(Tabs);
    auto* chartsLayout = new QVBoxLayout(charts);
    chDays = MakeChart("chDays", U("Звонки по дням"), charts);
    chHours = MakeChart("chHours", U("Звонки по часам"), charts);
    chartsLayout->addWidget(chDays, 1);
    chartsLayout->addWidget(chHours, 1);
    Tabs->addTab(charts, U("Графики"));
    layout->addWidget(Tabs, 1);

    connect(cbPeriod, &QComboBox::currentIndexChanged, this, [this] { ApplyPreset(); });
    for (QDateEdit* d : {deFrom, deTo})
        connect(d, &QDateEdit::userDateChanged, this, [this] {
            if (!cbPeriod->signalsBlocked()) cbPeriod->setCurrentIndex(5);
        });
    connect(btnShow, &QPushButton::clicked, this, [this] { Refresh(); });
    connect(btnMore, &QPushButton::clicked, this, [this] { MoreCalls(); });
    connect(eExtensions, &QLineEdit::returnPressed, this, [this] { Refresh(); });
    connect(eNumber, &QLineEdit::returnPressed, this, [this] { Refresh(); });

    cbPeriod->setCurrentIndex(3);
    ApplyPreset();
    resize(1000, 640);

    // The stations the database knows, for the filter; none where calls carry no station.
    Query<std::pair<bool, std::vector<std::string>>>(
        [](TReportEngine& e) {
            return std::pair{e.Columns().Station, e.Stations()};
        },
        [this](std::pair<bool, std::vector<std::string>>& r) {
            cbStation->setEnabled(r.first);
            for (const auto& s : r.second) cbStation->addItem(FromAnsi(s));
        });
    Refresh();
}

TCallsWindow::~TCallsWindow() {
    // The job under way ends before the window it reports to.
    worker_.reset();
}

void TCallsWindow::ApplyPreset() {
    const int i = cbPeriod->currentIndex();
    if (i < 0 || i > 4) return;
    const TReportPeriod p = PresetPeriod(static_cast<TPeriodPreset>(i), Now());
    for (QDateEdit* d : {deFrom, deTo}) d->blockSignals(true);
    cbPeriod->blockSignals(true);
    deFrom->setDate(ToQDate(p.From));
    deTo->setDate(ToQDate(p.To - 1));
    cbPeriod->blockSignals(false);
    for (QDateEdit* d : {deFrom, deTo}) d->blockSignals(false);
}

std::optional<TReportFilter> TCallsWindow::Filter() const {
    TReportFilter f;
    if (deTo->date() < deFrom->date()) {
        lTotals->setText(U("Конец периода раньше его начала"));
        return std::nullopt;
    }
    f.Period = TReportPeriod::Days(FromQDate(deFrom->date()), FromQDate(deTo->date()));
    for (const QString& part : eExtensions->text().split(',', Qt::SkipEmptyParts)) {
        const auto n = TryStrToInt(part.trimmed().toStdString());
        if (!n) {
            lTotals->setText(U("Абоненты: номера через запятую"));
            return std::nullopt;
        }
        f.Extensions.push_back(*n);
    }
    f.NumberPart = ToAnsi(eNumber->text().trimmed());
    f.Direction = static_cast<TDirection>(cbDirection->currentIndex());
    f.MinDuration = seMinDuration->value();
    if (seLine->value() > 0) f.Line = seLine->value();
    const QString station = cbStation->currentText().trimmed();
    if (cbStation->isEnabled() && !station.isEmpty() && station != cbStation->itemText(0))
        f.Station = ToAnsi(station);
    return f;
}

template <class R>
void TCallsWindow::Query(std::function<R(TReportEngine&)> job, std::function<void(R&)> done,
                         bool always) {
    const unsigned generation = generation_;
    ++pending_;
    worker_->Submit([this, generation, always, job = std::move(job), done = std::move(done)](
                        TReportEngine* engine, std::exception_ptr failed) {
        auto result = std::make_shared<std::optional<R>>();
        if (!failed) {
            try {
                result->emplace(job(*engine));
            } catch (...) {
                failed = std::current_exception();
            }
        }
        QMetaObject::invokeMethod(
            this,
            [this, generation, always, result, failed, done] {
                --pending_;
                if (generation != generation_ && !always) return;
                if (failed)
                    Fail(failed);
                else
                    done(**result);
            },
            Qt::QueuedConnection);
    });
}

void TCallsWindow::Fail(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        lTotals->setText(U("Ошибка: ") + FromAnsi(e.what()));
    }
}

void TCallsWindow::Refresh() {
    const auto filter = Filter();
    if (!filter) return;
    ++generation_;
    shown_ = *filter;
    next_.reset();
    btnMore->setEnabled(false);
    FillTable(gCalls, CallColumns());
    lTotals->setText(U("Подсчёт..."));
    const TReportFilter f = *filter;
    Query<TSummaryRow>(
        [f](TReportEngine& e) { return e.Totals(f); },
        [this](TSummaryRow& t) {
            lTotals->setText(U("Звонков: %1 (входящих %2, исходящих %3), время разговоров: %4")
                                 .arg(t.Calls())
                                 .arg(t.CallsIn)
                                 .arg(t.CallsOut)
                                 .arg(QString::fromStdString(DurationText(t.Seconds()))));
        });
    Query<TCallPage>([f](TReportEngine& e) { return e.Calls(f, std::nullopt); },
                     [this](TCallPage& page) { ShowPage(page, true); });
    for (int k = 0; k < 6; ++k) {
        summaries_[k].reset();
        const auto kind = static_cast<TSummaryKind>(k);
        Query<TSummary>([f, kind](TReportEngine& e) { return e.Summary(kind, f); },
                        [this](TSummary& s) { ShowSummary(s); });
    }
}

void TCallsWindow::MoreCalls() {
    if (!next_) return;
    btnMore->setEnabled(false);
    const TReportFilter f = shown_;
    const TCallCursor after = *next_;
    Query<TCallPage>([f, after](TReportEngine& e) { return e.Calls(f, after); },
                     [this](TCallPage& page) { ShowPage(page, false); });
}

void TCallsWindow::ShowPage(const TCallPage& page, bool first) {
    const auto columns = CallColumns();
    if (first) FillTable(gCalls, columns);
    gCalls->setUpdatesEnabled(false);
    for (const auto& r : page.Rows) AddRow(gCalls, columns, CallCells(r));
    gCalls->setUpdatesEnabled(true);
    if (first) gCalls->resizeColumnsToContents();
    next_ = page.Next;
    btnMore->setEnabled(page.Next.has_value());
}

void TCallsWindow::ShowSummary(const TSummary& summary) {
    const int k = static_cast<int>(summary.Kind);
    summaries_[k] = summary;
    const TReportTable t = SummaryTable(summary);
    QTableWidget* grid = gSummary[k];
    FillTable(grid, t.Columns);
    grid->setUpdatesEnabled(false);
    for (const auto& row : t.Rows) AddRow(grid, t.Columns, row);
    AddRow(grid, t.Columns, t.Totals, true);
    grid->setUpdatesEnabled(true);
    grid->resizeColumnsToContents();
    if (summary.Kind == TSummaryKind::Day) ShowBars(chDays, summary, false);
    if (summary.Kind == TSummaryKind::Hour) ShowBars(chHours, summary, true);
}

void TCallsWindow::Export(const std::string& format) {
    const int tab = Tabs->currentIndex();
    const bool calls = tab == 0;
    // The charts tab exports the figures per day behind them.
    const int kind = tab >= 1 && tab <= 6 ? tab - 1 : static_cast<int>(TSummaryKind::Day);
    if (!calls && !summaries_[kind]) return;
    const bool xlsx = format == "xlsx";
    const QString proposed =
        (calls ? QString("calls")
               : QString::fromStdString(SummaryKindName(static_cast<TSummaryKind>(kind)))) +
        "_" + deFrom->date().toString("yyyy-MM-dd") + "_" + deTo->date().toString("yyyy-MM-dd") +
        (xlsx ? ".xlsx" : ".csv");
    const QString pattern = xlsx ? "Excel (*.xlsx)" : "CSV (*.csv)";
    const QString name = AskFileName
                             ? AskFileName(proposed, pattern)
                             : QFileDialog::getSaveFileName(this, U("Экспорт"), proposed, pattern);
    if (name.isEmpty()) return;
    const std::string path = name.toStdString();
    const TCsvOptions csv =
        format == "csv1251" ? TCsvOptions::Windows1251() : TCsvOptions::Utf8Bom();
    std::optional<TReportTable> table;
    if (!calls) table = SummaryTable(*summaries_[kind]);
    const TReportFilter f = shown_;
    // Written on the engine's thread: a call list of a million rows takes its time.
    Query<int64_t>(
        [=](TReportEngine& e) -> int64_t {
            std::ofstream out;
            std::unique_ptr<TTableWriter> writer;
            if (xlsx) {
                writer = MakeXlsxWriter(path);
            } else {
                out.open(path, std::ios::binary | std::ios::trunc);
                if (!out) throw EReportError("Cannot write \"" + path + "\"");
                writer = MakeCsvWriter(out, csv);
            }
            if (!table) return ExportCalls(e, f, *writer);
            WriteTable(*table, *writer);
            return static_cast<int64_t>(table->Rows.size());
        },
        [this, name](int64_t& rows) {
            const QString text = U("Сохранено строк: %1 в %2").arg(rows).arg(name);
            lTotals->setText(text);
            if (OnExported) OnExported(text);
        });
}
