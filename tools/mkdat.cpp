// tarvick-mkdat: writes the settings table a station is installed with (tarvick.dat and its
// memo file tarvick.dbt) byte by byte, so the shipped files can be made again at any time.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

struct TField {
    const char* name;
    char type;
    uint8_t length;
    uint8_t decimals;
    const char* value;  // the default, as it stands in the record
};

// The settings in table order. Texts of several lines are memos; the subjects and the
// recipient hold what the dialog allows (50), paths and addresses are as wide as a field gets.
const TField kFields[] = {
    {"Template", 'C', 254, 0, "GENERIC24.ATS"},
    {"DBPath", 'C', 254, 0, ""},
    {"AddrSMTP", 'C', 254, 0, ""},
    {"FromSMTP", 'C', 254, 0, ""},
    {"PortSMTP", 'N', 5, 0, "25"},
    {"MinLenPhon", 'N', 3, 0, "0"},
    {"MaxLenPhon", 'N', 3, 0, "0"},
    {"MinEmpty", 'N', 3, 0, "0"},
    {"EmptyLen", 'L', 1, 0, "F"},
    {"IncomLog", 'L', 1, 0, "T"},
    {"ShowBuffer", 'L', 1, 0, "F"},
    {"AutoRun", 'L', 1, 0, "F"},
    {"HideRun", 'L', 1, 0, "F"},
    {"SubjSendM", 'C', 50, 0, ""},
    {"MsgFooter", 'M', 10, 0, ""},
    {"MsgAddress", 'C', 50, 0, ""},
    {"SubjARight", 'C', 50, 0, ""},
    {"MsgARight", 'M', 10, 0, ""},
    {"SubjSilenc", 'C', 50, 0, ""},
    {"MsgSilence", 'M', 10, 0, ""},
    {"SendMail", 'L', 1, 0, "F"},
    {"NeedARight", 'L', 1, 0, "F"},
    {"NeedSilenc", 'L', 1, 0, "F"},
    {"DaysSilenc", 'N', 3, 0, "3"},
};

constexpr uint8_t kVersionWithMemo = 0x8B;  // level IV with a memo file
// Russian Windows: the texts are stored as the station holds them, so every character typed
// comes back; the OEM code page has no «, » or —.
constexpr uint8_t kLanguageDriver = 0xC9;
constexpr size_t kMemoBlock = 512;

void PutU16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void PutU32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string Slot(const TField& f) {
    std::string v = f.value;
    if (f.type == 'M') return std::string(10, '0');
    if (f.type == 'N') return std::string(f.length - v.size(), ' ') + v;
    return v + std::string(f.length - v.size(), ' ');
}

std::vector<uint8_t> Table() {
    const size_t count = sizeof kFields / sizeof kFields[0];
    const size_t headerLength = 32 + 32 * count + 1;
    size_t recordLength = 1;
    for (const TField& f : kFields) recordLength += f.length;

    std::vector<uint8_t> b(headerLength, 0);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    b[0] = kVersionWithMemo;
    b[1] = static_cast<uint8_t>(local.tm_year);
    b[2] = static_cast<uint8_t>(local.tm_mon + 1);
    b[3] = static_cast<uint8_t>(local.tm_mday);
    PutU32(b, 4, 1);
    PutU16(b, 8, static_cast<uint32_t>(headerLength));
    PutU16(b, 10, static_cast<uint32_t>(recordLength));
    b[29] = kLanguageDriver;
    for (size_t i = 0; i < count; ++i) {
        const TField& f = kFields[i];
        const size_t at = 32 + 32 * i;
        std::memcpy(&b[at], f.name, std::strlen(f.name));
        b[at + 11] = static_cast<uint8_t>(f.type);
        b[at + 16] = f.length;
        b[at + 17] = f.decimals;
    }
    b[headerLength - 1] = 0x0D;
    b.push_back(' ');
    for (const TField& f : kFields) {
        const std::string slot = Slot(f);
        b.insert(b.end(), slot.begin(), slot.end());
    }
    b.push_back(0x1A);
    return b;
}

std::vector<uint8_t> Memo() {
    std::vector<uint8_t> b(kMemoBlock, 0);
    PutU32(b, 0, 1);  // next free block: the first after the header
    PutU16(b, 20, kMemoBlock);
    return b;
}

bool Write(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: tarvick-mkdat DIR  (writes DIR/tarvick.dat and DIR/tarvick.dbt)\n";
        return 2;
    }
    std::string dir = argv[1];
    if (dir.back() != '/') dir += '/';
    if (!Write(dir + "tarvick.dat", Table()) || !Write(dir + "tarvick.dbt", Memo())) {
        std::cerr << "cannot write " << dir << "tarvick.dat or tarvick.dbt\n";
        return 1;
    }
    return 0;
}
