#pragma once
// Files that appear whole or not at all, also across a crash or a power cut.
#include <string>
#include <string_view>

namespace platform {

enum class TCreateResult { Created, Exists, Failed };

// Creates path holding data, readable by its owner only. The data goes to a temporary file
// beside it and to the disk first, and is then linked in under its name, so an existing file
// is never replaced. On failure error holds the reason.
TCreateResult CreateFileAtomically(const std::string& path, std::string_view data,
                                   std::string& error);

// Puts data under path whole, replacing what is there, readable by everyone: readers see the old
// file or the new one, never a part. False with error set on failure; the old file then stays.
bool ReplaceFileAtomically(const std::string& path, std::string_view data, std::string& error);

}  // namespace platform
