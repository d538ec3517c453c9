#pragma once
// A call line as GENERIC24.ATS cuts it, told apart by n: its minute and second, one of seven
// extensions, and the dialled number 8495 followed by n in seven digits.
#include <cstdio>
#include <string>

inline std::string Call(int n) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "12/04/26 09:%02d:%02d 01 %3d 00:02:15 8495%07d", n / 60 % 60,
                  n % 60, 201 + n % 7, n);
    return buf;
}
