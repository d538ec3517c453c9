#pragma once
// Tables written out as files: CSV for spreadsheet users, XLSX with typed cells, and a plain HTML
// page. A writer takes the columns, then rows one by one, so that a call list of any length goes
// out in constant memory.
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "reports/ReportEngine.h"

enum class TCsvEncoding { Windows1251, Utf8, Utf8Bom };

struct TCsvOptions {
    TCsvEncoding Encoding = TCsvEncoding::Utf8;
    char Separator = ',';
    // What Excel in a Russian locale opens as it is: Windows-1251 or UTF-8 with a BOM, ';'.
    static TCsvOptions Windows1251() { return {TCsvEncoding::Windows1251, ';'}; }
    static TCsvOptions Utf8Bom() { return {TCsvEncoding::Utf8Bom, ';'}; }
    // The command line's default: UTF-8, ','.
    static TCsvOptions Plain() { return {TCsvEncoding::Utf8, ','}; }
};

class TTableWriter {
public:
    virtual ~TTableWriter() = default;
    virtual void Begin(const std::string& title, const std::vector<TReportColumn>& columns) = 0;
    virtual void Row(const std::vector<TReportCell>& cells) = 0;
    // The totals row, set apart where the format can.
    virtual void Totals(const std::vector<TReportCell>& cells) = 0;
    // Completes the file; a writer not finished leaves no usable file. Raises EReportError.
    virtual void Finish() = 0;
};

// Writes to out, which must outlive the writer.
std::unique_ptr<TTableWriter> MakeCsvWriter(std::ostream& out, TCsvOptions options);
std::unique_ptr<TTableWriter> MakeHtmlWriter(std::ostream& out);
// An XLSX workbook of one sheet at path: dates as dates, durations as times, numbers as numbers.
std::unique_ptr<TTableWriter> MakeXlsxWriter(const std::string& path);

void WriteTable(const TReportTable& table, TTableWriter& writer);
// The call list of the selection, streamed from one cursor; the rows written.
int64_t ExportCalls(TReportEngine& engine, const TReportFilter& filter, TTableWriter& writer);

// Text (UTF-8) safe inside HTML text and quoted attribute values.
std::string HtmlEscaped(std::string_view text);
