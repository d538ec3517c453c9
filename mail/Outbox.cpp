#include "mail/Outbox.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "common/Text.h"
#include "platform/AtomicFile.h"

namespace {

constexpr std::string_view kMagic = "Tarvick outbox 1";
constexpr const char* kSuffix = ".msg";
constexpr size_t kMaxFile = 64 * 1024 * 1024;  // a larger file is not one of ours
constexpr size_t kMaxRecipients = 10000;
constexpr TDateTime kLookInterval = 1.0 / (24 * 60);
// Day fractions are not exact: ten minutes later must count as ten minutes.
constexpr TDateTime kSlack = 0.5 / (24 * 60 * 60);

bool HasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

std::optional<TDateTime> ParseStamp(std::string_view text) {
    // yyyy-mm-dd hh:nn:ss
    if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' ||
        text[13] != ':' || text[16] != ':')
        return std::nullopt;
    int parts[6] = {};
    const size_t at[6][2] = {{0, 4}, {5, 2}, {8, 2}, {11, 2}, {14, 2}, {17, 2}};
    for (int i = 0; i < 6; ++i) {
        for (size_t k = at[i][0]; k < at[i][0] + at[i][1]; ++k) {
            if (text[k] < '0' || text[k] > '9') return std::nullopt;
            parts[i] = parts[i] * 10 + (text[k] - '0');
        }
    }
    TDateTime date = 0, time = 0;
    if (!TryEncodeDate(parts[0], parts[1], parts[2], date) ||
        !TryEncodeTime(parts[3], parts[4], parts[5], 0, time))
        return std::nullopt;
    return date + time;
}

std::optional<size_t> ParseSize(std::string_view text) {
    const auto v = TryStrToInt64(text);
    if (!v || *v < 0 || static_cast<uint64_t>(*v) > kMaxFile) return std::nullopt;
    return static_cast<size_t>(*v);
}

// The value of a "Key: value" line, or nothing when the line has another key.
std::optional<std::string_view> Field(std::string_view line, std::string_view key) {
    if (line.size() < key.size() + 2 || line.substr(0, key.size()) != key ||
        line.substr(key.size(), 2) != ": ")
        return std::nullopt;
    return line.substr(key.size() + 2);
}

}  // namespace

std::string FormatQueuedMail(TDateTime queued, const TMailEnvelope& e) {
    std::string out(kMagic);
    out += "\r\nQueued: " + FormatDateTime("yyyy-mm-dd hh:nn:ss", queued) + "\r\n";
    out += "From: " + e.From + "\r\n";
    for (const auto& r : e.Recipients) out += "To: " + r + "\r\n";
    out += "Header: " + std::to_string(e.Header.size()) + "\r\n";
    out += "Body: " + std::to_string(e.Body.size()) + "\r\n\r\n";
    return out + e.Header + e.Body;
}

std::optional<TQueuedMail> ParseQueuedMail(std::string_view bytes) {
    std::vector<std::string_view> lines;
    size_t at = 0;
    for (;;) {
        const size_t eol = bytes.find("\r\n", at);
        if (eol == std::string_view::npos || lines.size() > kMaxRecipients + 8) return std::nullopt;
        const std::string_view line = bytes.substr(at, eol - at);
        at = eol + 2;
        if (line.empty()) break;
        lines.push_back(line);
    }
    if (lines.size() < 6 || lines[0] != kMagic) return std::nullopt;
    TQueuedMail q;
    const auto stamp = Field(lines[1], "Queued");
    const auto from = Field(lines[2], "From");
    const auto headerSize = Field(lines[lines.size() - 2], "Header");
    const auto bodySize = Field(lines.back(), "Body");
    if (!stamp || !from || !headerSize || !bodySize) return std::nullopt;
    const auto queued = ParseStamp(*stamp);
    const auto header = ParseSize(*headerSize);
    const auto body = ParseSize(*bodySize);
    if (!queued || !header || !body || bytes.size() - at != *header + *body) return std::nullopt;
    q.Queued = *queued;
    q.Envelope.From = std::string(*from);
    for (size_t i = 3; i + 2 < lines.size(); ++i) {
        const auto to = Field(lines[i], "To");
        if (!to || to->empty()) return std::nullopt;
        q.Envelope.Recipients.emplace_back(*to);
    }
    if (q.Envelope.Recipients.empty()) return std::nullopt;
    q.Envelope.Header = std::string(bytes.substr(at, *header));
    q.Envelope.Body = std::string(bytes.substr(at + *header));
    return q;
}

TOutbox::TOutbox(std::string dir) : Dir_(std::move(dir)) {}

