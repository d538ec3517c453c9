// Parses arbitrary bytes as an INI file, reads and rewrites keys of it.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/Ini.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/tarvick-ini-fuzz-" + std::to_string(::getpid()) + ".ini";
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    TIniFile ini(path);
    (void)ini.ReadInteger("Parameters", "Day", 0);
    (void)ini.ReadString("parameters", "name", "");
    (void)ini.SectionExists("ComPort");
    ini.WriteString("Parameters", "Day", "5");
    if (ini.ReadInteger("Parameters", "Day", 0) != 5) __builtin_trap();
    return 0;
}
