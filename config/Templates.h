#pragma once
// Template files (*.ats): one exchange's line layout as the column of each field.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/Errors.h"

// Column numbers are 1-based positions in the received line; 0 or less means "no such field".
struct TTemplateColumns {
    int32_t Day = 0;
    int32_t Mont = 0;
    int32_t Year = 0;
    int32_t Hour = 0;
    int32_t Min = 0;
    int32_t Sec = 0;
    int32_t AmPm = 0;
    int32_t Line = 0;
    int32_t TimeHour = 0;
    int32_t TimeMin = 0;
    int32_t TimeSec = 0;
    int32_t NumberIn = 0;
    int32_t NumberOut = 0;
};

// The thirteen columns in the order of the field texts a line is cut into.
inline constexpr int32_t TTemplateColumns::*kColumnMembers[13] = {
    &TTemplateColumns::Day,      &TTemplateColumns::Mont,    &TTemplateColumns::Year,
    &TTemplateColumns::Hour,     &TTemplateColumns::Min,     &TTemplateColumns::Sec,
    &TTemplateColumns::AmPm,     &TTemplateColumns::Line,    &TTemplateColumns::TimeHour,
    &TTemplateColumns::TimeMin,  &TTemplateColumns::TimeSec, &TTemplateColumns::NumberIn,
    &TTemplateColumns::NumberOut};

// Longest line the station keeps (template columns reach 1000); characters beyond it are dropped
// until the line's end.
inline constexpr size_t kMaxCallLine = 1024;

// A template column beyond the longest line could never find its field.
inline constexpr int32_t kTemplateMaxColumn = static_cast<int32_t>(kMaxCallLine);

// A key that names where a value is: a column (fixed layout) or a field number (delimited), and
// optionally the value's place among the runs of digits or letters there ("2026/12/09 10:11:12"
// holds six); place 0 is the whole span.
struct TFieldKey {
    int32_t Column = 0;
    int32_t Place = 0;
};

// What a template says beyond the thirteen columns. Every key is optional and written only when
// set, so the templates of old read and behave as they always have.
struct TTemplateFormat {
    // 0: fixed columns. Otherwise a line is a record of fields cut at this character (quoted as
    // in CSV), and the numeric keys name fields, counted from 1.
    char Separator = 0;
    // Place of each of the thirteen keys' values within its field or span.
    TTemplateColumns Places;
    // The talk time in one piece: h:mm:ss, hh:mm'ss, m'ss, mm:ss, or whole seconds.
    TFieldKey Duration;
    // The printed date-time is when the call ended (the start is that less the talk time).
    bool TimeIsEnd = false;
    // The printed date-time is UTC, stored in the station's local time.
    bool Utc = false;
    // Where the direction is printed, and the texts it begins with on an incoming call.
    TFieldKey Direction;
    std::vector<std::string> IncomingMarks;
    // On an incoming call: where the extension and the caller's number are, when not where
    // NumberIn and NumberOut are.
    TFieldKey InExtension, InCaller;
    // Texts that mark lines that are no calls (page headers, log-in notices, separators).
    std::vector<std::string> NotCallMarks;
    // The twelve-hour clock's morning and afternoon markers.
    std::string AmText = "AM", PmText = "PM";

    bool Delimited() const { return Separator != 0; }
};

struct TTemplateView {
    std::string Comment;
    TTemplateColumns Columns;
    TTemplateFormat Format;
};

inline constexpr const char* kTemplateSection = "Parameters";

// Reads Name and the thirteen columns of a template file into comment and columns, key by key.
// False when the file does not exist; raises EIniFileException naming the file when it is there
// but cannot be read (no permission, a directory, an I/O error). Nothing is changed then.
bool ReadTemplateFile(const std::string& path, std::string& comment, TTemplateColumns& columns);
// The same with the keys beyond the columns. A value that cannot hold (too large, a column beyond
// the longest line, a separator of several characters) raises ETemplateError naming the file and
// the key; values that are not numbers read as 0 and are named in notes.
bool ReadTemplateFile(const std::string& path, std::string& comment, TTemplateColumns& columns,
                      TTemplateFormat& format, std::vector<std::string>* notes = nullptr);

class ETemplateError : public EError {
public:
    using EError::EError;
};

// The active template programDir + name, the name looked up ignoring case. False when it is not
// chosen, missing, unreadable or holds a value that cannot hold, with the reason (naming the
// file) in problem; notes says what a loaded template leaves out.
bool LoadActiveTemplate(const std::string& programDir, const std::string& name,
                        std::string& comment, TTemplateColumns& columns, std::string& problem);
bool LoadActiveTemplate(const std::string& programDir, const std::string& name,
                        std::string& comment, TTemplateColumns& columns, TTemplateFormat& format,
                        std::string& problem, std::vector<std::string>& notes);

// Reading for display: missing file or keys give an empty comment and zeros, without a message.
TTemplateView ReadTemplateForDisplay(const std::string& programDir, const std::string& fileName);

// File names of dir matching *.ats in any case (no directories, hidden or dot files), sorted
// ignoring case.
std::vector<std::string> ListTemplates(const std::string& programDir);

// Writes section "Parameters" key by key (Name, Day, Mont, Year, Hour, Min, Sec, Line, TimeHour,
// TimeMin, TimeSec, NumberIn, NumberOut, AmPm), keeping the file's other sections and keys.
void WriteTemplateFile(const std::string& path, const std::string& comment,
                       const TTemplateColumns& columns);
// The same, then the keys of format that are set (a key with a place as "field.place").
void WriteTemplateFile(const std::string& path, const std::string& comment,
                       const TTemplateColumns& columns, const TTemplateFormat& format);

// What the template save asks of the page it runs on (the settings dialog, or a test).
class ITemplateSavePage {
public:
    virtual ~ITemplateSavePage() = default;
    virtual void FocusNameField() = 0;
    virtual void ShowMessage(const std::string& text) = 0;
    // A warning with the buttons Yes and No; true for Yes.
    virtual bool AskYesNo(const std::string& text) = 0;
    // Back to viewing mode with the focus on the template list.
    virtual void SwitchToViewing() = 0;
    // The re-formed list and the entry to select (-1 for none).
    virtual void SetTemplateList(const std::vector<std::string>& upperNames, int selected) = 0;
};

// The template save of the template page. activate(name) sets the holder's Template to the
// upper-case name (empty when none is selected) and loads it, returning LoadTemplate's result.
void SaveTemplate(const std::string& programDir, ITemplateSavePage& page,
                  const std::string& typedName, const std::string& comment,
                  const TTemplateColumns& columns,
                  const std::function<bool(const std::string& name)>& activate);
// The same for a template with keys beyond the columns.
void SaveTemplate(const std::string& programDir, ITemplateSavePage& page,
                  const std::string& typedName, const std::string& comment,
                  const TTemplateColumns& columns, const TTemplateFormat& format,
                  const std::function<bool(const std::string& name)>& activate);

// The rule for names typed on the template page: digits, Latin letters, Windows-1251 letters
// (192..255) and Backspace pass, letters upper-cased; anything else gives 0 (the key is dropped).
char FilterTemplateNameKey(char key);
inline constexpr int kTemplateNameMax = 50;
