#include "web/WebConfig.h"

#include <QHostAddress>
#include <QString>
#include <charconv>

#include "platform/Ini.h"
#include "platform/ProgramDir.h"
#include "web/WebError.h"

namespace web {
namespace {

constexpr const char* kSection = "Web";
constexpr const char* kUserPrefix = "User ";

std::string Trimmed(std::string s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.erase(s.begin());
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
    return s;
}

std::string IniPath(const std::string& dir) {
    std::string d = dir;
    if (!d.empty() && d.back() != '/') d += '/';
    return platform::FileInDir(d, kWebIni);
}

}  // namespace

const TWebUser* TWebConfig::FindUser(const std::string& name) const {
    for (const TWebUser& u : Users)
        if (u.Name == name) return &u;
    return nullptr;
}

bool ParseExtensions(const std::string& text, std::vector<int32_t>& out) {
    out.clear();
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = text.find(',', start);
        const std::string part = Trimmed(
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (!part.empty()) {
            int32_t n = 0;
            const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), n);
            if (ec != std::errc() || end != part.data() + part.size() || n < 0) return false;
            out.push_back(n);
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

bool ParseListen(const std::string& text, std::string& host, uint16_t& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::string h = text.substr(0, colon);
    const std::string p = text.substr(colon + 1);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), value);
    if (p.empty() || ec != std::errc() || end != p.data() + p.size() || value > 65535) return false;
    if (h.empty()) h = "0.0.0.0";
    QHostAddress address;
    if (!address.setAddress(QString::fromStdString(h))) return false;
    host = h;
    port = static_cast<uint16_t>(value);
    return true;
}

TWebConfig ReadWebConfig(const std::string& dir) {
    TWebConfig c;
    TIniFile ini(IniPath(dir));
    ini.CheckReadable();
    const std::string listen = ini.ReadString(kSection, "Listen", "127.0.0.1:8080");
    if (!ParseListen(listen, c.Host, c.Port))
        throw EWebError("web.ini: Listen=" + listen + " is no address:port");
    c.Certificate = ini.ReadString(kSection, "Certificate", "");
    c.Key = ini.ReadString(kSection, "Key", "");
    c.AllowPlain = ini.ReadInteger(kSection, "AllowPlain", 0) != 0;
    c.MetricsToken = ini.ReadString(kSection, "MetricsToken", "");
    c.SessionMinutes = ini.ReadInteger(kSection, "SessionMinutes", 480);
    if (c.SessionMinutes < 1) c.SessionMinutes = 480;
    c.RequestSeconds = ini.ReadInteger(kSection, "RequestTimeout", 10);
    if (c.RequestSeconds < 1 || c.RequestSeconds > 600) c.RequestSeconds = 10;
    const std::string stations = ini.ReadString(kSection, "Stations", "");
    for (size_t start = 0; start < stations.size();) {
        size_t comma = stations.find(',', start);
        if (comma == std::string::npos) comma = stations.size();
        const std::string one = Trimmed(stations.substr(start, comma - start));
        if (!one.empty()) c.Stations.push_back(one);
        start = comma + 1;
    }
    const std::string prefix = kUserPrefix;
    for (const std::string& section : ini.ReadSections()) {
        if (section.size() <= prefix.size() ||
            QString::fromStdString(section.substr(0, prefix.size()))
                    .compare(QString::fromStdString(prefix), Qt::CaseInsensitive) != 0)
            continue;
        TWebUser u;
        u.Name = Trimmed(section.substr(prefix.size()));
        const std::string role = ini.ReadString(section, "Role", "owner");
        if (role == "admin")
            u.Role = TRole::Admin;
        else if (role == "owner")
            u.Role = TRole::Owner;
        else
            throw EWebError("web.ini: [" + section + "] Role=" + role +
                            " is neither admin nor owner");
        const std::string ext = ini.ReadString(section, "Ext", "");
        if (!ParseExtensions(ext, u.Extensions))
            throw EWebError("web.ini: [" + section + "] Ext=" + ext + " is no list of numbers");
        u.PasswordHash = ini.ReadString(section, "Password", "");
        c.Users.push_back(std::move(u));
    }
    return c;
}

std::string ListenProblem(const TWebConfig& config) {
    if (config.Certificate.empty() != config.Key.empty())
        return "web.ini: HTTPS needs both Certificate= and Key=";
    if (config.Https() || config.AllowPlain) return {};
    const QHostAddress address(QString::fromStdString(config.Host));
    if (address.isLoopback()) return {};
    return "web.ini: Listen=" + config.Host + ":" + std::to_string(config.Port) +
           " is reachable from other hosts, and passwords would cross the network in plain text: "
           "set Certificate= and Key= for HTTPS, or AllowPlain=1";
}

void SaveWebUser(const std::string& dir, const TWebUser& user) {
    TIniFile ini(IniPath(dir));
    ini.SetOwnerOnly(true);
    const std::string section = kUserPrefix + user.Name;
    ini.WriteString(section, "Role", user.Role == TRole::Admin ? "admin" : "owner");
    std::string ext;
    for (int32_t n : user.Extensions) ext += (ext.empty() ? "" : ",") + std::to_string(n);
    ini.WriteString(section, "Ext", ext);
    ini.WriteString(section, "Password", user.PasswordHash);
}

}  // namespace web
