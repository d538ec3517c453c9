// tarvick-tool split: shows how a template cuts an exchange's captured output into fields.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <iterator>

#include "capture/Recorder.h"
#include "tools/Tool.h"

namespace {

class TSplitter : public TRecorder {
public:
    explicit TSplitter(std::ostream& out) : out_(out) {}

protected:
    void RecordEnd() override {
        if (!Format.NotCallMarks.empty()) {
            TRingRow row;
            if (JudgeLine(row) == TLineVerdict::NotCall) {
                out_ << "NotCall\t" << RingText << '\n';
                ClearRecord();
                return;
            }
        }
        SplitLine();
        const TDateTime when = RingDateTime();
        const std::pair<const char*, const std::string*> fields[] = {
            {"Day", &Fields.Day},
            {"Mont", &Fields.Mont},
            {"Year", &Fields.Year},
            {"Hour", &Fields.Hour},
            {"Min", &Fields.Min},
            {"Sec", &Fields.Sec},
            {"AmPm", &Fields.AmPm},
            {"Line", &Fields.Line},
            {"TimeHour", &Fields.TimeHour},
            {"TimeMin", &Fields.TimeMin},
            {"TimeSec", &Fields.TimeSec},
            {"NumberIn", &Fields.NumberIn},
            {"NumberOut", &Fields.NumberOut},
        };
        for (const auto& [name, text] : fields) out_ << name << '=' << *text << '\t';
        if (Format.Direction.Column > 0)
            out_ << "Direction=" << Fields.Direction << '\t'
                 << "Incoming=" << (Fields.Incoming ? "yes" : "no") << '\t'
                 << "Caller=" << Fields.Caller << '\t';
        out_ << "RHour=" << CorrectedHour() << '\t'
             << "RingDate=" << FormatDateTime("yyyy-mm-dd hh:nn:ss", when) << '\n';
        ClearRecord();
    }

private:
    std::ostream& out_;
};

int RunSplit(const ToolArgs& args) {
    if (args.empty() || args.size() > 2) {
        std::cerr << "usage: tarvick-tool split TEMPLATE_FILE [INPUT_FILE]\n";
        return 2;
    }
    TSplitter splitter(std::cout);
    // Loaded as the station loads its template, so that what fails it there fails it here.
    const std::filesystem::path path(args[0]);
    splitter.ProgramDir = path.has_parent_path() ? path.parent_path().string() + "/" : "./";
    splitter.Template = path.filename().string();
    if (!splitter.LoadTemplate()) {
        std::cerr << "cannot read template " << args[0] << ": " << splitter.LoadProblem << "\n";
        return 2;
    }
    for (const std::string& note : splitter.TemplateNotes) std::cerr << note << "\n";
    const TTemplateColumns& c = splitter.Columns();
    const int32_t columns[] = {c.Day,     c.Mont,     c.Year,     c.Hour,     c.Min,
                               c.Sec,     c.AmPm,     c.Line,     c.TimeHour, c.TimeMin,
                               c.TimeSec, c.NumberIn, c.NumberOut};
    if (std::none_of(std::begin(columns), std::end(columns), [](int32_t v) { return v > 0; })) {
        std::cerr << "template " << args[0] << " reads no field: no column of section ["
                  << kTemplateSection << "] is set\n";
        return 2;
    }
    std::string input;
    if (!ReadInput(args.size() > 1 ? args[1] : "", input)) {
        std::cerr << "cannot read " << args[1] << "\n";
        return 1;
    }
    for (char c : input) splitter.PutChar(c);
    std::cout.flush();
    return 0;
}

const ToolRegistration kSplit("split", "split TEMPLATE_FILE [INPUT_FILE]", RunSplit);

}  // namespace
