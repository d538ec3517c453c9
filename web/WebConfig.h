#pragma once
// web.ini of a station directory: where the web program listens, its certificate, the token
// that opens /metrics to other hosts, and the users who may sign in.
#include <cstdint>
#include <string>
#include <vector>

namespace web {

enum class TRole { Admin, Owner };

struct TWebUser {
    std::string Name;
    TRole Role = TRole::Owner;
    std::vector<int32_t> Extensions;  // an owner's; an admin sees every one
    std::string PasswordHash;
};

struct TWebConfig {
    std::string Host = "127.0.0.1";
    uint16_t Port = 8080;
    std::string Certificate;  // PEM files; HTTPS when both are set
    std::string Key;
    bool AllowPlain = false;
    std::string MetricsToken;
    int SessionMinutes = 480;
    int RequestSeconds = 10;  // a request's head and body must arrive within this
    // Further station directories storing into the same database (their status.json files).
    std::vector<std::string> Stations;
    std::vector<TWebUser> Users;

    bool Https() const { return !Certificate.empty() && !Key.empty(); }
    const TWebUser* FindUser(const std::string& name) const;
};

constexpr const char* kWebIni = "web.ini";

// Reads DIR's web.ini (defaults when it is missing); raises EWebError for a value that cannot be
// used (a Listen that is no address and port, an unknown role, an extension that is no number).
TWebConfig ReadWebConfig(const std::string& dir);

// Why the server must not start with these settings (empty when it may): plain HTTP on an
// address other than loopback without AllowPlain=1, or only one of Certificate and Key.
std::string ListenProblem(const TWebConfig& config);

// Adds or replaces a user in DIR's web.ini, which is left readable by its owner only.
void SaveWebUser(const std::string& dir, const TWebUser& user);

// "101,102, 205" to extensions; false for anything else than numbers.
bool ParseExtensions(const std::string& text, std::vector<int32_t>& out);
// "host:port", "[v6]:port" or ":port" (every address).
bool ParseListen(const std::string& text, std::string& host, uint16_t& port);

}  // namespace web
