// Reads arbitrary bytes as a template file, then cuts a few call lines by whatever it loaded:
// a template either fails with a message or holds columns a line can reach.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "capture/Recorder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path =
        "/tmp/tarvick-template-fuzz-" + std::to_string(::getpid()) + ".ats";
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    TRecorder rec;
    rec.IncomLog = true;
    std::vector<std::string> notes;
    try {
        if (!ReadTemplateFile(path, rec.TemplateComment, rec.Columns(), rec.Format, &notes))
            return 0;
    } catch (const EError&) {
        return 0;
    }
    const TTemplateColumns& c = rec.Columns();
    for (int32_t v : {c.Day, c.Mont, c.Year, c.Hour, c.Min, c.Sec, c.AmPm, c.Line, c.TimeHour,
                      c.TimeMin, c.TimeSec, c.NumberIn, c.NumberOut, rec.Format.Duration.Column,
                      rec.Format.Direction.Column})
        if (v > kTemplateMaxColumn) __builtin_trap();
    static const char* const kLines[] = {
        "12/04/26 09:02:11 01 201 00:02:15 84951234567",
        "01/02/02 10:07AM  1200 01 <I>0501234567             0'05 00:01'05 9876543210",
        "2008/06/28 09:28:41,00:00:00,9,8004206,I,4324,4324,,0,1000014155,0,E4324,\"J, B\",T9161",
        "20.06.12|13:11:35|201|33388|00:02|00:00:07|0123456789||1||||||",
    };
    for (const char* line : kLines) {
        rec.RingText = line;
        TRingRow row;
        if (rec.JudgeLine(row) == TLineVerdict::Store && rec.ReadsDate() && row.RingDate == 0.0)
            __builtin_trap();
        rec.ClearRecord();
    }
    return 0;
}
