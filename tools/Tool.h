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

class TCallDatabase;
class TRecorder;

// Loads the configuration of the station directory dir and attaches to its call database with
// its login (db.ini), or ISC_USER and ISC_PASSWORD when they are set. 0, or the exit status after
// the message has gone to standard error: 2 the configuration or the template cannot be read, 3 the
// database cannot be opened.
int OpenStation(const std::string& dir, TRecorder& rules, TCallDatabase& db);
// "dir/" for dir, "./" for an empty one.
std::string WithSlash(std::string dir);
