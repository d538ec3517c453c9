#pragma once
// Mail that could not be delivered: one file per message in a directory of the station, each
// holding the message as it goes on the wire, tried again every 10 minutes from its last
// attempt and dropped a day after the first.
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/DateTime.h"
#include "mail/SmtpClient.h"

struct TQueuedMail {
    std::string Name;      // the file's name in the outbox
    TDateTime Queued = 0;  // when the first attempt failed
    TMailEnvelope Envelope;
};

// A file's bytes for a message, and the message of a file's bytes (nothing when they are not
// one: a file on disk may be cut short or damaged).
std::string FormatQueuedMail(TDateTime queued, const TMailEnvelope& envelope);
std::optional<TQueuedMail> ParseQueuedMail(std::string_view bytes);

enum class TOutboxEvent {
    Delivered,   // sent on a retry and removed
    Failed,      // a retry failed for another reason than the attempt before
    Dropped,     // a day old and removed unsent
    Unreadable,  // a file that is not a message; left where it is
};

struct TOutboxReport {
    TOutboxEvent Event;
    std::string Name;
    std::vector<std::string> Recipients;
    std::string Reason;  // the failure, the last one known for a dropped message
    bool Retry = false;  // delivered: not at the first attempt
};

class TOutbox {
public:
    static constexpr TDateTime kRetryInterval = 10.0 / (24 * 60);
    static constexpr TDateTime kLifetime = 1.0;

    // dir ends in a path separator; it is created with the first message.
    explicit TOutbox(std::string dir);

    const std::string& Dir() const { return Dir_; }

    // Stores a message whose attempt at now failed for reason; the file's name. Raises EError
    // when it cannot be stored.
    std::string Queue(const TMailEnvelope& envelope, TDateTime now, const std::string& reason);

    // The messages' file names, oldest first.
    std::vector<std::string> Names() const;
    std::optional<TQueuedMail> Read(const std::string& name) const;

    // Sends what is due through send (the error text, empty when delivered) and drops what is
    // too old, telling report about each. The directory is looked at once a minute at most.
    // After a failure the rest wait for the next interval, so a server that is down costs one
    // attempt per interval rather than one per message.
    using TSend = std::function<std::string(const TMailEnvelope& envelope)>;
    using TReport = std::function<void(const TOutboxReport& report)>;
    void Retry(TDateTime now, const TSend& send, const TReport& report);

    // The sender's side, one message at a time: the message to send at now, or nothing (none
    // due, or the server resting for an interval after a failure). Messages never tried go
    // first in the order they were queued (the day's statistics before retries of older mail),
    // then the due retries, oldest first. What is too old is dropped on the way, told to report.
    std::optional<TQueuedMail> Next(TDateTime now, const TReport& report);
    // The outcome of sending name at now: an empty reason when delivered.
    void Done(const std::string& name, TDateTime now, const std::string& reason,
              const TReport& report);
    // Messages waiting, as last seen.
    size_t Waiting() const { return Attempts.size(); }

private:
    struct TAttempt {
        TDateTime At = 0;  // the last attempt; 0: never tried
        std::string Reason;
        bool Unreadable = false;
    };

    // Looks at the directory at most once a minute; whether it did.
    bool Rescan(TDateTime now);
    // Reads name, dropping it when too old; nothing when it is not to be sent.
    std::optional<TQueuedMail> Load(const std::string& name, TAttempt& attempt, TDateTime now,
                                    const TReport& report);

    void Remove(const std::string& name);

    std::string Dir_;
    std::map<std::string, TAttempt> Attempts;
    std::optional<TDateTime> NextLook;
    std::optional<TDateTime> NextScan;  // the sender's look at the directory
    TDateTime RestUntil = 0;            // no attempt before this after a failure
    unsigned Sequence = 0;
};
