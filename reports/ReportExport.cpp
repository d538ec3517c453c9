#include "reports/ReportExport.h"

#include <xlsxwriter.h>

#include <algorithm>
#include <cstdint>
#include <ostream>

#include "platform/CodePage.h"

namespace {

// Windows-1251 to UTF-8 a byte at a time, from a table made once by the platform's converter:
// a single-byte page converts byte by byte alike, and a converter opened per text costs more
// than the row it converts.
class TUtf8Table {
public:
    TUtf8Table() {
        for (int b = 0; b < 256; ++b) {
            const std::string u = platform::AnsiToUtf8(std::string(1, static_cast<char>(b)));
            Entry& e = entries_[b];
            e.Length = static_cast<uint8_t>(std::min<size_t>(u.size(), sizeof e.Bytes));
            std::copy_n(u.begin(), e.Length, e.Bytes);
        }
    }

    void Append(std::string& out, std::string_view text1251) const {
        for (const char c : text1251) {
            if (static_cast<unsigned char>(c) < 0x80) {
                out += c;
            } else {
                const Entry& e = entries_[static_cast<unsigned char>(c)];
                out.append(e.Bytes, e.Length);
            }
        }
    }

private:
    struct Entry {
        char Bytes[4] = {};
        uint8_t Length = 0;
    };
    Entry entries_[256];
};

const TUtf8Table& Utf8Table() {
    static const TUtf8Table table;
    return table;
}

std::string ToUtf8(std::string_view text1251) {
    std::string out;
    out.reserve(text1251.size() * 2);
    Utf8Table().Append(out, text1251);
    return out;
}

class TCsvWriter : public TTableWriter {
public:
    TCsvWriter(std::ostream& out, TCsvOptions options)
        : out_(out), options_(options), utf8_(options.Encoding != TCsvEncoding::Windows1251) {
        for (const char c : {'"', '\r', '\n', options.Separator})
            special_[static_cast<unsigned char>(c)] = true;
        buffer_.reserve(kFlushAt + 4096);
    }

    void Begin(const std::string&, const std::vector<TReportColumn>& columns) override {
        if (options_.Encoding == TCsvEncoding::Utf8Bom) buffer_ += "\xef\xbb\xbf";
        std::vector<TReportCell> titles;
        for (const auto& c : columns) titles.push_back({0, 0, c.Title});
        Row(titles);
    }

    void Row(const std::vector<TReportCell>& cells) override {
        for (size_t i = 0; i < cells.size(); ++i) {
            if (i) buffer_ += options_.Separator;
            Quote(cells[i].Text);
        }
        buffer_ += "\r\n";
        // Rows go out in blocks: a write to the stream per row costs as much as the row.
        if (buffer_.size() >= kFlushAt) Flush();
    }

    void Totals(const std::vector<TReportCell>& cells) override { Row(cells); }

    void Finish() override {
        Flush();
        out_.flush();
        if (!out_) throw EReportError("The file could not be written");
    }

private:
    static constexpr size_t kFlushAt = 64 * 1024;

    void Flush() {
        out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        buffer_.clear();
        if (!out_) throw EReportError("The file could not be written");
    }

    void Text(std::string_view text) {
        if (utf8_)
            Utf8Table().Append(buffer_, text);
        else
            buffer_ += text;
    }

    // A field with the separator, a quote or a line break goes in quotes, its quotes doubled.
    // A leading sign that a spreadsheet would take for a formula is kept as text by a quote.
    void Quote(const std::string& text) {
        const bool formula =
            !text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '-' || text[0] == '@');
        if (!formula && std::none_of(text.begin(), text.end(), [&](char c) {
                return special_[static_cast<unsigned char>(c)];
            })) {
            Text(text);
            return;
        }
        buffer_ += '"';
        if (formula) buffer_ += '\'';
        size_t from = 0;
        for (size_t q = text.find('"'); q != std::string::npos; q = text.find('"', q + 1)) {
            Text(std::string_view(text).substr(from, q + 1 - from));
            buffer_ += '"';
            from = q + 1;
        }
        Text(std::string_view(text).substr(from));
        buffer_ += '"';
    }

    std::ostream& out_;
    TCsvOptions options_;
    bool utf8_;
    bool special_[256] = {};
    std::string buffer_;
};

