#include "capture/Recorder.h"

#include <algorithm>
#include <optional>

#include "common/Text.h"
#include "platform/ProgramDir.h"

namespace {
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
}  // namespace

namespace {
// A digit text's value, or nothing when it is empty or above 2147483647.
std::optional<int32_t> ParseField(const std::string& text) {
    if (text.empty()) return std::nullopt;
    int64_t v = 0;
    for (char c : text) {
        if (!IsDigit(c)) return std::nullopt;
        v = v * 10 + (c - '0');
        if (v > 2147483647) return std::nullopt;
    }
    return static_cast<int32_t>(v);
}
}  // namespace

int32_t FieldValue(const std::string& text) {
    return ParseField(text).value_or(0);
}

bool FieldHasValue(const std::string& text) {
    return ParseField(text).has_value();
}

TRecorder::TRecorder() : LastRingDate(Date()) {
    ProgramDir = platform::ProgramDir();
}

void TRecorder::PutChar(char c) {
    if (c == '\n') return;
    if (c == '\r') {
        RecordEnd();
        return;
    }
    if (RingText.size() < kMaxLine) RingText += c;
}

void TRecorder::ClearRecord() {
    RingText.clear();
    Fields = TFieldTexts{};
}

int32_t TRecorder::FieldEnd(int32_t column) const {
    const TTemplateColumns& t = Columns();
    const int32_t all[] = {t.Day,  t.Mont,     t.Year,    t.Hour,    t.Min,      t.Sec,      t.AmPm,
                           t.Line, t.TimeHour, t.TimeMin, t.TimeSec, t.NumberIn, t.NumberOut};
    int32_t next = -1;
    for (int32_t c : all)
        if (c > 0 && c > column && (next < 0 || c < next)) next = c;
    return next < 0 ? -1 : next - 1;
}

namespace {
// The span [first, last] of a field in 0-based positions of the line; empty when absent.
bool Span(const std::string& line, int32_t column, int32_t end, size_t& first, size_t& last) {
    if (column <= 0 || static_cast<size_t>(column) > line.size()) return false;
    first = static_cast<size_t>(column) - 1;
    last = (end < 0 || static_cast<size_t>(end) > line.size()) ? line.size() - 1
                                                               : static_cast<size_t>(end) - 1;
    return last >= first;
}
}  // namespace

std::string TRecorder::GetDigits(int32_t column, bool skipLeading) const {
    size_t first = 0, last = 0;
    if (!Span(RingText, column, FieldEnd(column), first, last)) return {};
    std::string digits;
    size_t i = first;
    if (skipLeading)
        while (i <= last && !IsDigit(RingText[i])) ++i;
    for (; i <= last && IsDigit(RingText[i]); ++i) digits += RingText[i];
    return digits;
}

std::string TRecorder::SpanText(int32_t column) const {
    size_t first = 0, last = 0;
    if (!Span(RingText, column, FieldEnd(column), first, last)) return {};
    return Trim(std::string_view(RingText).substr(first, last - first + 1));
}

void TRecorder::SplitLine() {
    Fields.Day = GetDigits(Day, true);
    Fields.Mont = GetDigits(Mont, true);
    Fields.Year = GetDigits(Year, true);
    Fields.Hour = GetDigits(Hour, true);
    Fields.Min = GetDigits(Min, true);
    Fields.Sec = GetDigits(Sec, true);
    Fields.AmPm = SpanText(AmPm);
    Fields.Line = GetDigits(Line, true);
    Fields.TimeHour = GetDigits(TimeHour, true);
    Fields.TimeMin = GetDigits(TimeMin, true);
    Fields.TimeSec = GetDigits(TimeSec, true);
    Fields.NumberIn = GetDigits(NumberIn, true);
    Fields.NumberOut = GetDigits(NumberOut, false);
}

// A 12-hour clock counts 12 AM as midnight and 12 PM as noon, so "12" is the one hour the
// marker turns down rather than up; an hour the marker cannot apply to is kept as printed.
int TRecorder::TwelveHourCorrected(int hour) const {
    if (!FieldHasValue(Fields.Hour) || AmPm <= 0) return hour;
    const std::string marker = UpperCase1251(Trim(Fields.AmPm));
    if (marker == "PM" && hour >= 1 && hour <= 11) return hour + 12;
    if (marker == "AM" && hour == 12) return 0;
    return hour;
}

int32_t TRecorder::CorrectedHour() const {
    return TwelveHourCorrected(FieldValue(Fields.Hour));
}

TDateTime TRecorder::RingDateTime() const {
    // The values are held as 16-bit unsigned numbers before the clock correction and encoding.
    auto word = [](int32_t v) { return static_cast<int>(static_cast<uint16_t>(v)); };
    const int hour = TwelveHourCorrected(word(FieldValue(Fields.Hour)));
    return EncodeDateTimeOrZero(word(FieldValue(Fields.Year)) + 2000, word(FieldValue(Fields.Mont)),
                                word(FieldValue(Fields.Day)), hour, word(FieldValue(Fields.Min)),
                                word(FieldValue(Fields.Sec)));
}

bool TRecorder::LoadTemplate() {
    return LoadActiveTemplate(ProgramDir, Template, TemplateComment, Columns(), LoadProblem);
}

TLineCut CutLine(const TTemplateColumns& columns, const std::string& line) {
    class TCutter : public TRecorder {
    protected:
        void RecordEnd() override {}
    } cut;
    cut.Columns() = columns;
    cut.RingText = line;
    cut.SplitLine();
    std::string TFieldTexts::*const texts[13] = {
        &TFieldTexts::Day,      &TFieldTexts::Mont,     &TFieldTexts::Year,
        &TFieldTexts::Hour,     &TFieldTexts::Min,      &TFieldTexts::Sec,
        &TFieldTexts::AmPm,     &TFieldTexts::Line,     &TFieldTexts::TimeHour,
        &TFieldTexts::TimeMin,  &TFieldTexts::TimeSec,  &TFieldTexts::NumberIn,
        &TFieldTexts::NumberOut};
    TLineCut result;
    for (int i = 0; i < 13; ++i) {
        TLineCut::TField& field = result.Fields[i];
        field.Text = cut.Fields.*texts[i];
        const int32_t column = columns.*kColumnMembers[i];
        if (column <= 0 || static_cast<size_t>(column) > line.size()) continue;
        const int32_t end = cut.FieldEnd(column);
        field.Begin = column - 1;
        field.End = end < 0 ? static_cast<int32_t>(line.size())
                            : std::min(static_cast<int32_t>(line.size()), end);
    }
    return result;
}
