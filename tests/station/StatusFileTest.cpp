// status.json of a running station, as the web program reads it: written whole, fresh every
// few seconds, telling what the station received and stored, and "capturing": false after a stop.
#include <gtest/gtest.h>
#include <signal.h>

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "../common/TempDir.h"
#include "tests/station/Pty.h"
#include "tests/station/StationProcess.h"
#include "tests/station/StationStage.h"

namespace {

QJsonObject ReadStatus(const std::string& path) {
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly)) return {};
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    return doc.object();
}

// Reads the file until it holds what is asked for or the time is up.
QJsonObject StatusWhen(const std::string& path, const std::function<bool(const QJsonObject&)>& ok,
                       std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    QJsonObject status;
    while (std::chrono::steady_clock::now() < end) {
        status = ReadStatus(path);
        if (!status.isEmpty() && ok(status)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return status;
}

TEST(StatusFile, RunningStationTellsWhatItDoesAndThatItStopped) {
    TempDir dir;
    TPty pty;
    ASSERT_TRUE(pty.Ok());
    const std::string db = dir.file("calls.fdb");
    ASSERT_TRUE(stage::CreateDatabase(TARVICK_SOURCE_DIR, db));
    stage::TStationFiles files;
    files.Dir = dir.path();
    files.PortName = pty.Path();
    files.Fields["DBPath"] = db;
    std::string what;
    ASSERT_TRUE(stage::Stage(files, TARVICK_SOURCE_DIR, TARVICK_TOOL, what)) << what;

    TStationProcess station(dir.path());
    const std::string path = dir.file("status.json");
    QJsonObject status = StatusWhen(
        path, [](const QJsonObject& s) { return s["database_up"].toBool(); },
        std::chrono::seconds(20));
    ASSERT_TRUE(status["database_up"].toBool()) << station.Errors();
    EXPECT_EQ(status["version"].toInt(), 1);
    EXPECT_EQ(status["pid"].toInteger(), station.Pid);
    EXPECT_TRUE(status["capturing"].toBool());
    EXPECT_EQ(status["port"].toString().toStdString(), pty.Path());
    EXPECT_TRUE(status["port_up"].toBool());
    EXPECT_EQ(status["database"].toString().toStdString(), db);
    EXPECT_EQ(status["database_error"].toString(), "");
    EXPECT_FALSE(status["station"].toString().isEmpty());
    EXPECT_TRUE(status["last_received"].isNull());
    EXPECT_TRUE(status["alerts"].isArray());

    // A call and a line that is none: counted, the time of the call kept.
    ASSERT_TRUE(pty.Send("12/04/26 09:00:01 01 201 00:02:15 84950000001\r\nnoise\r\n"));
    status = StatusWhen(
        path,
        [](const QJsonObject& s) { return s["counters"].toObject()["rejected"].toInt() == 1; },
        std::chrono::seconds(10));
    const QJsonObject counters = status["counters"].toObject();
    EXPECT_EQ(counters["received"].toInt(), 2);
    EXPECT_EQ(counters["stored"].toInt(), 1);
    EXPECT_EQ(counters["rejected"].toInt(), 1);
    EXPECT_EQ(status["rejected_today"].toInt(), 1);
    EXPECT_EQ(status["backlog"].toInt(), 0);
    EXPECT_EQ(status["last_received"].toString().size(), 25);  // 2026-12-09T10:11:12+03:00
    EXPECT_FALSE(status["last_stored"].isNull());

    // Fresh every five seconds while nothing changes.
    const QString updated = status["updated"].toString();
    status = StatusWhen(
        path, [&](const QJsonObject& s) { return s["updated"].toString() != updated; },
        std::chrono::seconds(8));
    EXPECT_NE(status["updated"].toString(), updated);

    kill(station.Pid, SIGTERM);
    EXPECT_EQ(station.Wait(std::chrono::seconds(10)), 0);
    status = ReadStatus(path);
    EXPECT_FALSE(status["capturing"].toBool());
    EXPECT_FALSE(status["port_up"].toBool());
    // Nothing but the file is left behind by its writes.
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        EXPECT_NE(e.path().filename().string().rfind(".tmp-", 0), 0u) << e.path();
}

}  // namespace
