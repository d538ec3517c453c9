// tarvick-tool: the administrators' companion to the station (templates, tables, imports, mail).
#include <QCoreApplication>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>

#include "platform/MessageLoop.h"
#include "tools/Tool.h"

namespace {
std::map<std::string, ToolCommand>& Commands() {
    static std::map<std::string, ToolCommand> commands;
    return commands;
}

int Usage() {
    std::cerr << "usage: tarvick-tool COMMAND [ARGS]\n";
    for (const auto& [name, cmd] : Commands()) std::cerr << "  tarvick-tool " << cmd.usage << "\n";
    return 2;
}
}  // namespace

ToolRegistration::ToolRegistration(const char* name, const char* usage, ToolRun run) {
    Commands()[name] = ToolCommand{name, usage, run};
}

bool ReadInput(const std::string& path, std::string& data) {
    if (path.empty()) {
        std::ostringstream ss;
        ss << std::cin.rdbuf();
        data = ss.str();
        return !std::cin.bad();
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool ParseIsoDay(const std::string& text, TDateTime& day) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    int parts[3] = {};
    const size_t at[3][2] = {{0, 4}, {5, 2}, {8, 2}};
    for (int i = 0; i < 3; ++i) {
        for (size_t k = at[i][0]; k < at[i][0] + at[i][1]; ++k) {
            if (text[k] < '0' || text[k] > '9') return false;
            parts[i] = parts[i] * 10 + (text[k] - '0');
        }
    }
    return TryEncodeDate(parts[0], parts[1], parts[2], day);
}

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    QCoreApplication app(argc, argv);
    platform::InitMessageLoop();
    if (argc < 2) return Usage();
    const auto it = Commands().find(argv[1]);
    if (it == Commands().end()) return Usage();
    ToolArgs args(argv + 2, argv + argc);
    try {
        return it->second.run(args);
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
}
