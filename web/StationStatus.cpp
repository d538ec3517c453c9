#include "web/StationStatus.h"

#include <signal.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>

#include "platform/ProgramDir.h"

namespace web {
namespace {

constexpr qint64 kMaxFile = 1 << 20;

QDateTime Time(const QJsonValue& v) {
    if (!v.isString()) return {};
    return QDateTime::fromString(v.toString(), Qt::ISODate);
}

int64_t Int(const QJsonObject& o, const char* key) {
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isDouble() ? static_cast<int64_t>(v.toDouble()) : 0;
}

std::string Text(const QJsonObject& o, const char* key) {
    return o.value(QLatin1String(key)).toString().toStdString();
}

}  // namespace

bool ProcessAlive(int64_t pid) {
    if (pid <= 0 || pid > 0x7fffffff) return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

TStationStatus ParseStationStatus(std::string_view json, const QDateTime& now,
                                  bool (*pidAlive)(int64_t)) {
    TStationStatus s;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(
        QByteArray(json.data(), static_cast<qsizetype>(json.size())), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        s.Problem = "status.json is no JSON object";
        return s;
    }
    const QJsonObject o = doc.object();
    s.Present = true;
    s.Station = Text(o, "station");
    s.Pid = Int(o, "pid");
    s.Updated = Time(o.value("updated"));
    s.Capturing = o.value("capturing").toBool();
    s.Port = Text(o, "port");
    s.PortUp = o.value("port_up").toBool();
    s.Database = Text(o, "database");
    s.DatabaseUp = o.value("database_up").toBool();
    s.DatabaseError = Text(o, "database_error");
    s.Backlog = Int(o, "backlog");
    s.LastReceived = Time(o.value("last_received"));
    s.LastStored = Time(o.value("last_stored"));
    s.Outbox = Int(o, "outbox");
    s.RejectedToday = Int(o, "rejected_today");
    const QJsonObject c = o.value("counters").toObject();
    s.Received = Int(c, "received");
    s.Stored = Int(c, "stored");
    s.Rejected = Int(c, "rejected");
    s.Dropped = Int(c, "dropped");
    s.MailsSent = Int(c, "mails_sent");
    s.MailsFailed = Int(c, "mails_failed");
    for (const QJsonValue& a : o.value("alerts").toArray()) {
        const QJsonObject ao = a.toObject();
        s.Alerts.push_back({Text(ao, "kind"), Time(ao.value("since")), Text(ao, "text")});
    }
    const bool fresh = s.Updated.isValid() && s.Updated.secsTo(now) <= kStaleSeconds;
    s.Running = fresh && (s.Pid == 0 || pidAlive(s.Pid));
    if (!s.Running) s.Capturing = false;
    return s;
}

TStationStatus ReadStationStatus(const std::string& dir, const QDateTime& now) {
    std::string d = dir;
    if (!d.empty() && d.back() != '/') d += '/';
    QFile file(QString::fromStdString(platform::FileInDir(d, "status.json")));
    TStationStatus s;
    if (!file.open(QIODevice::ReadOnly)) {
        s.Problem = file.exists() ? file.errorString().toStdString() : "no status.json";
    } else if (file.size() > kMaxFile) {
        s.Problem = "status.json is larger than 1 MiB";
    } else {
        const QByteArray data = file.read(kMaxFile);
        s = ParseStationStatus(std::string_view(data.constData(), static_cast<size_t>(data.size())),
                               now, ProcessAlive);
    }
    s.Dir = dir;
    return s;
}

}  // namespace web
