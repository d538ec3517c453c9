#include "capture/Recorder.h"

#include <algorithm>
#include <optional>

#include "common/Text.h"
#include "platform/ProgramDir.h"

namespace {
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Letters of a value: Latin, and every byte above ASCII (the Windows-1251 letters).
bool IsLetter(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || u >= 0x80;
}

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

// The place-th value of a span: its runs of digits and its runs of letters, counted from 1.
std::string_view Place(std::string_view span, int32_t place) {
    size_t i = 0;
    for (int32_t n = 1; i < span.size(); ++n) {
        while (i < span.size() && !IsDigit(span[i]) && !IsLetter(span[i])) ++i;
        if (i >= span.size()) break;
        const bool digits = IsDigit(span[i]);
        const size_t b = i;
        while (i < span.size() && (digits ? IsDigit(span[i]) : IsLetter(span[i]))) ++i;
        if (n == place) return span.substr(b, i - b);
    }
    return {};
}

std::string LeadingDigits(std::string_view span) {
    size_t i = 0;
    while (i < span.size() && !IsDigit(span[i])) ++i;
    size_t e = i;
    while (e < span.size() && IsDigit(span[e])) ++e;
    return std::string(span.substr(i, e - i));
}

std::string AnchoredDigits(std::string_view span) {
    size_t e = 0;
    while (e < span.size() && IsDigit(span[e])) ++e;
    return std::string(span.substr(0, e));
}

std::string_view TrimView(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
    return s.substr(b, e - b);
}

// A number printed in a field of its own: blanks and a leading "+" are not part of it.
std::string_view NumberStart(std::string_view field) {
    field = TrimView(field);
    if (!field.empty() && field[0] == '+') field.remove_prefix(1);
    return field;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view mark) {
    if (text.size() < mark.size()) return false;
    for (size_t i = 0; i < mark.size(); ++i)
        if (text[i] != mark[i] && UpperChar1251(text[i]) != UpperChar1251(mark[i])) return false;
    return true;
}

// A talk time printed in one piece: up to three groups of digits joined by ':', '\'' or '.',
// counted from the right as seconds, minutes and hours; anything else after it is not its.
void ReadDuration(std::string_view span, std::string& hours, std::string& mins, std::string& secs) {
    std::string groups[3];
    int count = 0;
    size_t i = 0;
    while (i < span.size() && !IsDigit(span[i])) ++i;
    while (i < span.size() && IsDigit(span[i]) && count < 3) {
        size_t e = i;
        while (e < span.size() && IsDigit(span[e])) ++e;
        groups[count++] = std::string(span.substr(i, e - i));
        if (e + 1 >= span.size() || (span[e] != ':' && span[e] != '\'' && span[e] != '.') ||
            !IsDigit(span[e + 1]))
            break;
        i = e + 1;
    }
    hours.clear(), mins.clear(), secs.clear();
    std::string* parts[3] = {&hours, &mins, &secs};
    for (int k = 0; k < count; ++k) *parts[3 - count + k] = std::move(groups[k]);
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
    CellCount = 0;
}

size_t TRecorder::ColumnList(int32_t (&out)[kKeyColumns]) const {
    const TTemplateColumns& t = Columns();
    const TTemplateFormat& f = Format;
    const int32_t all[kKeyColumns] = {t.Day,
                                      t.Mont,
                                      t.Year,
                                      t.Hour,
                                      t.Min,
                                      t.Sec,
                                      t.AmPm,
                                      t.Line,
                                      t.TimeHour,
                                      t.TimeMin,
                                      t.TimeSec,
                                      t.NumberIn,
                                      t.NumberOut,
                                      f.Duration.Column,
                                      f.Direction.Column,
                                      f.InExtension.Column,
                                      f.InCaller.Column};
    size_t n = 0;
    for (int32_t c : all)
        if (c > 0) out[n++] = c;
    return n;
}

int32_t TRecorder::FieldEnd(int32_t column) const {
    int32_t all[kKeyColumns];
    const size_t n = ColumnList(all);
    int32_t next = -1;
    for (size_t i = 0; i < n; ++i)
        if (all[i] > column && (next < 0 || all[i] < next)) next = all[i];
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

// A fixed line's span from the key's column to the next column, or a delimited line's field;
// with a place, the value at that place in it.
std::string_view TRecorder::KeyText(int32_t column, int32_t place) const {
    std::string_view text;
    if (Format.Delimited()) {
        if (column <= 0 || static_cast<size_t>(column) > CellCount) return {};
        text = Cells[static_cast<size_t>(column) - 1];
    } else {
        int32_t end = -1;
        if (StopCount < 0) {
            end = FieldEnd(column);
        } else {
            const int32_t* stop = std::upper_bound(Stops, Stops + StopCount, column);
            if (stop != Stops + StopCount) end = *stop - 1;
        }
        size_t first = 0, last = 0;
        if (!Span(RingText, column, end, first, last)) return {};
        text = std::string_view(RingText).substr(first, last - first + 1);
    }
    return place > 0 ? Place(text, place) : text;
}

std::string TRecorder::GetDigits(int32_t column, bool skipLeading) const {
    const std::string_view span = KeyText(column, 0);
    return skipLeading ? LeadingDigits(span) : AnchoredDigits(span);
}

std::string TRecorder::SpanText(int32_t column) const {
    return Trim(KeyText(column, 0));
}

// Fields cut at the separator; a field that begins with a quote runs to the closing quote (a
// separator inside is text, a doubled quote is one quote), and what follows it up to the next
// separator is kept too.
void TRecorder::CutFields() {
    const char sep = Format.Separator;
    const size_t n = RingText.size();
    CellCount = 0;
    size_t i = 0;
    for (;;) {
        if (Cells.size() <= CellCount) Cells.emplace_back();
        std::string& cell = Cells[CellCount++];
        cell.clear();
        size_t q = i;
        while (q < n && RingText[q] == ' ') ++q;
        if (q < n && RingText[q] == '"' && sep != '"') {
            for (i = q + 1; i < n;) {
                const size_t quote = RingText.find('"', i);
                if (quote == std::string::npos) {
                    cell.append(RingText, i);
                    i = n;
                    break;
                }
                cell.append(RingText, i, quote - i);
                i = quote + 1;
                if (i >= n || RingText[i] != '"') break;
                cell += '"';  // a doubled quote
                ++i;
            }
        }
        const size_t end = std::min(n, RingText.find(sep, i));
        cell.append(RingText, i, end - i);
        if (end >= n) break;
        i = end + 1;
    }
}

void TRecorder::SplitLine() {
    // A NUL stands for a blank where fields are cut, so the fields after it keep their columns.
    for (size_t at = RingText.find('\0'); at != std::string::npos; at = RingText.find('\0', at))
        RingText[at] = ' ';
    if (Format.Delimited()) {
        CutFields();
    } else {
        // Every key's span ends where the next column begins: sorted once for the whole line.
        StopCount = static_cast<int>(ColumnList(Stops));
        std::sort(Stops, Stops + StopCount);
    }
    struct Unsorted {
        int& count;
        ~Unsorted() { count = -1; }
    } unsorted{StopCount};
    const TTemplateColumns& p = Format.Places;
    auto digits = [this](int32_t column, int32_t place) {
        return LeadingDigits(KeyText(column, place));
    };
    Fields.Day = digits(Day, p.Day);
    Fields.Mont = digits(Mont, p.Mont);
    Fields.Year = digits(Year, p.Year);
    Fields.Hour = digits(Hour, p.Hour);
    Fields.Min = digits(Min, p.Min);
    Fields.Sec = digits(Sec, p.Sec);
    Fields.AmPm = Trim(KeyText(AmPm, p.AmPm));
    Fields.Line = digits(Line, p.Line);
    if (Format.Duration.Column > 0) {
        ReadDuration(KeyText(Format.Duration.Column, Format.Duration.Place), Fields.TimeHour,
                     Fields.TimeMin, Fields.TimeSec);
    } else {
        Fields.TimeHour = digits(TimeHour, p.TimeHour);
        Fields.TimeMin = digits(TimeMin, p.TimeMin);
        Fields.TimeSec = digits(TimeSec, p.TimeSec);
    }
    Fields.NumberIn = digits(NumberIn, p.NumberIn);
    const std::string_view out = KeyText(NumberOut, p.NumberOut);
    Fields.NumberOut = AnchoredDigits(Format.Delimited() ? NumberStart(out) : out);

    const TFieldKey& dir = Format.Direction;
    if (dir.Column <= 0) return;
    const std::string_view printed = TrimView(KeyText(dir.Column, dir.Place));
    Fields.Direction = std::string(printed);
    const auto mark =
        std::find_if(Format.IncomingMarks.begin(), Format.IncomingMarks.end(),
                     [&](const std::string& m) { return StartsWithIgnoringCase(printed, m); });
    Fields.Incoming = mark != Format.IncomingMarks.end();
    if (!Fields.Incoming) return;
    // An incoming call: the extension and the caller may stand where the template says, and the
    // caller's number may follow the mark in the direction's own field ("<I>0501234567").
    if (Format.InExtension.Column > 0)
        Fields.NumberIn = digits(Format.InExtension.Column, Format.InExtension.Place);
    const TFieldKey caller =
        Format.InCaller.Column > 0 ? Format.InCaller : TFieldKey{NumberOut, p.NumberOut};
    std::string_view from = KeyText(caller.Column, caller.Place);
    if (caller.Column == dir.Column && caller.Place == dir.Place) {
        from = TrimView(from);
        from.remove_prefix(std::min(from.size(), mark->size()));
        if (!from.empty() && from[0] == '+') from.remove_prefix(1);
    } else {
        from = NumberStart(from);
    }
    Fields.Caller = AnchoredDigits(from);
    Fields.NumberOut.clear();
}

// A 12-hour clock counts 12 AM as midnight and 12 PM as noon, so "12" is the one hour the
// marker turns down rather than up; an hour the marker cannot apply to is kept as printed.
int TRecorder::TwelveHourCorrected(int hour) const {
    if (!FieldHasValue(Fields.Hour) || AmPm <= 0) return hour;
    const std::string marker = UpperCase1251(Trim(Fields.AmPm));
    if (marker == UpperCase1251(Format.PmText) && hour >= 1 && hour <= 11) return hour + 12;
    if (marker == UpperCase1251(Format.AmText) && hour == 12) return 0;
    return hour;
}

int32_t TRecorder::CorrectedHour() const {
    return TwelveHourCorrected(FieldValue(Fields.Hour));
}

int64_t TRecorder::TalkSeconds() const {
    return static_cast<int64_t>(FieldValue(Fields.TimeHour)) * 3600 +
           static_cast<int64_t>(FieldValue(Fields.TimeMin)) * 60 + FieldValue(Fields.TimeSec);
}

TDateTime TRecorder::RingDateTime() const {
    // The values are held as 16-bit unsigned numbers before the clock correction and encoding.
    auto word = [](int32_t v) { return static_cast<int>(static_cast<uint16_t>(v)); };
    const int hour = TwelveHourCorrected(word(FieldValue(Fields.Hour)));
    const int month = word(FieldValue(Fields.Mont)), day = word(FieldValue(Fields.Day));
    const int min = word(FieldValue(Fields.Min)), sec = word(FieldValue(Fields.Sec));
    TDateTime when = 0;
    if (Year <= 0 && ReadsDate()) {
        // No year printed: this year, or the last when that would lie more than a day ahead of
        // the clock (a line of 31 December stored on 1 January).
        const TDateTime now = Now();
        const int year = DecodeDate(now).Year;
        when = EncodeDateTimeOrZero(year, month, day, hour, min, sec);
        if (when == 0.0 || when > now + 1.0)
            when = EncodeDateTimeOrZero(year - 1, month, day, hour, min, sec);
    } else {
        // Two digits are the years after 2000; more are the year itself.
        const int printed = word(FieldValue(Fields.Year));
        const int year = Fields.Year.size() > 2 ? printed : printed + 2000;
        when = EncodeDateTimeOrZero(year, month, day, hour, min, sec);
    }
    if (when == 0.0) return 0.0;
    if (Format.TimeIsEnd) when = FromSeconds(SecondsOf(when) - TalkSeconds());
    if (Format.Utc) when = UtcToLocal(when);
    return when;
}

bool TRecorder::LoadTemplate() {
    return LoadActiveTemplate(ProgramDir, Template, TemplateComment, Columns(), Format, LoadProblem,
                              TemplateNotes);
}

TLineCut CutLine(const TTemplateColumns& columns, const TTemplateFormat& format,
                 const std::string& line) {
    class TCutter : public TRecorder {
    protected:
        void RecordEnd() override {}
    } cut;
    cut.Columns() = columns;
    cut.Format = format;
    cut.RingText = line;
    cut.SplitLine();
    std::string TFieldTexts::*const texts[13] = {
        &TFieldTexts::Day,      &TFieldTexts::Mont,    &TFieldTexts::Year,
        &TFieldTexts::Hour,     &TFieldTexts::Min,     &TFieldTexts::Sec,
        &TFieldTexts::AmPm,     &TFieldTexts::Line,    &TFieldTexts::TimeHour,
        &TFieldTexts::TimeMin,  &TFieldTexts::TimeSec, &TFieldTexts::NumberIn,
        &TFieldTexts::NumberOut};
    TLineCut result;
    result.Incoming = cut.Fields.Incoming;
    result.Caller = cut.Fields.Caller;
    for (int i = 0; i < 13; ++i) {
        TLineCut::TField& field = result.Fields[i];
        field.Text = cut.Fields.*texts[i];
        const int32_t column = columns.*kColumnMembers[i];
        // A delimited record's fields have no columns to show.
        if (format.Delimited() || column <= 0 || static_cast<size_t>(column) > line.size())
            continue;
        const int32_t end = cut.FieldEnd(column);
        field.Begin = column - 1;
        field.End = end < 0 ? static_cast<int32_t>(line.size())
                            : std::min(static_cast<int32_t>(line.size()), end);
    }
    return result;
}
