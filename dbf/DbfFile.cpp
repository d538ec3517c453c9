#include "dbf/DbfFile.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/Errors.h"
#include "common/Text.h"
#include "dbf/CodePages.h"
#include "dbf/DbfTable.h"
#include "platform/ProgramDir.h"

namespace {

constexpr uint32_t kMaxFields = 4095;
constexpr int kMaxAppendTries = 1000;
// Autoincrement's next value sits in a level 7 descriptor.
constexpr uint32_t kAutoIncInDescriptor = 42;
// Milliseconds timestamps count days from 1 January of year 1, plus one.
constexpr double kTimeStampDayOffset = 693594.0;
constexpr double kMsPerDay = 86400000.0;

[[noreturn]] void Invalid() {
    throw EDbfError("Invalid DBF file.");
}

uint32_t GetU16(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}
uint32_t GetU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t GetBE(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}
void PutBE(uint8_t* p, int n, uint64_t v) {
    for (int i = n - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

bool IsBlank(char c) {
    return c == ' ' || c == '\0';
}

std::string_view Slot(const TDbfFieldDef& f, const uint8_t* record) {
    return {reinterpret_cast<const char*>(record + f.Offset), f.Width()};
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Writes text into the slot, cut to the width and padded on the right with blanks.
void PutLeft(const TDbfFieldDef& f, uint8_t* record, std::string_view text) {
    const size_t n = std::min<size_t>(text.size(), f.Width());
    std::copy_n(text.data(), n, record + f.Offset);  // an empty view may have no data at all
    std::memset(record + f.Offset + n, ' ', f.Width() - n);
}

void PutRight(const TDbfFieldDef& f, uint8_t* record, std::string_view text) {
    const size_t w = f.Width();
    const size_t n = std::min(text.size(), w);
    std::memset(record + f.Offset, ' ', w - n);
    std::copy_n(text.end() - n, n, record + f.Offset + w - n);
}

bool AllZero(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c == '\0'; });
}

std::optional<int64_t> ParseInt64(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    int64_t v = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size() || s.empty()) return std::nullopt;
    return v;
}

bool ParseDigits(std::string_view s, int& out) {
    out = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        out = out * 10 + (c - '0');
    }
    return !s.empty();
}

// Order-preserving coding of a double: sign bit set for positives, all bits inverted else.
uint64_t EncodeOrdered(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    return (bits & 0x8000000000000000ULL) ? ~bits : bits | 0x8000000000000000ULL;
}
double DecodeOrdered(uint64_t bits) {
    bits = (bits & 0x8000000000000000ULL) ? bits & ~0x8000000000000000ULL : ~bits;
    double v;
    std::memcpy(&v, &bits, 8);
    return v;
}

// The table's base name with ".dbt", found in its directory ignoring letter case.
std::string MemoFileName(const std::string& table) {
    const size_t slash = table.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : table.substr(0, slash + 1);
    const std::string name = table.substr(dir.size());
    const size_t dot = name.rfind('.');
    return platform::FileInDir(dir,
                               (dot == std::string::npos ? name : name.substr(0, dot)) + ".dbt");
}

}  // namespace

TDbfFile::TDbfFile(std::string fileName) : TPagedFile(std::move(fileName)) {}

TDbfFile::~TDbfFile() {
    try {
        Close();
    } catch (...) {
        // The file closes regardless; a failed final header write has no one to report to.
    }
}

void TDbfFile::SetRecordSize(uint32_t size) {
    TPagedFile::SetRecordSize(size);
    prevBuffer_.assign(size, ' ');
}

