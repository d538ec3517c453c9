#include "journal/Journal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <utility>

#include "capture/Recorder.h"
#include "common/DateTime.h"
#include "platform/BootId.h"
#include "platform/FileShare.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kReadChunk = 64 * 1024;
// The station's identity names it in the database's mark table (40 characters there).
constexpr size_t kHostPart = 23;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string Slash(std::string dir) {
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir;
}

std::string ReadSmallFile(const std::string& path, size_t limit) {
    std::string data(limit, '\0');
    int error = 0;
    const int64_t n = platform::ReadFileAt(path, 0, data.data(), data.size(), error);
    data.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return data;
}

// The host's name and random digits: unique, and telling an administrator which machine a mark
// of a shared database belongs to.
std::string NewStationId() {
    std::string host;
    for (char c : platform::ComputerName())
        if (host.size() < kHostPart && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                        IsDigit(c) || c == '-' || c == '.'))
            host += c;
    if (host.empty()) host = "station";
    std::random_device random;
    char digits[17];
    std::snprintf(digits, sizeof digits, "%08x%08x", random(), random());
    return host + "-" + digits;
}

bool WriteDurably(const std::string& path, const std::string& data, int& error) {
    const std::string temporary = path + ".new";
    {
        platform::TAppendFile file;
        std::error_code ignored;
        fs::remove(temporary, ignored);
        if (!file.Open(temporary, error) || !file.Append(data.data(), data.size(), error) ||
            !file.Sync(error))
            return false;
    }
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) {
        error = ec.value();
        return false;
    }
    return platform::SyncDirectory(fs::path(path).parent_path().string(), error);
}

// Where the last line of a file ends and whether bytes of an unfinished line follow it.
bool FindTail(const std::string& path, uint64_t size, uint64_t& lineEnd, bool& pending) {
    lineEnd = 0;
    pending = false;
    std::string chunk(kReadChunk, '\0');
    uint64_t end = size;
    while (end > 0) {
        const uint64_t start = end > kReadChunk ? end - kReadChunk : 0;
        int error = 0;
        const int64_t n = platform::ReadFileAt(path, start, chunk.data(), end - start, error);
        if (n != static_cast<int64_t>(end - start)) return false;
        for (uint64_t i = end - start; i > 0; --i) {
            const char c = chunk[i - 1];
            if (c == '\r') {
                lineEnd = start + i;
                return true;
            }
            if (c != '\n') pending = true;
        }
        end = start;
    }
    return true;
}

std::string UnfinishedMarker(const std::string& reason) {
    return "\n" + std::string(kUnfinishedTag) + ": " + reason + " " +
           FormatDateTime("dd.mm.yyyy hh:nn:ss", Now()) + " ***\r\n";
}

const char kCutShort[] = "journal cut short by another program";

}  // namespace

std::string PositionText(const TJournalPos& pos) {
    return pos.File + ":" + std::to_string(pos.Offset);
}

bool ParsePosition(const std::string& text, TJournalPos& pos) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size()) return false;
    uint64_t offset = 0;
    for (size_t i = colon + 1; i < text.size(); ++i) {
        if (!IsDigit(text[i])) return false;
        if (offset > (UINT64_MAX - 9) / 10) return false;
        offset = offset * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    const std::string file = text.substr(0, colon);
    if (!file.empty() && !IsJournalFileName(file)) return false;
    pos = {file, offset};
    return true;
}

bool IsJournalFileName(const std::string& name) {
    // yyyy-mm-dd.log
    if (name.size() != 14 || name.compare(10, 4, ".log") != 0) return false;
    for (size_t i = 0; i < 10; ++i)
        if ((i == 4 || i == 7) ? name[i] != '-' : !IsDigit(name[i])) return false;
    return true;
}

std::string JournalFileName(double day) {
    return FormatDateTime("yyyy-mm-dd", day) + ".log";
}

