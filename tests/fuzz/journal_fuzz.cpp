// Reads arbitrary bytes back as journal lines (tarvick-tool replay reads files from elsewhere):
// every line lies inside the file, after the one before it, and no longer than a line may be.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "journal/Journal.h"
#include "capture/Recorder.h"
#include "platform/AppendFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/tarvick-journal-fuzz-XXXXXX";
        return std::string(mkdtemp(tmpl)) + "/";
    }();
    const std::string path = dir + "2026-12-09.log";
    ::unlink(path.c_str());
    int error = 0;
    platform::WriteFileAt(path, 0, reinterpret_cast<const char*>(data), size, error);
    TJournalReader reader = TJournalReader::OneFile(path);
    TJournalLine line;
    uint64_t last = 0;
    while (reader.Next(line)) {
        if (line.Start.Offset != last || line.End.Offset <= line.Start.Offset ||
            line.End.Offset > size || line.Text.size() > TRecorder::kMaxLine)
            std::abort();
        last = line.End.Offset;
    }
    return 0;
}
