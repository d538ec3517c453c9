#pragma once
// A station directory staged as run.sh does: the shipped settings table and templates, a
// comport.ini naming the line, a fresh call database, and settings changed with tarvick-tool.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/Process.h"

namespace stage {

inline int RunCommand(const std::vector<std::string>& argv) {
    return process::Run(argv);
}

struct TStationFiles {
    std::string Dir;       // ends in '/'
    std::string PortName;  // as comport.ini names it
    std::string BaudRate = "1200";
    std::map<std::string, std::string> Fields;  // settings table fields to set
};

// False when a step failed; the reason is in what.
inline bool Stage(const TStationFiles& s, const std::string& sourceDir, const std::string& tool,
                  std::string& what) {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(sourceDir + "/data", ec)) {
        const std::string name = e.path().filename().string();
        if (!e.is_regular_file()) continue;
        fs::copy_file(e.path(), s.Dir + name, fs::copy_options::overwrite_existing, ec);
        if (ec) {
            what = "copy " + name + ": " + ec.message();
            return false;
        }
    }
    std::ofstream(s.Dir + "comport.ini")
        << "[ComPort]\r\nPort=" << s.PortName << "\r\nBaudRate=" << s.BaudRate
        << "\r\nStopBits=1\r\nDataBits=8\r\nParity=None\r\nFlowControl=None\r\n";
    for (const auto& [field, value] : s.Fields) {
        if (RunCommand({tool, "dbf", "set", s.Dir + "tarvick.dat", field, value}) != 0) {
            what = "tarvick-tool dbf set " + field;
            return false;
        }
    }
    return true;
}

inline bool CreateDatabase(const std::string& sourceDir, const std::string& path) {
    return RunCommand({sourceDir + "/scripts/create-db.sh", path}) == 0;
}

// Output of a query run through isql-fb with the station's Firebird configuration.
inline std::string Query(const std::string& sourceDir, const std::string& db,
                         const std::string& sql) {
    const std::string src = sourceDir;
    const std::string cmd = "TARVICK_FIREBIRD_DIR='" + src + "/data/firebird' . '" + src +
                            "/data/firebird/env.sh' && echo '" + sql +
                            "' | isql-fb -q -user SYSDBA -password quillfern '" + db + "' 2>&1";
    return process::Capture(cmd).Out;
}

inline long StoredCalls(const std::string& sourceDir, const std::string& db) {
    std::istringstream in(Query(sourceDir, db, "select count(*) from Rings;"));
    std::string word;
    long count = -1;
    while (in >> word)
        if (!word.empty() && word.find_first_not_of("0123456789") == std::string::npos)
            count = std::stol(word);
    return count;
}

}  // namespace stage