std::vector<std::string> JournalFiles(const std::string& dir) {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (IsJournalFileName(name) && entry.is_regular_file(ec)) files.push_back(name);
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string ReadStationId(const std::string& dir) {
    std::string id = ReadSmallFile(Slash(dir) + TJournal::kStationIdFile, 128);
    while (!id.empty() && (id.back() == '\n' || id.back() == '\r' || id.back() == ' '))
        id.pop_back();
    return id;
}

TJournalPos ReadLocalMark(const std::string& dir) {
    std::string text = ReadSmallFile(Slash(dir) + TJournal::kLocalMarkFile, 128);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    TJournalPos pos;
    return ParsePosition(text, pos) ? pos : TJournalPos{};
}

void SaveLocalMark(const std::string& dir, const TJournalPos& mark) {
    // One record of fixed width rewritten in place: a crash leaves the old one or the new one.
    char text[64];
    std::snprintf(text, sizeof text, "%-14s:%020llu\n", mark.File.c_str(),
                  static_cast<unsigned long long>(mark.Offset));
    int error = 0;
    platform::WriteFileAt(Slash(dir) + TJournal::kLocalMarkFile, 0, text,
                          std::char_traits<char>::length(text), error);
}

// ------------------------------------------------------------------------------ journal

TJournal::~TJournal() {
    Close();
}

bool TJournal::Fail(const std::string& what, int error) {
    Error_ = what + ": " + platform::SystemErrorText(error);
    return false;
}

bool TJournal::TakeLock(platform::TExclusiveLock& lock) {
    int code = 0;
    switch (lock.Take(Dir_ + kLockFile, code)) {
        case platform::TExclusiveLock::Taken:
            return true;
        case platform::TExclusiveLock::Busy:
            Error_ = Dir_ + " is used by another station";
            return false;
        case platform::TExclusiveLock::Failed:
            break;
    }
    return Fail("cannot lock " + Dir_, code);
}

bool TJournal::Open(const std::string& dir, std::string& error) {
    Close();
    Dir_ = Slash(dir);
    std::error_code ec;
    fs::create_directories(Dir_, ec);
    if (ec) {
        error = "cannot make " + Dir_ + ": " + ec.message();
        return false;
    }
    int code = 0;
    if (!TakeLock(Lock)) {
        error = Error_;
        return false;
    }
    // The lock file names the boot of the machine the journal was last opened in.
    const std::string lastBoot = ReadSmallFile(Dir_ + kLockFile, 64);
    const std::string boot = platform::BootId() + "\n";
    platform::WriteFileAt(Dir_ + kLockFile, 0, boot.data(), boot.size(), code);
    StationId_ = ReadStationId(Dir_);
    if (StationId_.empty()) {
        StationId_ = NewStationId();
        if (!WriteDurably(Dir_ + kStationIdFile, StationId_ + "\n", code)) {
            error =
                "cannot write " + Dir_ + kStationIdFile + ": " + platform::SystemErrorText(code);
            Lock.Release();
            return false;
        }
    }
    // Bytes go on where the last run stopped; a new day's file begins with the next line.
    const std::vector<std::string> files = JournalFiles(Dir_);
    const std::string name = files.empty() ? JournalFileName(Date()) : files.back();
    if (!OpenDayFile(name)) {
        error = Error_;
        Lock.Release();
        return false;
    }
    uint64_t lineEnd = 0;
    if (!FindTail(Dir_ + name, Size, lineEnd, Pending)) {
        error = "cannot read " + Dir_ + name;
        Close();
        return false;
    }
    // A line the run before left under way: when only the station was stopped (killed), the
    // device still holds the rest of it and the next bytes go on with it; when the machine
    // started again, the rest is gone and the line is ended here as unfinished.
    LineEnd_ = {name, lineEnd};
    Head.clear();
    HeadKept = Size - lineEnd <= kMaxHead;
    if (Pending && HeadKept) {
        Head.resize(static_cast<size_t>(Size - lineEnd));
        if (File.ReadAt(lineEnd, Head.data(), Head.size(), code) !=
            static_cast<int64_t>(Head.size())) {
            error = "cannot read " + Dir_ + name;
            Close();
            return false;
        }
    }
    if (Pending && !lastBoot.empty() && boot.size() > 1 && lastBoot != boot &&
        !EndUnfinished("the machine restarted before the line ended")) {
        error = Error_;
        Close();
        return false;
    }
    OpenedEnd_ = LineEnd_;
    Quit = false;
    SyncThread = std::thread([this] { SyncLoop(); });
    return true;
}

void TJournal::Close() {
    if (SyncThread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(SyncMutex);
            Quit = true;
        }
        SyncChanged.notify_all();
        SyncThread.join();
    }
    File.Close();
    Lock.Release();
}

