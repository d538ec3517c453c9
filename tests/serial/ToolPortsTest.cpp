// tarvick-tool ports prints what the port-name list offers, one name per line.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "serial/SerialPort.h"
#include "tests/common/CaseName.h"
#include "tests/common/Process.h"

namespace {

process::TOutput RunTool(const std::string& args) {
    return process::Capture(std::string(TARVICK_TOOL) + " " + args + " 2>/dev/null");
}

struct ToolCase {
    const char* name;
    const char* args;
    int status;
    bool listsPorts;
};
class PortsCommand : public ::testing::TestWithParam<ToolCase> {};

TEST_P(PortsCommand, PrintsTheListOrUsage) {
    const process::TOutput r = RunTool(GetParam().args);
    EXPECT_EQ(r.Status, GetParam().status);
    std::string expected;
    if (GetParam().listsPorts) {
        std::vector<std::string> ports;
        ListComPorts(ports);
        for (const std::string& name : ports) expected += name + "\n";
    }
    EXPECT_EQ(r.Out, expected);
}

INSTANTIATE_TEST_SUITE_P(Args, PortsCommand,
                         ::testing::Values(ToolCase{"NoArguments", "ports", 0, true},
                                           ToolCase{"ExtraArgument", "ports extra", 2, false}),
                         CaseName());

}  // namespace
