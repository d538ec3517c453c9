#pragma once
// What another program may do to a journal's day file, or to the whole journal, while a station
// holds it open.
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/common/TempDir.h"

namespace tamper {

inline void RemoveDayFile(const std::string&, const std::string& day) {
    std::filesystem::remove(day);
}
inline void RemoveJournal(const std::string& dir, const std::string&) {
    std::filesystem::remove_all(dir);
}
// Renamed over it, as an editor saves.
inline void ReplaceDayFile(const std::string&, const std::string& day) {
    WriteBytes(day + ".tmp", "01/01/26 00:00:00 01 999 00:00:01 666\r\n");
    std::filesystem::rename(day + ".tmp", day);
}
inline void EmptyDayFile(const std::string&, const std::string& day) {
    std::filesystem::resize_file(day, 0);
}
inline void CutFiveBytes(const std::string&, const std::string& day) {
    std::filesystem::resize_file(day, std::filesystem::file_size(day) - 5);
}
inline void AppendJunk(const std::string&, const std::string& day) {
    std::ofstream(day, std::ios::binary | std::ios::app) << "junk";
}
// Longer than any line, with no line end.
inline void AppendLongJunk(const std::string&, const std::string& day) {
    std::ofstream(day, std::ios::binary | std::ios::app) << std::string(5000, 'x');
}

}  // namespace tamper