bool TJournal::OpenDayFile(const std::string& name) {
    const bool existed = fs::exists(Dir_ + name);
    platform::TAppendFile file;
    int error = 0;
    if (!file.Open(Dir_ + name, error)) return Fail("cannot open " + Dir_ + name, error);
    const int64_t size = file.Size();
    if (size < 0) return Fail("cannot read " + Dir_ + name, errno);
    UseFile(std::move(file), name, static_cast<uint64_t>(size));
    if (!existed) {
        std::lock_guard<std::mutex> lock(SyncMutex);
        DirectoryDirty = true;
    }
    return true;
}

void TJournal::UseFile(platform::TAppendFile file, const std::string& name, uint64_t size) {
    // A sync under way works on the file being replaced.
    std::unique_lock<std::mutex> lock(SyncMutex);
    SyncChanged.wait(lock, [this] { return !Syncing; });
    File = std::move(file);
    FileName = name;
    Size = size;
}

bool TJournal::WriteAll(const std::string& bytes) {
    return Write(bytes) == bytes.size();
}

bool TJournal::Verify() {
    if (!IsOpen()) return false;
    const std::string path = Dir_ + FileName;
    if (!File.IsAt(path)) {
        std::error_code ec;
        if (!Restore(fs::exists(fs::symlink_status(path, ec)))) return false;
    }
    const int64_t actual = File.Size();
    if (actual < 0) return Fail("cannot read " + path, errno);
    if (static_cast<uint64_t>(actual) != Size) return Refill(static_cast<uint64_t>(actual), 0);
    // Cut short and written again to the same size: what follows the last line's end tells.
    const uint64_t overwritten = HeadOverwritten();
    return overwritten == 0 || Refill(Size, overwritten);
}

uint64_t TJournal::HeadOverwritten() const {
    if (!HeadKept || Head.empty() || Size < Head.size()) return 0;
    std::string now(Head.size(), '\0');
    int code = 0;
    const int64_t n = File.ReadAt(Size - Head.size(), now.data(), now.size(), code);
    uint64_t differing = now.size() - static_cast<size_t>(std::max<int64_t>(0, n));
    for (size_t i = 0; i < now.size(); ++i) differing += now[i] != Head[i];
    return differing;
}

std::vector<TJournalRepair> TJournal::TakeRepairs() {
    return std::exchange(Repairs, {});
}

