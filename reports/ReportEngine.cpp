#include "reports/ReportEngine.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <unordered_map>

#include "db/FbObjects.h"
#include "db/Schema.h"
#include "platform/ThreadPriority.h"

namespace {

constexpr TDateTime kSecond = 1.0 / 86400;

// The rows of one statement, with the binding of its parameters in text order.
struct TBoundSql {
    std::string Text;
    std::vector<std::function<void(TFbParam&)>> Binds;

    void Add(const std::string& text) { Text += text; }
    void Date(const std::string& text, TDateTime value) {
        Text += text;
        Binds.push_back([value](TFbParam& p) { p.SetAsDateTime(value); });
    }
    void Int(const std::string& text, int64_t value) {
        Text += text;
        Binds.push_back([value](TFbParam& p) { p.SetAsInt64(value); });
    }
    void Str(const std::string& text, const std::string& value) {
        Text += text;
        Binds.push_back([value](TFbParam& p) { p.SetAsString(value); });
    }
};

bool AllZeros(const std::string& number) {
    return !number.empty() && number.find_first_not_of('0') == std::string::npos;
}

}  // namespace

TReportPeriod TReportPeriod::Days(TDateTime firstDay, TDateTime lastDay) {
    return {static_cast<TDateTime>(DayNumber(firstDay)),
            static_cast<TDateTime>(DayNumber(lastDay) + 1)};
}

TReportPeriod PresetPeriod(TPeriodPreset preset, TDateTime now) {
    const TDateTime today = static_cast<TDateTime>(DayNumber(now));
    const TDateParts d = DecodeDate(today);
    TDateTime first = today;
    switch (preset) {
        case TPeriodPreset::Today:
            return TReportPeriod::Days(today, today);
        case TPeriodPreset::Yesterday:
            return TReportPeriod::Days(today - 1, today - 1);
        case TPeriodPreset::ThisWeek: {
            const int sinceMonday = (DayOfWeek(today) + 5) % 7;
            return TReportPeriod::Days(today - sinceMonday, today - sinceMonday + 6);
        }
        case TPeriodPreset::ThisMonth:
            TryEncodeDate(d.Year, d.Month, 1, first);
            return {first, first + DaysInMonth(d.Year, d.Month)};
        case TPeriodPreset::LastMonth: {
            const int year = d.Month == 1 ? d.Year - 1 : d.Year;
            const int month = d.Month == 1 ? 12 : d.Month - 1;
            TryEncodeDate(year, month, 1, first);
            return {first, first + DaysInMonth(year, month)};
        }
    }
    return TReportPeriod::Days(today, today);
}

std::string TCallCursor::ToToken() const {
    // Whole seconds since 1899-12-30 and the tie-breaker: exact, and plain in a URL.
    const auto seconds = static_cast<int64_t>(std::llround(Start * 86400));
    char buf[48];
    std::snprintf(buf, sizeof buf, "%" PRId64 "-%" PRId64, seconds, Tie);
    return buf;
}

std::optional<TCallCursor> TCallCursor::FromToken(std::string_view token) {
    const size_t dash = token.find('-', 1);
    if (token.size() > 40 || dash == std::string_view::npos) return std::nullopt;
    // Any value a BIGINT key that is not negative can take, so that every cursor handed out
    // comes back.
    auto number = [](std::string_view s) -> std::optional<int64_t> {
        if (s.empty() || s.size() > 19) return std::nullopt;
        int64_t v = 0;
        for (char c : s) {
            if (c < '0' || c > '9') return std::nullopt;
            if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, c - '0', &v))
                return std::nullopt;
        }
        return v;
    };
    const auto seconds = number(token.substr(0, dash));
    const auto tie = number(token.substr(dash + 1));
    // Years 1900 to 9999.
    if (!seconds || !tie || *seconds > int64_t{2958466} * 86400) return std::nullopt;
    return TCallCursor{static_cast<TDateTime>(*seconds) / 86400, *tie};
}

std::string DurationText(int64_t seconds) {
    if (seconds < 0) seconds = 0;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%" PRId64 ":%02d:%02d", seconds / 3600,
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    return buf;
}

