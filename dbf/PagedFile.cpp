#include "dbf/PagedFile.h"

#include <cerrno>
#include <cstring>

#include "common/Errors.h"

namespace {
// Lock bytes of records lie below this offset, far beyond any real data.
constexpr uint64_t kLockBase = 0xEFFFFFFEULL;
constexpr uint64_t kUnlockAllOffset = 0xB46535FEULL;
constexpr uint64_t kUnlockAllLength = 1000000002ULL;
constexpr uint64_t kRealUnlockAllLength = 0x7FFFFFFFULL;
}  // namespace

TPagedFile::TPagedFile(std::string fileName) : fileName_(std::move(fileName)) {}

// The one place where this layer turns an operating-system failure into a message.
void TPagedFile::Fail(const char* what) const {
    throw EDbfError(std::string(what) + " " + fileName_ + ": " + std::strerror(errno));
}

void TPagedFile::SetHeaderSize(uint32_t size) {
    headerSize_ = size;
    header_.assign(size, 0);
}

void TPagedFile::OpenFile(TPagedFileMode mode) {
    mode_ = mode;
    using platform::TFileAccess;
    using platform::TFileShare;
    const bool exclusive =
        mode == TPagedFileMode::pfExclusiveCreate || mode == TPagedFileMode::pfExclusiveOpen;
    const bool create =
        mode == TPagedFileMode::pfExclusiveCreate || mode == TPagedFileMode::pfReadWriteCreate;
    autoCreate_ = create;
    needLocks_ = mode == TPagedFileMode::pfReadWriteCreate ||
                 mode == TPagedFileMode::pfReadWriteOpen || mode == TPagedFileMode::pfReadOnly;
    const TFileAccess access =
        mode == TPagedFileMode::pfReadOnly ? TFileAccess::Read : TFileAccess::ReadWrite;
    const TFileShare share = exclusive ? TFileShare::ReadOnly : TFileShare::ReadWrite;
    int err = 0;
    switch (file_.Open(fileName_, access, share, create, err)) {
        case platform::TFileStatus::Ok:
            break;
        case platform::TFileStatus::NotFound:
            throw EDbfError("Open: file not found: \"" + fileName_ + "\".");
        case platform::TFileStatus::SharingViolation:
        case platform::TFileStatus::Failed:
            throw EDbfError("Cannot open file " + fileName_);
    }
    cachedSize_ = -1;
}

void TPagedFile::CloseFile() {
    file_.Close();
    cachedSize_ = -1;
}

void TPagedFile::TryExclusive() {
    if (needLocks_) throw EDbfError("Exclusive access is required for this operation.");
}

uint64_t TPagedFile::PageOffset(uint32_t pageNo) const {
    if (pageOffsetByHeader_) {
        return uint64_t(headerOffset_) + headerSize_ + uint64_t(pageNo - 1) * recordSize_;
    }
    return uint64_t(headerOffset_) + uint64_t(pageNo) * recordSize_;
}

void TPagedFile::ReadAt(uint64_t offset, void* data, size_t size, size_t& got) {
    const int64_t n = file_.ReadAt(offset, data, size);
    if (n < 0) Fail("Cannot read file");
    got = static_cast<size_t>(n);
}

void TPagedFile::WriteAt(uint64_t offset, const void* data, size_t size) {
    if (!file_.WriteAt(offset, data, size)) Fail("Cannot write file");
    cachedSize_ = -1;
}

void TPagedFile::TruncateAt(uint64_t size) {
    if (!file_.Truncate(size)) Fail("Cannot write file");
    cachedSize_ = -1;
}

int64_t TPagedFile::ReadRecord(uint32_t pageNo, void* data) {
    size_t got = 0;
    ReadAt(PageOffset(pageNo), data, recordSize_, got);
    return static_cast<int64_t>(got);
}

void TPagedFile::WriteRecord(uint32_t pageNo, const void* data) {
    WriteAt(PageOffset(pageNo), data, recordSize_);
}

bool TPagedFile::ReadHeader() {
    if (header_.size() != headerSize_) header_.assign(headerSize_, 0);
    size_t got = 0;
    ReadAt(headerOffset_, header_.data(), headerSize_, got);
    headerModified_ = false;
    return got == headerSize_;
}

void TPagedFile::WriteHeader() {
    WriteAt(headerOffset_, header_.data(), header_.size());
    headerModified_ = false;
}

uint64_t TPagedFile::FileSize() {
    if (cachedSize_ < 0 || needLocks_) {
        cachedSize_ = file_.Size();
        if (cachedSize_ < 0) Fail("Cannot read file");
    }
    return static_cast<uint64_t>(cachedSize_);
}

uint32_t TPagedFile::CachedRecordCount() {
    if (recordSize_ == 0) return 0;
    const uint64_t size = FileSize();
    const uint64_t start = uint64_t(headerOffset_) + (pageOffsetByHeader_ ? headerSize_ : 0);
    if (size <= start) return 0;
    const uint64_t count = (size - start) / recordSize_;
    return count > 0xFFFFFFFEULL ? 0xFFFFFFFEU : static_cast<uint32_t>(count);
}

bool TPagedFile::LockPage(uint32_t pageNo, bool wait) {
    if (!needLocks_) return true;
    platform::TLockStatus status;
    if (virtualLocks_) {
        status = file_.Lock(kLockBase - pageNo, 1, wait);
    } else {
        // Real ranges: the header is the whole first block, as long as any other block.
        status = file_.Lock(pageNo == 0 ? headerOffset_ : PageOffset(pageNo), recordSize_, wait);
    }
    return status == platform::TLockStatus::Ok;
}

void TPagedFile::UnlockPage(uint32_t pageNo) {
    if (!needLocks_) return;
    if (virtualLocks_) {
        file_.Unlock(kLockBase - pageNo, 1);
    } else {
        file_.Unlock(pageNo == 0 ? headerOffset_ : PageOffset(pageNo), recordSize_);
    }
}

void TPagedFile::UnlockAllPages() {
    if (!needLocks_) return;
    if (virtualLocks_) {
        file_.Unlock(kUnlockAllOffset, kUnlockAllLength);
    } else {
        file_.Unlock(0, kRealUnlockAllLength);
    }
}
