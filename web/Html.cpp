#include "web/Html.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/CodePage.h"
#include "reports/ReportExport.h"

namespace web {
namespace {

constexpr const char* kStyle =
    "body{font-family:system-ui,-apple-system,'Segoe UI',Roboto,sans-serif;margin:0;color:#1d2733;"
    "background:#f5f7fa;font-size:16px}"
    "header{background:#1f4e79;color:#fff;padding:.5em 1em;display:flex;flex-wrap:wrap;"
    "align-items:center;gap:.4em 1.2em}"
    "header a{color:#fff;text-decoration:none;padding:.2em .1em}"
    "header a.on{border-bottom:2px solid #fff}"
    "header .who{margin-left:auto;opacity:.85}"
    "header form{margin:0}header button{background:none;border:1px solid #fff;color:#fff;"
    "border-radius:4px;padding:.2em .6em;font:inherit}"
    "main{padding:1em;max-width:1100px;margin:auto}"
    "h1{font-size:1.3em;margin:.2em 0 .6em}"
    "form.filters{display:flex;flex-wrap:wrap;gap:.5em 1em;align-items:flex-end;background:#fff;"
    "padding:.8em;border-radius:6px;box-shadow:0 1px 2px #0002;margin-bottom:1em}"
    "form.filters label{display:flex;flex-direction:column;font-size:.85em;color:#4a5868}"
    "input,select,button{font:inherit;padding:.3em .4em;border:1px solid #b8c2cc;border-radius:4px}"
    "input[type=text],input[type=number]{width:7em}"
    "button.go{background:#1f4e79;color:#fff;border-color:#1f4e79}"
    ".scroll{overflow-x:auto;background:#fff;border-radius:6px;box-shadow:0 1px 2px #0002}"
    "table{border-collapse:collapse;width:100%;font-size:.95em}"
    "th,td{padding:.35em .6em;border-bottom:1px solid #e3e8ee;text-align:left;white-space:nowrap}"
    "th{background:#eef2f6;font-weight:600}td.n,th.n{text-align:right}"
    "tr.total td{font-weight:600;background:#f7f9fb}"
    ".totals,.pager,.downloads,.tabs{margin:.7em 0;display:flex;flex-wrap:wrap;gap:.4em 1em}"
    ".tabs a{padding:.3em .7em;border-radius:4px;background:#fff;text-decoration:none;"
    "color:#1f4e79;box-shadow:0 1px 2px #0002}.tabs a.on{background:#1f4e79;color:#fff}"
    "svg{max-width:100%;height:auto;background:#fff;border-radius:6px;margin:.5em 0}"
    ".ok{color:#1b7a35}.bad{color:#b3261e}.msg{background:#fdecea;color:#b3261e;padding:.6em;"
    "border-radius:4px}"
    "dl{display:grid;grid-template-columns:max-content 1fr;gap:.3em 1em;background:#fff;"
    "padding:.8em;border-radius:6px}dt{color:#4a5868}dd{margin:0}"
    "form.signin{max-width:20em;margin:3em auto;background:#fff;padding:1.2em;border-radius:6px;"
    "box-shadow:0 1px 3px #0003;display:flex;flex-direction:column;gap:.7em}"
    "@media (max-width:600px){main{padding:.5em}th,td{padding:.3em .4em}}";

std::string Number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f", v);
    return buf;
}

std::string Coord(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

bool RightAligned(TCellType t) {
    return t == TCellType::Integer || t == TCellType::Duration;
}

}  // namespace

std::string Escape(std::string_view text) {
    return HtmlEscaped(text);
}

std::string UrlEncode(std::string_view text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
            c == '-' || c == '_' || c == '.' || c == '~' || c == ',') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::string Page(const TPageFrame& frame, const std::string& body) {
    std::string out =
        "<!DOCTYPE html>\n<html lang=\"ru\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
        "<title>" +
        Escape(frame.Title) + " — Тарвик</title><style>" + kStyle + "</style></head><body>";
    if (!frame.User.empty()) {
        auto item = [&](const char* href, const char* key, const char* caption) {
            return std::string("<a href=\"") + href + "\"" +
                   (frame.Active == key ? " class=\"on\"" : "") + ">" + caption + "</a>";
        };
        out += "<header><strong>Тарвик</strong>" + item("/calls", "calls", "Звонки") +
               item("/summary", "summary", "Сводки");
        if (frame.Admin) out += item("/status", "status", "Станция");
        out += "<span class=\"who\">" + Escape(frame.User) +
               "</span><form method=\"post\" action=\"/signout\"><button>Выйти</button></form>"
               "</header>";
    }
    out += "<main>" + body + "</main></body></html>\n";
    return out;
}

std::string TableHtml(const TReportTable& table) {
    std::string out = "<div class=\"scroll\"><table><thead><tr>";
    for (const TReportColumn& c : table.Columns)
        out += std::string(RightAligned(c.Type) ? "<th class=\"n\">" : "<th>") +
               Escape(platform::AnsiToUtf8(c.Title)) + "</th>";
    out += "</tr></thead><tbody>";
    auto row = [&](const std::vector<TReportCell>& cells, const char* cls) {
        out += cls ? std::string("<tr class=\"") + cls + "\">" : std::string("<tr>");
        for (size_t i = 0; i < cells.size() && i < table.Columns.size(); ++i)
            out += std::string(RightAligned(table.Columns[i].Type) ? "<td class=\"n\">" : "<td>") +
                   Escape(platform::AnsiToUtf8(cells[i].Text)) + "</td>";
        out += "</tr>";
    };
    for (const auto& r : table.Rows) row(r, nullptr);
    if (!table.Totals.empty()) row(table.Totals, "total");
    out += "</tbody></table></div>";
    return out;
}

std::string BarChartSvg(const std::string& title, const std::vector<TBar>& bars, bool upright) {
    if (bars.empty()) return {};
    double top = 0;
    for (const TBar& b : bars) top = std::max(top, b.Value);
    if (top <= 0) top = 1;
    std::string out;
    if (upright) {
        const double slot = std::max(14.0, 640.0 / static_cast<double>(bars.size()));
        const double w = slot * static_cast<double>(bars.size()) + 20, h = 220, base = 180;
        out = "<svg xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" viewBox=\"0 0 " + Coord(w) +
              " " + Coord(h) + "\" width=\"" + Coord(w) + "\"><title>" + Escape(title) + "</title>";
        // Labels every so often, so that they never run into each other.
        const size_t every = std::max<size_t>(1, static_cast<size_t>(std::ceil(40.0 / slot)));
        for (size_t i = 0; i < bars.size(); ++i) {
            const double bh = bars[i].Value / top * 150, x = 10 + slot * static_cast<double>(i);
            out += "<rect x=\"" + Coord(x + 1) + "\" y=\"" + Coord(base - bh) + "\" width=\"" +
                   Coord(slot - 2) + "\" height=\"" + Coord(bh) + "\" fill=\"#2e75b6\"><title>" +
                   Escape(bars[i].Label) + ": " + Number(bars[i].Value) + "</title></rect>";
            if (i % every == 0)
                out += "<text x=\"" + Coord(x + slot / 2) + "\" y=\"" + Coord(base + 16) +
                       "\" font-size=\"11\" text-anchor=\"middle\" fill=\"#4a5868\">" +
                       Escape(bars[i].Label) + "</text>";
        }
        out += "<text x=\"10\" y=\"16\" font-size=\"12\" fill=\"#4a5868\">макс. " + Number(top) +
               "</text><line x1=\"10\" y1=\"" + Coord(base) + "\" x2=\"" + Coord(w - 10) +
               "\" y2=\"" + Coord(base) + "\" stroke=\"#8896a5\"/></svg>";
        return out;
    }
    const double row = 22, h = row * static_cast<double>(bars.size()) + 10, w = 640, left = 170;
    out = "<svg xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" viewBox=\"0 0 " + Coord(w) + " " +
          Coord(h) + "\" width=\"" + Coord(w) + "\"><title>" + Escape(title) + "</title>";
    for (size_t i = 0; i < bars.size(); ++i) {
        const double y = 5 + row * static_cast<double>(i),
                     bw = bars[i].Value / top * (w - left - 70);
        out += "<text x=\"" + Coord(left - 6) + "\" y=\"" + Coord(y + 15) +
               "\" font-size=\"12\" text-anchor=\"end\" fill=\"#1d2733\">" + Escape(bars[i].Label) +
               "</text><rect x=\"" + Coord(left) + "\" y=\"" + Coord(y + 3) + "\" width=\"" +
               Coord(bw) + "\" height=\"" + Coord(row - 6) + "\" fill=\"#2e75b6\"/><text x=\"" +
               Coord(left + bw + 5) + "\" y=\"" + Coord(y + 15) +
               "\" font-size=\"12\" fill=\"#4a5868\">" + Number(bars[i].Value) + "</text>";
    }
    out += "</svg>";
    return out;
}

}  // namespace web
