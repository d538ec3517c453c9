// What the tools that work on a station's call database share: its configuration and login.
#include <cstdlib>
#include <iostream>

#include "capture/Recorder.h"
#include "db/CallDatabase.h"
#include "db/FirebirdEnv.h"
#include "platform/CodePage.h"
#include "platform/ProgramDir.h"
#include "tools/Tool.h"

int OpenStation(const std::string& dir, TRecorder& rules, TCallDatabase& db) {
    platform::SetProgramDir(dir);
    PrepareFirebirdEnvironment(platform::ProgramDir());
    rules.ProgramDir = platform::ProgramDir();
    rules.LoadConfiguration();
    if (!rules.ConfigLoaded) {
        std::cerr << "Невозможно прочитать шаблон!\n";
        if (!rules.LoadProblem.empty())
            std::cerr << platform::AnsiToUtf8(rules.LoadProblem) << "\n";
        return 2;
    }
    // An administrator's own login for the tools that need more than a station may do (reparse
    // deletes rows, upgrade-db alters tables), in Firebird's own variables.
    if (const char* user = std::getenv("ISC_USER"); user && *user) {
        const char* password = std::getenv("ISC_PASSWORD");
        rules.Login = TDbLogin{user, password ? password : "", ""};
    }
    std::string error = "not connected";
    try {
        db.Connect(rules.DBPath, rules.Login);
    } catch (const std::exception& e) {
        error = e.what();
    }
    if (!db.Connected()) {
        std::cerr << "Невозможно открыть базу данных !\nбаза недоступна ("
                  << platform::AnsiToUtf8(error) << ")\n";
        return 3;
    }
    return 0;
}

std::string WithSlash(std::string dir) {
    if (dir.empty()) dir = ".";
    if (dir.back() != '/') dir += '/';
    return dir;
}