std::string Html(const std::string& text1251) {
    return HtmlEscaped(ToUtf8(text1251));
}

class THtmlWriter : public TTableWriter {
public:
    explicit THtmlWriter(std::ostream& out) : out_(out) {}

    void Begin(const std::string& title, const std::vector<TReportColumn>& columns) override {
        columns_ = columns;
        out_ << "<!DOCTYPE html>\n<html lang=\"ru\"><head><meta charset=\"utf-8\"><title>"
             << Html(title)
             << "</title>\n<style>table{border-collapse:collapse}td,th{border:1px solid #999;"
                "padding:2px 6px}td.n{text-align:right}tfoot{font-weight:bold}</style></head>\n"
                "<body><h1>"
             << Html(title) << "</h1>\n<table><thead><tr>";
        for (const auto& c : columns) out_ << "<th>" << Html(c.Title) << "</th>";
        out_ << "</tr></thead><tbody>\n";
    }

    void Row(const std::vector<TReportCell>& cells) override { Cells(cells); }

    void Totals(const std::vector<TReportCell>& cells) override {
        out_ << "</tbody><tfoot>\n";
        Cells(cells);
        footed_ = true;
    }

    void Finish() override {
        out_ << (footed_ ? "</tfoot>" : "</tbody>") << "</table></body></html>\n";
        out_.flush();
        if (!out_) throw EReportError("The file could not be written");
    }

private:
    void Cells(const std::vector<TReportCell>& cells) {
        out_ << "<tr>";
        for (size_t i = 0; i < cells.size(); ++i) {
            const bool number = i < columns_.size() && columns_[i].Type != TCellType::Text;
            out_ << (number ? "<td class=\"n\">" : "<td>") << Html(cells[i].Text) << "</td>";
        }
        out_ << "</tr>\n";
        if (!out_) throw EReportError("The file could not be written");
    }

    std::ostream& out_;
    std::vector<TReportColumn> columns_;
    bool footed_ = false;
};

class TXlsxWriter : public TTableWriter {
public:
    explicit TXlsxWriter(const std::string& path) {
        // Rows go to a temporary file as they come: a million calls take no more memory than one.
        lxw_workbook_options options{};
        options.constant_memory = LXW_TRUE;
        book_ = workbook_new_opt(path.c_str(), &options);
        if (!book_) throw EReportError("The workbook \"" + path + "\" could not be made");
        sheet_ = workbook_add_worksheet(book_, nullptr);
        bold_ = workbook_add_format(book_);
        format_set_bold(bold_);
        date_ = workbook_add_format(book_);
        format_set_num_format(date_, "dd.mm.yyyy");
        dateTime_ = workbook_add_format(book_);
        format_set_num_format(dateTime_, "dd.mm.yyyy hh:mm:ss");
        duration_ = workbook_add_format(book_);
        format_set_num_format(duration_, "[h]:mm:ss");
        boldDuration_ = workbook_add_format(book_);
        format_set_num_format(boldDuration_, "[h]:mm:ss");
        format_set_bold(boldDuration_);
    }

    ~TXlsxWriter() override {
        // Not finished: the file is closed all the same, so that no handle is left behind.
        if (book_) workbook_close(book_);
    }

    void Begin(const std::string&, const std::vector<TReportColumn>& columns) override {
        columns_ = columns;
        for (size_t i = 0; i < columns.size(); ++i) {
            Check(worksheet_write_string(sheet_, 0, static_cast<lxw_col_t>(i),
                                         Utf8(columns[i].Title), bold_));
            const double width = columns[i].Type == TCellType::DateTime ? 20
                                 : columns[i].Type == TCellType::Text   ? 24
                                                                        : 12;
            worksheet_set_column(sheet_, static_cast<lxw_col_t>(i), static_cast<lxw_col_t>(i),
                                 width, nullptr);
        }
        worksheet_freeze_panes(sheet_, 1, 0);
        row_ = 1;
    }

    void Row(const std::vector<TReportCell>& cells) override { Cells(cells, false); }
    void Totals(const std::vector<TReportCell>& cells) override { Cells(cells, true); }

