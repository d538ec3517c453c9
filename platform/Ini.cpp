#include "platform/Ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "common/Text.h"

namespace {

constexpr size_t kMaxFileSize = 16 * 1024 * 1024;  // larger files are not settings
constexpr size_t kMaxValue = 2047;

struct Line {
    std::string text;  // without its line end
};

// The file's bytes, or nothing with the system's error in error.
std::optional<std::string> ReadFile(const std::string& path, int& error) {
    error = 0;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return std::nullopt;
    }
    std::string data;
    char buf[65536];
    while (data.size() < kMaxFileSize) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    if (error != 0) return std::nullopt;
    if (data.size() > kMaxFileSize) data.resize(kMaxFileSize);
    return data;
}

// As the profile functions have it: a file that cannot be read reads as an empty one.
std::optional<std::string> ReadFile(const std::string& path) {
    int error = 0;
    return ReadFile(path, error);
}

std::vector<Line> SplitFile(const std::string& data) {
    std::vector<Line> lines;
    std::string cur;
    for (size_t i = 0; i < data.size(); ++i) {
        const char c = data[i];
        if (c == '\n' || c == '\r') {
            lines.push_back({cur});
            cur.clear();
            if (c == '\r' && i + 1 < data.size() && data[i + 1] == '\n') ++i;
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) lines.push_back({cur});
    return lines;
}

// A section header's name, or nothing when the line is not a header.
std::optional<std::string> SectionName(const std::string& line) {
    const std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[') return std::nullopt;
    const size_t close = t.find(']');
    if (close == std::string::npos) return std::nullopt;
    return Trim(std::string_view(t).substr(1, close - 1));
}

// The key of an entry line, or nothing.
std::optional<std::string> KeyName(const std::string& line) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return std::nullopt;
    std::string key = Trim(std::string_view(line).substr(0, eq));
    if (key.empty() || key.front() == ';') return std::nullopt;
    return key;
}

std::string EntryValue(const std::string& line) {
    std::string v = Trim(std::string_view(line).substr(line.find('=') + 1));
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    if (v.size() > kMaxValue) v.resize(kMaxValue);
    return v;
}

struct Position {
    bool sectionFound = false;
    size_t sectionLine = 0;  // the header
    size_t lastEntry = 0;    // last non-blank line of the section
    std::optional<size_t> keyLine;
};

Position Locate(const std::vector<Line>& lines, std::string_view section, std::string_view key) {
    Position p;
    bool inSection = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (auto name = SectionName(lines[i].text)) {
            if (inSection) break;  // only the first section of that name counts
            inSection = SameText1251(*name, section);
            if (inSection) {
                p.sectionFound = true;
                p.sectionLine = p.lastEntry = i;
            }
            continue;
        }
        if (!inSection) continue;
        if (!Trim(lines[i].text).empty()) p.lastEntry = i;
        if (!p.keyLine && !key.empty()) {
            if (auto k = KeyName(lines[i].text); k && SameText1251(*k, key)) p.keyLine = i;
        }
    }
    return p;
}

[[noreturn]] void RaiseWrite(const std::string& path) {
    throw EIniFileException("Unable to write to " + path);
}

void WriteAll(const std::string& path, const std::vector<Line>& lines, bool ownerOnly) {
    std::string data;
    for (const Line& l : lines) {
        data += l.text;
        data += "\r\n";
    }
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && ::access(path.c_str(), W_OK) != 0) RaiseWrite(path);
    // Write beside the file and rename over it, so a crash never leaves half a file.
    const std::string tmp = path + ".tmp~";
    const mode_t mode = ownerOnly ? 0600 : exists ? (st.st_mode & 07777) : 0644;
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) RaiseWrite(path);
    // A temporary file left over by a crash keeps its own mode through O_TRUNC.
    if (::fchmod(fd, mode) != 0) {
        ::close(fd);
        ::unlink(tmp.c_str());
        RaiseWrite(path);
    }
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0) {
            ::close(fd);
            ::unlink(tmp.c_str());
            RaiseWrite(path);
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        RaiseWrite(path);
    }
}

}  // namespace

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view def) const {
    const auto data = ReadFile(fileName_);
    if (!data) return std::string(def);
    const auto lines = SplitFile(*data);
    const Position p = Locate(lines, section, key);
    if (!p.keyLine) return std::string(def);
    return EntryValue(lines[*p.keyLine].text);
}

std::vector<std::pair<std::string, std::string>> TIniFile::ReadSection(
    std::string_view section) const {
    std::vector<std::pair<std::string, std::string>> entries;
    const auto data = ReadFile(fileName_);
    if (!data) return entries;
    bool inSection = false;
    for (const Line& line : SplitFile(*data)) {
        if (auto name = SectionName(line.text)) {
            if (inSection) break;  // only the first section of that name counts
            inSection = SameText1251(*name, section);
            continue;
        }
        if (!inSection) continue;
        if (auto key = KeyName(line.text)) entries.emplace_back(*key, EntryValue(line.text));
    }
    return entries;
}

void TIniFile::CheckReadable() const {
    int error = 0;
    if (!ReadFile(fileName_, error) && error != ENOENT && error != ENOTDIR)
        throw EIniFileException("Unable to read " + fileName_ + ": " + std::strerror(error));
}

int TIniFile::ReadInteger(std::string_view section, std::string_view key, int def) const {
    return StrToIntDef(ReadString(section, key, ""), def);
}

bool TIniFile::SectionExists(std::string_view section) const {
    const auto data = ReadFile(fileName_);
    return data && Locate(SplitFile(*data), section, "").sectionFound;
}

std::vector<std::string> TIniFile::ReadSections() const {
    std::vector<std::string> names;
    const auto data = ReadFile(fileName_);
    if (!data) return names;
    for (const Line& line : SplitFile(*data)) {
        const auto name = SectionName(line.text);
        if (!name) continue;
        const bool seen = std::any_of(names.begin(), names.end(), [&](const std::string& n) {
            return strcasecmp(n.c_str(), name->c_str()) == 0;
        });
        if (!seen) names.push_back(*name);
    }
    return names;
}

bool TIniFile::ValueExists(std::string_view section, std::string_view key) const {
    const auto data = ReadFile(fileName_);
    return data && Locate(SplitFile(*data), section, key).keyLine.has_value();
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    const auto data = ReadFile(fileName_);
    std::vector<Line> lines = data ? SplitFile(*data) : std::vector<Line>{};
    const Position p = Locate(lines, section, key);
    const Line entry{std::string(key) + "=" + std::string(value)};
    if (p.keyLine) {
        lines[*p.keyLine] = entry;
    } else if (p.sectionFound) {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(p.lastEntry + 1), entry);
    } else {
        lines.push_back({"[" + std::string(section) + "]"});
        lines.push_back(entry);
    }
    WriteAll(fileName_, lines, ownerOnly_);
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int value) {
    WriteString(section, key, std::to_string(value));
}