namespace {

struct TKindInfo {
    TSummaryKind Kind;
    const char* Name;
    const char* Title;  // Windows-1251
    const char* KeyTitle;
};

// Captions in Windows-1251 (the source is UTF-8, so the bytes are spelled out).
const TKindInfo kKinds[] = {
    {TSummaryKind::Extension, "extension", "\xcf\xee \xe0\xe1\xee\xed\xe5\xed\xf2\xe0\xec",
     "\xc0\xe1\xee\xed\xe5\xed\xf2"},
    {TSummaryKind::Day, "day", "\xcf\xee \xe4\xed\xff\xec", "\xc4\xe0\xf2\xe0"},
    {TSummaryKind::Hour, "hour", "\xcf\xee \xf7\xe0\xf1\xe0\xec", "\xd7\xe0\xf1"},
    {TSummaryKind::Line, "line", "\xcf\xee \xeb\xe8\xed\xe8\xff\xec", "\xcb\xe8\xed\xe8\xff"},
    {TSummaryKind::Number, "number", "\xcd\xee\xec\xe5\xf0\xe0", "\xcd\xee\xec\xe5\xf0"},
    {TSummaryKind::Station, "station", "\xcf\xee \xf1\xf2\xe0\xed\xf6\xe8\xff\xec",
     "\xd1\xf2\xe0\xed\xf6\xe8\xff"},
};

const TKindInfo& Info(TSummaryKind kind) {
    for (const auto& k : kKinds)
        if (k.Kind == kind) return k;
    return kKinds[0];
}

// "Итого", "Владелец", "Звонков", ... in Windows-1251.
const char* const kTotal = "\xc8\xf2\xee\xe3\xee";
const char* const kOwner = "\xc2\xeb\xe0\xe4\xe5\xeb\xe5\xf6";
const char* const kCalls = "\xc7\xe2\xee\xed\xea\xee\xe2";
const char* const kTalk = "\xc2\xf0\xe5\xec\xff";
const char* const kIn = "\xc2\xf5\xee\xe4\xff\xf9\xe8\xf5";
const char* const kInTalk = "\xc2\xf5\xee\xe4\xff\xf9\xe8\xe5, \xe2\xf0\xe5\xec\xff";
const char* const kOut = "\xc8\xf1\xf5\xee\xe4\xff\xf9\xe8\xf5";
const char* const kOutTalk = "\xc8\xf1\xf5\xee\xe4\xff\xf9\xe8\xe5, \xe2\xf0\xe5\xec\xff";

TReportCell IntCell(int64_t v) {
    return {v, 0, std::to_string(v)};
}
TReportCell TextCell(std::string s) {
    return {0, 0, std::move(s)};
}
TReportCell DurationCell(int64_t seconds) {
    return {seconds, 0, DurationText(seconds)};
}
TReportCell DateCell(TDateTime day) {
    return {0, day, DateToStr(day)};
}

}  // namespace

std::string SummaryKindName(TSummaryKind kind) {
    return Info(kind).Name;
}

std::optional<TSummaryKind> SummaryKindFromName(std::string_view name) {
    for (const auto& k : kKinds)
        if (name == k.Name) return k.Kind;
    return std::nullopt;
}

std::string SummaryKindTitle(TSummaryKind kind) {
    return Info(kind).Title;
}

TReportTable SummaryTable(const TSummary& summary) {
    TReportTable t;
    t.Title = SummaryKindTitle(summary.Kind);
    const TCellType keyType = summary.Kind == TSummaryKind::Day ? TCellType::Date
                              : summary.Kind == TSummaryKind::Extension ||
                                      summary.Kind == TSummaryKind::Line ||
                                      summary.Kind == TSummaryKind::Hour
                                  ? TCellType::Integer
                                  : TCellType::Text;
    t.Columns.push_back({Info(summary.Kind).KeyTitle, keyType});
    const bool owners = summary.Kind == TSummaryKind::Extension;
    if (owners) t.Columns.push_back({kOwner, TCellType::Text});
    for (auto [title, type] : {std::pair{kCalls, TCellType::Integer},
                               {kTalk, TCellType::Duration},
                               {kIn, TCellType::Integer},
                               {kInTalk, TCellType::Duration},
                               {kOut, TCellType::Integer},
                               {kOutTalk, TCellType::Duration}})
        t.Columns.push_back({title, type});
    auto figures = [](std::vector<TReportCell>& cells, const TSummaryRow& r) {
        cells.push_back(IntCell(r.Calls()));
        cells.push_back(DurationCell(r.Seconds()));
        cells.push_back(IntCell(r.CallsIn));
        cells.push_back(DurationCell(r.SecondsIn));
        cells.push_back(IntCell(r.CallsOut));
        cells.push_back(DurationCell(r.SecondsOut));
    };
    for (const auto& r : summary.Rows) {
        std::vector<TReportCell> cells;
        if (keyType == TCellType::Date)
            cells.push_back(DateCell(r.KeyDate));
        else if (keyType == TCellType::Integer)
            cells.push_back({r.KeyNumber, 0, r.Key});
        else
            cells.push_back(TextCell(r.Key));
        if (owners) cells.push_back(TextCell(r.Owner));
        figures(cells, r);
        t.Rows.push_back(std::move(cells));
    }
    t.Totals.push_back(TextCell(kTotal));
    if (owners) t.Totals.push_back(TextCell(""));
    figures(t.Totals, summary.Total);
    return t;
}

std::vector<TReportColumn> CallColumns() {
    // Дата и время, Абонент, Владелец, Линия, Номер, Звонивший, Направление, Длительность, Станция
    return {{"\xc4\xe0\xf2\xe0 \xe8 \xe2\xf0\xe5\xec\xff", TCellType::DateTime},
            {"\xc0\xe1\xee\xed\xe5\xed\xf2", TCellType::Integer},
            {kOwner, TCellType::Text},
            {"\xcb\xe8\xed\xe8\xff", TCellType::Integer},
            {"\xcd\xee\xec\xe5\xf0", TCellType::Text},
            {"\xc7\xe2\xee\xed\xe8\xe2\xf8\xe8\xe9", TCellType::Text},
            {"\xcd\xe0\xef\xf0\xe0\xe2\xeb\xe5\xed\xe8\xe5", TCellType::Text},
            {"\xc4\xeb\xe8\xf2\xe5\xeb\xfc\xed\xee\xf1\xf2\xfc", TCellType::Duration},
            {"\xd1\xf2\xe0\xed\xf6\xe8\xff", TCellType::Text}};
}

std::vector<TReportCell> CallCells(const TCallRow& row) {
    std::vector<TReportCell> cells;
    CallCells(row, cells);
    return cells;
}

