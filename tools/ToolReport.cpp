// tarvick-tool report: the calls window's reports for a station without a display, as CSV,
// XLSX or HTML.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>

#include "capture/Recorder.h"
#include "common/Text.h"
#include "db/CallDatabase.h"
#include "db/FirebirdEnv.h"
#include "platform/CodePage.h"
#include "platform/ProgramDir.h"
#include "reports/ReportExport.h"
#include "tools/Tool.h"

namespace {

constexpr const char* kUsage =
    "report DIR --from YYYY-MM-DD --to YYYY-MM-DD --by "
    "calls|extension|day|hour|line|number|station [--ext N,...] [--format csv|xlsx|html] "
    "[--out FILE]";

struct TReportArgs {
    std::string Dir;
    TReportFilter Filter;
    std::optional<TSummaryKind> Kind;  // empty: the call list
    std::string Format = "csv";
    std::string Out;
};

bool ParseExtensions(const std::string& text, std::vector<int32_t>& out) {
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const auto n = TryStrToInt(text.substr(at, comma - at));
        if (!n) return false;
        out.push_back(*n);
        at = comma + 1;
    }
    return !out.empty();
}

std::optional<TReportArgs> Parse(const ToolArgs& args) {
    if (args.empty() || args[0].rfind("--", 0) == 0) return std::nullopt;
    TReportArgs r;
    r.Dir = args[0];
    TDateTime from = 0, to = 0;
    bool by = false;
    for (size_t i = 1; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) return std::nullopt;
        const std::string& name = args[i];
        const std::string& value = args[i + 1];
        if (name == "--from") {
            if (!ParseIsoDay(value, from)) return std::nullopt;
        } else if (name == "--to") {
            if (!ParseIsoDay(value, to)) return std::nullopt;
        } else if (name == "--by") {
            by = true;
            if (value != "calls") {
                r.Kind = SummaryKindFromName(value);
                if (!r.Kind) return std::nullopt;
            }
        } else if (name == "--ext") {
            if (!ParseExtensions(value, r.Filter.Extensions)) return std::nullopt;
        } else if (name == "--format") {
            if (value != "csv" && value != "xlsx" && value != "html") return std::nullopt;
            r.Format = value;
        } else if (name == "--out") {
            if (value.empty()) return std::nullopt;
            r.Out = value;
        } else {
            return std::nullopt;
        }
    }
    if (!by || from == 0 || to == 0 || to < from) return std::nullopt;
    r.Filter.Period = TReportPeriod::Days(from, to);
    return r;
}

std::string DatabasePath(const std::string& dir) {
    platform::SetProgramDir(dir);
    PrepareFirebirdEnvironment(platform::ProgramDir());
    TCallDatabase settingsHolder;
    TRecorder recorder;
    if (!recorder.LoadSettings())
        throw EError("The station's settings cannot be read: " + recorder.LoadProblem);
    return recorder.DBPath;
}

// The report into writer; the number of data rows.
int64_t Write(TReportEngine& engine, const TReportArgs& a, TTableWriter& writer) {
    if (!a.Kind) return ExportCalls(engine, a.Filter, writer);
    const TReportTable table = SummaryTable(engine.Summary(*a.Kind, a.Filter));
    WriteTable(table, writer);
    return static_cast<int64_t>(table.Rows.size());
}

int RunReport(const ToolArgs& args) {
    const auto a = Parse(args);
    if (!a) {
        std::cerr << "usage: tarvick-tool " << kUsage << "\n";
        return 2;
    }
    std::unique_ptr<TReportEngine> engine;
    try {
        const std::string dbPath = DatabasePath(a->Dir);
        engine = std::make_unique<TReportEngine>(dbPath, TDbLogin::Load(platform::ProgramDir()));
    } catch (const std::exception& e) {
        std::cerr << "Невозможно открыть базу данных ! " << platform::AnsiToUtf8(e.what()) << "\n";
        return 1;
    }

    if (a->Format == "xlsx") {
        // A workbook is a zip written to a file; standard output gets the file's bytes.
        std::string path = a->Out;
        if (path.empty()) {
            char tmpl[] = "/tmp/tarvick-report-XXXXXX";
            const int fd = ::mkstemp(tmpl);
            if (fd < 0) throw EError("No temporary file for the workbook");
            ::close(fd);
            path = tmpl;
        }
        auto writer = MakeXlsxWriter(path);
        Write(*engine, *a, *writer);
        if (a->Out.empty()) {
            std::ifstream in(path, std::ios::binary);
            std::cout << in.rdbuf();
            std::remove(path.c_str());
            std::cout.flush();
            if (!std::cout) throw EError("Standard output cannot be written");
        }
        return 0;
    }
    std::ofstream file;
    if (!a->Out.empty()) {
        file.open(a->Out, std::ios::binary | std::ios::trunc);
        if (!file) throw EError("Cannot write \"" + a->Out + "\"");
    }
    std::ostream& out = a->Out.empty() ? std::cout : file;
    auto writer =
        a->Format == "html" ? MakeHtmlWriter(out) : MakeCsvWriter(out, TCsvOptions::Plain());
    Write(*engine, *a, *writer);
    return 0;
}

const ToolRegistration registration("report", kUsage, RunReport);

}  // namespace