bool TDbfFile::Open(TPagedFileMode mode, bool useFloatFields, TDateTimeHandling dateTimeHandling) {
    dateTimeHandling_ = dateTimeHandling;
    OpenFile(mode);
    try {
        uint8_t head[32];
        size_t got = 0;
        ReadAt(0, head, sizeof head, got);
        if (got < sizeof head) Invalid();
        const uint8_t version = head[0];
        if ((version & 7) == 3) {
            dbfLevel_ = head[29] == 0 ? 3 : 4;
        } else if ((version & 7) == 4) {
            dbfLevel_ = 7;
        } else {
            Invalid();
        }
        const uint32_t headerSize = GetU16(head + 8);
        const uint32_t recordSize = GetU16(head + 10);
        if (headerSize == 0 || recordSize == 0) {
            CloseFile();
            return false;
        }
        if (headerSize < (dbfLevel_ == 7 ? 68u : 32u)) Invalid();
        SetHeaderSize(headerSize);
        SetRecordSize(recordSize);
        if (!ReadHeader()) Invalid();
        ReadFieldDefs(useFloatFields);
        codePage_ = dbfLevel_ == 7 ? CodePageFromLanguageName(std::string_view(
                                         reinterpret_cast<const char*>(header_.data() + 32), 32))
                                   : CodePageFromLanguageId(header_[29]);
        const bool hasBlob = std::any_of(fieldDefs_.begin(), fieldDefs_.end(),
                                         [](const TDbfFieldDef& f) { return f.IsBlob(); });
        if (hasBlob) {
            memoFile_ = std::make_unique<TMemoFile>(MemoFileName(fileName_), dbfLevel_);
            memoFile_->Open(mode);
            header_[0] |= 0x80;
        } else {
            header_[0] &= 0x7F;
        }
        // Index files are not maintained here; a production index would go stale, so the
        // flag is dropped and the table opens without it.
        header_[28] = 0;
        // The file size is the truth about the record count; a header that disagrees is
        // mended at once (once the descriptors and the memo file proved the table whole).
        const uint32_t count = RecordCount();
        if (count != GetU32(header_.data() + 4) && !ReadOnlyMode()) {
            PutU32(header_.data() + 4, count);
            WriteHeader();
        }
    } catch (...) {
        memoFile_.reset();
        CloseFile();
        throw;
    }
    return true;
}

void TDbfFile::ReadFieldDefs(bool useFloatFields) {
    fieldDefs_.Clear();
    hasLockField_ = false;
    const bool level7 = dbfLevel_ == 7;
    const uint32_t descSize = level7 ? 48 : 32;
    const uint32_t start = level7 ? 68 : 32;
    const uint32_t maxCount = (headerSize_ - start) / descSize;
    uint32_t pos = start;
    uint32_t offset = 1;
    const std::string computer = TDbfCodePages::Instance().ComputerName();
    if (pos < headerSize_ && header_[pos] != 0x0D) {
        for (uint32_t i = 0; i < maxCount; ++i) {
            const uint8_t* d = header_.data() + pos;
            const size_t nameMax = level7 ? 32 : 11;
            const char* nameBytes = reinterpret_cast<const char*>(d);
            const size_t nameLen = strnlen(nameBytes, nameMax);
            TDbfFieldDef& f = fieldDefs_.Add();
            f.FieldName = UpperCase1251(std::string_view(nameBytes, nameLen));
            const char letter = static_cast<char>(level7 ? d[32] : d[11]);
            f.Length = level7 ? d[33] : d[16];
            f.Size = f.Length;
            f.Precision = level7 ? d[34] : d[17];
            if (f.FieldName.empty() || !f.SetNativeFieldType(letter, useFloatFields)) Invalid();
            if (level7 && f.NativeFieldType == '+') {
                f.AutoInc = static_cast<int32_t>(GetU32(d + kAutoIncInDescriptor));
            }
            f.Offset = offset;
            offset += f.Length;
            if (offset > recordSize_) Invalid();
            if (f.FieldName == "_DBASELOCK") {
                f.Hidden = true;
                hasLockField_ = true;
                lockFieldOffset_ = f.Offset;
                lockFieldLength_ = f.Length;
                lockUserLength_ = std::min<uint32_t>(f.Length > 8 ? f.Length - 8 : 0,
                                                     static_cast<uint32_t>(computer.size()));
            }
            pos += descSize;
            if (pos >= headerSize_ || header_[pos] == 0x0D) break;
        }
    }
    if (fieldDefs_.Count() == 0 || fieldDefs_.Count() > kMaxFields) {
        throw EDbfError("Invalid field count: " + std::to_string(fieldDefs_.Count()) +
                        " (must be between 1 and 4095).");
    }
}

