#pragma once
#include <string>

namespace platform {
// The directory of the executable, ending in a path separator; every station file is found
// through it. SetProgramDir replaces it (a station directory given with --dir, or a test).
std::string ProgramDir();
void SetProgramDir(const std::string& dir);

// The path of the file called name in dir (which ends in a separator), the name matched
// ignoring letter case: a station directory copied from a system whose names ignore case may
// hold NewRead.txt or TARVICK.DAT. An exact match wins; dir + name when there is none.
std::string FileInDir(const std::string& dir, const std::string& name);
}  // namespace platform
