// tarvick-web: serves a station directory's calls to browsers and its figures to monitoring.
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QHostAddress>
#include <iostream>
#include <string>

#include "config/SettingsTable.h"
#include "db/FirebirdEnv.h"
#include "platform/CodePage.h"
#include "platform/TermSignals.h"
#include "web/Auth.h"
#include "web/HttpServer.h"
#include "web/WebApp.h"
#include "web/WebConfig.h"

namespace {

constexpr const char* kUsage =
    "usage: tarvick-web --dir DIR\n"
    "       tarvick-web --dir DIR --add-user NAME --role admin|owner [--ext N,...]\n"
    "The password of --add-user is asked for on a terminal, or read as the first line of\n"
    "standard input.\n";

int Usage(const std::string& problem) {
    if (!problem.empty()) std::cerr << "tarvick-web: " << problem << "\n";
    std::cerr << kUsage;
    return 2;
}

bool ValidUserName(const std::string& name) {
    if (name.empty() || name.size() > 40) return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-' || c == '@'))
            return false;
    return true;
}

// A line from the terminal without echo, or the first line of standard input.
bool ReadPassword(std::string& password) {
    const bool tty = ::isatty(STDIN_FILENO);
    termios saved{};
    if (tty) {
        std::cerr << "Пароль: " << std::flush;
        ::tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool ok = static_cast<bool>(std::getline(std::cin, password));
    if (tty) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cerr << "\n";
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return ok;
}

int AddUser(const std::string& dir, const std::string& name, const std::string& role,
            const std::string& ext) {
    web::TWebUser user;
    user.Name = name;
    if (!ValidUserName(name)) return Usage("a user name is 1 to 40 letters, digits, . _ - @");
    if (role == "admin")
        user.Role = web::TRole::Admin;
    else if (role == "owner")
        user.Role = web::TRole::Owner;
    else
        return Usage("--role is admin or owner");
    if (!web::ParseExtensions(ext, user.Extensions))
        return Usage("--ext is a list of numbers: 101,102");
    if (user.Role == web::TRole::Owner && user.Extensions.empty())
        return Usage("an owner needs --ext with their extensions");
    std::string password;
    if (!ReadPassword(password) || password.empty()) {
        std::cerr << "tarvick-web: no password given\n";
        return 2;
    }
    try {
        user.PasswordHash = web::HashPassword(password);
        web::SaveWebUser(dir, user);
    } catch (const std::exception& e) {
        std::cerr << "tarvick-web: " << e.what() << "\n";
        return 1;
    }
    std::cout << "user " << name << " (" << role << ") saved in " << dir << "/web.ini\n";
    return 0;
}

// DBPath of the station's settings table.
std::string DatabasePath(const std::string& dir) {
    TDbfTable table;
    table.SetTableName("tarvick.dat");
    table.SetUseFloatFields(false);
    table.SetDateTimeHandling(TDateTimeHandling::dtDateTime);
    TSettings settings;
    ReadSettingsTable(table, dir, settings);
    return settings.DBPath;
}

}  // namespace

int main(int argc, char** argv) {
    platform::BlockTerminationSignals();
    std::string dir, addUser, role, ext;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        bool ok = true;
        if (a == "--dir")
            ok = value(dir);
        else if (a == "--add-user")
            ok = value(addUser);
        else if (a == "--role")
            ok = value(role);
        else if (a == "--ext")
            ok = value(ext);
        else
            return Usage("unknown argument " + a);
        if (!ok) return Usage(a + " needs a value");
    }
    if (dir.empty()) return Usage("--dir is required");
    if (dir.back() != '/') dir += '/';
    if (!addUser.empty()) return AddUser(dir, addUser, role, ext);
    if (!role.empty() || !ext.empty()) return Usage("--role and --ext go with --add-user");

    QCoreApplication app(argc, argv);
    try {
        web::TWebConfig config = web::ReadWebConfig(dir);
        const std::string problem = web::ListenProblem(config);
        if (!problem.empty()) {
            std::cerr << "tarvick-web: " << problem << "\n";
            return 1;
        }
        PrepareFirebirdEnvironment(dir);
        web::TWebSite site{dir, DatabasePath(dir), config.Stations, TDbLogin::Load(dir)};
        if (site.DbPath.empty()) {
            std::cerr << "tarvick-web: the station's settings name no database (DBPath)\n";
            return 1;
        }
        if (config.Users.empty())
            std::cerr << "tarvick-web: no users yet; add one with --add-user\n";
        web::TWebApp webApp(config, site);
        web::TServerLimits limits;
        limits.HeadTimeoutMs = config.RequestSeconds * 1000;
        web::THttpServer server([&webApp](const web::THttpRequest& r,
                                          const web::TPeer& p) { return webApp.Handle(r, p); },
                                limits);
        if (config.Https()) server.SetTls(config.Certificate, config.Key);
        const quint16 port =
            server.Listen(QHostAddress(QString::fromStdString(config.Host)), config.Port);
        std::cerr << "tarvick-web: serving " << (config.Https() ? "https" : "http") << " on "
                  << config.Host << ":" << port << " for " << platform::AnsiToUtf8(site.DbPath)
                  << std::endl;
        platform::TTerminationWatch stop([](int) { QCoreApplication::quit(); });
        return app.exec();
    } catch (const std::exception& e) {
        std::cerr << "tarvick-web: " << platform::AnsiToUtf8(e.what()) << "\n";
        return 1;
    }
}