void TDbfFile::Close() {
    if (!Active()) {
        memoFile_.reset();
        return;
    }
    try {
        if (!ReadOnlyMode()) {
            // The count comes from the file again: another program may have appended, and an
            // old count would put the end-of-file byte into its record.
            const bool locked = LockPage(0, true);
            PutU32(header_.data() + 4, RecordCount());
            WriteHeader();
            if (locked) UnlockPage(0);
        }
    } catch (...) {
        if (memoFile_) memoFile_->Close();
        memoFile_.reset();
        CloseFile();
        throw;
    }
    UnlockAllPages();
    if (memoFile_) memoFile_->Close();
    memoFile_.reset();
    CloseFile();
}

void TDbfFile::WriteHeader() {
    const TDateParts today = DecodeDate(Date());
    header_[1] = static_cast<uint8_t>((today.Year - 1900) & 0xFF);
    header_[2] = static_cast<uint8_t>(today.Month);
    header_[3] = static_cast<uint8_t>(today.Day);
    TPagedFile::WriteHeader();
    const uint8_t eof = 0x1A;
    WriteAt(uint64_t(headerSize_) + uint64_t(GetU32(header_.data() + 4)) * recordSize_, &eof, 1);
}

void TDbfFile::InitRecord(uint8_t* record) const {
    std::memset(record, ' ', recordSize_);
    for (const TDbfFieldDef& f : fieldDefs_) {
        const char t = f.NativeFieldType;
        if (t == 'I' || t == '+' || t == 'O' || t == '@') {
            std::memset(record + f.Offset, 0, f.Width());
        } else if (!f.DefaultValue.empty()) {
            PutLeft(f, record, f.DefaultValue);
        }
    }
}

void TDbfFile::FillLockInfo(uint8_t* record) {
    if (!hasLockField_) return;
    uint8_t info[8] = {};
    uint8_t* slot = record + lockFieldOffset_;
    const uint32_t counter = lockFieldLength_ >= 2 ? (GetU16(slot) + 1) & 0xFFFF : 0;
    const TDateTime now = Now();
    const TDateParts d = DecodeDate(now);
    const TTimeParts t = DecodeTime(now);
    info[0] = static_cast<uint8_t>(counter);
    info[1] = static_cast<uint8_t>(counter >> 8);
    info[2] = static_cast<uint8_t>(t.Hour);
    info[3] = static_cast<uint8_t>(t.Min);
    info[4] = static_cast<uint8_t>(t.Sec);
    info[5] = static_cast<uint8_t>((d.Year - 1900) & 0xFF);
    info[6] = static_cast<uint8_t>(d.Month);
    info[7] = static_cast<uint8_t>(d.Day);
    std::memcpy(slot, info, std::min<uint32_t>(8, lockFieldLength_));
    if (lockFieldLength_ > 8) {
        const std::string& name = TDbfCodePages::Instance().ComputerName();
        std::memset(slot + 8, ' ', lockFieldLength_ - 8);
        std::memcpy(slot + 8, name.data(), lockUserLength_);
    }
}

void TDbfFile::Zap() {
    TryExclusive();
    TruncateAt(headerSize_);
    PutU32(header_.data() + 4, 0);
    WriteHeader();
}

