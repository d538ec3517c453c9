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

private:
    struct TAttempt {
        TDateTime At = 0;
        std::string Reason;
        bool Unreadable = false;
    };

    void Remove(const std::string& name);

    std::string Dir_;
    std::map<std::string, TAttempt> Attempts;
    std::optional<TDateTime> NextLook;
    unsigned Sequence = 0;
};
