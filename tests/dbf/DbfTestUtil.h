#pragma once
// Tables and memo files crafted byte by byte in a scratch directory.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace dbftest {

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "dbftest.XXXXXX").string();
        path_ = mkdtemp(tmpl.data());
        path_ += '/';
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + name; }

private:
    std::string path_;
};

struct FieldSpec {
    std::string name;
    char type;
    uint8_t length;
    uint8_t decimals = 0;
};

inline void PutU16(std::string& b, size_t at, uint32_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
inline void PutU32(std::string& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline uint32_t GetU32(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(b[at + i]);
    return v;
}

struct TableSpec {
    uint8_t version = 0x03;
    uint8_t languageId = 0;
    std::vector<FieldSpec> fields;
    std::vector<std::string> records;  // each with its deletion flag first
    bool endOfFile = true;
    int headerCount = -1;  // -1: the real count
};

inline uint32_t RecordLength(const TableSpec& t) {
    uint32_t n = 1;
    for (const auto& f : t.fields) n += f.length;
    return n;
}

// Levels III and IV: a 32-byte header, 32-byte descriptors and the 0x0D terminator.
inline std::string BuildTable(const TableSpec& t) {
    const size_t headerLength = 32 + 32 * t.fields.size() + 1;
    std::string b(headerLength, '\0');
    b[0] = static_cast<char>(t.version);
    b[1] = 99;
    b[2] = 1;
    b[3] = 2;
    PutU32(b, 4,
           t.headerCount < 0 ? static_cast<uint32_t>(t.records.size())
                             : static_cast<uint32_t>(t.headerCount));
    PutU16(b, 8, static_cast<uint32_t>(headerLength));
    PutU16(b, 10, RecordLength(t));
    b[29] = static_cast<char>(t.languageId);
    for (size_t i = 0; i < t.fields.size(); ++i) {
        const FieldSpec& f = t.fields[i];
        const size_t at = 32 + 32 * i;
        b.replace(at, f.name.size(), f.name);
        b[at + 11] = f.type;
        b[at + 16] = static_cast<char>(f.length);
        b[at + 17] = static_cast<char>(f.decimals);
    }
    b[headerLength - 1] = 0x0D;
    for (const auto& r : t.records) b += r;
    if (t.endOfFile) b += '\x1A';
    return b;
}

// A memo file of blockSize blocks; blocks maps block numbers to their bytes (padded).
inline std::string BuildMemo(uint32_t blockSize, uint32_t nextFree, bool levelFour,
                             const std::vector<std::pair<uint32_t, std::string>>& blocks) {
    std::string b(blockSize, '\0');
    PutU32(b, 0, nextFree);
    if (levelFour) {
        PutU16(b, 20, blockSize);
    } else {
        b[16] = 3;
    }
    for (const auto& [no, bytes] : blocks) {
        const size_t at = size_t(no) * blockSize;
        const size_t end = at + (bytes.size() + blockSize - 1) / blockSize * blockSize;
        if (b.size() < end) b.resize(end, ' ');
        b.replace(at, bytes.size(), bytes);
    }
    return b;
}

inline std::string LevelFourMemo(const std::string& text) {
    std::string h("\xFF\xFF\x08\x00\0\0\0\0", 8);
    PutU32(h, 4, static_cast<uint32_t>(text.size() + 8));
    return h + text;
}

inline std::string Pad(const std::string& s, size_t width) {
    return s + std::string(width > s.size() ? width - s.size() : 0, ' ');
}

}  // namespace dbftest