    void Finish() override {
        // Finished already: the library must not be handed a closed workbook.
        if (!book_) return;
        lxw_workbook* book = book_;
        book_ = nullptr;
        const lxw_error e = workbook_close(book);
        if (e != LXW_NO_ERROR)
            throw EReportError(std::string("The workbook could not be written: ") +
                               lxw_strerror(e));
    }

private:
    void Check(lxw_error e) {
        if (e != LXW_NO_ERROR)
            throw EReportError(std::string("The workbook could not be written: ") +
                               lxw_strerror(e));
    }

    // The cell's text in UTF-8, valid until the next call.
    const char* Utf8(const std::string& text1251) {
        utf8_.clear();
        Utf8Table().Append(utf8_, text1251);
        return utf8_.c_str();
    }

    void Cells(const std::vector<TReportCell>& cells, bool bold) {
        if (row_ >= 1048576) throw EReportError("More rows than a sheet holds");
        for (size_t i = 0; i < cells.size(); ++i) {
            const auto col = static_cast<lxw_col_t>(i);
            const TReportCell& c = cells[i];
            const TCellType type = i < columns_.size() ? columns_[i].Type : TCellType::Text;
            switch (type) {
                case TCellType::Integer:
                    // A label in a column of numbers, as "Итого" under the extensions.
                    if (!c.Text.empty() && (c.Text[0] < '0' || c.Text[0] > '9') && c.Text[0] != '-')
                        Check(worksheet_write_string(sheet_, row_, col, Utf8(c.Text),
                                                     bold ? bold_ : nullptr));
                    else
                        Check(worksheet_write_number(sheet_, row_, col,
                                                     static_cast<double>(c.Number),
                                                     bold ? bold_ : nullptr));
                    break;
                case TCellType::Duration:
                    Check(worksheet_write_number(sheet_, row_, col,
                                                 static_cast<double>(c.Number) / 86400,
                                                 bold ? boldDuration_ : duration_));
                    break;
                case TCellType::Date:
                case TCellType::DateTime:
                    // Neither a date nor a label (a totals row): left empty, not 00.01.1900.
                    if (c.Time == 0 && c.Text.empty()) break;
                    if (c.Time == 0)
                        Check(worksheet_write_string(sheet_, row_, col, Utf8(c.Text),
                                                     bold ? bold_ : nullptr));
                    else
                        Check(worksheet_write_number(sheet_, row_, col, c.Time,
                                                     type == TCellType::Date ? date_ : dateTime_));
                    break;
                case TCellType::Text:
                    if (!c.Text.empty())
                        Check(worksheet_write_string(sheet_, row_, col, Utf8(c.Text),
                                                     bold ? bold_ : nullptr));
                    break;
            }
        }
        ++row_;
    }

    lxw_workbook* book_ = nullptr;
    lxw_worksheet* sheet_ = nullptr;
    lxw_format *bold_ = nullptr, *date_ = nullptr, *dateTime_ = nullptr, *duration_ = nullptr,
               *boldDuration_ = nullptr;
    std::vector<TReportColumn> columns_;
    lxw_row_t row_ = 0;
    std::string utf8_;
};

}  // namespace

std::unique_ptr<TTableWriter> MakeCsvWriter(std::ostream& out, TCsvOptions options) {
    return std::make_unique<TCsvWriter>(out, options);
}

std::unique_ptr<TTableWriter> MakeHtmlWriter(std::ostream& out) {
    return std::make_unique<THtmlWriter>(out);
}

std::unique_ptr<TTableWriter> MakeXlsxWriter(const std::string& path) {
    return std::make_unique<TXlsxWriter>(path);
}

void WriteTable(const TReportTable& table, TTableWriter& writer) {
    writer.Begin(table.Title, table.Columns);
    for (const auto& row : table.Rows) writer.Row(row);
    if (!table.Totals.empty()) writer.Totals(table.Totals);
    writer.Finish();
}

int64_t ExportCalls(TReportEngine& engine, const TReportFilter& filter, TTableWriter& writer) {
    writer.Begin(CallTable({}).Title, CallColumns());
    int64_t rows = 0;
    std::vector<TReportCell> cells;
    engine.ForEachCall(filter, [&](const TCallRow& row) {
        CallCells(row, cells);
        writer.Row(cells);
        ++rows;
        return true;
    });
    writer.Finish();
    return rows;
}

std::string HtmlEscaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}
