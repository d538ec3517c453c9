#pragma once
// The memo file beside a table (.dbt) and the in-memory stream holding one memo's text.
#include <cstdint>
#include <string>
#include <string_view>

#include "dbf/Dbf_PgFile.h"

class TDbtFile : public TPagedFile {
public:
    // dbfLevel 3 writes terminated memos in 512-byte blocks; 4 and 7 write block headers.
    TDbtFile(std::string fileName, int dbfLevel);

    void Open(TPagedFileMode mode);
    void Close();
    uint32_t BlockSize() const { return blockSize_; }

    // The text of the memo that starts at the block; empty for block 0 or one beyond the file.
    std::string ReadMemo(uint32_t blockNo);
    // Stores the text and returns its first block (0 for an empty text).
    uint32_t WriteMemo(uint32_t blockNo, size_t previousLength, std::string_view text);

private:
    uint32_t NextFreeBlock(uint64_t needed);

    int dbfLevel_;
    uint32_t blockSize_ = 512;
    bool open_ = false;
};

enum class TBlobStreamMode { bmRead, bmWrite };

// One memo field's text as read from the memo file, or as being assigned.
class TDbfBlobStream {
public:
    TDbfBlobStream(TBlobStreamMode mode, uint32_t blockNo, std::string text)
        : mode_(mode), blockNo_(blockNo), readLength_(text.size()), data_(std::move(text)) {}

    TBlobStreamMode Mode() const { return mode_; }
    uint32_t BlockNo() const { return blockNo_; }
    size_t ReadLength() const { return readLength_; }
    const std::string& Data() const { return data_; }
    // Writing starts at the beginning; the stream ends at the last written byte.
    void Assign(std::string_view text) { data_.assign(text); }

private:
    TBlobStreamMode mode_;
    uint32_t blockNo_;
    size_t readLength_;
    std::string data_;
};
