#include "platform/BootId.h"

#include <fstream>

namespace platform {

std::string BootId() {
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(in, id);
    return id;
}

}  // namespace platform
