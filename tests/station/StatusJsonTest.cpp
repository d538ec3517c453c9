// The status file's text: valid JSON whatever a server's reason or a port's name holds, texts
// in UTF-8, times local with their offset, null for what has not happened.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "platform/CodePage.h"
#include "station/StatusFile.h"

namespace {

TEST(StatusJsonTest, AnyTextStaysValidJsonAndReadsBackAsItWas) {
    TStationStatus s;
    s.Station = "st-1";
    s.Pid = 4321;
    s.Updated = EncodeDateTimeOrZero(2026, 12, 9, 10, 11, 12);
    s.Port = "tcp://10.0.0.5:2300";
    s.DatabaseError = platform::Utf8ToAnsi("сервер \"ушёл\"\\\r\n\tвот\x01");
    s.Backlog = 12;
    s.LastStored = EncodeDateTimeOrZero(2026, 12, 9, 10, 0, 0);
    s.Counters.Received = 7;
    s.Alerts = {{"database", s.Updated, platform::Utf8ToAnsi("база недоступна")}};
    QJsonParseError error{};
    const QJsonObject o =
        QJsonDocument::fromJson(QByteArray::fromStdString(StatusJson(s)), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << StatusJson(s);
    EXPECT_EQ(o["version"].toInt(), 1);
    EXPECT_EQ(o["pid"].toInt(), 4321);
    EXPECT_EQ(o["database_error"].toString().toStdString(), "сервер \"ушёл\"\\\r\n\tвот\x01");
    EXPECT_EQ(o["updated"].toString().left(19), "2026-12-09T10:11:12");
    EXPECT_TRUE(o["last_received"].isNull());
    EXPECT_EQ(o["last_stored"].toString().left(19), "2026-12-09T10:00:00");
    EXPECT_EQ(o["backlog"].toInt(), 12);
    EXPECT_EQ(o["counters"].toObject()["received"].toInt(), 7);
    const QJsonObject alert = o["alerts"].toArray()[0].toObject();
    EXPECT_EQ(alert["kind"].toString(), "database");
    EXPECT_EQ(alert["text"].toString().toStdString(), "база недоступна");
}

// POSIX zone strings need no zone database: east of Greenwich is a negative offset there.
TEST(StatusJsonTest, OffsetIsTheZonesAtThatMoment) {
    const char* saved = std::getenv("TZ");
    const std::string old = saved ? saved : "";
    const TDateTime at = EncodeDateTimeOrZero(2026, 12, 9, 10, 11, 12);
    for (const auto& [zone, text] : std::vector<std::pair<const char*, const char*>>{
             {"MSK-3", "2026-12-09T10:11:12+03:00"},
             {"UTC0", "2026-12-09T10:11:12+00:00"},
             {"EST5", "2026-12-09T10:11:12-05:00"},
             {"IST-5:30", "2026-12-09T10:11:12+05:30"}}) {
        ::setenv("TZ", zone, 1);
        ::tzset();
        EXPECT_EQ(IsoLocalTime(at), text) << zone;
    }
    if (saved)
        ::setenv("TZ", old.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

}  // namespace
