// tarvick-tool detect: which template of a station directory reads a captured log.
#include <iostream>

#include "capture/Detect.h"
#include "common/Text.h"
#include "platform/CodePage.h"
#include "platform/ProgramDir.h"
#include "tools/Tool.h"

namespace {

int RunDetect(const ToolArgs& args) {
    std::string file, dir = platform::ProgramDir();
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--dir" && i + 1 < args.size()) {
            dir = args[++i];
            if (!dir.empty() && dir.back() != '/') dir += '/';
        } else if (file.empty() && args[i] != "--dir") {
            file = args[i] == "-" ? "" : args[i];
        } else {
            std::cerr << "usage: tarvick-tool detect [FILE] [--dir DIR]\n";
            return 2;
        }
    }
    std::string input;
    if (!ReadInput(file, input)) {
        std::cerr << "cannot read " << file << "\n";
        return 2;
    }
    std::vector<std::string> lines;
    for (std::string& line : SplitLines(input))
        if (!Trim(line).empty()) lines.push_back(std::move(line));

    std::vector<std::string> problems;
    const std::vector<TTemplateScore> scores = DetectTemplates(dir, lines, &problems);
    for (const std::string& p : problems) std::cerr << p << "\n";
    for (const TTemplateScore& s : scores) {
        const int percent = static_cast<int>(s.Share() * 100.0 + 0.5);
        std::cout << s.File << '\t' << percent << "%\t" << platform::AnsiToUtf8(s.Comment) << '\n';
    }
    std::cout.flush();
    if (lines.empty()) std::cerr << "no lines to read\n";
    return !scores.empty() && !lines.empty() && scores.front().Share() >= 0.9 ? 0 : 1;
}

const ToolRegistration kDetect("detect", "detect [FILE] [--dir DIR]", RunDetect);

}  // namespace
