#pragma once
// Files that only grow and whose bytes can be made durable, and an exclusive lock that tells a
// second program using the same directory to keep out. Every call reports the system error in
// error (0 on success).
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// A file opened for appending; move-only, closed by the destructor.
class TAppendFile {
public:
    TAppendFile() = default;
    ~TAppendFile();
    TAppendFile(TAppendFile&& other) noexcept;
    TAppendFile& operator=(TAppendFile&& other) noexcept;
    TAppendFile(const TAppendFile&) = delete;
    TAppendFile& operator=(const TAppendFile&) = delete;

    // Opens path for appending (and reading back), creating it when missing.
    bool Open(const std::string& path, int& error);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }

    // Writes every byte at the end (retrying short writes).
    bool Append(const char* data, size_t size, int& error);
    // The appended bytes reach the disk (the data and the size that reads them back).
    bool Sync(int& error) const;
    int64_t Size() const;
    // Reads up to size bytes at offset; the count read (short at the end), or -1.
    int64_t ReadAt(uint64_t offset, char* data, size_t size, int& error) const;
    // Grows the file to size; the new bytes read as zeros and take no room on the disk.
    bool Extend(uint64_t size, int& error);
    // Whether path still names this very file: false when another program removed it or put
    // another file in its place.
    bool IsAt(const std::string& path) const;

private:
    int fd_ = -1;
};

// The directory's entries reach the disk, so that a file created in it survives a power cut.
bool SyncDirectory(const std::string& dir, int& error);

// Reads up to size bytes of path at offset; the count read (short at the end), or -1.
int64_t ReadFileAt(const std::string& path, uint64_t offset, char* data, size_t size, int& error);
// The size of a file, or -1 when it cannot be read.
int64_t FileSize(const std::string& path);

// Writes size bytes at offset of an existing or new file, without growing it first.
bool WriteFileAt(const std::string& path, uint64_t offset, const char* data, size_t size,
                 int& error);

// An exclusive lock on a file, held while the object lives and by nobody else at the same time.
class TExclusiveLock {
public:
    enum TResult { Taken, Busy, Failed };
    TExclusiveLock() = default;
    ~TExclusiveLock();
    TExclusiveLock(TExclusiveLock&& other) noexcept;
    TExclusiveLock& operator=(TExclusiveLock&& other) noexcept;
    TExclusiveLock(const TExclusiveLock&) = delete;
    TExclusiveLock& operator=(const TExclusiveLock&) = delete;

    // Takes the lock without waiting; the file is created when missing.
    TResult Take(const std::string& path, int& error);
    void Release();
    // Whether path still names the file locked (a removed directory took it along).
    bool IsAt(const std::string& path) const;

private:
    int fd_ = -1;
};

// The system's text for an error number, in English.
std::string SystemErrorText(int error);

}  // namespace platform
