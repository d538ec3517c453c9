// Two ways foreign bytes reach the journal reader.
//
// An input beginning with an even byte is a journal file from elsewhere (tarvick-tool replay
// reads those): every line lies inside the file, after the one before it, and no longer than a
// line may be.
//
// One beginning with an odd byte is a script: the station appends its lines, whole or in two
// parts, and meanwhile another program writes bytes into the day file, cuts it short, removes
// it or its directory, or puts another file in its place. Read back from the mark after every
// append, as the station stores, the station's lines come out whole, in order, each once, and
// no line made of other bytes could be taken for one of them.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "capture/Recorder.h"
#include "common/DateTime.h"
#include "journal/Journal.h"
#include "platform/AppendFile.h"

namespace {

namespace fs = std::filesystem;

// The station's lines carry '#', which no foreign byte is.
constexpr char kOurs = '#';

const std::string& ScratchDir() {
    static const std::string dir = [] {
        // Memory-backed where there is one: the journal syncs what it repairs.
        char tmpl[] = "/dev/shm/tarvick-journal-fuzz-XXXXXX";
        char fallback[] = "/tmp/tarvick-journal-fuzz-XXXXXX";
        const char* made = mkdtemp(tmpl);
        return std::string(made ? made : mkdtemp(fallback)) + "/";
    }();
    return dir;
}

void ReadForeignFile(const uint8_t* data, size_t size) {
    const std::string path = ScratchDir() + "2026-12-09.log";
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
}

class TScript {
public:
    TScript(const uint8_t* data, size_t size) : Data(data), Size(size) {}
    bool More() const { return At < Size; }
    uint8_t Byte() { return At < Size ? Data[At++] : 0; }
    std::string Bytes(size_t most) {
        const size_t n = std::min<size_t>(Byte() % (most + 1), Size - At);
        std::string bytes(reinterpret_cast<const char*>(Data + At), n);
        At += n;
        for (char& c : bytes)
            if (c == kOurs) c = '.';
        return bytes;
    }

private:
    const uint8_t* Data;
    size_t Size, At = 0;
};

void RunScript(const uint8_t* data, size_t size) {
    const std::string dir = ScratchDir() + "journal/";
    const std::string day = dir + "2026-12-09.log";
    std::error_code ec;
    fs::remove_all(dir, ec);
    TJournal journal;
    std::string error;
    if (!journal.Open(dir, error)) std::abort();
    TScript script(data, size);
    std::vector<std::string> sent, stored;
    std::string underWay;  // the rest of a line whose first part went in
    TJournalPos mark = journal.LineEnd();
    auto store = [&] {
        TJournalReader reader(dir, mark, journal.LineEnd());
        TJournalLine line;
        while (reader.Next(line)) {
            if (!line.Unfinished && line.Text.find(kOurs) != std::string::npos)
                stored.push_back(line.Text);
            mark = line.End;
        }
    };
    auto append = [&](const std::string& bytes) {
        if (journal.Append(bytes) != bytes.size()) std::abort();
        store();
    };
    while (script.More()) {
        switch (script.Byte() % 8) {
            case 0:
            case 1: {
                if (!underWay.empty()) {
                    append(underWay);
                    underWay.clear();
                    break;
                }
                std::string line = kOurs + std::to_string(sent.size()) + " ";
                for (char c : script.Bytes(60))
                    if (c != '\r' && c != '\n') line += c;
                sent.push_back(line);
                const size_t part = script.Byte() % (line.size() + 1);
                underWay = line.substr(part) + "\r\n";
                append(line.substr(0, part));
                break;
            }
            case 2:
                std::ofstream(day, std::ios::binary | std::ios::app) << script.Bytes(255);
                break;
            case 3:
                if (fs::exists(day, ec))
                    fs::resize_file(day, fs::file_size(day, ec) * script.Byte() / 256, ec);
                break;
            case 4:
                fs::remove(day, ec);
                break;
            case 5:
                fs::remove_all(dir, ec);
                break;
            case 6:
                fs::create_directories(dir, ec);
                std::ofstream(day + ".tmp", std::ios::binary) << script.Bytes(255);
                fs::rename(day + ".tmp", day, ec);
                break;
            default:
                if (!journal.Verify()) std::abort();
                store();
        }
    }
    if (!underWay.empty()) append(underWay);
    if (stored != sent) {
        for (const auto& [what, lines] : {std::pair{"sent", &sent}, std::pair{"stored", &stored}})
            for (const std::string& l : *lines) std::fprintf(stderr, "%s: %s\n", what, l.c_str());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool clockSet = [] {
        SetClock([] { return EncodeDateTimeOrZero(2026, 12, 9, 12, 0, 0); });
        return true;
    }();
    (void)clockSet;
    if (size == 0) return 0;
    if (data[0] % 2 == 0)
        ReadForeignFile(data + 1, size - 1);
    else
        RunScript(data + 1, size - 1);
    return 0;
}
