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
    if (Missing(path)) return false;
    const TIniFile ini(path);
    ini.CheckReadable();
    ReadKeys(ini, comment, columns);
    return true;
}

TTemplateView ReadTemplateForDisplay(const std::string& programDir, const std::string& fileName) {
    TTemplateView view;
    ReadKeys(TIniFile(platform::FileInDir(programDir, fileName)), view.Comment, view.Columns);
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

void SaveTemplate(const std::string& programDir, ITemplateSavePage& page,
                  const std::string& typedName, const std::string& comment,
                  const TTemplateColumns& columns,
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
    WriteTemplateFile(path, comment, columns);

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
    if (name.empty()) {
        problem = "No template is chosen in the settings.";
        return false;
    }
    const std::string path = platform::FileInDir(programDir, name);
    try {
        if (!ReadTemplateFile(path, comment, columns)) {
            problem = "Template file not found: \"" + path + "\".";
            return false;
        }
    } catch (const EIniFileException& e) {
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
