#pragma once
// The settings holder TRecorder: the settings, the active template, the record assembler and
// parser, and the storage of each received call line.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/DateTime.h"
#include "config/StationSettings.h"

struct TRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
};

class TFbStatement;
class TTableColumns;

// The thirteen field texts of the current line, in extraction order, and what the template's
// direction makes of it.
struct TFieldTexts {
    std::string Day, Mont, Year, Hour, Min, Sec, AmPm, Line, TimeHour, TimeMin, TimeSec, NumberIn,
        NumberOut;
    std::string Direction;  // as printed, trimmed
    bool Incoming = false;  // the direction text begins with one of the template's marks
    std::string Caller;     // an incoming call's number (digits), empty when not printed
};

// What the record end makes of a line.
enum class TLineVerdict {
    Store,     // a call the rules keep
    Blank,     // nothing but blanks and control characters
    Filtered,  // a call the rules drop
    BadDate,   // not a call: the template reads a date-time from it that does not exist
    NotCall,   // a line the template marks as no call (a page header, a log-in notice)
};

// The values the INSERT binds for a call, in its parameters' order (P0 to P12).
// Caller (P13) follows where the table has that column.
struct TRingRow {
    int32_t Values[11] = {};
    std::string NumberOut;
    TDateTime RingDate = 0;
    std::optional<std::string> Caller;
};

class TRecorder : public TStationSettings {
public:
    TRecorder();
    virtual ~TRecorder() = default;
    TRecorder(const TRecorder&) = delete;
    TRecorder& operator=(const TRecorder&) = delete;

    // Assembler (one received character at a time) and parser.
    void PutChar(char c);
    void ClearRecord();
    void SplitLine();
    int32_t FieldEnd(int32_t column) const;
    std::string GetDigits(int32_t column, bool skipLeading) const;
    std::string SpanText(int32_t column) const;  // AmPm: the span, trimmed
    // The call's start: the printed date-time with the year completed, moved back by the talk
    // time when the template prints the end, and from UTC to local time when it prints UTC.
    TDateTime RingDateTime() const;
    // The talk time in seconds from the TimeHour, TimeMin and TimeSec texts.
    int64_t TalkSeconds() const;
    // The hour the INSERT binds: the Hour text's value with the twelve-hour correction.
    int32_t CorrectedHour() const;
    // Twelve-hour clock: with an AmPm column and a number in the Hour text, "PM" moves hours 1 to
    // 11 on by twelve and "AM" makes 12 midnight.
    int TwelveHourCorrected(int hour) const;

    // Storage of the current line (record end) and its filtering.
    bool StoreRing();
    // Splits RingText and decides what it is, with the values its row would get.
    TLineVerdict JudgeLine(TRingRow& row);
    // Whether the template reads the call's date from the line (day and month; without a year
    // column the year is the clock's): then a line without a real date-time where the template
    // reads it is noise, not a call.
    bool ReadsDate() const { return Day > 0 && Mont > 0; }
    // The statement "INSERT INTO Rings ..." and the binding of a row to it; the second statement
    // also fills Caller, for tables that have it.
    static const char* const kInsertRing;
    static const char* const kInsertRingCaller;
    // The same with the line's source after the row's values: :Station, :File, :Pos.
    static const char* const kInsertRingFrom;
    // The INSERT for the columns the table has: the row's, Caller (P13), then the source.
    static const char* InsertRingSql(bool withCaller, bool withSource);
    static void BindRing(TFbStatement& sql, const TRingRow& row, bool withCaller = false);
    // The columns the INSERT writes, in its parameters' order.
    static const char* const kRingColumns[13];
    // Why Rings, as the database describes it, cannot take the row; empty when it can.
    static std::string RowRefused(const TRingRow& row, const TTableColumns& rings);

    // Configuration.
    bool LoadTemplate();
    bool LoadSettings();
    void SaveSettings();
    void LoadConfiguration();
    // mail.ini in ProgramDir: written only when it exists or holds more than plain mail.
    void SaveMailSettings();
    // db.ini in ProgramDir: written only when it exists or the login is not the defaults.
    void SaveDbLogin();
    bool NeedTimer() const { return SendMail || NeedARight || NeedSilenc || ReportMailOn; }
    // What the loaded template leaves out (keys read as 0, no date), for the start's log.
    std::vector<std::string> TemplateNotes;

    bool ConfigLoaded = false;
    // Why the settings table or the template did not load, naming the file; empty when they did.
    std::string LoadProblem;

    std::string RingText;
    TFieldTexts Fields;

    TDateTime LastRingDate = 0;
    TDateTime LastRunDate = 0;
    // Whether the latest record end committed its row (a row whose commit failed is not stored).
    bool LineCommitted = false;
    bool DBConnected = false;
    TRect WorkArea;

    // A garbage stream at a wrong baud rate cannot grow a line without limit.
    static constexpr size_t kMaxLine = kMaxCallLine;

protected:
    // The carriage return's branch: store the line in a transaction of its own. Overridden
    // by tools that only split lines.
    virtual void RecordEnd();

private:
    static constexpr size_t kKeyColumns = 17;
    // The positive columns of every key; their count.
    size_t ColumnList(int32_t (&out)[kKeyColumns]) const;
    std::string_view KeyText(int32_t column, int32_t place) const;
    void CutFields();
    // A delimited line's fields, unquoted; buffers kept from line to line.
    std::vector<std::string> Cells;
    size_t CellCount = 0;
    // While a fixed line is split: its columns in order (StopCount -1 otherwise).
    int32_t Stops[kKeyColumns] = {};
    int StopCount = -1;
};

// How the columns cut a line, as the record end would; nothing is stored.
TLineCut CutLine(const TTemplateColumns& columns, const TTemplateFormat& format,
                 const std::string& line);

// The numeric value of a field text: its decimal value, 0 when empty or above 2147483647.
int32_t FieldValue(const std::string& text);
bool FieldHasValue(const std::string& text);
