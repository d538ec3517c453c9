#pragma once
// The call database's schema (db/schema.sql) as statements, and a database brought up to it:
// what is missing is added (tables, columns, indexes), nothing is changed, an index that another
// now serves is dropped, no row is written, and running it again does nothing.
#include <string>
#include <vector>

class TCallDatabase;
class TFbConnection;
class TFbTransaction;

struct TSchemaStatement {
    enum TKind { Table, Index, Other };
    TKind Kind = Other;
    std::string Name;  // upper case
    std::string Text;  // the statement, comments removed
    // Table: its column definitions ("Station VARCHAR(40)"), constraints left out.
    std::vector<std::string> Columns;
};

// The statements of an SQL script in the schema's style: ';' ends a statement outside quotes
// and comments; COMMIT and SET are left out.
std::vector<TSchemaStatement> ParseSchema(const std::string& sql);
// db/schema.sql as built into the program.
const std::vector<TSchemaStatement>& CallSchema();

// Adds what the database lacks, committing each step; the steps done, in words ("added column
// Rings.Station"), none when it was up to date. Raises EDatabaseError, the steps before it kept.
std::vector<std::string> UpgradeDatabase(TCallDatabase& db);

// Whether every table of the summaries' totals is there (databases made before them have none),
// asked in the caller's transaction, which must be started.
bool HasTotalsTables(TFbConnection& db, TFbTransaction& tr);
