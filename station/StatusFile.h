#pragma once
// status.json in the station directory: what the station is doing, for the web program and for
// anyone who looks, written whole whenever the state changes and every few seconds.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "notify/Alerts.h"

struct TStationStatus {
    std::string Station;  // journal/station.id
    long Pid = 0;
    TDateTime Updated = 0;
    bool Capturing = false;
    std::string Port;
    bool PortUp = false;
    std::string Database;
    bool DatabaseUp = false;
    std::string DatabaseError;
    int64_t Backlog = 0;
    std::optional<TDateTime> LastReceived;
    std::optional<TDateTime> LastStored;
    int64_t Outbox = 0;
    int64_t RejectedToday = 0;
    struct {
        int64_t Received = 0, Stored = 0, Rejected = 0, Dropped = 0, MailsSent = 0, MailsFailed = 0;
    } Counters;
    std::vector<TActiveAlert> Alerts;
};

// The file's text: one JSON object, UTF-8.
std::string StatusJson(const TStationStatus& status);

// A text as a JSON string literal, from Windows-1251.
std::string JsonString(const std::string& ansi);

// Writes dir + "status.json" whole; false with error set when it could not be written.
bool WriteStatusFile(const std::string& dir, const TStationStatus& status, std::string& error);

inline constexpr const char* kStatusFile = "status.json";