std::string TOutbox::Queue(const TMailEnvelope& envelope, TDateTime now,
                           const std::string& reason) {
    // The file's lines would break; such an address is refused by the client anyway.
    if (HasLineBreak(envelope.From) ||
        std::any_of(envelope.Recipients.begin(), envelope.Recipients.end(),
                    [](const std::string& r) { return r.empty() || HasLineBreak(r); }) ||
        envelope.Recipients.empty())
        throw EError("no valid recipient address");
    std::error_code ec;
    std::filesystem::create_directories(Dir_, ec);
    if (ec) throw EError(ec.message());
    const std::string data = FormatQueuedMail(now, envelope);
    const std::string stamp = FormatDateTime("yyyymmdd-hhnnss", now);
    for (int tries = 0; tries < 1000; ++tries) {
        char sequence[16];
        std::snprintf(sequence, sizeof sequence, "-%06u", ++Sequence % 1000000);
        // Names sort in the order the messages were queued.
        const std::string name = stamp + sequence + kSuffix;
        std::string error;
        switch (platform::CreateFileAtomically(Dir_ + name, data, error)) {
            case platform::TCreateResult::Created:
                Attempts[name] = TAttempt{reason.empty() ? 0 : now, reason, false};
                return name;
            case platform::TCreateResult::Exists:
                continue;
            case platform::TCreateResult::Failed:
                throw EError(error);
        }
    }
    throw EError("no free file name");
}

std::vector<std::string> TOutbox::Names() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(Dir_, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name[0] == '.' || name.size() <= 4 ||
            name.compare(name.size() - 4, 4, kSuffix) != 0 || !entry.is_regular_file(ec))
            continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<TQueuedMail> TOutbox::Read(const std::string& name) const {
    std::ifstream in(Dir_ + name, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes;
    char buf[65536];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        bytes.append(buf, static_cast<size_t>(in.gcount()));
        if (bytes.size() > kMaxFile) return std::nullopt;
    }
    auto q = ParseQueuedMail(bytes);
    if (q) q->Name = name;
    return q;
}

void TOutbox::Remove(const std::string& name) {
    std::error_code ec;
    std::filesystem::remove(Dir_ + name, ec);
    Attempts.erase(name);
}

void TOutbox::Retry(TDateTime now, const TSend& send, const TReport& report) {
    if (NextLook && now < *NextLook - kSlack && now > *NextLook - 2 * kLookInterval) return;
    NextLook = now + kLookInterval;
    NextScan.reset();
    while (const auto q = Next(now, report)) Done(q->Name, now, send(q->Envelope), report);
}

bool TOutbox::Rescan(TDateTime now) {
    if (NextScan && now < *NextScan && now > *NextScan - 2 * kLookInterval) return false;
    NextScan = now + kLookInterval;
    const std::vector<std::string> names = Names();
    for (auto it = Attempts.begin(); it != Attempts.end();) {
        if (std::binary_search(names.begin(), names.end(), it->first))
            ++it;
        else
            it = Attempts.erase(it);
    }
    for (const std::string& name : names) Attempts.try_emplace(name);
    return true;
}

std::optional<TQueuedMail> TOutbox::Load(const std::string& name, TAttempt& attempt,
                                         TDateTime now, const TReport& report) {
    if (attempt.Unreadable) return std::nullopt;
    std::optional<TQueuedMail> q = Read(name);
    if (!q) {
        attempt.Unreadable = true;
        report({TOutboxEvent::Unreadable, name, {}, {}});
        return std::nullopt;
    }
    if (now - q->Queued >= kLifetime - kSlack) {
        const std::string reason = attempt.Reason;
        Remove(name);
        report({TOutboxEvent::Dropped, name, q->Envelope.Recipients, reason});
        return std::nullopt;
    }
    return q;
}

std::optional<TQueuedMail> TOutbox::Next(TDateTime now, const TReport& report) {
    const bool scanned = Rescan(now);
    // A clock set back ends the rest, so nothing waits for the clock to catch up.
    const bool resting = now < RestUntil - kSlack && now > RestUntil - 2 * kRetryInterval;
    if (resting && !scanned) return std::nullopt;
    std::vector<std::string> names;
    for (const auto& entry : Attempts) names.push_back(entry.first);
    for (const bool fresh : {true, false}) {
        for (const std::string& name : names) {
            const auto it = Attempts.find(name);
            if (it == Attempts.end() || (it->second.At == 0) != fresh) continue;
            TAttempt& attempt = it->second;
            const bool due = attempt.At == 0 ||
                             now - attempt.At >= kRetryInterval - kSlack || now < attempt.At;
            // A look at the directory also drops what is too old, due or not.
            if ((!due || resting) && !scanned) continue;
            auto q = Load(name, attempt, now, report);
            if (q && due && !resting) return q;
        }
    }
    return std::nullopt;
}

void TOutbox::Done(const std::string& name, TDateTime now, const std::string& reason,
                   const TReport& report) {
    const auto it = Attempts.find(name);
    std::vector<std::string> recipients;
    if (auto q = Read(name)) recipients = q->Envelope.Recipients;
    if (reason.empty()) {
        const bool retry = it != Attempts.end() && it->second.At != 0;
        Remove(name);
        report({TOutboxEvent::Delivered, name, recipients, {}, retry});
        return;
    }
    RestUntil = now + kRetryInterval;
    TAttempt& attempt = it != Attempts.end() ? it->second : Attempts[name];
    attempt.At = now;
    if (reason != attempt.Reason) report({TOutboxEvent::Failed, name, recipients, reason});
    attempt.Reason = reason;
}
