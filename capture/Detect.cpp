#include "capture/Detect.h"

#include <algorithm>

#include "capture/Recorder.h"
#include "common/Text.h"

namespace {

int FoundValues(const TFieldTexts& f) {
    const std::string* texts[] = {&f.Day,     &f.Mont,     &f.Year,      &f.Hour,      &f.Min,
                                  &f.Sec,     &f.AmPm,     &f.Line,      &f.TimeHour,  &f.TimeMin,
                                  &f.TimeSec, &f.NumberIn, &f.NumberOut, &f.Direction, &f.Caller};
    return static_cast<int>(
        std::count_if(std::begin(texts), std::end(texts), [](auto* t) { return !t->empty(); }));
}

TTemplateScore Score(TRecorder& rec, const std::vector<std::string>& lines) {
    TTemplateScore s;
    for (const std::string& line : lines) {
        if (Trim(line).empty()) continue;
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

}  // namespace

std::vector<TTemplateScore> DetectTemplates(const std::string& dir,
                                            const std::vector<std::string>& lines,
                                            std::vector<std::string>* problems) {
    std::vector<TTemplateScore> scores;
    for (const std::string& name : ListTemplates(dir)) {
        TRecorder rec;
        rec.ProgramDir = dir;
        rec.Template = name;
        rec.IncomLog = true;
        if (!rec.LoadTemplate()) {
            if (problems) problems->push_back(rec.LoadProblem);
            continue;
        }
        TTemplateScore s = Score(rec, lines);
        s.File = name;
        s.Comment = rec.TemplateComment;
        scores.push_back(std::move(s));
    }
    // Among templates that read as many lines, the one that finds more in them is the closer fit.
    std::stable_sort(scores.begin(), scores.end(),
                     [](const TTemplateScore& a, const TTemplateScore& b) {
                         if (a.Share() != b.Share()) return a.Share() > b.Share();
                         return static_cast<int64_t>(a.Found) * std::max(b.Read, 1) >
                                static_cast<int64_t>(b.Found) * std::max(a.Read, 1);
                     });
    return scores;
}
