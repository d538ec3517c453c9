#include "db/Schema.h"

#include <cctype>

#include "common/Text.h"
#include "db/CallDatabase.h"
#include "db/SchemaSql.h"
#include "db/TableColumns.h"

namespace {

// The text without comments, each statement's text cut at its ';'.
std::vector<std::string> SplitStatements(const std::string& sql) {
    std::vector<std::string> out;
    std::string current;
    for (size_t i = 0; i < sql.size();) {
        const char c = sql[i];
        if (c == '\'' || c == '"') {
            size_t j = i + 1;
            while (j < sql.size() && !(sql[j] == c && (j + 1 >= sql.size() || sql[j + 1] != c)))
                j += sql[j] == c ? 2 : 1;
            current.append(sql, i, j + 1 - i);
            i = j + 1;
        } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
            const size_t end = sql.find("*/", i + 2);
            i = end == std::string::npos ? sql.size() : end + 2;
            current += ' ';
        } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
            const size_t end = sql.find('\n', i);
            i = end == std::string::npos ? sql.size() : end;
        } else if (c == ';') {
            if (!Trim(current).empty()) out.push_back(Trim(current));
            current.clear();
            ++i;
        } else {
            current += c;
            ++i;
        }
    }
    if (!Trim(current).empty()) out.push_back(Trim(current));
    return out;
}

std::vector<std::string> Words(const std::string& text, size_t count) {
    std::vector<std::string> words;
    size_t i = 0;
    while (words.size() < count && i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        size_t j = i;
        while (j < text.size() && !std::isspace(static_cast<unsigned char>(text[j])) &&
               text[j] != '(')
            ++j;
        if (j > i) words.push_back(UpperCase1251(text.substr(i, j - i)));
        i = j == i ? i + 1 : j;
    }
    return words;
}

// The items between the outer parentheses, split at commas outside inner ones.
std::vector<std::string> TableItems(const std::string& text) {
    std::vector<std::string> items;
    const size_t open = text.find('('), close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return items;
    int depth = 0;
    std::string item;
    for (size_t i = open + 1; i < close; ++i) {
        const char c = text[i];
        if (c == '(') ++depth;
        if (c == ')') --depth;
        if (c == ',' && depth == 0) {
            items.push_back(Trim(item));
            item.clear();
        } else {
            item += c;
        }
    }
    if (!Trim(item).empty()) items.push_back(Trim(item));
    return items;
}

bool IsConstraint(const std::string& item) {
    const auto w = Words(item, 1);
    return w.empty() || w[0] == "CONSTRAINT" || w[0] == "PRIMARY" || w[0] == "UNIQUE" ||
           w[0] == "FOREIGN" || w[0] == "CHECK";
}

// One statement in a transaction of its own: metadata is used by later steps only once
// committed.
void Execute(TCallDatabase& db, const std::string& sql) {
    InTransaction(db.DbTransaction, [&] {
        TFbStatement q(db.DbConnection, db.DbTransaction);
        q.SQL().Add(sql);
        q.ExecQuery();
    });
}

bool IndexExists(TCallDatabase& db, const std::string& name) {
    return InTransaction(db.DbTransaction, [&] {
        TFbStatement q(db.DbConnection, db.DbTransaction);
        q.SQL().Add("SELECT COUNT(*) FROM RDB$INDICES WHERE RDB$INDEX_NAME = :Name");
        q.Params(0).SetAsString(name);
        q.ExecQuery();
        return !q.Eof() && q.Fields(0).AsInt64() > 0;
    });
}

// The index's columns in key order, upper case; empty when there is no such index.
std::vector<std::string> IndexSegments(TCallDatabase& db, const std::string& name) {
    return InTransaction(db.DbTransaction, [&] {
        TFbStatement q(db.DbConnection, db.DbTransaction);
        q.SQL().Add(
            "SELECT TRIM(RDB$FIELD_NAME) FROM RDB$INDEX_SEGMENTS WHERE RDB$INDEX_NAME = :Name "
            "ORDER BY RDB$FIELD_POSITION");
        q.Params(0).SetAsString(name);
        std::vector<std::string> segments;
        for (q.ExecQuery(); !q.Eof(); q.Next()) segments.push_back(q.Fields(0).AsString());
        return segments;
    });
}

// Indexes of earlier schemas that another index now serves. With forced writes every index of
// Rings costs each stored call a synchronous page write, so one nothing needs is dropped.
struct TRetiredIndex {
    const char* Name;
    std::vector<std::string> Segments;
    const char* ServedBy;
};
const TRetiredIndex kRetiredIndexes[] = {
    {"RINGS_RINGDATE", {"RINGDATE"}, "RINGS_RINGDATE_ID"},
};