// The open file still holds every byte: it is copied to a new file of its name, so that the
// lines not stored yet are found there, and after a restart too.
bool TJournal::Restore(bool replaced) {
    const std::string path = Dir_ + FileName;
    TJournalRepair repair;
    repair.Kind = replaced ? TJournalRepair::Replaced : TJournalRepair::Deleted;
    repair.File = path;
    std::error_code ec;
    fs::create_directories(Dir_, ec);
    if (ec) return Fail("cannot make " + Dir_, ec.value());
    int code = 0;
    if (!Lock.IsAt(Dir_ + kLockFile)) {
        platform::TExclusiveLock lock;
        if (!TakeLock(lock)) return false;
        Lock = std::move(lock);
        const std::string boot = platform::BootId() + "\n";
        platform::WriteFileAt(Dir_ + kLockFile, 0, boot.data(), boot.size(), code);
    }
    if (ReadStationId(Dir_).empty() &&
        !WriteDurably(Dir_ + kStationIdFile, StationId_ + "\n", code))
        return Fail("cannot write " + Dir_ + kStationIdFile, code);
    if (replaced) {
        repair.Aside = path + ".replaced";
        for (int n = 1; fs::exists(fs::symlink_status(repair.Aside, ec)); ++n)
            repair.Aside = path + ".replaced-" + std::to_string(n);
        fs::rename(path, repair.Aside, ec);
        if (ec) return Fail("cannot move " + path + " aside", ec.value());
    }
    const std::string temporary = path + ".new";
    fs::remove(temporary, ec);
    platform::TAppendFile copy;
    if (!copy.Open(temporary, code)) return Fail("cannot make " + temporary, code);
    const int64_t size = File.Size();
    if (size < 0) return Fail("cannot read " + path, errno);
    std::string chunk(kReadChunk, '\0');
    for (uint64_t at = 0; at < static_cast<uint64_t>(size);) {
        const int64_t n = File.ReadAt(at, chunk.data(), chunk.size(), code);
        if (n <= 0) return Fail("cannot read the removed " + path, n < 0 ? code : EIO);
        if (!copy.Append(chunk.data(), static_cast<size_t>(n), code))
            return Fail("cannot write " + temporary, code);
        at += static_cast<uint64_t>(n);
    }
    if (!copy.Sync(code)) return Fail("cannot make " + temporary + " durable", code);
    fs::rename(temporary, path, ec);
    if (ec) return Fail("cannot rename " + temporary, ec.value());
    UseFile(std::move(copy), FileName, Size);
    {
        std::lock_guard<std::mutex> lock(SyncMutex);
        DirectoryDirty = true;
    }
    SyncChanged.notify_all();
    Repairs.push_back(std::move(repair));
    return true;
}

// What follows the last line's end becomes one line with the marker after it: carriage returns
// there are foreign (the line under way has none) and are made line feeds, so that none of them
// ends a line that could be taken for a call.
bool TJournal::Unbreak(uint64_t from, uint64_t to) {
    const std::string path = Dir_ + FileName;
    std::string chunk(kReadChunk, '\0');
    int code = 0;
    for (uint64_t at = from; at < to;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), to - at));
        const int64_t n = File.ReadAt(at, chunk.data(), want, code);
        if (n <= 0) return Fail("cannot read " + path, n < 0 ? code : EIO);
        for (size_t i = 0; i < static_cast<size_t>(n); ++i)
            if (chunk[i] == '\r' && !platform::WriteFileAt(path, at + i, "\n", 1, code))
                return Fail("cannot write " + path, code);
        at += static_cast<uint64_t>(n);
    }
    return true;
}

// Bytes before the last line's end may be what a mark or a rejected line's note points at, so a
// file cut short is filled back up to there: with a hole ending in a marker where there is room,
// with spaces and a carriage return where not. Foreign bytes are ended by a marker.
bool TJournal::Refill(uint64_t actual, uint64_t overwritten) {
    const std::string path = Dir_ + FileName;
    const uint64_t lineEnd = LineEnd_.File == FileName ? LineEnd_.Offset : 0;
    const bool pending = Pending && HeadKept;
    const std::string head = Head;
    TJournalRepair repair;
    repair.Kind = actual < Size ? TJournalRepair::Truncated : TJournalRepair::Foreign;
    repair.File = path;
    repair.Bytes = actual > Size ? actual - Size : actual < Size ? Size - actual : overwritten;
    Size = actual;
    bool ok = true;
    if (actual < lineEnd) {
        // Its carriage return ends where the last line did.
        std::string marker = UnfinishedMarker(kCutShort);
        marker.pop_back();
        int code = 0;
        if (lineEnd - actual < marker.size()) {
            ok = WriteAll(std::string(static_cast<size_t>(lineEnd - actual - 1), ' ') + "\r");
        } else if (!File.Extend(lineEnd - marker.size(), code)) {
            ok = Fail("cannot fill " + path, code);
        } else {
            Size = lineEnd - marker.size();
            ok = WriteAll(marker);
        }
    } else if (actual > lineEnd) {
        ok = Unbreak(lineEnd, actual) &&
             WriteAll(UnfinishedMarker(repair.Kind == TJournalRepair::Truncated
                                           ? std::string(kCutShort)
                                           : std::to_string(repair.Bytes) +
                                                 " bytes written by another program"));
    }
    // The line under way now begins afresh.
    Pending = false;
    Head.clear();
    HeadKept = true;
    if (ok && pending) ok = WriteAll(head);
    Repairs.push_back(std::move(repair));
    return ok;
}

