// tarvick-tool detect: which template of a station directory reads a captured log.
#include <algorithm>
#include <iostream>

#include "capture/Recorder.h"
#include "common/Text.h"
#include "platform/CodePage.h"
#include "platform/ProgramDir.h"
#include "tools/Tool.h"

namespace {

struct TScore {
    std::string File, Comment;
    int Read = 0;     // lines read as calls with a real date-time
    int Counted = 0;  // non-blank lines the template does not mark as no calls
    int Found = 0;    // values found in the lines read, to tell apart templates that read alike
    double Share() const { return Counted ? static_cast<double>(Read) / Counted : 0.0; }
};

int FoundValues(const TFieldTexts& f) {
    const std::string* texts[] = {&f.Day,     &f.Mont,     &f.Year,      &f.Hour,      &f.Min,
                                  &f.Sec,     &f.AmPm,     &f.Line,      &f.TimeHour,  &f.TimeMin,
                                  &f.TimeSec, &f.NumberIn, &f.NumberOut, &f.Direction, &f.Caller};
    return static_cast<int>(
        std::count_if(std::begin(texts), std::end(texts), [](auto* t) { return !t->empty(); }));
}

TScore Score(TRecorder& rec, const std::vector<std::string>& lines) {
    TScore s;
    for (const std::string& line : lines) {
        rec.RingText = line;
        TRingRow row;
        const TLineVerdict verdict = rec.JudgeLine(row);
        if (verdict != TLineVerdict::NotCall) ++s.Counted;
        if (verdict == TLineVerdict::Store && rec.ReadsDate() && row.RingDate != 0.0) {
            ++s.Read;
            s.Found += FoundValues(rec.Fields);
        }
        rec.ClearRecord();
    }
    return s;
}

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

    std::vector<TScore> scores;
    for (const std::string& name : ListTemplates(dir)) {
        TRecorder rec;
        rec.ProgramDir = dir;
        rec.Template = name;
        rec.IncomLog = true;
        if (!rec.LoadTemplate()) {
            std::cerr << rec.LoadProblem << "\n";
            continue;
        }
        TScore s = Score(rec, lines);
        s.File = name;
        s.Comment = rec.TemplateComment;
        scores.push_back(std::move(s));
    }
    std::stable_sort(scores.begin(), scores.end(), [](const TScore& a, const TScore& b) {
        if (a.Share() != b.Share()) return a.Share() > b.Share();
        return a.Found * std::max(b.Read, 1) > b.Found * std::max(a.Read, 1);
    });
    for (const TScore& s : scores) {
        const int percent = static_cast<int>(s.Share() * 100.0 + 0.5);
        std::cout << s.File << '\t' << percent << "%\t" << platform::AnsiToUtf8(s.Comment) << '\n';
    }
    std::cout.flush();
    if (lines.empty()) std::cerr << "no lines to read\n";
    return !scores.empty() && !lines.empty() && scores.front().Share() >= 0.9 ? 0 : 1;
}

const ToolRegistration kDetect("detect", "detect [FILE] [--dir DIR]", RunDetect);

}  // namespace
