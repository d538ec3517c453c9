// tarvick-tool dbf: inspect and repair a table (fields, dump, get, set).
#include <filesystem>
#include <iostream>
#include <string>

#include "common/Text.h"
#include "dbf/DbfTable.h"
#include "tools/Tool.h"

namespace {

const char kUsage[] =
    "dbf fields FILE | dbf dump FILE | dbf get FILE FIELD | dbf set FILE FIELD VALUE";

void OpenTable(TDbfTable& table, const std::string& file, bool readOnly) {
    if (!readOnly) {
        // Opened for writing, the engine sets a cut table's header to what the file holds, and
        // the cut would go unnoticed.
        TDbfTable probe;
        OpenTable(probe, file, true);
        probe.Close();
    }
    // A relative name means the working directory here, not the executable's.
    table.SetTableName(std::filesystem::absolute(file).lexically_normal().string());
    table.SetUseFloatFields(false);
    table.SetDateTimeHandling(TDateTimeHandling::dtDateTime);
    table.SetReadOnly(readOnly);
    table.Open();
    if (!table.Active()) throw EDbfError("Invalid DBF file.");
    // Read-only, the header still tells what a cut file lost.
    if (table.HeaderRecordCount() > table.RecordCount())
        throw EDbfError("the table is cut short: its header counts " +
                        std::to_string(table.HeaderRecordCount()) + " records, the file holds " +
                        std::to_string(table.RecordCount()));
}

std::string Escape(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += c;
        }
    }
    return out;
}

bool IsIntegerField(const TDbfField& f) {
    switch (f.DataType()) {
        case TFieldType::ftSmallint:
        case TFieldType::ftInteger:
        case TFieldType::ftLargeint:
        case TFieldType::ftAutoInc:
            return true;
        default:
            return false;
    }
}

void Assign(TDbfField& field, const std::string& value) {
    if (field.DataType() == TFieldType::ftBoolean) {
        const std::string u = UpperCase1251(value);
        if (u == "T" || u == "TRUE") {
            field.SetAsBoolean(true);
        } else if (u == "F" || u == "FALSE") {
            field.SetAsBoolean(false);
        } else {
            throw EDbfError("'" + value + "' is not a valid boolean value");
        }
    } else if (IsIntegerField(field)) {
        const auto v = TryStrToInt64(value);
        if (!v) throw EDbfError("'" + value + "' is not a valid integer value");
        field.SetAsInteger(*v);
    } else {
        // The field would keep only its first characters.
        const uint32_t width = field.Def().Width();
        if (field.DataType() == TFieldType::ftString && value.size() > width)
            throw EDbfError("the value is " + std::to_string(value.size()) +
                            " characters long; field " + field.FieldName() + " holds " +
                            std::to_string(width));
        field.SetAsString(value);
    }
}

int Run(const ToolArgs& args) {
    if (args.size() < 2) {
        std::cerr << "usage: tarvick-tool " << kUsage << "\n";
        return 2;
    }
    const std::string& command = args[0];
    const bool fields = command == "fields" && args.size() == 2;
    const bool dump = command == "dump" && args.size() == 2;
    const bool get = command == "get" && args.size() == 3;
    const bool set = command == "set" && args.size() == 4;
    if (!fields && !dump && !get && !set) {
        std::cerr << "usage: tarvick-tool " << kUsage << "\n";
        return 2;
    }
    try {
        TDbfTable table;
        OpenTable(table, args[1], !set);
        if (fields) {
            for (const TDbfField& f : table.Fields()) {
                std::cout << f.FieldName() << '\t' << f.Def().NativeFieldType << '\t'
                          << f.Def().Size << '\t' << f.Def().Precision << '\n';
            }
        } else if (dump) {
            for (table.First(); !table.Eof(); table.Next()) {
                bool first = true;
                for (const TDbfField& f : table.Fields()) {
                    if (!first) std::cout << '\t';
                    first = false;
                    std::cout << f.FieldName() << '=' << Escape(f.AsString());
                }
                std::cout << '\n';
            }
        } else if (get) {
            std::cout << table.FieldByName(args[2]).AsString() << '\n';
        } else {
            table.Edit();
            Assign(table.FieldByName(args[2]), args[3]);
            table.Post();
        }
        table.Close();
        std::cout.flush();
        return 0;
    } catch (const EError& e) {
        std::cerr << args[1] << ": " << e.what() << "\n";
        return 1;
    }
}

const ToolRegistration kRegistration("dbf", kUsage, Run);

}  // namespace
