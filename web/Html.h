#pragma once
// Pieces of the web program's pages: escaping, the frame around each page, tables and charts.
// Every text given here is UTF-8; the station's Windows-1251 texts are converted before.
#include <string>
#include <string_view>
#include <vector>

#include "reports/ReportEngine.h"

namespace web {

std::string Escape(std::string_view text);
// A query parameter's value.
std::string UrlEncode(std::string_view text);

struct TPageFrame {
    std::string Title;
    std::string User;  // empty on the sign-in page: no menu
    bool Admin = false;
    std::string Active;  // the menu entry shown as current: "calls", "summary", "status"
};

std::string Page(const TPageFrame& frame, const std::string& body);

// A report table (Windows-1251 texts) as an HTML table, numbers aligned right.
std::string TableHtml(const TReportTable& table);

struct TBar {
    std::string Label;  // UTF-8
    double Value = 0;
};
// A bar chart as inline SVG: upright bars with labels below (days, hours), or lying bars with
// labels on the left (extensions, lines, numbers), with the value at each bar's end.
std::string BarChartSvg(const std::string& title, const std::vector<TBar>& bars, bool upright);

}  // namespace web
