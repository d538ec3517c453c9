#include "web/Metrics.h"

#include <cmath>
#include <cstdio>
#include <functional>

namespace web {
namespace {

std::string Value(double v) {
    if (std::isnan(v)) return "NaN";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// Seconds of the local TDateTime since the epoch, as Prometheus wants times.
double EpochSeconds(TDateTime t) {
    const TDateParts d = DecodeDate(t);
    const TTimeParts tm = DecodeTime(t);
    const QDateTime local(QDate(d.Year, d.Month, d.Day), QTime(tm.Hour, tm.Min, tm.Sec));
    return static_cast<double>(local.toSecsSinceEpoch());
}

}  // namespace

std::string LabelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string MetricsText(const std::vector<TStationStatus>& stations, bool databaseUp,
                        const std::vector<TMetricsMark>& marks, const QDateTime& now) {
    std::string out;
    auto family = [&](const char* name, const char* type, const char* help,
                      const std::function<double(const TStationStatus&)>& value) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
        for (const TStationStatus& s : stations)
            out += std::string(name) + "{station=\"" + LabelValue(s.Station) + "\",dir=\"" +
                   LabelValue(s.Dir) + "\"} " + Value(value(s)) + "\n";
    };
    auto b = [](bool v) { return v ? 1.0 : 0.0; };
    family("tarvick_station_up", "gauge", "1 while the station runs and its status file is fresh.",
           [&](const TStationStatus& s) { return b(s.Running); });
    family("tarvick_capturing", "gauge", "1 while the station captures.",
           [&](const TStationStatus& s) { return b(s.Running && s.Capturing); });
    family("tarvick_lines_received_total", "counter", "Lines received since the station started.",
           [](const TStationStatus& s) { return double(s.Received); });
    family("tarvick_lines_stored_total", "counter",
           "Lines stored as calls since the station started.",
           [](const TStationStatus& s) { return double(s.Stored); });
    family("tarvick_lines_rejected_total", "counter", "Lines rejected since the station started.",
           [](const TStationStatus& s) { return double(s.Rejected); });
    family("tarvick_lines_dropped_total", "counter",
           "Lines dropped by the rules since the station started.",
           [](const TStationStatus& s) { return double(s.Dropped); });
    family("tarvick_rejected_today", "gauge", "Lines rejected today.",
           [](const TStationStatus& s) { return double(s.RejectedToday); });
    family("tarvick_backlog_lines", "gauge", "Journal lines waiting to be stored.",
           [](const TStationStatus& s) { return double(s.Backlog); });
    family("tarvick_database_up", "gauge", "1 while the station reaches its database.",
           [&](const TStationStatus& s) { return b(s.Running && s.DatabaseUp); });
    family("tarvick_port_up", "gauge", "1 while the station's port or network exchange is open.",
           [&](const TStationStatus& s) { return b(s.Running && s.PortUp); });
    family("tarvick_seconds_since_last_line", "gauge",
           "Seconds since the last line was received (NaN: none since the start).",
           [&](const TStationStatus& s) {
               return s.LastReceived.isValid() ? double(s.LastReceived.secsTo(now)) : std::nan("");
           });
    family("tarvick_outbox_mails", "gauge", "Mails waiting in the outbox.",
           [](const TStationStatus& s) { return double(s.Outbox); });
    family("tarvick_mails_sent_total", "counter", "Mails sent since the station started.",
           [](const TStationStatus& s) { return double(s.MailsSent); });
    family("tarvick_mails_failed_total", "counter",
           "Mail attempts failed since the station started.",
           [](const TStationStatus& s) { return double(s.MailsFailed); });
    family("tarvick_alerts", "gauge", "Alerts the station has open.",
           [](const TStationStatus& s) { return double(s.Alerts.size()); });

    out +=
        "# HELP tarvick_web_database_up 1 when the web program reaches the call database.\n"
        "# TYPE tarvick_web_database_up gauge\ntarvick_web_database_up " +
        Value(b(databaseUp)) + "\n";
    out +=
        "# HELP tarvick_last_stored_timestamp_seconds When each station storing into the database "
        "last moved its mark.\n# TYPE tarvick_last_stored_timestamp_seconds gauge\n";
    for (const TMetricsMark& m : marks)
        if (m.Updated != 0)
            out += "tarvick_last_stored_timestamp_seconds{station=\"" + LabelValue(m.Station) +
                   "\"} " + Value(EpochSeconds(m.Updated)) + "\n";
    return out;
}

}  // namespace web
