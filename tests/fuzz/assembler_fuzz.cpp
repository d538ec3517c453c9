// Feeds arbitrary bytes through the assembler with columns taken from the input itself.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "capture/Recorder.h"

namespace {
class TSplitOnly : public TRecorder {
protected:
    void RecordEnd() override {
        SplitLine();
        (void)RingDateTime();
        (void)CorrectedHour();
        ClearRecord();
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TSplitOnly recorder;
    int32_t* cols[] = {&recorder.Day,      &recorder.Mont,    &recorder.Year,    &recorder.Hour,
                       &recorder.Min,      &recorder.Sec,     &recorder.AmPm,    &recorder.Line,
                       &recorder.TimeHour, &recorder.TimeMin, &recorder.TimeSec, &recorder.NumberIn,
                       &recorder.NumberOut};
    size_t i = 0;
    for (int32_t* c : cols) {
        if (i + 2 > size) break;
        // Small signed columns so that fields actually fall inside the lines.
        *c = static_cast<int16_t>(data[i] | (data[i + 1] << 8)) % 1200;
        i += 2;
    }
    for (; i < size; ++i) recorder.PutChar(static_cast<char>(data[i]));
    return 0;
}
