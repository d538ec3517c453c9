// Cuts arbitrary lines by templates of every kind, their keys taken from the input itself:
// delimited and quoted fields, places in a field, durations in one piece, end times, UTC,
// direction and caller.
#include <cstddef>
#include <cstdint>
#include <string>

#include "capture/Recorder.h"

namespace {
int32_t Small(const uint8_t* d) {
    return static_cast<int8_t>(d[0]) % 40;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kHeader = 40;
    if (size < kHeader) return 0;
    TRecorder rec;
    rec.IncomLog = true;
    int32_t* cols[] = {&rec.Day,     &rec.Mont,     &rec.Year,     &rec.Hour,     &rec.Min,
                       &rec.Sec,     &rec.AmPm,     &rec.Line,     &rec.TimeHour, &rec.TimeMin,
                       &rec.TimeSec, &rec.NumberIn, &rec.NumberOut};
    int32_t* places[] = {
        &rec.Format.Places.Day,      &rec.Format.Places.Mont,    &rec.Format.Places.Year,
        &rec.Format.Places.Hour,     &rec.Format.Places.Min,     &rec.Format.Places.Sec,
        &rec.Format.Places.AmPm,     &rec.Format.Places.Line,    &rec.Format.Places.TimeHour,
        &rec.Format.Places.TimeMin,  &rec.Format.Places.TimeSec, &rec.Format.Places.NumberIn,
        &rec.Format.Places.NumberOut};
    size_t i = 0;
    for (int k = 0; k < 13; ++k) {
        *cols[k] = Small(data + i++);
        *places[k] = data[i++] % 8;
    }
    static const char kSeparators[] = {0, ',', ';', '|', '\t', '"', ' ', 0};
    TTemplateFormat& f = rec.Format;
    f.Separator = kSeparators[data[i++] % 8];
    f.Duration = {Small(data + i), data[i + 1] % 4};
    i += 2;
    f.Direction = {Small(data + i), data[i + 1] % 4};
    i += 2;
    f.InCaller = {data[i] % 2 ? f.Direction.Column : Small(data + i), 0};
    f.InExtension = {Small(data + i + 1), 0};
    i += 2;
    f.TimeIsEnd = data[i] & 1;
    f.Utc = data[i] & 2;
    if (data[i] & 4) f.IncomingMarks = {"<I>", "I", "1"};
    if (data[i] & 8) f.NotCallMarks = {"--"};
    if (data[i] & 16) f.AmText = "", f.PmText = "P";
    for (i = kHeader; i < size; ++i) {
        if (data[i] != '\r') {
            rec.PutChar(static_cast<char>(data[i]));
            continue;
        }
        TRingRow row;
        const TLineVerdict verdict = rec.JudgeLine(row);
        if (verdict == TLineVerdict::Store && rec.ReadsDate() && row.RingDate == 0.0)
            __builtin_trap();
        if (row.Caller && row.NumberOut != "0") __builtin_trap();
        rec.ClearRecord();
    }
    return 0;
}
