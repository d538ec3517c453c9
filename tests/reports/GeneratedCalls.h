#pragma once
// Calls made up by a formula, stored in a fresh database and kept here too, so that every
// figure a report gives can be counted again independently.
#include <cmath>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "db/CallDatabase.h"
#include "reports/ReportEngine.h"
#include "tests/db/FreshDatabase.h"

struct TGenCall {
    TDateTime Start = 0;
    int Extension = 0;
    int Line = 0;
    std::string Number;
    int Duration = 0;
    std::string Station;
    bool Incoming() const { return Number == "0"; }
};

inline TDateTime Day(int year, int month, int day) {
    TDateTime d = 0;
    TryEncodeDate(year, month, day, d);
    return d;
}

// n calls over `days` days from 1 March 2026: five extensions, three lines, every fourth call
// incoming, every ninth sharing its second with the one before (a tie the list must break).
inline std::vector<TGenCall> MakeCalls(int n, int days = 40) {
    std::vector<TGenCall> calls;
    const TDateTime base = Day(2026, 3, 1);
    for (int i = 0; i < n; ++i) {
        TGenCall c;
        const int64_t second = (static_cast<int64_t>(i) * 7919) % (int64_t{days} * 86400);
        c.Start = i % 9 == 8 ? calls.back().Start : base + static_cast<double>(second) / 86400;
        c.Extension = 201 + i % 5;
        c.Line = 1 + i % 3;
        c.Number = i % 4 == 0 ? "0" : "8495" + std::to_string(1000 + i % 13);
        c.Duration = (i * 37) % 600 + (i % 11 == 0 ? 3600 : 0);
        c.Station = i % 2 ? "north" : "south";
        calls.push_back(c);
    }
    return calls;
}

inline void InsertCalls(TCallDatabase& db, const std::vector<TGenCall>& calls, bool station) {
    if (!db.DbTransaction.InTransaction()) db.DbTransaction.StartTransaction();
    TFbStatement q(db.DbConnection, db.DbTransaction);
    q.SetText(std::string("INSERT INTO Rings (RLine, TimeHour, TimeMin, TimeSec, NumberIn, "
                          "NumberOut, RingDate") +
              (station ? ", Station) VALUES (?,?,?,?,?,?,?,?)" : ") VALUES (?,?,?,?,?,?,?)"));
    for (const auto& c : calls) {
        q.Params(0).SetAsInteger(c.Line);
        q.Params(1).SetAsInteger(c.Duration / 3600);
        q.Params(2).SetAsInteger(c.Duration / 60 % 60);
        q.Params(3).SetAsInteger(c.Duration % 60);
        q.Params(4).SetAsInteger(c.Extension);
        q.Params(5).SetAsString(c.Number);
        q.Params(6).SetAsDateTime(c.Start);
        if (station) q.Params(7).SetAsString(c.Station);
        q.ExecQuery();
    }
    db.DbTransaction.Commit();
}

// The calls a filter keeps, by the filter's own definition.
inline bool Keeps(const TReportFilter& f, const TGenCall& c) {
    const double eps = 0.5 / 86400;
    if (c.Start < f.Period.From - eps || c.Start >= f.Period.To - eps) return false;
    if (!f.Extensions.empty() &&
        std::find(f.Extensions.begin(), f.Extensions.end(), c.Extension) == f.Extensions.end())
        return false;
    if (!f.NumberPart.empty() && c.Number.find(f.NumberPart) == std::string::npos) return false;
    if (f.Direction == TDirection::Incoming && !c.Incoming()) return false;
    if (f.Direction == TDirection::Outgoing && c.Incoming()) return false;
    if (c.Duration < f.MinDuration) return false;
    if (f.Line && c.Line != *f.Line) return false;
    if (!f.Station.empty() && c.Station != f.Station) return false;
    return true;
}