TTableColumns ColumnsOf(TCallDatabase& db, const std::string& table) {
    return InTransaction(db.DbTransaction, [&] {
        TTableColumns columns;
        columns.Read(db.DbConnection, db.DbTransaction, table);
        return columns;
    });
}

}  // namespace

std::vector<TSchemaStatement> ParseSchema(const std::string& sql) {
    std::vector<TSchemaStatement> out;
    for (const std::string& text : SplitStatements(sql)) {
        const auto w = Words(text, 6);
        if (w.empty() || w[0] == "COMMIT" || w[0] == "SET") continue;
        TSchemaStatement s;
        s.Text = text;
        if (w.size() >= 3 && w[0] == "CREATE" && w[1] == "TABLE") {
            s.Kind = TSchemaStatement::Table;
            s.Name = w[2];
            for (const std::string& item : TableItems(text))
                if (!IsConstraint(item)) s.Columns.push_back(item);
        } else if (w.size() >= 2 && w[0] == "CREATE") {
            // CREATE [UNIQUE] [ASC[ENDING] | DESC[ENDING]] INDEX name
            for (size_t i = 1; i + 1 < w.size(); ++i)
                if (w[i] == "INDEX") {
                    s.Kind = TSchemaStatement::Index;
                    s.Name = w[i + 1];
                    break;
                }
        }
        out.push_back(std::move(s));
    }
    return out;
}

const std::vector<TSchemaStatement>& CallSchema() {
    static const std::vector<TSchemaStatement> schema = ParseSchema(kSchemaSql);
    return schema;
}

// Firebird cannot add an identity column to a table that has rows (it makes the column NOT
// NULL), so the key is added as a plain column drawing from a sequence of its own: a trigger
// numbers the rows stored later, and the rows already there are numbered at once.
void AddNumberingColumn(TCallDatabase& db, const std::string& table, const std::string& column) {
    const std::string sequence = table + "_" + column + "_SEQ";
    Execute(db, "RECREATE SEQUENCE " + sequence);
    Execute(db, "ALTER TABLE " + table + " ADD " + column + " BIGINT");
    Execute(db, "CREATE OR ALTER TRIGGER " + table + "_" + column + "_NUMBER FOR " + table +
                    " ACTIVE BEFORE INSERT POSITION 0 AS BEGIN IF (NEW." + column +
                    " IS NULL) THEN NEW." + column + " = NEXT VALUE FOR " + sequence + "; END");
    Execute(db, "UPDATE " + table + " SET " + column + " = NEXT VALUE FOR " + sequence);
}

std::vector<std::string> UpgradeDatabase(TCallDatabase& db) {
    std::vector<std::string> done;
    for (const TSchemaStatement& s : CallSchema()) {
        if (s.Kind == TSchemaStatement::Table) {
            const TTableColumns have = ColumnsOf(db, s.Name);
            if (have.Columns().empty()) {
                Execute(db, s.Text);
                done.push_back("created table " + s.Name);
                continue;
            }
            for (const std::string& column : s.Columns) {
                const std::string name = Words(column, 1).front();
                if (have.Has(name)) continue;
                std::string upper = column;
                for (char& c : upper)
                    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                if (upper.find(" AS IDENTITY") != std::string::npos)
                    AddNumberingColumn(db, s.Name, Words(upper, 1).front());
                else
                    Execute(db, "ALTER TABLE " + s.Name + " ADD " + column);
                done.push_back("added column " + s.Name + "." + name);
            }
        } else if (s.Kind == TSchemaStatement::Index && !IndexExists(db, s.Name)) {
            Execute(db, s.Text);
            done.push_back("created index " + s.Name);
        }
    }
    for (const TRetiredIndex& r : kRetiredIndexes) {
        if (IndexSegments(db, r.Name) != r.Segments || IndexSegments(db, r.ServedBy).empty())
            continue;
        try {
            Execute(db, std::string("DROP INDEX ") + r.Name);
            done.push_back(std::string("dropped index ") + r.Name + " (" + r.ServedBy +
                           " serves it)");
        } catch (const EDatabaseError& e) {
            // In use by a station still attached: harmless, only slower; the next run drops it.
            std::string why = e.what();
            for (char& c : why)
                if (c == '\n') c = ' ';
            done.push_back(std::string("kept index ") + r.Name + ": " + why);
        }
    }
    return done;
}

bool HasTotalsTables(TFbConnection& db, TFbTransaction& tr) {
    TFbStatement q(db, tr);
    q.SQL().Add(
        "SELECT COUNT(*) FROM RDB$RELATIONS WHERE RDB$RELATION_NAME IN ('RINGTOTALS', "
        "'RINGTOTALDAYS', 'RINGTOTALSTATE', 'RINGTOTALSTALE')");
    q.ExecQuery();
    return q.Fields(0).AsInt64() == 4;
}
