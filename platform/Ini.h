#pragma once
// Private-profile (INI) files with the Windows semantics the station's files rely on: names
// matched ignoring case, every read goes to the file, a write updates the file in place and
// keeps every other section, key and line byte for byte. CR LF is written, CR LF or LF read.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/Errors.h"

class EIniFileException : public EError {
public:
    using EError::EError;
};

class TIniFile {
public:
    explicit TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

    const std::string& FileName() const { return fileName_; }
    // Writes leave the file readable and writable by its owner only, for files with passwords.
    void SetOwnerOnly(bool on) { ownerOnly_ = on; }

    // The value with surrounding blanks and one pair of enclosing quotes removed; def when the
    // file, the section or the key is missing. Values are cut at 2047 bytes.
    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view def) const;
    // ReadString parsed as a decimal, "0x" or "$" hexadecimal integer; def when it is not one.
    int ReadInteger(std::string_view section, std::string_view key, int def) const;
    bool SectionExists(std::string_view section) const;
    // The names of the file's sections in file order (each once); empty for a missing file.
    std::vector<std::string> ReadSections() const;
    // Every entry of the section as ReadString reads it, in file order, from one reading of the
    // file (a key given twice is found first where ReadString finds it).
    std::vector<std::pair<std::string, std::string>> ReadSection(std::string_view section) const;
    // The reads above take a file that cannot be read for an empty one. This raises
    // EIniFileException "Unable to read <path>: <reason>" for a file that is there but cannot be
    // read whole (no permission, a directory, an I/O error); a missing file passes.
    void CheckReadable() const;
    bool ValueExists(std::string_view section, std::string_view key) const;

    // Raises EIniFileException "Unable to write to <path>" when the file cannot be written.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, int value);

private:
    std::string fileName_;
    bool ownerOnly_ = false;
};
