#include "db/TableColumns.h"

#include <limits>

#include "common/Text.h"
#include "db/FbObjects.h"

namespace {

const char kColumns[] =
    "SELECT TRIM(rf.RDB$FIELD_NAME), f.RDB$FIELD_TYPE, COALESCE(f.RDB$FIELD_SCALE, 0), "
    "COALESCE(f.RDB$CHARACTER_LENGTH, f.RDB$FIELD_LENGTH, 0), "
    "IIF(f.RDB$COMPUTED_BLR IS NULL, 0, 1) "
    "FROM RDB$RELATION_FIELDS rf JOIN RDB$FIELDS f ON f.RDB$FIELD_NAME = rf.RDB$FIELD_SOURCE "
    "WHERE rf.RDB$RELATION_NAME = :Tab ORDER BY rf.RDB$FIELD_POSITION";

// RDB$FIELDS.RDB$FIELD_TYPE
enum : int {
    kSmallint = 7,
    kInteger = 8,
    kFloat = 10,
    kDate = 12,
    kTime = 13,
    kChar = 14,
    kBigint = 16,
    kDouble = 27,
    kTimestamp = 35,
    kVarchar = 37,
};

void SetIntegerRange(TColumnInfo& c, int64_t min, int64_t max, int scale) {
    // NUMERIC(p, s) keeps value * 10^-s in the storage type.
    for (int i = 0; i < -scale; ++i) {
        min /= 10;
        max /= 10;
    }
    c.Min = min;
    c.Max = max;
}

bool AllDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char ch : text)
        if (ch < '0' || ch > '9') return false;
    return true;
}

}  // namespace

void TTableColumns::Read(TFbConnection& db, TFbTransaction& tr, const std::string& table) {
    columns_.clear();
    TFbStatement q(db, tr);
    q.SQL().Add(kColumns);
    q.Params(0).SetAsString(UpperCase1251(table));
    for (q.ExecQuery(); !q.Eof(); q.Next()) {
        TColumnInfo c;
        c.Name = q.Fields(0).AsString();
        const int type = q.Fields(1).AsInteger();
        const int scale = q.Fields(2).AsInteger();
        const int64_t length = q.Fields(3).AsInt64();
        c.Computed = q.Fields(4).AsInteger() != 0;
        switch (type) {
            case kSmallint:
                c.Kind = TColumnInfo::Integer;
                SetIntegerRange(c, std::numeric_limits<int16_t>::min(),
                                std::numeric_limits<int16_t>::max(), scale);
                break;
            case kInteger:
                c.Kind = TColumnInfo::Integer;
                SetIntegerRange(c, std::numeric_limits<int32_t>::min(),
                                std::numeric_limits<int32_t>::max(), scale);
                break;
            case kBigint:
                c.Kind = TColumnInfo::Integer;
                SetIntegerRange(c, std::numeric_limits<int64_t>::min(),
                                std::numeric_limits<int64_t>::max(), scale);
                break;
            case kFloat:
            case kDouble:
                c.Kind = TColumnInfo::Float;
                break;
            case kChar:
            case kVarchar:
                c.Kind = TColumnInfo::Text;
                c.Chars = static_cast<size_t>(length > 0 ? length : 0);
                break;
            case kDate:
            case kTime:
            case kTimestamp:
                c.Kind = TColumnInfo::DateTime;
                break;
            default:
                c.Kind = TColumnInfo::Other;
        }
        columns_.push_back(std::move(c));
    }
}

const TColumnInfo* TTableColumns::Find(const std::string& name) const {
    for (const TColumnInfo& c : columns_)
        if (SameText1251(c.Name, name)) return &c;
    return nullptr;
}

bool TTableColumns::HasAll(const std::vector<std::string>& names) const {
    for (const std::string& n : names)
        if (!Has(n)) return false;
    return true;
}

std::string TTableColumns::Refuses(const std::string& column, int64_t value) const {
    const TColumnInfo* c = Find(column);
    if (!c) return {};
    switch (c->Kind) {
        case TColumnInfo::Integer:
            if (value < c->Min || value > c->Max)
                return column + " " + std::to_string(value) + " is out of range for its column (" +
                       std::to_string(c->Min) + " to " + std::to_string(c->Max) + ")";
            return {};
        case TColumnInfo::Text:
            return Refuses(column, std::to_string(value));
        default:
            return {};
    }
}

std::string TTableColumns::Refuses(const std::string& column, const std::string& text) const {
    const TColumnInfo* c = Find(column);
    if (!c) return {};
    switch (c->Kind) {
        case TColumnInfo::Text:
            if (text.size() > c->Chars)
                return column + " of " + std::to_string(text.size()) +
                       " characters is longer than its column (" + std::to_string(c->Chars) + ")";
            return {};
        case TColumnInfo::Integer: {
            const auto v = AllDigits(text) ? TryStrToInt64(text) : std::nullopt;
            if (!v) return column + " \"" + text + "\" is not a number the column holds";
            return Refuses(column, *v);
        }
        case TColumnInfo::Float:
            if (!AllDigits(text)) return column + " \"" + text + "\" is not a number";
            return {};
        default:
            return {};
    }
}