size_t TJournal::Write(std::string_view bytes) {
    if (bytes.empty()) return 0;
    const uint64_t before = Size;
    size_t written = bytes.size();
    int error = 0;
    if (!File.Append(bytes.data(), bytes.size(), error)) {
        Fail("cannot write " + Dir_ + FileName, error);
        // Some bytes may have gone out before the failure: the file tells how many.
        const int64_t now = File.Size();
        written = now > static_cast<int64_t>(before)
                      ? std::min<size_t>(static_cast<size_t>(now) - before, bytes.size())
                      : 0;
    }
    Size += written;
    Note(bytes.substr(0, written), before);
    std::lock_guard<std::mutex> lock(SyncMutex);
    Appended += written;
    return written;
}

void TJournal::Note(std::string_view bytes, uint64_t offsetBefore) {
    const size_t cr = bytes.rfind('\r');
    if (cr != std::string_view::npos) {
        LineEnd_ = {FileName, offsetBefore + cr + 1};
        bytes.remove_prefix(cr + 1);
        Head.clear();
        HeadKept = true;
        Pending = false;
    }
    // Bytes after the carriage return other than line feeds begin the next line.
    if (bytes.find_first_not_of('\n') != std::string_view::npos) Pending = true;
    if (!HeadKept) return;
    if (Head.size() + bytes.size() > kMaxHead) {
        Head.clear();
        HeadKept = false;
    } else {
        Head += bytes;
    }
}

size_t TJournal::Append(std::string_view bytes) {
    if (!IsOpen()) {
        Error_ = "the journal is not open";
        return 0;
    }
    if (!Verify()) return 0;
    size_t done = 0;
    const std::string today = JournalFileName(Date());
    if (!bytes.empty() && today > FileName) {
        // The line under way ends in the old file; the new day begins after it.
        size_t split = 0;
        if (Pending) {
            const size_t cr = bytes.find('\r');
            if (cr == std::string_view::npos) return Write(bytes);
            split = cr + 1;
            done = Write(bytes.substr(0, split));
            if (done < split) return done;
        }
        if (!OpenDayFile(today)) return done;
        bytes.remove_prefix(split);
    }
    return done + Write(bytes);
}

void TJournal::StartSync() {
    {
        std::lock_guard<std::mutex> lock(SyncMutex);
        if (SyncWanted >= Appended && !DirectoryDirty) return;
        SyncWanted = Appended;
    }
    SyncChanged.notify_all();
}

bool TJournal::FinishSync() {
    StartSync();
    std::unique_lock<std::mutex> lock(SyncMutex);
    SyncChanged.wait(lock, [this] { return SyncDone >= SyncWanted && !DirectoryDirty; });
    if (!SyncFailed) return true;
    SyncFailed = false;
    lock.unlock();
    return Fail("cannot make " + Dir_ + FileName + " durable", SyncError);
}

// fdatasync takes as long as a database commit: done here it runs while the caller logs the
// line and prepares its INSERT instead of before.
void TJournal::SyncLoop() {
    std::unique_lock<std::mutex> lock(SyncMutex);
    for (;;) {
        SyncChanged.wait(lock, [this] { return Quit || SyncWanted > SyncDone || DirectoryDirty; });
        if (Quit) return;
        const uint64_t target = SyncWanted;
        const bool directory = DirectoryDirty;
        Syncing = true;
        lock.unlock();
        int error = 0;
        bool ok = File.Sync(error);
        if (ok && directory) ok = platform::SyncDirectory(Dir_, error);
        lock.lock();
        Syncing = false;
        if (directory && ok) DirectoryDirty = false;
        if (!ok) {
            SyncFailed = true;
            SyncError = error;
            DirectoryDirty = false;
        }
        SyncDone = std::max(SyncDone, target);
        SyncChanged.notify_all();
    }
}

