#include "db/SqlParams.h"

namespace {
bool IsNameStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool IsNameChar(char c) {
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '$';
}
}  // namespace

TPositionalSql ToPositionalSql(std::string_view sql) {
    TPositionalSql out;
    out.Text.reserve(sql.size());
    size_t i = 0;
    const size_t n = sql.size();
    auto copyUntil = [&](size_t end) {
        out.Text.append(sql.substr(i, end - i));
        i = end;
    };
    while (i < n) {
        const char c = sql[i];
        if (c == '\'' || c == '"') {
            // A doubled quote inside stays part of the literal; an unclosed one runs to the end.
            size_t j = i + 1;
            while (j < n) {
                if (sql[j] == c) {
                    if (j + 1 < n && sql[j + 1] == c) {
                        j += 2;
                        continue;
                    }
                    ++j;
                    break;
                }
                ++j;
            }
            copyUntil(j);
        } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
            const size_t eol = sql.find('\n', i);
            copyUntil(eol == std::string_view::npos ? n : eol);
        } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
            const size_t end = sql.find("*/", i + 2);
            copyUntil(end == std::string_view::npos ? n : end + 2);
        } else if (c == ':' && i + 1 < n && IsNameStart(sql[i + 1])) {
            size_t j = i + 1;
            while (j < n && IsNameChar(sql[j])) ++j;
            out.Names.emplace_back(sql.substr(i + 1, j - i - 1));
            out.Text += '?';
            i = j;
        } else if (c == '?') {
            out.Names.emplace_back("?");
            out.Text += '?';
            ++i;
        } else {
            out.Text += c;
            ++i;
        }
    }
    return out;
}
