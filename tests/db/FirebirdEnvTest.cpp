#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "db/FirebirdEnv.h"
#include "tests/common/CaseName.h"
#include "tests/common/Process.h"
#include "tests/common/TempDir.h"

namespace {

// The station and the shell scripts must choose the same configuration and lock directory:
// engines that share a database file through different lock directories would corrupt it.
struct EnvCase {
    const char* name;
    const char* user;  // nullptr: USER and LOGNAME unset
};

class SameEnvironment : public ::testing::TestWithParam<EnvCase> {
protected:
    void SetUp() override {
        for (const char* v : kVars) saved_.push_back({qEnvironmentVariableIsSet(v), qgetenv(v)});
    }
    void TearDown() override {
        for (size_t i = 0; i < saved_.size(); ++i) {
            if (saved_[i].first)
                qputenv(kVars[i], saved_[i].second);
            else
                qunsetenv(kVars[i]);
        }
    }
    void Isolate(const EnvCase& c) {
        qunsetenv("FIREBIRD");
        qunsetenv("FIREBIRD_LOCK");
        qunsetenv("TMPDIR");
        qunsetenv("LOGNAME");
        if (c.user)
            qputenv("USER", QByteArray(c.user));
        else
            qunsetenv("USER");
    }
    static std::string ShellChoice() {
        return process::Capture("TARVICK_FIREBIRD_DIR=" TARVICK_SOURCE_DIR
                                "/data/firebird; "
                                ". " TARVICK_SOURCE_DIR
                                "/data/firebird/env.sh; "
                                "printf '%s|%s' \"${FIREBIRD:-}\" \"${FIREBIRD_LOCK:-}\"")
            .Out;
    }

    static constexpr const char* kVars[] = {"FIREBIRD", "FIREBIRD_LOCK", "TMPDIR", "USER",
                                            "LOGNAME"};
    std::vector<std::pair<bool, QByteArray>> saved_;
};

TEST_P(SameEnvironment, StationAndScriptsAgree) {
    Isolate(GetParam());
    const std::string shell = ShellChoice();
    PrepareFirebirdEnvironment(TARVICK_SOURCE_DIR "/data/");
    const std::string station = qEnvironmentVariable("FIREBIRD").toStdString() + "|" +
                                qEnvironmentVariable("FIREBIRD_LOCK").toStdString();
    EXPECT_EQ(station, shell);
    EXPECT_NE(station.find("firebird"), std::string::npos) << station;
}

INSTANTIATE_TEST_SUITE_P(Users, SameEnvironment,
                         ::testing::Values(EnvCase{"NoUserVariable", nullptr},
                                           EnvCase{"CarriedOverUser", "elsewhere"}),
                         CaseName());

}  // namespace

namespace {

// A child that stages the private configuration as the station does, in TMPDIR=tmp; exit 0 when
// the staged files are whole copies of their sources.
pid_t StageInChild(const std::string& tmp) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::setenv("TMPDIR", tmp.c_str(), 1);
    ::unsetenv("FIREBIRD");
    PrepareFirebirdEnvironment("/nonexistent/");
    const std::string root = qgetenv("FIREBIRD").toStdString();
    const bool whole = root.rfind(tmp, 0) == 0 &&
                       ReadBytes(root + "firebird.conf") ==
                           ReadBytes(TARVICK_SOURCE_DIR "/data/firebird/firebird.conf");
    ::_exit(whole ? 0 : 1);
}

pid_t CreateInChild(const std::string& tmp, const std::string& db) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::setenv("TMPDIR", tmp.c_str(), 1);
    ::unsetenv("FIREBIRD");
    ::unsetenv("FIREBIRD_LOCK");
    const int quiet = ::open("/dev/null", O_WRONLY);
    ::dup2(quiet, STDOUT_FILENO);
    ::execl("/bin/sh", "sh", TARVICK_SOURCE_DIR "/scripts/create-db.sh", db.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
}

}  // namespace

// Every process that needs the private configuration stages it; the engine of one must never
// load a file that another is still writing.
TEST(FirebirdStaging, ConcurrentCreationsAndStagingsAllSucceed) {
    for (int round = 0; round < 3; ++round) {
        TempDir tmp;
        TempDir dbs;
        std::vector<std::pair<pid_t, std::string>> children;
        for (int i = 0; i < 8; ++i) {
            const std::string db = dbs.file("calls" + std::to_string(i) + ".fdb");
            children.push_back({CreateInChild(tmp.path(), db), "create " + db});
            children.push_back({StageInChild(tmp.path()), "staging " + std::to_string(i)});
        }
        for (const auto& [pid, what] : children) {
            int status = 0;
            ASSERT_EQ(::waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "round " << round << ": " << what;
        }
        for (int i = 0; i < 8; ++i)
            EXPECT_TRUE(std::filesystem::exists(dbs.file("calls" + std::to_string(i) + ".fdb")));
    }
}
