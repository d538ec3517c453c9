// Call lines per second through the template parser and the rules (no database): a fixed-column
// line, and delimited records of the same call with and without quoted fields.
#include <benchmark/benchmark.h>

#include <string>

#include "capture/Recorder.h"

namespace {

void Judge(benchmark::State& state, const char* templateFile, const std::string& line) {
    TRecorder rec;
    rec.IncomLog = true;
    std::string comment;
    if (!ReadTemplateFile(std::string(TARVICK_SOURCE_DIR "/data/") + templateFile, comment,
                          rec.Columns(), rec.Format)) {
        state.SkipWithError("no template");
        return;
    }
    for (auto _ : state) {
        rec.RingText = line;
        TRingRow row;
        benchmark::DoNotOptimize(rec.JudgeLine(row));
        rec.ClearRecord();
    }
    state.SetItemsProcessed(state.iterations());
}

void Fixed(benchmark::State& state) {
    Judge(state, "GENERIC24.ATS", "12/04/26 09:02:11 01 201 00:02:15 84951234567");
}
BENCHMARK(Fixed);

void FixedTwelveHourEndTime(benchmark::State& state) {
    Judge(state, "PANASONIC_TDA.ATS",
          "12/09/26  3:15PM   205 01 <I>0501234567            0'12 01:00'00 ACC1");
}
BENCHMARK(FixedTwelveHourEndTime);

void Delimited(benchmark::State& state) {
    Judge(state, "AVAYA_IPO.ATS",
          "2026/12/09 10:11:12,00:02:05,3,4324,O,84951234567,984951234567,,0,1000014200,0,E4324,"
          "Ivanov,T9161,LINE 5.1,0,0");
}
BENCHMARK(Delimited);

void DelimitedQuoted(benchmark::State& state) {
    Judge(state, "ASTERISK_CSV.ATS",
          "\"\",\"201\",\"84951234567\",\"from-internal\",\"\"\"Ivanov\"\" <201>\","
          "\"SIP/201-00000001\",\"SIP/trunk-00000002\",\"Dial\",\"SIP/trunk/84951234567,60\","
          "\"2026-12-09 10:11:12\",\"2026-12-09 10:11:20\",\"2026-12-09 10:13:35\",143,135,"
          "\"ANSWERED\",\"DOCUMENTATION\"");
}
BENCHMARK(DelimitedQuoted);

}  // namespace

BENCHMARK_MAIN();
