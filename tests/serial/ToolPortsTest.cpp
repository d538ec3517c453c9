// tarvick-tool ports prints what the port-name list offers, one name per line.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "serial/CPort.h"

namespace {

struct Result {
    int status;
    std::string out;
};

Result RunTool(const std::string& args) {
    Result r{0, ""};
    FILE* p = ::popen((std::string(TARVICK_TOOL) + " " + args + " 2>/dev/null").c_str(), "r");
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    r.status = WEXITSTATUS(::pclose(p));
    return r;
}

struct ToolCase {
    const char* args;
    int status;
    bool listsPorts;
};
class PortsCommand : public ::testing::TestWithParam<ToolCase> {};

TEST_P(PortsCommand, PrintsTheListOrUsage) {
    const Result r = RunTool(GetParam().args);
    EXPECT_EQ(r.status, GetParam().status);
    std::string expected;
    if (GetParam().listsPorts) {
        std::vector<std::string> ports;
        ListComPorts(ports);
        for (const std::string& name : ports) expected += name + "\n";
    }
    EXPECT_EQ(r.out, expected);
}

INSTANTIATE_TEST_SUITE_P(Args, PortsCommand,
                         ::testing::Values(ToolCase{"ports", 0, true},
                                           ToolCase{"ports extra", 2, false}));

}  // namespace