bool TJournal::EndUnfinished(const std::string& reason) {
    if (!IsOpen()) return true;
    if (!Verify()) return false;
    return !Pending || WriteAll(UnfinishedMarker(reason));
}

void TJournal::SaveLocalMark(const TJournalPos& mark) {
    ::SaveLocalMark(Dir_, mark);
}

void TJournal::Prune(const TJournalPos& mark, int keepDays) {
    if (keepDays <= 0 || mark.File.empty()) return;
    const std::string oldest = JournalFileName(Date() - keepDays);
    for (const std::string& name : JournalFiles(Dir_)) {
        if (name >= oldest || name >= mark.File || name == FileName) break;
        std::error_code ignored;
        fs::remove(Dir_ + name, ignored);
    }
}

// ------------------------------------------------------------------------------ reader

TJournalReader::TJournalReader(std::string dir, TJournalPos from, TJournalPos limit)
    : Dir(Slash(std::move(dir))), Limit(std::move(limit)) {
    if (!from.File.empty() && from.File == Limit.File) {
        Files = {from.File};  // the live station's usual case: no directory listing
    } else {
        for (const std::string& name : JournalFiles(Dir))
            if (name >= from.File && (Limit.File.empty() || name <= Limit.File))
                Files.push_back(name);
    }
    Offset = !Files.empty() && Files[0] == from.File ? from.Offset : 0;
}

TJournalReader TJournalReader::OneFile(const std::string& path, uint64_t from) {
    const fs::path p(path);
    TJournalReader reader(p.parent_path().string(), {}, {});
    reader.Files = {p.filename().string()};
    reader.Offset = from;
    return reader;
}

bool TJournalReader::Fill(uint64_t at) {
    const std::string& name = Files[Index];
    uint64_t end = static_cast<uint64_t>(std::max<int64_t>(0, platform::FileSize(Dir + name)));
    if (!Limit.File.empty() && name == Limit.File) end = std::min(end, Limit.Offset);
    Buffer.clear();
    BufferStart = at;
    if (at >= end) return false;
    Buffer.resize(static_cast<size_t>(std::min<uint64_t>(kReadChunk, end - at)));
    int error = 0;
    const int64_t n = platform::ReadFileAt(Dir + name, at, Buffer.data(), Buffer.size(), error);
    if (n <= 0) {
        if (n < 0) Error_ = "cannot read " + Dir + name + ": " + platform::SystemErrorText(error);
        Buffer.clear();
        return false;
    }
    Buffer.resize(static_cast<size_t>(n));
    return true;
}

bool TJournalReader::Next(TJournalLine& line) {
    while (Index < Files.size()) {
        line.Text.clear();
        line.Unfinished = false;
        line.Start = {Files[Index], Offset};
        uint64_t at = Offset;
        int match = -1;  // bytes of the unfinished marker matched after a line feed
        for (;;) {
            if (at < BufferStart || at - BufferStart >= Buffer.size()) {
                if (!Fill(at)) break;
            }
            const char c = Buffer[static_cast<size_t>(at - BufferStart)];
            ++at;
            if (c == '\r') {
                line.End = {Files[Index], at};
                Offset = at;
                return true;
            }
            if (c == '\n') {
                match = 0;
                continue;
            }
            if (match >= 0) {
                if (c == kUnfinishedTag[static_cast<size_t>(match)]) {
                    if (static_cast<size_t>(++match) == kUnfinishedTag.size()) {
                        line.Unfinished = true;
                        match = -1;
                    }
                } else {
                    match = -1;
                }
            }
            if (line.Text.size() < TRecorder::kMaxLine) line.Text += c;
        }
        // The file ends without a carriage return, and a later file never continues its line.
        if (!Error_.empty() || Index + 1 >= Files.size()) return false;
        ++Index;
        Offset = 0;
        Buffer.clear();
        BufferStart = 0;
    }
    return false;
}
