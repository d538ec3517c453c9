#include "platform/DiskSpace.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>

namespace platform {

TDiskSpace DiskSpaceOf(const std::string& dir) {
    TDiskSpace space;
    struct statvfs st {};
    if (::statvfs(dir.c_str(), &st) != 0) {
        space.Error = std::strerror(errno);
        return space;
    }
    space.Known = true;
    space.Free = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
    space.Total = static_cast<uint64_t>(st.f_blocks) * st.f_frsize;
    return space;
}

}  // namespace platform