void CallCells(const TCallRow& row, std::vector<TReportCell>& cells) {
    // Every text is assigned into the cell's own string, whose storage the next row reuses.
    cells.resize(9);
    auto integer = [](TReportCell& c, int64_t v) {
        char buf[24];
        c.Number = v;
        c.Time = 0;
        c.Text.assign(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
    };
    auto text = [](TReportCell& c, std::string_view v) {
        c.Number = 0;
        c.Time = 0;
        c.Text.assign(v);
    };
    TReportCell& start = cells[0];
    start.Number = 0;
    start.Time = row.Start;
    const TDateParts d = DecodeDate(row.Start);
    if (d.Year >= 0 && d.Year <= 9999) {
        const TTimeParts t = DecodeTime(row.Start);
        char buf[] = "dd.mm.yyyy hh:nn:ss";
        auto put = [&](int at, int v, int width) {
            for (int i = at + width - 1; i >= at; --i, v /= 10)
                buf[i] = static_cast<char>('0' + v % 10);
        };
        put(0, d.Day, 2);
        put(3, d.Month, 2);
        put(6, d.Year, 4);
        put(11, t.Hour, 2);
        put(14, t.Min, 2);
        put(17, t.Sec, 2);
        start.Text.assign(buf, sizeof buf - 1);
    } else {
        start.Text = FormatDateTime("dd.mm.yyyy hh:nn:ss", row.Start);
    }
    integer(cells[1], row.Extension);
    text(cells[2], row.Owner);
    integer(cells[3], row.Line);
    text(cells[4], row.Number);
    text(cells[5], row.Caller);
    // "входящий" / "исходящий"
    text(cells[6], row.Incoming ? "\xe2\xf5\xee\xe4\xff\xf9\xe8\xe9"
                                : "\xe8\xf1\xf5\xee\xe4\xff\xf9\xe8\xe9");
    TReportCell& duration = cells[7];
    duration.Number = row.Duration;
    duration.Time = 0;
    const int64_t seconds = std::max<int64_t>(row.Duration, 0);
    char buf[32];
    char* p = std::to_chars(buf, buf + 20, seconds / 3600).ptr;
    *p++ = ':';
    *p++ = static_cast<char>('0' + seconds / 600 % 6);
    *p++ = static_cast<char>('0' + seconds / 60 % 10);
    *p++ = ':';
    *p++ = static_cast<char>('0' + seconds % 60 / 10);
    *p++ = static_cast<char>('0' + seconds % 10);
    duration.Text.assign(buf, p);
    text(cells[8], row.Station);
}

TReportTable CallTable(const std::vector<TCallRow>& rows) {
    TReportTable t;
    t.Title = "\xc7\xe2\xee\xed\xea\xe8";  // Звонки
    t.Columns = CallColumns();
    for (const auto& r : rows) t.Rows.push_back(CallCells(r));
    return t;
}

struct TReportEngine::TImpl {
    TFbConnection db;
    TFbTransaction tr;
    // Totals and the calls they leave out are read in one snapshot, so that an adding-up that
    // commits meanwhile neither counts a call twice nor misses one.
    TFbTransaction snapshot;
    TRingsColumns columns;
    bool keyIndex = false;  // Rings_RingDate_ID is there and active
    bool totals = false;    // the daily totals' tables and Rings_ID are there
    bool useTotals = true;

    TImpl(const std::string& dbPath, const TDbLogin& login) {
        db.SetDefaultTransaction(&tr);
        db.SetLoginPrompt(false);
        tr.SetDefaultDatabase(&db);
        tr.SetReadOnly(true);
        snapshot.SetDefaultDatabase(&db);
        snapshot.SetReadOnly(true);
        snapshot.SetSnapshot(true);
        db.Params() = login.ConnectParams();
        db.SetDatabaseName(dbPath);
        db.Open();
        Read([&] {
            TFbStatement q(db, tr);
            q.SetText(
                "SELECT TRIM(RDB$FIELD_NAME) FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = "
                "'RINGS'");
            q.ExecQuery();
            for (; !q.Eof(); q.Next()) {
                const std::string name = q.Fields(0).AsString();
                if (name == "ID") columns.Id = true;
                if (name == "STATION") columns.Station = true;
                if (name == "CALLER") columns.Caller = true;
            }
            TFbStatement i(db, tr);
            i.SetText(
                "SELECT COUNT(*) FROM RDB$INDICES WHERE RDB$INDEX_NAME = 'RINGS_RINGDATE_ID' AND "
                "RDB$RELATION_NAME = 'RINGS' AND COALESCE(RDB$INDEX_INACTIVE, 0) = 0");
            i.ExecQuery();
            keyIndex = !i.Eof() && i.Fields(0).AsInteger() > 0;
            TFbStatement t(db, tr);
            t.SetText(
                "SELECT COUNT(*) FROM RDB$INDICES WHERE RDB$INDEX_NAME = 'RINGS_ID' AND "
                "COALESCE(RDB$INDEX_INACTIVE, 0) = 0");
            t.ExecQuery();
            totals = columns.Id && t.Fields(0).AsInt64() == 1 && HasTotalsTables(db, tr);
        });
    }

    // One read in a transaction of its own, so that each page sees the calls committed by then.
    template <class F>
    void Read(F f, TFbTransaction* in = nullptr) {
        TFbTransaction& t = in ? *in : tr;
        t.StartTransaction();
        try {
            f();
        } catch (...) {
            t.RollbackQuietly();
            throw;
        }
        t.Commit();
    }

    void Where(TBoundSql& sql, const TReportFilter& f, TDateTime from) const {
        sql.Date(" WHERE r.RingDate >= ?", from);
        sql.Date(" AND r.RingDate < ?", f.Period.To);
        if (!f.Extensions.empty()) {
            sql.Add(" AND r.NumberIn IN (");
            for (size_t i = 0; i < f.Extensions.size(); ++i)
                sql.Add((i ? "," : "") + std::to_string(f.Extensions[i]));
            sql.Add(")");
        }
        if (!f.NumberPart.empty()) sql.Str(" AND r.NumberOut CONTAINING ?", f.NumberPart);
        // The same definition as the owners' daily totals.
        if (f.Direction == TDirection::Incoming) sql.Add(" AND r.NumberOut = 0");
        if (f.Direction == TDirection::Outgoing) sql.Add(" AND r.NumberOut > 0");
        if (f.MinDuration > 0) sql.Int(" AND r.ringlength >= ?", f.MinDuration);
        if (f.Line) sql.Int(" AND r.RLine = ?", *f.Line);
        if (!f.Station.empty() && columns.Station) sql.Str(" AND r.Station = ?", f.Station);
    }

    static void Bind(TFbStatement& q, const TBoundSql& sql) {
        q.SetText(sql.Text);
        for (size_t i = 0; i < sql.Binds.size(); ++i) sql.Binds[i](q.Params(static_cast<int>(i)));
    }

    // The owner comes from a subquery rather than a join, so that the list's own plan can be
    // named below. A page looks its owners up so; a whole selection streamed reads Users once
    // instead (Owners), as a lookup per row adds a third to the server's work for each row.
    enum class TOwnerColumn { Subquery, None };
    std::string CallSelect(const std::string& rows, TOwnerColumn owner) const {
        std::string s = "SELECT " + rows + (columns.Id ? " r.ID," : " 0,") +
                        " r.RingDate, r.NumberIn, r.RLine, r.NumberOut, r.ringlength";
        s += columns.Caller ? ", r.Caller" : ", CAST(NULL AS VARCHAR(1))";
        s += columns.Station ? ", r.Station" : ", CAST(NULL AS VARCHAR(1))";
        if (owner == TOwnerColumn::Subquery)
            s += ", (SELECT FIRST 1 u.FIO FROM Users u WHERE u.NumberIN = r.NumberIn)";
        return s + " FROM Rings r";
    }

    // Users.FIO by extension, read in the current transaction.
    std::unordered_map<int32_t, std::string> Owners() {
        std::unordered_map<int32_t, std::string> owners;
        TFbStatement u(db, tr);
        u.SetText("SELECT NumberIN, FIO FROM Users");
        u.ExecQuery();
        for (; !u.Eof(); u.Next()) owners.emplace(u.Fields(0).AsInteger(), u.Fields(1).AsString());
        return owners;
    }

    // The list in key order. Left to itself the server would also build a bitmap of the whole
    // period from the plain RingDate index before the first row, seconds over two years; walking
    // the key's index alone starts at the cursor and stops after a page. With extensions chosen
    // their own index is better, and the server picks it.
    std::string ListOrder(const TReportFilter& f) const {
        if (!columns.Id) return " ORDER BY r.RingDate";
        const std::string plan =
            keyIndex && f.Extensions.empty() ? " PLAN (R ORDER RINGS_RINGDATE_ID)" : "";
        return plan + " ORDER BY r.RingDate, r.ID";
    }

    // The row of a CallSelect, its owner left to the caller; r is overwritten whole.
    static void ReadCall(const TFbStatement& q, TCallRow& r) {
        r.Id = q.Fields(0).AsInt64();
        r.Start = q.Fields(1).AsDateTime();
        r.Extension = q.Fields(2).AsInteger();
        r.Line = q.Fields(3).AsInteger();
        r.Number = q.Fields(4).AsString();
        r.Incoming = AllZeros(r.Number);
        r.Duration = q.Fields(5).AsInteger();
        r.Caller = q.Fields(6).AsString();
        r.Station = q.Fields(7).AsString();
    }
};

TReportEngine::TReportEngine(const std::string& dbPath, const TDbLogin& login)
    : impl_(std::make_unique<TImpl>(dbPath, login)) {}

TReportEngine::~TReportEngine() = default;

const TRingsColumns& TReportEngine::Columns() const {
    return impl_->columns;
}

TCallPage TReportEngine::Calls(const TReportFilter& filter, const std::optional<TCallCursor>& after,
                               int pageSize) {
    pageSize = std::clamp(pageSize, 1, 10000);
    TImpl& m = *impl_;
    TCallPage page;
    const TDateTime from = after ? std::max(after->Start, filter.Period.From) : filter.Period.From;
    TBoundSql sql;
    if (m.columns.Id) {
        // Keyset on (RingDate, ID): the lower bound on the index's first column lets the server
        // walk the index from the cursor on. "+ 0" keeps it off Rings_ID: a bitmap of every
        // call above the cursor's key cost a deep page of one extension 60 ms more.
        sql.Add(m.CallSelect("FIRST " + std::to_string(pageSize), TImpl::TOwnerColumn::Subquery));
        m.Where(sql, filter, from);
        if (after) {
            sql.Date(" AND (r.RingDate > ?", after->Start);
            sql.Int(" OR r.ID + 0 > ?)", after->Tie);
        }
        sql.Add(m.ListOrder(filter));
    } else {
        // Without a key of its own a call is told from the others of its second by its place
        // among them in the index; calls are never deleted, and a new one goes behind them.
        const int64_t skip = after ? after->Tie : 0;
        sql.Add(m.CallSelect("FIRST " + std::to_string(pageSize) + " SKIP " + std::to_string(skip),
                             TImpl::TOwnerColumn::Subquery));
        m.Where(sql, filter, from);
        sql.Add(m.ListOrder(filter));
    }
    m.Read([&] {
        TFbStatement q(m.db, m.tr);
        TImpl::Bind(q, sql);
        q.ExecQuery();
        for (; !q.Eof(); q.Next()) {
            TCallRow& r = page.Rows.emplace_back();
            TImpl::ReadCall(q, r);
            r.Owner = q.Fields(8).AsString();
        }
    });
    if (static_cast<int>(page.Rows.size()) == pageSize) {
        const TCallRow& last = page.Rows.back();
        TCallCursor next{last.Start, last.Id};
        if (!m.columns.Id) {
            int64_t same = 0;
            for (const auto& r : page.Rows) same += std::abs(r.Start - last.Start) < kSecond / 2;
            const bool sameSecond = after && std::abs(after->Start - last.Start) < kSecond / 2;
            next.Tie = same + (sameSecond ? after->Tie : 0);
        }
        page.Next = next;
    }
    return page;
}

void TReportEngine::ForEachCall(const TReportFilter& filter,
                                const std::function<bool(const TCallRow&)>& each) {
    TImpl& m = *impl_;
    TBoundSql sql;
    sql.Add(m.CallSelect("", TImpl::TOwnerColumn::None));
    m.Where(sql, filter, filter.Period.From);
    sql.Add(m.ListOrder(filter));
    m.Read([&] {
        const auto owners = m.Owners();
        TFbStatement q(m.db, m.tr);
        TImpl::Bind(q, sql);
        q.ExecQuery();
        // One row object for the whole stream: its strings keep their storage from row to row.
        TCallRow r;
        for (; !q.Eof(); q.Next()) {
            TImpl::ReadCall(q, r);
            const auto owner = owners.find(r.Extension);
            if (owner == owners.end())
                r.Owner.clear();
            else
                r.Owner = owner->second;
            if (!each(r)) break;
        }
    });
}

namespace {

// The groups of one summary as they are counted, from calls and from totals alike.
struct TGroups {
    TSummaryKind Kind;
    std::unordered_map<int64_t, TSummaryRow> ByNumber;
    std::unordered_map<std::string, TSummaryRow> ByText;
    TSummaryRow Total;

    bool TextKey() const { return Kind == TSummaryKind::Number || Kind == TSummaryKind::Station; }

    static void Add(TSummaryRow& r, bool incoming, int64_t calls, int64_t seconds) {
        (incoming ? r.CallsIn : r.CallsOut) += calls;
        (incoming ? r.SecondsIn : r.SecondsOut) += seconds;
    }
    void AddText(std::string key, bool incoming, int64_t calls, int64_t seconds) {
        auto it = ByText.find(key);
        if (it == ByText.end()) {
            it = ByText.emplace(key, TSummaryRow{}).first;
            it->second.Key = std::move(key);
        }
        Add(it->second, incoming, calls, seconds);
        Add(Total, incoming, calls, seconds);
    }
    void AddDay(TDateTime day, bool incoming, int64_t calls, int64_t seconds) {
        TSummaryRow& r = ByNumber[DayNumber(day)];
        r.KeyDate = static_cast<TDateTime>(DayNumber(day));
        Add(r, incoming, calls, seconds);
        Add(Total, incoming, calls, seconds);
    }
    void AddNumber(int64_t key, bool incoming, int64_t calls, int64_t seconds) {
        Add(ByNumber[key], incoming, calls, seconds);
        Add(Total, incoming, calls, seconds);
    }
    // The key is the first field of q.
    void AddKey(const TFbStatement& q, bool incoming, int64_t calls, int64_t seconds) {
        if (TextKey())
            AddText(q.Fields(0).AsString(), incoming, calls, seconds);
        else if (Kind == TSummaryKind::Day)
            AddDay(q.Fields(0).AsDateTime(), incoming, calls, seconds);
        else
            AddNumber(q.Fields(0).AsInt64(), incoming, calls, seconds);
    }
};

std::string KeyExpression(TSummaryKind kind) {
    switch (kind) {
        case TSummaryKind::Extension:
            return "r.NumberIn";
        case TSummaryKind::Day:
            return "CAST(r.RingDate AS DATE)";
        case TSummaryKind::Hour:
            return "EXTRACT(HOUR FROM r.RingDate)";
        case TSummaryKind::Line:
            return "r.RLine";
        case TSummaryKind::Number:
            return "r.NumberOut";
        case TSummaryKind::Station:
            return "r.Station";
    }
    return "r.NumberIn";
}

// What RingTotals holds for a kind (Kind column), see db/schema.sql.
int TotalsKind(TSummaryKind kind, const TReportFilter& f) {
    switch (kind) {
        case TSummaryKind::Day:
            return f.Extensions.empty() ? 0 : 1;
        case TSummaryKind::Extension:
            return 1;
        case TSummaryKind::Hour:
            return 2;
        case TSummaryKind::Line:
            return 3;
        case TSummaryKind::Station:
            return 4;
        case TSummaryKind::Number:
            return 5;
    }
    return 0;
}

TDateTime MonthOf(int64_t day) {
    const TDateParts d = DecodeDate(static_cast<TDateTime>(day));
    TDateTime first = 0;
    TryEncodeDate(d.Year, d.Month, 1, first);
    return first;
}

int64_t MonthAfter(int64_t monthStart) {
    const TDateParts d = DecodeDate(static_cast<TDateTime>(monthStart));
    return monthStart + DaysInMonth(d.Year, d.Month);
}

// Which of a summary's calls the totals count, and where the rest are read from Rings.
struct TTotalsPlan {
    int64_t Watermark = 0;
    std::set<int64_t> Counted;       // days whose calls up to the watermark the totals count
    std::set<int64_t> TotalsDays;    // the Day values of RingTotals rows to read
    std::vector<TReportPeriod> Raw;  // spans counted from Rings, every call
};

}  // namespace

struct TReportEngine::TSummaryScan {
    TImpl& m;
    TSummaryKind kind;
    const TReportFilter& f;
    TGroups& g;

    // The totals answer a filter on what they are added up by, nothing finer.
    bool TotalsFit() const {
        if (!m.totals || !m.useTotals || !f.NumberPart.empty() || f.MinDuration > 0) return false;
        if (!f.Extensions.empty() && kind != TSummaryKind::Extension && kind != TSummaryKind::Day)
            return false;
        if (f.Line && kind != TSummaryKind::Line) return false;
        if (!f.Station.empty() && m.columns.Station && kind != TSummaryKind::Station) return false;
        if (kind == TSummaryKind::Station && !m.columns.Station) return false;
        return !(kind == TSummaryKind::Number && f.Direction == TDirection::Incoming);
    }

    std::optional<TTotalsPlan> Plan() {
        TTotalsPlan p;
        // Whole days of the period only: a part of a day is counted from its calls.
        const auto first = static_cast<int64_t>(std::ceil(f.Period.From - kSecond / 2));
        const auto end = static_cast<int64_t>(std::floor(f.Period.To + kSecond / 2));
        if (first >= end) return std::nullopt;
        {
            TFbStatement q(m.db, m.snapshot);
            q.SetText("SELECT Watermark FROM RingTotalState WHERE Id = 1");
            q.ExecQuery();
            if (q.Eof()) return std::nullopt;
            p.Watermark = q.Fields(0).AsInt64();
        }
        const int64_t from = MonthOf(first), to = MonthAfter(MonthOf(end - 1));
        std::set<int64_t> covered, stale;
        for (auto [table, into] :
             {std::pair{"RingTotalDays", &covered}, {"RingTotalStale", &stale}}) {
            TFbStatement q(m.db, m.snapshot);
            q.SetText(std::string("SELECT DISTINCT CallDay FROM ") + table +
                      " WHERE CallDay >= ? AND CallDay < ?");
            q.Params(0).SetAsDateTime(static_cast<TDateTime>(from));
            q.Params(1).SetAsDateTime(static_cast<TDateTime>(to));
            q.ExecQuery();
            for (; !q.Eof(); q.Next()) into->insert(DayNumber(q.Fields(0).AsDateTime()));
        }
        if (kind == TSummaryKind::Number) {
            // Numbers are added up per month: a month counts only when the period holds it
            // whole and none of its calls were replaced since.
            for (int64_t month = MonthOf(first); month < end; month = MonthAfter(month)) {
                const int64_t next = MonthAfter(month);
                if (month < first || next > end) continue;
                if (stale.lower_bound(month) != stale.lower_bound(next)) continue;
                for (auto d = covered.lower_bound(month); d != covered.end() && *d < next; ++d)
                    p.Counted.insert(*d);
                p.TotalsDays.insert(month);
            }
        } else {
            for (auto d = covered.lower_bound(first); d != covered.end() && *d < end; ++d)
                if (!stale.count(*d)) p.Counted.insert(*d);
            p.TotalsDays = p.Counted;
        }
        if (p.Counted.empty()) return std::nullopt;
        // Spans of days not counted, cut to the period.
        const auto firstDay = static_cast<int64_t>(std::floor(f.Period.From));
        for (int64_t d = firstDay; static_cast<TDateTime>(d) < f.Period.To; ++d) {
            if (p.Counted.count(d)) continue;
            const TDateTime a = std::max<TDateTime>(f.Period.From, static_cast<TDateTime>(d));
            const TDateTime b = std::min<TDateTime>(f.Period.To, static_cast<TDateTime>(d + 1));
            if (!p.Raw.empty() && std::abs(p.Raw.back().To - a) < kSecond / 2)
                p.Raw.back().To = b;
            else
                p.Raw.push_back({a, b});
        }
        return p;
    }

    void ReadTotals(const TTotalsPlan& p, int top = 0) {
        // Runs of consecutive days (months for numbers) that the totals count.
        std::vector<std::pair<int64_t, int64_t>> runs;
        for (const int64_t d : p.TotalsDays) {
            const bool next =
                !runs.empty() && (kind == TSummaryKind::Number ? MonthAfter(runs.back().second) == d
                                                               : runs.back().second + 1 == d);
            if (next)
                runs.back().second = d;
            else
                runs.push_back({d, d});
        }
        // Counted days in a few spans are added up by the server; scattered ones (rare: replaced
        // calls here and there) come a row a day and are picked here.
        const bool spans = runs.size() <= 16;
        if (!spans) top = 0;
        const std::string key = kind == TSummaryKind::Day ? "CallDay"
                                : g.TextKey()             ? "KeyText"
                                                          : "KeyNumber";
        const std::string groups = (spans || kind == TSummaryKind::Day ? "" : "CallDay, ") + key;
        TBoundSql sql;
        sql.Add("SELECT " + key + ", Incoming, SUM(Calls), SUM(Seconds)" +
                (spans ? "" : ", MIN(CallDay)") + " FROM RingTotals WHERE ");
        sql.Int("Kind = ?", TotalsKind(kind, f));
        if (spans) {
            sql.Add(" AND (");
            for (size_t i = 0; i < runs.size(); ++i) {
                sql.Date(i ? " OR (CallDay >= ?" : "(CallDay >= ?",
                         static_cast<TDateTime>(runs[i].first));
                sql.Date(" AND CallDay <= ?)", static_cast<TDateTime>(runs[i].second));
            }
            sql.Add(")");
        } else {
            sql.Date(" AND CallDay >= ?", static_cast<TDateTime>(runs.front().first));
            sql.Date(" AND CallDay <= ?", static_cast<TDateTime>(runs.back().second));
        }
        if (TotalsKind(kind, f) == 1 && !f.Extensions.empty()) {
            sql.Add(" AND KeyNumber IN (");
            for (size_t i = 0; i < f.Extensions.size(); ++i)
                sql.Add((i ? "," : "") + std::to_string(f.Extensions[i]));
            sql.Add(")");
        }
        if (f.Direction != TDirection::Any)
            sql.Add(f.Direction == TDirection::Incoming ? " AND Incoming = 1"
                                                        : " AND Incoming = 0");
        if (kind == TSummaryKind::Line && f.Line) sql.Int(" AND KeyNumber = ?", *f.Line);
        if (kind == TSummaryKind::Station && !f.Station.empty())
            sql.Str(" AND KeyText = ?", f.Station);
        if (top > 0) {
            // The selection's total over every group, then the groups themselves.
            TBoundSql total = sql;
            total.Text.replace(0, total.Text.find(" FROM "), "SELECT SUM(Calls), SUM(Seconds)");
            TFbStatement t(m.db, m.snapshot);
            TImpl::Bind(t, total);
            t.ExecQuery();
            TGroups::Add(g.Total, false, t.Fields(0).AsInt64(), t.Fields(1).AsInt64());
        }
        sql.Add(" GROUP BY " + groups + ", Incoming");
        // Numbers are all outgoing: one group per number.
        if (top > 0) sql.Add(" ORDER BY 3 DESC, 1 ROWS " + std::to_string(top));
        TFbStatement q(m.db, m.snapshot);
        TImpl::Bind(q, sql);
        q.ExecQuery();
        for (; !q.Eof(); q.Next()) {
            if (!spans && !p.TotalsDays.count(DayNumber(q.Fields(4).AsDateTime()))) continue;
            const bool incoming = q.Fields(1).AsInteger() != 0;
            const int64_t calls = q.Fields(2).AsInt64(), seconds = q.Fields(3).AsInt64();
            if (top > 0)
                TGroups::Add(g.ByText[q.Fields(0).AsString()], incoming, calls, seconds);
            else
                g.AddKey(q, incoming, calls, seconds);
        }
        for (auto& [key, row] : g.ByText) row.Key = key;
    }

    // Calls of `period`; with a plan, only those above its watermark on counted days.
    void ReadCalls(const TReportPeriod& period, const TTotalsPlan* late) {
        TReportFilter pf = f;
        pf.Period = period;
        TBoundSql sql;
        sql.Add("SELECT " + KeyExpression(kind) +
                ", IIF(r.NumberOut = 0, 1, 0), r.ringlength, r.RingDate FROM Rings r");
        m.Where(sql, pf, pf.Period.From);
        if (late) {
            // Calls stored since the totals were added up: few, found by their key alone.
            sql.Int(" AND r.ID > ?", late->Watermark);
            sql.Add(" PLAN (R INDEX (RINGS_ID))");
        }
        TFbStatement q(m.db, m.snapshot);
        TImpl::Bind(q, sql);
        q.ExecQuery();
        for (; !q.Eof(); q.Next()) {
            if (late && !late->Counted.count(DayNumber(q.Fields(3).AsDateTime()))) continue;
            g.AddKey(q, q.Fields(1).AsInteger() != 0, 1, q.Fields(2).AsInt64());
        }
    }

    // top: for numbers, only the most called are wanted (0: every group).
    void Run(int top = 0) {
        const std::optional<TTotalsPlan> plan = TotalsFit() ? Plan() : std::nullopt;
        if (!plan) {
            ReadCalls(f.Period, nullptr);
            return;
        }
        ReadCalls(f.Period, &*plan);
        for (const TReportPeriod& span : plan->Raw) ReadCalls(span, nullptr);
        // A closed month has tens of thousands of numbers; when the totals hold every call of
        // the period, the server picks the first ones and adds up the rest alone.
        if (kind == TSummaryKind::Number && top > 0 && g.Total.Calls() == 0) {
            ReadTotals(*plan, top);
            return;
        }
        ReadTotals(*plan);
    }
};

TSummary TReportEngine::Summary(TSummaryKind kind, const TReportFilter& filter, int limit) {
    TImpl& m = *impl_;
    TSummary s;
    s.Kind = kind;
    s.Total.Key = kTotal;
    if (kind == TSummaryKind::Station && !m.columns.Station) return s;

    TReportFilter f = filter;
    if (kind == TSummaryKind::Number && f.Direction == TDirection::Any)
        f.Direction = TDirection::Outgoing;
    TGroups g{kind, {}, {}, {}};
    g.Total.Key = kTotal;
    m.Read(
        [&] {
            // The groups are counted here rather than by the server's GROUP BY: one pass over
            // the rows in index order instead of a sort of all of them.
            TSummaryScan{m, kind, f, g}.Run(limit);
            if (kind == TSummaryKind::Extension) {
                TFbStatement u(m.db, m.snapshot);
                u.SetText("SELECT NumberIN, FIO FROM Users");
                u.ExecQuery();
                for (; !u.Eof(); u.Next()) {
                    auto it = g.ByNumber.find(u.Fields(0).AsInt64());
                    if (it != g.ByNumber.end()) it->second.Owner = u.Fields(1).AsString();
                }
            }
        },
        &m.snapshot);
    s.Total = g.Total;

    for (auto& [k, r] : g.ByNumber) {
        r.KeyNumber = kind == TSummaryKind::Day ? 0 : k;
        if (kind == TSummaryKind::Day)
            r.Key = DateToStr(r.KeyDate);
        else if (kind == TSummaryKind::Hour) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "%02d", static_cast<int>(k));
            r.Key = buf;
        } else
            r.Key = std::to_string(k);
        s.Rows.push_back(std::move(r));
    }
    for (auto& [k, r] : g.ByText) s.Rows.push_back(std::move(r));
    if (kind == TSummaryKind::Number) {
        std::sort(s.Rows.begin(), s.Rows.end(), [](const TSummaryRow& a, const TSummaryRow& b) {
            return a.Calls() != b.Calls() ? a.Calls() > b.Calls() : a.Key < b.Key;
        });
        if (limit > 0 && static_cast<int>(s.Rows.size()) > limit) s.Rows.resize(limit);
    } else if (g.TextKey()) {
        std::sort(s.Rows.begin(), s.Rows.end(),
                  [](const TSummaryRow& a, const TSummaryRow& b) { return a.Key < b.Key; });
    } else {
        std::sort(s.Rows.begin(), s.Rows.end(), [](const TSummaryRow& a, const TSummaryRow& b) {
            return a.KeyDate != b.KeyDate ? a.KeyDate < b.KeyDate : a.KeyNumber < b.KeyNumber;
        });
    }
    return s;
}

