#pragma once
#include <string>

namespace platform {
// The directory of the executable, ending in a path separator; every station file is found
// through it. SetProgramDir replaces it (a station directory given with --dir, or a test).
std::string ProgramDir();
void SetProgramDir(const std::string& dir);
}  // namespace platform
