#pragma once
// The columns of a table as the database describes them, read once per connection, so that a
// value is checked against its column before it is sent: a value the column cannot hold is the
// line's fault and must never look like a database that is away.
#include <cstdint>
#include <string>
#include <vector>

class TFbConnection;
class TFbTransaction;

struct TColumnInfo {
    enum TKind { Integer, Float, Text, DateTime, Other };
    std::string Name;  // upper case, as the server keeps unquoted names
    TKind Kind = Other;
    int64_t Min = 0, Max = 0;  // Integer: the values the column holds (its scale applied)
    size_t Chars = 0;          // Text: characters the column holds
    bool Computed = false;
};

class TTableColumns {
public:
    // Raises EDatabaseError. A missing table reads as one without columns.
    void Read(TFbConnection& db, TFbTransaction& tr, const std::string& table);

    const std::vector<TColumnInfo>& Columns() const { return columns_; }
    const TColumnInfo* Find(const std::string& name) const;
    bool Has(const std::string& name) const { return Find(name) != nullptr; }
    bool HasAll(const std::vector<std::string>& names) const;

    // Why the column cannot take the value, empty when it can (or when there is no such
    // column: the statement's own error tells that).
    std::string Refuses(const std::string& column, int64_t value) const;
    std::string Refuses(const std::string& column, const std::string& text) const;

private:
    std::vector<TColumnInfo> columns_;
};
