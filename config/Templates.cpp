#include "config/Templates.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "common/Text.h"
#include "platform/CodePage.h"
#include "platform/Ini.h"
#include "platform/ProgramDir.h"

namespace {

// The numeric keys in the order they are read; AmPm comes last in the file.
struct Key {
    const char* name;
    int32_t TTemplateColumns::*field;
};
constexpr Key kReadOrder[] = {
    {"Day", &TTemplateColumns::Day},           {"Mont", &TTemplateColumns::Mont},
    {"Year", &TTemplateColumns::Year},         {"Hour", &TTemplateColumns::Hour},
    {"Min", &TTemplateColumns::Min},           {"Sec", &TTemplateColumns::Sec},
    {"Line", &TTemplateColumns::Line},         {"TimeHour", &TTemplateColumns::TimeHour},
    {"TimeMin", &TTemplateColumns::TimeMin},   {"TimeSec", &TTemplateColumns::TimeSec},
    {"NumberIn", &TTemplateColumns::NumberIn}, {"NumberOut", &TTemplateColumns::NumberOut},
    {"AmPm", &TTemplateColumns::AmPm},
};

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void ReadKeys(const TIniFile& ini, std::string& comment, TTemplateColumns& columns) {
    comment = ini.ReadString(kTemplateSection, "Name", "");
    for (const Key& k : kReadOrder) columns.*k.field = ini.ReadInteger(kTemplateSection, k.name, 0);
}

// A key's value read as a column or field number with an optional place ("12", "0x1F", "1.3").
enum class TValueKind { Number, NotNumber, TooLarge };

TValueKind ParseKeyValue(const std::string& text, TFieldKey& key) {
    key = {};
    if (text.empty()) return TValueKind::Number;
    const size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    if (const auto v = TryStrToInt(whole)) {
        key.Column = *v;
    } else {
        // Digits that do not fit are a number too large to hold, not text.
        size_t i = (!whole.empty() && (whole[0] == '-' || whole[0] == '+')) ? 1 : 0;
        const bool digits =
            i < whole.size() && whole.find_first_not_of("0123456789", i) == std::string::npos;
        return digits ? TValueKind::TooLarge : TValueKind::NotNumber;
    }
    if (dot == std::string::npos) return TValueKind::Number;
    const std::string place = text.substr(dot + 1);
    if (place.empty() || place.find_first_not_of("0123456789") != std::string::npos)
        return TValueKind::NotNumber;
    const auto p = TryStrToInt(place);
    if (!p) return TValueKind::TooLarge;
    key.Place = *p;
    return TValueKind::Number;
}

// Texts separated by "|", each kept as written; empty ones dropped.
std::vector<std::string> SplitMarks(const std::string& text) {
    std::vector<std::string> marks;
    size_t b = 0;
    for (;;) {
        const size_t e = text.find('|', b);
        std::string mark = text.substr(b, e == std::string::npos ? std::string::npos : e - b);
        if (!mark.empty()) marks.push_back(std::move(mark));
        if (e == std::string::npos) break;
        b = e + 1;
    }
    return marks;
}

std::string JoinMarks(const std::vector<std::string>& marks) {
    std::string text;
    for (const std::string& m : marks) text += (text.empty() ? "" : "|") + m;
    return text;
}

class TKeyReader {
public:
    TKeyReader(const TIniFile& ini, std::vector<std::string>* notes)
        : ini_(ini), entries_(ini.ReadSection(kTemplateSection)), notes_(notes) {}

