#pragma once
// Alerts for an unattended station: the watchdog that notices a silent exchange within working
// hours, and the station's troubles (the database away, the port gone, the journal's disk, the
// template no longer fitting, mail that does not go), each told once when it starts (after a
// grace time, so a blip says nothing) and once when it ends.
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "config/AlertSettings.h"

enum class TAlertKind { Silence, Database, Port, Journal, Rejected, Outbox };

// "silence", "database", "port", "journal", "rejected", "outbox".
const char* AlertKindName(TAlertKind kind);

bool InWorkingHours(const TAlertSettings& settings, TDateTime at);
// Minutes of working time between from and to, counted no further than cap.
double WorkingMinutes(const TAlertSettings& settings, TDateTime from, TDateTime to, double cap);

// An alert that is on: its kind, since when the trouble lasts, and what it says (Windows-1251).
struct TActiveAlert {
    std::string Kind;
    TDateTime Since = 0;
    std::string Text;
};

struct TAlertEvent {
    TAlertKind Kind;
    bool Started = false;  // false: ended
    TDateTime Since = 0;   // when the trouble began
    TDateTime At = 0;      // now
    std::string Text;      // what the trouble is (started), or what it was (ended)
};

class TAlertMonitor {
public:
    explicit TAlertMonitor(TAlertSettings settings = {});

    const TAlertSettings& Settings() const { return Settings_; }

    // A trouble of kind is there at now, or not, with what it says (Windows-1251).
    void Observe(TAlertKind kind, bool trouble, const std::string& text, TDateTime now);
    // The watchdog: no line since lastLine. Outside working hours silence does not count.
    void ObserveSilence(TDateTime lastLine, TDateTime now);

    std::vector<TActiveAlert> Active() const;

    // Each start and end, as it happens.
    std::function<void(const TAlertEvent& event)> OnEvent;

private:
    struct TState {
        bool Seen = false;  // the trouble is there, maybe still within its grace time
        bool On = false;    // told
        TDateTime Since = 0;
        std::string Text;
    };
    void Change(TAlertKind kind, bool trouble, const std::string& text, TDateTime now,
                double graceMinutes, TDateTime since);

    TAlertSettings Settings_;
    std::map<TAlertKind, TState> States;
};
