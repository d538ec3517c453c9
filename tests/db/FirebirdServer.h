#pragma once
// A Firebird server of a test's own, never the system's service: its root directory staged in a
// scratch directory (configuration, the system's engine and character sets, a security database
// made there), its own lock directory, a free TCP port on the loopback chosen at start, and a
// SYSDBA password made up at start. Stopped and removed with the object.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "tests/common/Process.h"

#ifndef TARVICK_FIREBIRD_SERVER
#error "TARVICK_FIREBIRD_SERVER names the server program, empty when there is none"
#endif
#ifndef TARVICK_FIREBIRD_ROOT
#error "TARVICK_FIREBIRD_ROOT names the system's Firebird root (plugins/, intl/, firebird.msg)"
#endif
#ifndef TARVICK_FIREBIRD_SECURITY_SQL
#error "TARVICK_FIREBIRD_SECURITY_SQL names the script that makes a security database"
#endif

class TFirebirdServer {
public:
    // Why no server can be started here at all (no program, no engine), or empty.
    static std::string Missing() {
        namespace fs = std::filesystem;
        std::error_code ec;
        if (!*TARVICK_FIREBIRD_SERVER || !fs::exists(TARVICK_FIREBIRD_SERVER, ec))
            return "no Firebird server program (Debian: firebird3.0-server)";
        if (!*TARVICK_FIREBIRD_ROOT ||
            !fs::exists(std::string(TARVICK_FIREBIRD_ROOT) + "/plugins/libEngine12.so", ec))
            return "no Firebird engine plugin (Debian: firebird3.0-server-core)";
        return {};
    }

    TFirebirdServer() = default;
    ~TFirebirdServer() { Stop(); }
    TFirebirdServer(const TFirebirdServer&) = delete;
    TFirebirdServer& operator=(const TFirebirdServer&) = delete;

    // False with the reason in `what` when the server did not come up.
    bool Start(std::string& what) {
        namespace fs = std::filesystem;
        std::string tmpl = (fs::temp_directory_path() / "tarvick-fbserver-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) {
            what = "no scratch directory";
            return false;
        }
        root_ = tmpl + "/";
        std::mt19937_64 random(std::random_device{}());
        char password[17];
        std::snprintf(password, sizeof password, "%016llx",
                      static_cast<unsigned long long>(random()));
        password_ = std::string("P") + (password + 1);
        if (!StageRoot(what) || !MakeSecurityDatabase(what)) return false;
        // The port is free when chosen, and could be taken before the server binds it.
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (!ChoosePort(what) || !WriteConfiguration(what)) return false;
            if (Launch(what)) return true;
        }
        return false;
    }

    void Stop() {
        Kill();
        if (!root_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(root_, ec);
            root_.clear();
        }
    }

    const std::string& Password() const { return password_; }
    // A directory the server writes its databases in.
    std::string DataDir() const { return root_ + "data/"; }
    // A database's name as a client gives it: host/port:path.
    std::string Url(const std::string& path) const {
        return "127.0.0.1/" + std::to_string(port_) + ":" + path;
    }
    // isql-fb as SYSDBA over the network on a database of this server; its output, errors too.
    process::TOutput Isql(const std::string& path, const std::string& sql) const {
        const std::string script = root_ + "query.sql";
        std::ofstream(script, std::ios::trunc) << sql << "\n";
        return process::Capture(ClientEnv() + "isql-fb -q -user SYSDBA -password '" + password_ +
                                "' -i '" + script + "' '" + Url(path) + "' 2>&1");
    }
    // A shell command's prefix that makes the client library use the station's configuration.
    static std::string ClientEnv() {
        return "TARVICK_FIREBIRD_DIR='" TARVICK_SOURCE_DIR "/data/firebird' . '" TARVICK_SOURCE_DIR
               "/data/firebird/env.sh' && ";
    }
    // The server's own log, for a failure's message.
    std::string Log() const { return Read(root_ + "firebird.log") + Read(root_ + "server.out"); }

