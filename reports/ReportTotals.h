#pragma once
// Calls and talk time added up per closed day (RingTotals), so that a summary of a month or of
// years reads a few rows a day instead of every call.
//
// The totals count exactly the calls of the days in RingTotalDays whose ID is at most the
// watermark; a report counts every other call of its period from Rings. Calls stored late (a
// backlog, replay) carry a higher ID and are added up on the next run; days whose calls were
// replaced (reparse notes them in RingTotalStale) are counted from Rings until their month is
// added up again. The adding-up takes a watermark only once every transaction that could still
// store a call below it has ended, so no call is ever counted twice or missed.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/DateTime.h"
#include "db/DbLogin.h"

#include "db/FbObjects.h"

struct TTotalsOptions {
    TDateTime Today = 0;  // the days before it are closed
    // How long to wait for the transactions open at the start to end.
    std::chrono::milliseconds WaitLimit{120000};
    int DaysPerStep = 31;  // one transaction adds up at most this many days
    const std::atomic<bool>* Cancel = nullptr;
};

struct TTotalsResult {
    bool Available = true;  // false: the database has no totals tables (upgrade-db adds them)
    int DaysAdded = 0;
    int MonthsRecounted = 0;  // months counted again because calls of theirs were replaced
    int64_t LateCalls = 0;    // calls of days added up before, stored since
    int64_t Watermark = 0;
    std::string Stopped;  // why it stopped before the end (busy, cancelled); empty when done
};

// Adds up every closed day not yet counted, in steps of a transaction each. Raises
// EDatabaseError; the steps committed before stay.
TTotalsResult AddUpTotals(TFbConnection& db, const TTotalsOptions& options);

// "days=N late=L recounted=M watermark=W", and what stopped it.
std::string TotalsResultText(const TTotalsResult& r);

// Adds up on a thread and a connection of its own, so that neither the record path nor the
// daily run waits for it. Requests while one runs are folded into one more run.
class TTotalsKeeper {
public:
    TTotalsKeeper(std::string dbPath, TDbLogin login);
    // Cancels a run under way (its statement too) and waits for it.
    ~TTotalsKeeper();
    TTotalsKeeper(const TTotalsKeeper&) = delete;
    TTotalsKeeper& operator=(const TTotalsKeeper&) = delete;

    const std::string& DbPath() const { return dbPath_; }
    const TDbLogin& Login() const { return login_; }

    void Request(TDateTime today);
    // The log lines of the runs since the last call, Windows-1251; for the owner's thread.
    std::vector<std::string> TakeLog();
    // Whether no run is under way or asked for.
    bool Idle();

private:
    void Loop();
    void Log(std::string line);

    std::string dbPath_;
    TDbLogin login_;
    std::mutex mutex_;
    std::vector<std::string> log_;
    TFbConnection* running_ = nullptr;  // the connection of the run under way
    bool busy_ = false;
    std::condition_variable wake_;
    std::optional<TDateTime> pending_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
