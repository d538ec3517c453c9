// Feeds arbitrary bytes through the assembler with columns taken from the input itself.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "capture/Main.h"

namespace {
class TSplitOnly : public TMO {
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
    TSplitOnly mo;
    int32_t* cols[] = {&mo.Day,      &mo.Mont,    &mo.Year,    &mo.Hour,     &mo.Min,
                       &mo.Sec,      &mo.AmPm,    &mo.Line,    &mo.TimeHour, &mo.TimeMin,
                       &mo.TimeSec,  &mo.NumberIn, &mo.NumberOut};
    size_t i = 0;
    for (int32_t* c : cols) {
        if (i + 2 > size) break;
        // Small signed columns so that fields actually fall inside the lines.
        *c = static_cast<int16_t>(data[i] | (data[i + 1] << 8)) % 1200;
        i += 2;
    }
    for (; i < size; ++i) mo.PutChar(static_cast<char>(data[i]));
    return 0;
}
