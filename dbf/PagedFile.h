#pragma once
// A file of a header followed by equal-sized pages (table records, memo blocks), read and
// written straight at their offsets, with byte-range locks between programs.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/FileShare.h"

enum class TPagedFileMode {
    pfMemoryCreate,
    pfExclusiveCreate,
    pfExclusiveOpen,
    pfReadWriteCreate,
    pfReadWriteOpen,
    pfReadOnly
};

class TPagedFile {
public:
    explicit TPagedFile(std::string fileName);
    virtual ~TPagedFile() = default;
    TPagedFile(const TPagedFile&) = delete;
    TPagedFile& operator=(const TPagedFile&) = delete;

    virtual void SetHeaderOffset(uint32_t offset) { headerOffset_ = offset; }
    virtual void SetRecordSize(uint32_t size) { recordSize_ = size; }
    virtual void SetHeaderSize(uint32_t size);
    virtual void SetPageOffsetByHeader(bool byHeader) { pageOffsetByHeader_ = byHeader; }
    virtual void CloseFile();
    // Raises unless the file is open in an exclusive mode.
    virtual void TryExclusive();
    // Bytes read into data (short or 0 past the end of the file).
    virtual int64_t ReadRecord(uint32_t pageNo, void* data);
    virtual void WriteRecord(uint32_t pageNo, const void* data);
    virtual void WriteHeader();
    virtual void Flush() {}

    // Opens the file in the given mode; a missing file raises "Open: file not found".
    void OpenFile(TPagedFileMode mode);
    bool Active() const { return file_.IsOpen(); }
    const std::string& FileName() const { return fileName_; }
    TPagedFileMode Mode() const { return mode_; }
    bool ReadOnlyMode() const { return mode_ == TPagedFileMode::pfReadOnly; }
    bool NeedLocks() const { return needLocks_; }
    void SetVirtualLocks(bool virtualLocks) { virtualLocks_ = virtualLocks; }

    uint32_t HeaderSize() const { return headerSize_; }
    uint32_t RecordSize() const { return recordSize_; }
    std::vector<uint8_t>& Header() { return header_; }
    const std::vector<uint8_t>& Header() const { return header_; }
    // Reads the header region from the file again; false when the file is shorter.
    bool ReadHeader();

    // Size of the file, queried again in the shared modes.
    uint64_t FileSize();
    // Whole pages after the header, from the file size.
    uint32_t CachedRecordCount();

    // Page 0 is the header. False when another program holds the page.
    bool LockPage(uint32_t pageNo, bool wait);
    void UnlockPage(uint32_t pageNo);
    void UnlockAllPages();

protected:
    uint64_t PageOffset(uint32_t pageNo) const;
    void ReadAt(uint64_t offset, void* data, size_t size, size_t& got);
    void WriteAt(uint64_t offset, const void* data, size_t size);
    void TruncateAt(uint64_t size);
    void Fail(const char* what) const;

    std::string fileName_;
    platform::TSharedFile file_;
    TPagedFileMode mode_ = TPagedFileMode::pfReadOnly;
    uint32_t headerOffset_ = 0;
    uint32_t headerSize_ = 0;
    uint32_t recordSize_ = 0;
    std::vector<uint8_t> header_;
    bool headerModified_ = false;
    int64_t cachedSize_ = -1;
    bool needLocks_ = false;
    bool autoCreate_ = false;
    bool virtualLocks_ = true;
    bool pageOffsetByHeader_ = true;
};
