#pragma once
// Subcommands of tarvick-tool register themselves here, one source file each (Tool*.cpp).
#include <string>

#include <vector>
#include "common/DateTime.h"

using ToolArgs = std::vector<std::string>;
using ToolRun = int (*)(const ToolArgs& args);  // args after the subcommand's name

struct ToolCommand {
    const char* name;
    const char* usage;
    ToolRun run;
};

struct ToolRegistration {
    ToolRegistration(const char* name, const char* usage, ToolRun run);
};

// Reads a whole file, or standard input for an empty path; false when it cannot be read.
bool ReadInput(const std::string& path, std::string& data);
// A date written YYYY-MM-DD; false for anything else or a day that does not exist.
bool ParseIsoDay(const std::string& text, TDateTime& day);