    TFieldKey Field(const char* name) const {
        const std::string text = Text(name);
        TFieldKey key;
        switch (ParseKeyValue(text, key)) {
            case TValueKind::Number:
                break;
            case TValueKind::NotNumber:
                if (notes_)
                    notes_->push_back("template " + ini_.FileName() + ": " + name + "=" + text +
                                      " is not a number, read as 0");
                return {};
            case TValueKind::TooLarge:
                throw ETemplateError("template " + ini_.FileName() + ": " + name + "=" + text +
                                     " is too large");
        }
        if (key.Column > kTemplateMaxColumn)
            throw ETemplateError("template " + ini_.FileName() + ": " + name + "=" + text +
                                 " lies beyond the longest line (" +
                                 std::to_string(kTemplateMaxColumn) + " characters)");
        if (key.Place < 0 || key.Column <= 0) key.Place = 0;
        return key;
    }
    std::string Text(const char* name) const {
        for (const auto& [key, value] : entries_)
            if (SameText1251(key, name)) return value;
        return {};
    }

private:
    const TIniFile& ini_;
    std::vector<std::pair<std::string, std::string>> entries_;
    std::vector<std::string>* notes_;
};

void ReadFormat(const TIniFile& ini, std::string& comment, TTemplateColumns& columns,
                TTemplateFormat& format, std::vector<std::string>* notes) {
    const TKeyReader keys(ini, notes);
    TTemplateColumns cols;
    TTemplateFormat f;
    for (const Key& k : kReadOrder) {
        const TFieldKey key = keys.Field(k.name);
        cols.*k.field = key.Column;
        f.Places.*k.field = key.Place;
    }
    const std::string separator = keys.Text("Separator");
    if (SameText1251(separator, "Tab"))
        f.Separator = '\t';
    else if (separator.size() == 1)
        f.Separator = separator[0];
    else if (!separator.empty())
        throw ETemplateError("template " + ini.FileName() + ": Separator=" + separator +
                             " is neither one character nor Tab");
    f.Duration = keys.Field("Duration");
    f.TimeIsEnd = StrToIntDef(keys.Text("TimeIsEnd"), 0) != 0;
    const std::string zone = keys.Text("TimeZone");
    f.Utc = SameText1251(zone, "UTC");
    if (!zone.empty() && !f.Utc)
        throw ETemplateError("template " + ini.FileName() + ": TimeZone=" + zone +
                             " is not UTC (leave it out for the station's local time)");
    f.Direction = keys.Field("Direction");
    f.IncomingMarks = SplitMarks(keys.Text("Incoming"));
    f.InExtension = keys.Field("InExtension");
    f.InCaller = keys.Field("InCaller");
    f.NotCallMarks = SplitMarks(keys.Text("NotCall"));
    const std::string ampm = keys.Text("AmPmText");
    if (!ampm.empty()) {
        const size_t bar = ampm.find('|');
        if (bar == std::string::npos || ampm.find('|', bar + 1) != std::string::npos)
            throw ETemplateError("template " + ini.FileName() + ": AmPmText=" + ampm +
                                 " is not MORNING|AFTERNOON");
        f.AmText = Trim(ampm.substr(0, bar));
        f.PmText = Trim(ampm.substr(bar + 1));
    }
    if (notes && (cols.Day <= 0 || cols.Mont <= 0))
        notes->push_back("template " + ini.FileName() +
                         " reads no date (Day and Mont): calls are stored without a date");
    comment = keys.Text("Name");
    columns = cols;
    format = std::move(f);
}

std::string KeyText(const TFieldKey& key) {
    return std::to_string(key.Column) + (key.Place > 0 ? "." + std::to_string(key.Place) : "");
}

// Nothing at all at the path; anything else there (a directory, a file without permission)
// is a template that cannot be read.
bool Missing(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

bool EndsWithAts(const std::string& name) {
    return name.size() >= 4 && SameText1251(std::string_view(name).substr(name.size() - 4), ".ats");
}

}  // namespace

bool ReadTemplateFile(const std::string& path, std::string& comment, TTemplateColumns& columns) {
    TTemplateFormat format;
    return ReadTemplateFile(path, comment, columns, format);
}

bool ReadTemplateFile(const std::string& path, std::string& comment, TTemplateColumns& columns,
                      TTemplateFormat& format, std::vector<std::string>* notes) {
    if (Missing(path)) return false;
    const TIniFile ini(path);
    ini.CheckReadable();
    ReadFormat(ini, comment, columns, format, notes);
    return true;
}

TTemplateView ReadTemplateForDisplay(const std::string& programDir, const std::string& fileName) {
    TTemplateView view;
    const TIniFile ini(platform::FileInDir(programDir, fileName));
    try {
        ReadFormat(ini, view.Comment, view.Columns, view.Format, nullptr);
    } catch (const ETemplateError&) {
        // Shown as far as it reads; loading it says what is wrong.
        view = {};
        ReadKeys(ini, view.Comment, view.Columns);
    }
    return view;
}

std::vector<std::string> ListTemplates(const std::string& programDir) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(programDir.c_str());
    if (!dir) return names;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        // Dot files are hidden on this system.
        if (name.empty() || name[0] == '.' || !EndsWithAts(name)) continue;
        const std::string path = programDir + name;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return CompareText1251(a, b) < 0; });
    return names;
}

void WriteTemplateFile(const std::string& path, const std::string& comment,
                       const TTemplateColumns& columns) {
    TIniFile ini(path);
    ini.WriteString(kTemplateSection, "Name", comment);
    for (const Key& k : kReadOrder) ini.WriteInteger(kTemplateSection, k.name, columns.*k.field);
}

