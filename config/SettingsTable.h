#pragma once
// The settings record of tarvick.dat: read into and written from TSettings.
#include <string>

#include "config/Settings.h"
#include "dbf/DbfTable.h"

// Opens the table in dir, reads the fields of its first live record (and, when asked for, the
// widths of its text fields) and closes it. On a failure the table is closed and the error
// passed on; the settings read before it stay in s.
void ReadSettingsTable(TDbfTable& table, const std::string& dir, TSettings& s,
                       TTextWidths* widths = nullptr);
// Opens the table in dir, edits its first live record (or appends one when there is none),
// assigns every field, posts and closes. On a failure the table is closed and the error passed on.
void WriteSettingsTable(TDbfTable& table, const std::string& dir, const TSettings& s);
