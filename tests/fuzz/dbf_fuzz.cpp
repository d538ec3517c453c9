// Table and memo readers on arbitrary bytes: first byte options, two bytes table length, then
// the table file and the memo file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "dbf/DbfTable.h"

namespace {

const std::string& Dir() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/dbf_fuzz.XXXXXX";
        return std::string(mkdtemp(tmpl)) + "/";
    }();
    return dir;
}

void Write(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint8_t options = data[0];
    size_t tableSize = size_t(data[1]) | size_t(data[2]) << 8;
    data += 3;
    size -= 3;
    if (tableSize > size) tableSize = size;
    Write(Dir() + "f.dbf", data, tableSize);
    Write(Dir() + "f.dbt", data + tableSize, size - tableSize);
    TDbfTable table;
    table.SetTableName(Dir() + "f.dbf");
    table.SetUseFloatFields(options & 1);
    table.SetShowDeleted(options & 2);
    table.SetReadOnly(!(options & 4));
    try {
        table.Open();
        for (int n = 0; table.Active() && !table.Eof() && n < 64; ++n) {
            for (TDbfField& f : table.Fields()) {
                try {
                    (void)f.AsString();
                    (void)f.IsNull();
                    (void)f.AsInteger();
                    (void)f.AsBoolean();
                } catch (const EError&) {
                }
            }
            if (options & 4) {
                table.Edit();
                for (TDbfField& f : table.Fields()) {
                    try {
                        f.SetAsString(f.AsString() + (options & 8 ? "x" : ""));
                    } catch (const EError&) {
                    }
                }
                table.Post();
            }
            table.Next();
        }
        if ((options & 4) && table.Active()) {
            table.Append();
            for (TDbfField& f : table.Fields()) {
                try {
                    f.SetAsString(std::string(options, 'y'));
                } catch (const EError&) {
                }
            }
            table.Post();
        }
        table.Close();
    } catch (const EError&) {
    }
    return 0;
}
