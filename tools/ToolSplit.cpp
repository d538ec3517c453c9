// tarvick-tool split: shows how a template cuts an exchange's captured output into fields.
#include <cstdio>
#include <iostream>

#include "capture/Recorder.h"
#include "platform/Ini.h"
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
    try {
        std::vector<std::string> notes;
        if (!ReadTemplateFile(args[0], splitter.TemplateComment, splitter.Columns(),
                              splitter.Format, &notes)) {
            std::cerr << "cannot read template " << args[0] << "\n";
            return 2;
        }
        for (const std::string& note : notes) std::cerr << note << "\n";
    } catch (const EError& e) {
        std::cerr << e.what() << "\n";
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