private:
    void Kill() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (waitpid(pid_, nullptr, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        pid_ = -1;
    }

    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // The system's engine and modules, but configuration, security database and locks of its
    // own. The character set module must be a real file (the engine refuses a link there).
    bool StageRoot(std::string& what) {
        namespace fs = std::filesystem;
        const fs::path system = TARVICK_FIREBIRD_ROOT;
        std::error_code ec;
        fs::create_directories(root_ + "intl", ec);
        fs::create_directories(root_ + "lock", ec);
        fs::create_directories(DataDir(), ec);
        fs::create_directory_symlink(system / "plugins", root_ + "plugins", ec);
        for (const char* file :
             {"firebird.msg", "plugins.conf", "intl/libfbintl.so", "intl/fbintl.conf"}) {
            if (!fs::exists(system / file)) continue;
            fs::copy_file(system / file, root_ + file, fs::copy_options::overwrite_existing, ec);
            if (ec) {
                what = "cannot stage " + std::string(file) + ": " + ec.message();
                return false;
            }
        }
        return true;
    }

    // A fresh security database from the package's script (the package's own file belongs to its
    // service and need not be readable), then SYSDBA's password, both through the embedded engine
    // before the server runs.
    bool MakeSecurityDatabase(std::string& what) {
        if (!WriteConfiguration(what)) return false;
        const std::string env = "FIREBIRD='" + root_ + "' FIREBIRD_LOCK='" + root_ + "lock' ";
        const std::string security = root_ + "security3.fdb";
        std::string script = "create database '" + security + "';\n";
        if (*TARVICK_FIREBIRD_SECURITY_SQL) {
            script += "input '" TARVICK_FIREBIRD_SECURITY_SQL "';\n";
        } else {
            std::error_code ec;
            std::filesystem::copy_file("/var/lib/firebird/3.0/system/security3.fdb", security, ec);
            if (ec) {
                what = "no security.sql and the package's security3.fdb cannot be copied: " +
                       ec.message();
                return false;
            }
            script.clear();
        }
        const std::string make = root_ + "security.sql";
        if (!script.empty()) {
            std::ofstream(make, std::ios::trunc) << script;
            const process::TOutput made =
                process::Capture(env + "isql-fb -q -bail -user SYSDBA -i '" + make + "' 2>&1");
            if (made.Status != 0) {
                what = "the security database was not made: " + made.Out;
                return false;
            }
        }
        std::ofstream(make, std::ios::trunc)
            << "create or alter user SYSDBA password '" << password_ << "' using plugin Srp;\n"
            << "commit;\n";
        const process::TOutput set = process::Capture(env + "isql-fb -q -bail -user SYSDBA -i '" +
                                                      make + "' '" + security + "' 2>&1");
        if (set.Status != 0) {
            what = "SYSDBA's password was not set: " + set.Out;
            return false;
        }
        return true;
    }

    bool ChoosePort(std::string& what) {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        const bool ok = s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
        if (s >= 0) close(s);
        if (!ok) {
            what = "no free port on the loopback";
            return false;
        }
        port_ = ntohs(addr.sin_port);
        return true;
    }

    bool WriteConfiguration(std::string& what) {
        std::ofstream conf(root_ + "firebird.conf", std::ios::trunc);
        conf << "ServerMode = Super\n"
             << "RemoteServicePort = " << port_ << "\n"
             << "RemoteBindAddress = 127.0.0.1\n"
             << "SecurityDatabase = " << root_ << "security3.fdb\n"
             << "AuthServer = Srp\nUserManager = Srp\n";
        conf.close();
        std::ofstream(root_ + "databases.conf", std::ios::trunc) << "";
        if (!conf) what = "cannot write " + root_ + "firebird.conf";
        return static_cast<bool>(conf);
    }

    bool Accepts() const {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        if (s < 0) return false;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port_));
        const bool ok = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        close(s);
        return ok;
    }

    bool Launch(std::string& what) {
        const std::string out = root_ + "server.out", lock = root_ + "lock";
        pid_ = fork();
        if (pid_ == 0) {
            setenv("FIREBIRD", root_.c_str(), 1);
            setenv("FIREBIRD_LOCK", lock.c_str(), 1);
            if (FILE* f = std::fopen(out.c_str(), "w")) {
                dup2(fileno(f), 1);
                dup2(fileno(f), 2);
            }
            execl(TARVICK_FIREBIRD_SERVER, TARVICK_FIREBIRD_SERVER, "-e", root_.c_str(), "-el",
                  lock.c_str(), "-em", root_.c_str(), nullptr);
            _exit(127);
        }
        if (pid_ < 0) {
            what = "fork failed";
            return false;
        }
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                what = "the server ended at start: " + Log();
                return false;
            }
            if (Accepts()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        what = "the server did not listen on port " + std::to_string(port_) + ": " + Log();
        Kill();
        return false;
    }

    std::string root_;
    std::string password_;
    int port_ = 0;
    pid_t pid_ = -1;
};
