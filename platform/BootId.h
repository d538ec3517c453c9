#pragma once
// The identity of the machine's current boot. It changes when the machine starts again, so a
// program started anew can tell a restart of its own (the devices kept what they held) from one
// of the machine (they lost it). Empty when the system does not tell.
#include <string>

namespace platform {
std::string BootId();
}  // namespace platform