uint32_t TDbfFile::Append(uint8_t* record) {
    uint32_t recNo = RecordCount() + 1;
    int tries = 0;
    while (!LockRecord(recNo, false)) {
        if (++tries >= kMaxAppendTries) throw EDbfError("Record locked.");
        ++recNo;
    }
    try {
        LockPage(0, true);
        try {
            const uint8_t version = header_[0];
            ReadHeader();
            header_[0] = version;
            header_[28] = 0;
            PutU32(header_.data() + 4, GetU32(header_.data() + 4) + 1);
            // The counters live in the descriptors, so they are read back under the lock.
            const uint32_t descStart = 68;
            for (size_t i = 0; i < fieldDefs_.Count(); ++i) {
                TDbfFieldDef& f = fieldDefs_[i];
                if (f.NativeFieldType != '+' || dbfLevel_ != 7) continue;
                uint8_t* next = header_.data() + descStart + i * 48 + kAutoIncInDescriptor;
                const uint32_t value = GetU32(next);
                PutBE(record + f.Offset, 4, value ^ 0x80000000U);
                PutU32(next, value + 1);
                f.AutoInc = static_cast<int32_t>(value + 1);
            }
            WriteHeader();
        } catch (...) {
            UnlockPage(0);
            throw;
        }
        UnlockPage(0);
        FillLockInfo(record);
        WriteRecord(recNo, record);
    } catch (...) {
        UnlockRecord(recNo);
        throw;
    }
    UnlockRecord(recNo);
    return recNo;
}

std::optional<std::string> TDbfFile::GetText(const TDbfFieldDef& f, const uint8_t* record) const {
    std::string_view s = Slot(f, record);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    if (s.empty()) return std::nullopt;
    return std::string(s);
}

void TDbfFile::SetText(const TDbfFieldDef& f, uint8_t* record,
                       const std::optional<std::string>& v) const {
    PutLeft(f, record, v ? std::string_view(*v) : std::string_view());
}

std::optional<int64_t> TDbfFile::GetInteger(const TDbfFieldDef& f, const uint8_t* record) const {
    const std::string_view s = Slot(f, record);
    if (f.NativeFieldType == 'I' || f.NativeFieldType == '+') {
        if (s.size() < 4 || AllZero(s)) return std::nullopt;
        const uint32_t raw = static_cast<uint32_t>(GetBE(record + f.Offset, 4)) ^ 0x80000000U;
        return static_cast<int32_t>(raw);
    }
    const std::string_view t = TrimBlanks(s);
    if (t.empty()) return std::nullopt;
    return ParseInt64(t).value_or(0);
}

void TDbfFile::SetInteger(const TDbfFieldDef& f, uint8_t* record, std::optional<int64_t> v) const {
    if (f.NativeFieldType == 'I' || f.NativeFieldType == '+') {
        if (f.Width() < 4) return;
        if (!v) {
            std::memset(record + f.Offset, 0, 4);
            return;
        }
        PutBE(record + f.Offset, 4, static_cast<uint32_t>(static_cast<int32_t>(*v)) ^ 0x80000000U);
        return;
    }
    if (!v) {
        PutLeft(f, record, {});
        return;
    }
    const bool negative = *v < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(*v) : static_cast<uint64_t>(*v);
    std::string digits = std::to_string(magnitude);
    const size_t room = f.Width() - (negative && f.Width() > 0 ? 1 : 0);
    if (digits.size() > room) {
        digits = digits.substr(digits.size() - room);
    } else {
        digits.insert(0, room - digits.size(), '0');
    }
    PutLeft(f, record, (negative ? "-" : "") + digits);
}

std::optional<double> TDbfFile::GetFloat(const TDbfFieldDef& f, const uint8_t* record) const {
    const std::string_view s = Slot(f, record);
    if (f.NativeFieldType == 'O') {
        if (s.size() < 8 || AllZero(s)) return std::nullopt;
        return DecodeOrdered(GetBE(record + f.Offset, 8));
    }
    std::string_view t = TrimBlanks(s);
    if (t.empty()) return std::nullopt;
    if (t.front() == '+') t.remove_prefix(1);
    double v = 0;
    const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return 0.0;
    return v;
}

