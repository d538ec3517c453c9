// tarvick-tool ports: the serial ports of this machine, as the port setting names them.
#include <iostream>

#include "serial/SerialPort.h"
#include "tools/Tool.h"

namespace {

int RunPorts(const ToolArgs& args) {
    if (!args.empty()) {
        std::cerr << "usage: tarvick-tool ports\n";
        return 2;
    }
    std::vector<std::string> ports;
    ListComPorts(ports);
    for (const std::string& name : ports) std::cout << name << '\n';
    std::cout.flush();
    return 0;
}

const ToolRegistration kPorts("ports", "ports", RunPorts);

}  // namespace
