#pragma once
// Who the station logs in as: db.ini in the station directory ([Database] User, Password, Role),
// or the embedded engine's defaults when there is none. The station and every tool take their
// login from here, so a server's administrator sets it once per station.
#include <string>
#include <vector>

struct TDbLogin {
    static constexpr const char* kFile = "db.ini";
    static constexpr const char* kDefaultUser = "SYSDBA";
    static constexpr const char* kDefaultPassword = "quillfern";

    std::string User = kDefaultUser;
    std::string Password = kDefaultPassword;
    std::string Role;  // empty: none

    bool operator==(const TDbLogin&) const = default;

    // db.ini of dir (ending in '/'); the defaults for what it lacks. An unreadable file raises
    // EIniFileException naming it, so a wrong login is never tried in silence.
    static TDbLogin Load(const std::string& dir);
    // Written readable by its owner only: it holds a password.
    void Save(const std::string& dir) const;
    // The connection's parameters: this login and the station's code page.
    std::vector<std::string> ConnectParams() const;
    // Whether anything differs from the defaults (a station without db.ini needs none).
    bool IsDefault() const { return *this == TDbLogin{}; }
};
