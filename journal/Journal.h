#pragma once
// The capture journal: every byte the capture port delivers, appended exactly as received to one
// file per day in the station's journal/ directory ("2026-12-09.log", so that ls sorts them),
// before anything else is done with it. The call database is filled from the journal, so a line
// that could not be stored at once (the database away, the station killed) is stored later, and a
// mark of how far it has been stored (kept with the stored rows) makes that exactly once.
//
// A line cut off by a port close or a stop keeps its bytes and is followed by a marker line
//     *** unfinished: port closed 09.12.2026 10:00:13 ***
// so that it is never stored and never joined to the next one.
//
// Another program may remove, replace, cut short or write into the day file while the station
// holds it open. Before the next bytes go in the journal finds that out and sets it right, so
// that every place a mark may hold keeps its meaning: a removed file is made again from the one
// still open, one put in its place is set aside, a file cut short is filled back to its last
// line's end, and foreign bytes are made one unfinished line. The line under way is then
// written again, so that it comes out whole.
#include <compare>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/AppendFile.h"

// A place in the journal: a day file and a byte offset in it. Files compare by name, which
// is their order.
struct TJournalPos {
    std::string File;  // empty: before the first file
    uint64_t Offset = 0;
    friend bool operator==(const TJournalPos&, const TJournalPos&) = default;
    friend std::strong_ordering operator<=>(const TJournalPos& a, const TJournalPos& b) {
        if (const auto c = a.File <=> b.File; c != 0) return c;
        return a.Offset <=> b.Offset;
    }
};

// "2026-12-09.log:1234", as messages and the mark file write a position.
std::string PositionText(const TJournalPos& pos);
bool ParsePosition(const std::string& text, TJournalPos& pos);

// One line of the journal as the assembler sees it: the bytes up to its carriage return, line
// feeds dropped, at most kMaxLine characters kept.
struct TJournalLine {
    std::string Text;
    TJournalPos Start;  // its first byte
    TJournalPos End;    // just after its carriage return
    bool Unfinished = false;
};

// The marker that follows a line cut off; a line whose bytes hold it after a line feed is never
// a call.
inline constexpr std::string_view kUnfinishedTag = "*** unfinished";

// Day files of a journal directory in their order; other files are not the journal's.
std::vector<std::string> JournalFiles(const std::string& dir);
bool IsJournalFileName(const std::string& name);
// The journal file of a day: "yyyy-mm-dd.log".
std::string JournalFileName(double day);

// The station's identity kept in its journal directory, empty when it has none yet.
std::string ReadStationId(const std::string& dir);
// How far the station last stored, as it noted beside the journal (the database holds the
// real mark; this note serves a database without one). Empty position when none.
TJournalPos ReadLocalMark(const std::string& dir);
void SaveLocalMark(const std::string& dir, const TJournalPos& mark);

// What another program did to the open day file, found and set right.
struct TJournalRepair {
    enum TKind {
        Deleted,    // removed (the file or the whole directory): made again from the open file
        Replaced,   // another file took its name: that one set aside as Aside, ours made again
        Truncated,  // Bytes cut off its end
        Foreign,    // Bytes written into it, or over the line under way
    };
    TKind Kind = Deleted;
    std::string File;  // with its directory
    uint64_t Bytes = 0;
    std::string Aside;
};

class TJournal {
public:
    static constexpr const char* kStationIdFile = "station.id";
    static constexpr const char* kLocalMarkFile = "stored.mark";
    static constexpr const char* kLockFile = ".lock";

    TJournal() = default;
    ~TJournal();
    TJournal(const TJournal&) = delete;
    TJournal& operator=(const TJournal&) = delete;

    // Opens the journal in dir (made when missing), locks it against a second station, and reads
    // or makes the station's identity. Bytes go on where the run before stopped, also in the
    // middle of a line, unless the machine has started again since (its devices lost the rest
    // of the line). False with the reason in error.
    bool Open(const std::string& dir, std::string& error);
    void Close();
    bool IsOpen() const { return File.IsOpen(); }
    const std::string& Dir() const { return Dir_; }
    const std::string& StationId() const { return StationId_; }

