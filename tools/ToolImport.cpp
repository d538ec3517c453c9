// tarvick-tool import: replays a saved log or a captured exchange output into the call database
// through the station's own record path.
#include <iostream>

#include "capture/Recorder.h"
#include "db/CallDatabase.h"
#include "tools/Tool.h"

namespace {

class TImporter : public TRecorder {
public:
    int Lines = 0;
    int Stored = 0;

protected:
    void RecordEnd() override {
        ++Lines;
        TRecorder::RecordEnd();
        if (LineCommitted) ++Stored;
    }
};

int RunImport(const ToolArgs& args) {
    if (args.empty() || args.size() > 2) {
        std::cerr << "usage: tarvick-tool import DIR [INPUT_FILE]\n";
        return 1;
    }
    TCallDatabase callDb;
    TImporter importer;
    if (const int rc = OpenStation(args[0], importer, callDb)) return rc;
    std::string input;
    if (!ReadInput(args.size() > 1 ? args[1] : "", input)) {
        std::cerr << "cannot read " << args[1] << "\n";
        return 1;
    }
    for (char c : input) importer.PutChar(c);
    callDb.Disconnect();
    std::cout << "lines=" << importer.Lines << " stored=" << importer.Stored << std::endl;
    return 0;
}

const ToolRegistration kImport("import", "import DIR [INPUT_FILE]", RunImport);

}  // namespace
