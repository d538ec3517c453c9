#pragma once
// How much room the file system of a directory has left.
#include <cstdint>
#include <string>

namespace platform {

struct TDiskSpace {
    bool Known = false;  // false: Error tells why
    uint64_t Free = 0;   // bytes an unprivileged writer may still use
    uint64_t Total = 0;
    std::string Error;
};

TDiskSpace DiskSpaceOf(const std::string& dir);

}  // namespace platform