void TReportEngine::SetUseTotals(bool value) {
    impl_->useTotals = value;
}

TSummaryRow TReportEngine::Totals(const TReportFilter& filter) {
    TImpl& m = *impl_;
    if (m.totals && m.useTotals) {
        TGroups g{TSummaryKind::Day, {}, {}, {}};
        TSummaryScan scan{m, TSummaryKind::Day, filter, g};
        if (scan.TotalsFit()) {
            m.Read([&] { scan.Run(); }, &m.snapshot);
            g.Total.Key = kTotal;
            return g.Total;
        }
    }
    TBoundSql sql;
    sql.Add(
        "SELECT SUM(IIF(r.NumberOut = 0, 1, 0)), SUM(IIF(r.NumberOut = 0, r.ringlength, 0)), "
        "COUNT(*), SUM(r.ringlength) FROM Rings r");
    m.Where(sql, filter, filter.Period.From);
    TSummaryRow t;
    t.Key = kTotal;
    m.Read([&] {
        TFbStatement q(m.db, m.tr);
        TImpl::Bind(q, sql);
        q.ExecQuery();
        if (q.Eof()) return;
        t.CallsIn = q.Fields(0).AsInt64();
        t.SecondsIn = q.Fields(1).AsInt64();
        t.CallsOut = q.Fields(2).AsInt64() - t.CallsIn;
        t.SecondsOut = q.Fields(3).AsInt64() - t.SecondsIn;
    });
    return t;
}