void WriteTemplateFile(const std::string& path, const std::string& comment,
                       const TTemplateColumns& columns, const TTemplateFormat& format) {
    WriteTemplateFile(path, comment, columns);
    TIniFile ini(path);
    const TTemplateFormat plain;
    for (const Key& k : kReadOrder)
        if (format.Places.*k.field > 0)
            ini.WriteString(kTemplateSection, k.name,
                            KeyText({columns.*k.field, format.Places.*k.field}));
    if (format.Separator)
        ini.WriteString(
            kTemplateSection, "Separator",
            format.Separator == '\t' ? std::string("Tab") : std::string(1, format.Separator));
    const std::pair<const char*, const TFieldKey*> fields[] = {{"Duration", &format.Duration},
                                                               {"Direction", &format.Direction},
                                                               {"InExtension", &format.InExtension},
                                                               {"InCaller", &format.InCaller}};
    for (const auto& [name, key] : fields)
        if (key->Column > 0) ini.WriteString(kTemplateSection, name, KeyText(*key));
    if (format.TimeIsEnd) ini.WriteString(kTemplateSection, "TimeIsEnd", "1");
    if (format.Utc) ini.WriteString(kTemplateSection, "TimeZone", "UTC");
    if (!format.IncomingMarks.empty())
        ini.WriteString(kTemplateSection, "Incoming", JoinMarks(format.IncomingMarks));
    if (!format.NotCallMarks.empty())
        ini.WriteString(kTemplateSection, "NotCall", JoinMarks(format.NotCallMarks));
    if (format.AmText != plain.AmText || format.PmText != plain.PmText)
        ini.WriteString(kTemplateSection, "AmPmText", format.AmText + "|" + format.PmText);
}

void SaveTemplate(const std::string& programDir, ITemplateSavePage& page,
                  const std::string& typedName, const std::string& comment,
                  const TTemplateColumns& columns,
                  const std::function<bool(const std::string& name)>& activate) {
    SaveTemplate(programDir, page, typedName, comment, columns, TTemplateFormat{}, activate);
}

void SaveTemplate(const std::string& programDir, ITemplateSavePage& page,
                  const std::string& typedName, const std::string& comment,
                  const TTemplateColumns& columns, const TTemplateFormat& format,
                  const std::function<bool(const std::string& name)>& activate) {
    if (Trim(typedName).empty()) {
        page.FocusNameField();
        page.ShowMessage(platform::Utf8ToAnsi("Запишите название шаблона."));
        return;
    }
    const std::string path = platform::FileInDir(programDir, typedName + ".ATS");
    if (FileExists(path) && !page.AskYesNo(platform::Utf8ToAnsi("Файл ") + path +
                                           platform::Utf8ToAnsi(" уже существует. Удалить ?")))
        return;
    page.SwitchToViewing();
    WriteTemplateFile(path, comment, columns, format);

    std::vector<std::string> upper;
    int selected = -1;
    for (const std::string& name : ListTemplates(programDir)) {
        if (selected < 0 && SameText1251(name, typedName + ".ATS"))
            selected = static_cast<int>(upper.size());
        upper.push_back(UpperCase1251(name));
    }
    page.SetTemplateList(upper, selected);
    const std::string active = selected >= 0 ? upper[static_cast<size_t>(selected)] : "";
    page.ShowMessage(platform::Utf8ToAnsi(activate(active) ? "Шаблон сохранен."
                                                           : "Ошибка. Шаблон не сохранен."));
}

bool LoadActiveTemplate(const std::string& programDir, const std::string& name,
                        std::string& comment, TTemplateColumns& columns, std::string& problem) {
    TTemplateFormat format;
    std::vector<std::string> notes;
    return LoadActiveTemplate(programDir, name, comment, columns, format, problem, notes);
}

bool LoadActiveTemplate(const std::string& programDir, const std::string& name,
                        std::string& comment, TTemplateColumns& columns, TTemplateFormat& format,
                        std::string& problem, std::vector<std::string>& notes) {
    notes.clear();
    if (name.empty()) {
        problem = "No template is chosen in the settings.";
        return false;
    }
    const std::string path = platform::FileInDir(programDir, name);
    try {
        if (!ReadTemplateFile(path, comment, columns, format, &notes)) {
            problem = "Template file not found: \"" + path + "\".";
            return false;
        }
    } catch (const EError& e) {
        // An unreadable file, or a value that cannot hold: the holder keeps what it had.
        notes.clear();
        problem = e.what();
        return false;
    }
    problem.clear();
    return true;
}

char FilterTemplateNameKey(char key) {
    const auto c = static_cast<unsigned char>(key);
    if (c == 8 || (c >= '0' && c <= '9') || c >= 192) return UpperChar1251(key);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return UpperChar1251(key);
    return 0;
}