void TDbfFile::SetFloat(const TDbfFieldDef& f, uint8_t* record, std::optional<double> v) const {
    if (f.NativeFieldType == 'O') {
        if (f.Width() < 8) return;
        if (!v) {
            std::memset(record + f.Offset, 0, 8);
            return;
        }
        PutBE(record + f.Offset, 8, EncodeOrdered(*v));
        return;
    }
    if (!v) {
        PutLeft(f, record, {});
        return;
    }
    // Fixed notation with "." whatever the locale.
    char buf[400];
    const auto r = std::isfinite(*v)
                       ? std::to_chars(buf, buf + sizeof buf, *v, std::chars_format::fixed,
                                       static_cast<int>(f.Precision))
                       : std::to_chars_result{buf, std::errc::invalid_argument};
    const size_t n = static_cast<size_t>(r.ptr - buf);
    // Cutting digits off a number would store another number: refuse instead.
    if (r.ec != std::errc() || n > f.Width()) {
        throw EDbfError("Value does not fit in field '" + f.FieldName + "'.");
    }
    PutRight(f, record, std::string_view(buf, n));
}

std::optional<bool> TDbfFile::GetBoolean(const TDbfFieldDef& f, const uint8_t* record) const {
    const std::string_view s = Slot(f, record);
    if (s.empty() || IsBlank(s[0])) return std::nullopt;
    return s[0] == 'T' || s[0] == 't';
}

void TDbfFile::SetBoolean(const TDbfFieldDef& f, uint8_t* record, std::optional<bool> v) const {
    PutLeft(f, record, !v ? "" : (*v ? "T" : "F"));
}

std::optional<TDateTime> TDbfFile::GetDateTime(const TDbfFieldDef& f, const uint8_t* record) const {
    const std::string_view s = Slot(f, record);
    if (f.NativeFieldType == '@') {
        if (s.size() < 8 || AllZero(s)) return std::nullopt;
        const double ms = DecodeOrdered(GetBE(record + f.Offset, 8));
        return ms / kMsPerDay - kTimeStampDayOffset;
    }
    if (TrimBlanks(s).empty()) return std::nullopt;
    int y = 0, m = 0, d = 0, hh = 0, mm = 0, ss = 0;
    TDateTime value = 0;
    if (s.size() < 8 || !ParseDigits(s.substr(0, 4), y) || !ParseDigits(s.substr(4, 2), m) ||
        !ParseDigits(s.substr(6, 2), d) || !TryEncodeDate(y, m, d, value)) {
        return 0.0;
    }
    if (f.NativeFieldType == 'T') {
        TDateTime time = 0;
        if (s.size() < 14 || !ParseDigits(s.substr(8, 2), hh) ||
            !ParseDigits(s.substr(10, 2), mm) || !ParseDigits(s.substr(12, 2), ss) ||
            !TryEncodeTime(hh, mm, ss, 0, time)) {
            return 0.0;
        }
        value += time;
    }
    return value;
}

void TDbfFile::SetDateTime(const TDbfFieldDef& f, uint8_t* record,
                           std::optional<TDateTime> v) const {
    if (f.NativeFieldType == '@') {
        if (f.Width() < 8) return;
        if (!v) {
            std::memset(record + f.Offset, 0, 8);
            return;
        }
        PutBE(record + f.Offset, 8, EncodeOrdered((*v + kTimeStampDayOffset) * kMsPerDay));
        return;
    }
    if (!v) {
        PutLeft(f, record, {});
        return;
    }
    const TDateParts d = DecodeDate(*v);
    const TTimeParts t = DecodeTime(*v);
    char buf[32];
    if (f.NativeFieldType == 'T') {
        std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", d.Year % 10000, d.Month, d.Day,
                      t.Hour, t.Min, t.Sec);
    } else {
        std::snprintf(buf, sizeof buf, "%04d%02d%02d", d.Year % 10000, d.Month, d.Day);
    }
    PutLeft(f, record, buf);
}

uint32_t TDbfFile::GetBlockNo(const TDbfFieldDef& f, const uint8_t* record) const {
    const std::string_view t = TrimBlanks(Slot(f, record));
    uint32_t v = 0;
    const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return 0;
    return v;
}

void TDbfFile::SetBlockNo(const TDbfFieldDef& f, uint8_t* record, uint32_t blockNo) const {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%010u", blockNo);
    PutRight(f, record, buf);
}