std::vector<std::string> TReportEngine::Stations() {
    std::vector<std::string> out;
    TImpl& m = *impl_;
    if (!m.columns.Station) return out;
    m.Read([&] {
        TFbStatement q(m.db, m.tr);
        // Every station that stores calls keeps its journal mark; a look through every call
        // for the names would cost a full scan.
        q.SetText("SELECT Station FROM JournalMarks ORDER BY Station");
        q.ExecQuery();
        for (; !q.Eof(); q.Next()) out.push_back(q.Fields(0).AsString());
    });
    return out;
}

TReportWorker::TReportWorker(std::string dbPath, TDbLogin login)
    : dbPath_(std::move(dbPath)), login_(std::move(login)), thread_([this] { Loop(); }) {}

TReportWorker::~TReportWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        jobs_.clear();
    }
    wake_.notify_all();
    thread_.join();
}

void TReportWorker::Post(TJob job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void TReportWorker::Loop() {
    // A report may take seconds of processor time; a received line may not wait for it.
    platform::LowerThreadPriority();
    std::unique_ptr<TReportEngine> engine;
    for (;;) {
        TJob job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        std::exception_ptr failed;
        try {
            // A database that was away is tried again by the next job.
            if (!engine) engine = std::make_unique<TReportEngine>(dbPath_, login_);
        } catch (...) {
            failed = std::current_exception();
        }
        job(engine.get(), failed);
    }
}
