#pragma once
// The memo file beside a table (.dbt) and the in-memory stream holding one memo's text.
#include <cstdint>
#include <string>
#include <string_view>

#include "dbf/PagedFile.h"

class TMemoFile : public TPagedFile {
public:
    // dbfLevel 3 writes terminated memos in 512-byte blocks; 4 and 7 write block headers.
    TMemoFile(std::string fileName, int dbfLevel);

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
