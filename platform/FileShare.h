#pragma once
// Files opened with a share mode and byte-range locks that hold between processes.
//
// Share modes are advisory, like every lock here: they bind the programs that open the file
// through this facility. Locks are open-file-description locks, so they belong to the one open
// file and closing another descriptor of the same file never drops them.
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

enum class TFileAccess { Read, ReadWrite };
// What other openers are allowed while this one has the file open.
enum class TFileShare { ReadOnly, ReadWrite };

enum class TFileStatus { Ok, NotFound, SharingViolation, Failed };
enum class TLockStatus { Ok, Busy, Failed };

class TSharedFile {
public:
    TSharedFile() = default;
    ~TSharedFile();
    TSharedFile(TSharedFile&& other) noexcept;
    TSharedFile& operator=(TSharedFile&& other) noexcept;
    TSharedFile(const TSharedFile&) = delete;
    TSharedFile& operator=(const TSharedFile&) = delete;

    // Opens (or with create, creates when missing) the file. errorCode gets errno on Failed.
    TFileStatus Open(const std::string& path, TFileAccess access, TFileShare share, bool create,
                     int& errorCode);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }

    // Reads up to size bytes at offset; the count read (short at the end), or -1 on an error.
    int64_t ReadAt(uint64_t offset, void* data, size_t size) const;
    bool WriteAt(uint64_t offset, const void* data, size_t size) const;
    // -1 on an error.
    int64_t Size() const;
    bool Truncate(uint64_t size) const;

    // Exclusive lock of a byte range. Waiting retries every 10 ms while another holder keeps
    // the range and gives up on any other error; not waiting gives up at once.
    TLockStatus Lock(uint64_t offset, uint64_t length, bool wait) const;
    bool Unlock(uint64_t offset, uint64_t length) const;

private:
    int fd_ = -1;
};

bool FileExists(const std::string& path);

// The computer's name, as lock holders record it beside their locks.
std::string ComputerName();

}  // namespace platform
