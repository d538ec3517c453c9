#include "dbf/MemoFile.h"

#include <algorithm>
#include <cstring>

#include "common/Errors.h"

namespace {
constexpr uint32_t kHeaderRead = 512;
constexpr uint8_t kBlockMark[4] = {0xFF, 0xFF, 0x08, 0x00};
constexpr size_t kBlockHeader = 8;

uint32_t GetU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t CeilDiv(uint64_t a, uint64_t b) {
    return (a + b - 1) / b;
}
}  // namespace

TMemoFile::TMemoFile(std::string fileName, int dbfLevel)
    : TPagedFile(std::move(fileName)), dbfLevel_(dbfLevel) {
    SetVirtualLocks(false);
    SetPageOffsetByHeader(false);
}

void TMemoFile::Open(TPagedFileMode mode) {
    OpenFile(mode);
    SetHeaderSize(kHeaderRead);
    // A memo file shorter than its header reads as an empty one.
    ReadHeader();
    blockSize_ = 512;
    if (dbfLevel_ != 3) {
        const uint32_t stored = uint32_t(header_[20]) | uint32_t(header_[21]) << 8;
        if (stored == 0 || stored % 128 != 0) {
            header_[20] = 512 & 0xFF;
            header_[21] = 512 >> 8;
            if (!ReadOnlyMode()) WriteHeader();
        } else {
            blockSize_ = stored;
        }
    }
    SetRecordSize(blockSize_);
    open_ = true;
}

void TMemoFile::Close() {
    CloseFile();
    open_ = false;
}

std::string TMemoFile::ReadMemo(uint32_t blockNo) {
    if (blockNo == 0) return {};
    const uint64_t size = FileSize();
    const uint64_t start = uint64_t(blockNo) * blockSize_;
    if (start >= size) return {};
    const uint64_t available = size - start;
    uint8_t head[kBlockHeader] = {};
    size_t got = 0;
    ReadAt(start, head, std::min<uint64_t>(kBlockHeader, available), got);
    std::string text;
    if (got == kBlockHeader && std::memcmp(head, kBlockMark, 4) == 0) {
        const uint32_t total = GetU32(head + 4);
        const uint64_t length = std::min<uint64_t>(total > kBlockHeader ? total - kBlockHeader : 0,
                                                   available - kBlockHeader);
        text.resize(length);
        ReadAt(start + kBlockHeader, text.data(), length, got);
        text.resize(got);
        return text;
    }
    // Terminated style: block by block up to the first 0x1A 0x1A, also one split between two
    // blocks; without a terminator the text ends with the file.
    std::string block(blockSize_, '\0');
    for (uint64_t at = start; at < size; at += blockSize_) {
        ReadAt(at, block.data(), blockSize_, got);
        if (got == 0) break;
        const size_t from = text.empty() ? 0 : text.size() - 1;
        text.append(block.data(), got);
        const size_t end = text.find("\x1A\x1A", from);
        if (end != std::string::npos) {
            text.resize(end);
            return text;
        }
    }
    return text;
}

uint32_t TMemoFile::NextFreeBlock(uint64_t needed) {
    const uint64_t fileBlocks = CeilDiv(FileSize(), blockSize_);
    uint64_t next = std::max<uint64_t>(GetU32(header_.data()), 1);
    // A next-free number inside the used blocks would overwrite other memos, one far beyond
    // the end would leave a huge hole: both mean a damaged header, so the file end wins.
    if (next < fileBlocks || (next - fileBlocks) * blockSize_ > (1u << 20)) {
        next = std::max<uint64_t>(fileBlocks, 1);
    }
    if (next + needed > 0xFFFFFFFFULL) {
        throw EDbfError("Memo file " + fileName_ + " is full.");
    }
    return static_cast<uint32_t>(next);
}

uint32_t TMemoFile::WriteMemo(uint32_t blockNo, size_t previousLength, std::string_view text) {
    if (text.empty()) return 0;
    std::string image;
    if (dbfLevel_ == 3) {
        image.reserve(text.size() + 2);
        image.append(text);
        image.append("\x1A\x1A");
    } else {
        if (text.size() > 0xFFFFFFFFULL - kBlockHeader) throw EDbfError("Memo too long.");
        uint8_t head[kBlockHeader];
        std::memcpy(head, kBlockMark, 4);
        PutU32(head + 4, static_cast<uint32_t>(text.size() + kBlockHeader));
        image.assign(reinterpret_cast<const char*>(head), kBlockHeader);
        image.append(text);
    }
    const uint64_t needed = CeilDiv(image.size(), blockSize_);
    image.resize(needed * blockSize_, ' ');
    const uint64_t previous = CeilDiv(previousLength, blockSize_);
    if (blockNo != 0 && previous >= needed) {
        WriteAt(uint64_t(blockNo) * blockSize_, image.data(), image.size());
        return blockNo;
    }
    LockPage(0, true);
    try {
        ReadHeader();
        const uint32_t first = NextFreeBlock(needed);
        WriteAt(uint64_t(first) * blockSize_, image.data(), image.size());
        PutU32(header_.data(), static_cast<uint32_t>(first + needed));
        WriteHeader();
        UnlockPage(0);
        return first;
    } catch (...) {
        UnlockPage(0);
        throw;
    }
}
