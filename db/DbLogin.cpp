#include "db/DbLogin.h"

#include "platform/Ini.h"
#include "platform/ProgramDir.h"

namespace {
const char kSection[] = "Database";
}

TDbLogin TDbLogin::Load(const std::string& dir) {
    TIniFile ini(platform::FileInDir(dir, kFile));
    ini.CheckReadable();
    TDbLogin login;
    login.User = ini.ReadString(kSection, "User", kDefaultUser);
    if (login.User.empty()) login.User = kDefaultUser;
    login.Password = ini.ReadString(kSection, "Password", kDefaultPassword);
    login.Role = ini.ReadString(kSection, "Role", "");
    return login;
}

void TDbLogin::Save(const std::string& dir) const {
    TIniFile ini(platform::FileInDir(dir, kFile));
    ini.SetOwnerOnly(true);
    ini.WriteString(kSection, "User", User);
    ini.WriteString(kSection, "Password", Password);
    ini.WriteString(kSection, "Role", Role);
}

std::vector<std::string> TDbLogin::ConnectParams() const {
    std::vector<std::string> params{"user_name=" + User, "password=" + Password,
                                    "lc_ctype=win1251"};
    if (!Role.empty()) params.push_back("sql_role_name=" + Role);
    return params;
}
