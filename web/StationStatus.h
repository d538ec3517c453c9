#pragma once
// The station's status.json as the web program reads it: what a running station last said of
// itself. An older or newer station's file is read for the keys both know.
#include <QDateTime>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace web {

struct TStationAlert {
    std::string Kind;
    QDateTime Since;
    std::string Text;
};

struct TStationStatus {
    std::string Dir;       // where the file was looked for
    bool Present = false;  // a file was there and could be read
    bool Running = false;  // fresh, and its process is alive
    std::string Problem;   // why it could not be read
    std::string Station;
    int64_t Pid = 0;
    QDateTime Updated;
    bool Capturing = false;
    std::string Port;
    bool PortUp = false;
    std::string Database;
    bool DatabaseUp = false;
    std::string DatabaseError;
    int64_t Backlog = 0;
    QDateTime LastReceived;  // invalid when none
    QDateTime LastStored;
    int64_t Outbox = 0;
    int64_t RejectedToday = 0;
    int64_t Received = 0, Stored = 0, Rejected = 0, Dropped = 0, MailsSent = 0, MailsFailed = 0;
    std::vector<TStationAlert> Alerts;
};

constexpr int kStaleSeconds = 30;

// Parses the file's text; `pidAlive` tells whether a process of that id runs on this machine.
TStationStatus ParseStationStatus(std::string_view json, const QDateTime& now,
                                  bool (*pidAlive)(int64_t));
// Reads dir/status.json (at most 1 MiB).
TStationStatus ReadStationStatus(const std::string& dir, const QDateTime& now);
bool ProcessAlive(int64_t pid);

}  // namespace web
