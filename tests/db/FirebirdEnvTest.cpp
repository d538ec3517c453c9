#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "db/FirebirdEnv.h"
#include "tests/common/CaseName.h"
#include "tests/common/Process.h"

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
