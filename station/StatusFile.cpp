#include "station/StatusFile.h"

#include <cstdio>

#include "platform/AtomicFile.h"
#include "platform/CodePage.h"

namespace {

std::string Time(const std::optional<TDateTime>& t) {
    return t ? "\"" + IsoLocalTime(*t) + "\"" : "null";
}

const char* Bool(bool b) {
    return b ? "true" : "false";
}

}  // namespace

std::string JsonString(const std::string& ansi) {
    const std::string utf8 = platform::AnsiToUtf8(ansi);
    std::string out = "\"";
    for (const char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string StatusJson(const TStationStatus& s) {
    std::string j = "{\n";
    auto field = [&j](const char* key, const std::string& value, bool last = false) {
        j += "  \"" + std::string(key) + "\": " + value + (last ? "\n" : ",\n");
    };
    field("version", "1");
    field("station", JsonString(s.Station));
    field("pid", std::to_string(s.Pid));
    field("updated", Time(s.Updated));
    field("capturing", Bool(s.Capturing));
    field("port", JsonString(s.Port));
    field("port_up", Bool(s.PortUp));
    field("database", JsonString(s.Database));
    field("database_up", Bool(s.DatabaseUp));
    field("database_error", JsonString(s.DatabaseError));
    field("backlog", std::to_string(s.Backlog));
    field("last_received", Time(s.LastReceived));
    field("last_stored", Time(s.LastStored));
    field("outbox", std::to_string(s.Outbox));
    field("rejected_today", std::to_string(s.RejectedToday));
    const auto& c = s.Counters;
    field("counters", "{\"received\": " + std::to_string(c.Received) +
                          ", \"stored\": " + std::to_string(c.Stored) +
                          ", \"rejected\": " + std::to_string(c.Rejected) +
                          ", \"dropped\": " + std::to_string(c.Dropped) +
                          ", \"mails_sent\": " + std::to_string(c.MailsSent) +
                          ", \"mails_failed\": " + std::to_string(c.MailsFailed) + "}");
    std::string alerts = "[";
    for (size_t i = 0; i < s.Alerts.size(); ++i) {
        const TActiveAlert& a = s.Alerts[i];
        alerts += std::string(i ? ",\n    " : "\n    ") + "{\"kind\": " + JsonString(a.Kind) +
                  ", \"since\": " + Time(a.Since) + ", \"text\": " + JsonString(a.Text) + "}";
    }
    alerts += s.Alerts.empty() ? "]" : "\n  ]";
    field("alerts", alerts, true);
    return j + "}\n";
}

bool WriteStatusFile(const std::string& dir, const TStationStatus& status, std::string& error) {
    return platform::ReplaceFileAtomically(dir + kStatusFile, StatusJson(status), error);
}