    // Appends bytes as received to the day's file. A new day's file begins only where a line
    // ends, so every file holds whole lines. The count of bytes written: fewer than given (with
    // Error()) when the disk would not take them, so the caller can offer the rest again.
    size_t Append(std::string_view bytes);
    // Starts making every byte appended so far durable, on the journal's own thread, so that the
    // caller can go on meanwhile; FinishSync waits for it. Lines may be acted on only after
    // FinishSync has returned true.
    void StartSync();
    bool FinishSync();
    bool Sync() {
        StartSync();
        return FinishSync();
    }

    // Ends a line cut off by a port close or a stop: its bytes stay, followed by the marker.
    // Nothing is written when no line is under way.
    bool EndUnfinished(const std::string& reason);
    bool LineUnderWay() const { return Pending; }

    // Where the last complete line ends: every line before it can be read back.
    TJournalPos LineEnd() const { return LineEnd_; }
    // Where the lines this run found on opening ended.
    TJournalPos OpenedEnd() const { return OpenedEnd_; }

    // Notes how far the lines have been stored beside the journal.
    void SaveLocalMark(const TJournalPos& mark);
    // Removes day files older than keepDays days whose every line lies before the mark.
    void Prune(const TJournalPos& mark, int keepDays);

    // Checks the open day file against its name and its size and sets right what another
    // program did to it; Append does so first. False (with Error()) when it could not.
    bool Verify();
    // What was set right since the last call.
    std::vector<TJournalRepair> TakeRepairs();

    const std::string& Error() const { return Error_; }

private:
    // The longest line under way kept to be written again after a repair.
    static constexpr size_t kMaxHead = 64 * 1024;

    bool TakeLock(platform::TExclusiveLock& lock);
    bool OpenDayFile(const std::string& name);
    void UseFile(platform::TAppendFile file, const std::string& name, uint64_t size);
    bool Restore(bool replaced);
    bool Refill(uint64_t actual, uint64_t overwritten);
    uint64_t HeadOverwritten() const;
    bool Unbreak(uint64_t from, uint64_t to);
    bool WriteAll(const std::string& bytes);
    size_t Write(std::string_view bytes);
    void Note(std::string_view bytes, uint64_t offsetBefore);
    bool Fail(const std::string& what, int error);
    void SyncLoop();

    std::string Dir_;
    std::string StationId_;
    std::string Error_;
    platform::TExclusiveLock Lock;
    platform::TAppendFile File;
    std::string FileName;  // the open day file
    uint64_t Size = 0;
    TJournalPos LineEnd_, OpenedEnd_;
    bool Pending = false;  // bytes of a line after the last carriage return
    std::string Head;      // those bytes, while no longer than kMaxHead
    bool HeadKept = true;
    std::vector<TJournalRepair> Repairs;

    // The sync thread. Generation counts the bytes appended; a sync covers what was appended
    // when it started.
    std::mutex SyncMutex;
    std::condition_variable SyncChanged;
    std::thread SyncThread;
    uint64_t Appended = 0, SyncWanted = 0, SyncDone = 0;
    bool SyncFailed = false, DirectoryDirty = false, Syncing = false, Quit = false;
    int SyncError = 0;
    std::string SyncFile;
};

// Reads the complete lines of a journal from a position on, file after file, in constant
// memory. A line not yet ended by its carriage return at the end of a file is not read.
class TJournalReader {
public:
    // Every day file of dir from `from` on, up to `limit` (none: to each file's end).
    TJournalReader(std::string dir, TJournalPos from, TJournalPos limit = {});
    // Only the one file named, in its own directory.
    static TJournalReader OneFile(const std::string& path, uint64_t from = 0);

    // False at the end, or on a read error (Error() then tells which).
    bool Next(TJournalLine& line);
    const std::string& Error() const { return Error_; }
    // Where the next line would begin.
    TJournalPos Position() const { return {Files.empty() ? "" : Files[Index], Offset}; }

private:
    bool Fill(uint64_t at);
    std::string Dir;
    std::vector<std::string> Files;
    size_t Index = 0;
    uint64_t Offset = 0;  // where the next line begins in Files[Index]
    TJournalPos Limit;
    std::string Buffer;  // bytes of Files[Index] from BufferStart on
    uint64_t BufferStart = 0;
    std::string Error_;
};
