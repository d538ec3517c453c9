#pragma once
// Template files (*.ats): one exchange's line layout as the column of each field.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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

struct TTemplateView {
    std::string Comment;
    TTemplateColumns Columns;
};

inline constexpr const char* kTemplateSection = "Parameters";

// Reads Name and the thirteen columns of a template file into comment and columns, key by key.
// False when the file does not exist; raises EIniFileException naming the file when it is there
// but cannot be read (no permission, a directory, an I/O error). Nothing is changed then.
bool ReadTemplateFile(const std::string& path, std::string& comment, TTemplateColumns& columns);

// The active template programDir + name, the name looked up ignoring case. False when it is not
// chosen, missing or unreadable, with the reason (naming the file) in problem.
bool LoadActiveTemplate(const std::string& programDir, const std::string& name,
                        std::string& comment, TTemplateColumns& columns, std::string& problem);

// Reading for display: missing file or keys give an empty comment and zeros, without a message.
TTemplateView ReadTemplateForDisplay(const std::string& programDir, const std::string& fileName);

// File names of dir matching *.ats in any case (no directories, hidden or dot files), sorted
// ignoring case.
std::vector<std::string> ListTemplates(const std::string& programDir);

// Writes section "Parameters" key by key (Name, Day, Mont, Year, Hour, Min, Sec, Line, TimeHour,
// TimeMin, TimeSec, NumberIn, NumberOut, AmPm), keeping the file's other sections and keys.
void WriteTemplateFile(const std::string& path, const std::string& comment,
                       const TTemplateColumns& columns);

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

// The rule for names typed on the template page: digits, Latin letters, Windows-1251 letters
// (192..255) and Backspace pass, letters upper-cased; anything else gives 0 (the key is dropped).
char FilterTemplateNameKey(char key);
inline constexpr int kTemplateNameMax = 50;
