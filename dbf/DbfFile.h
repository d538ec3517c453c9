#pragma once
// The table file: header and field descriptors, record layout, field value coding, record
// locks for edit and append, and the memo file that belongs to the table.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "dbf/DbfFields.h"
#include "dbf/MemoFile.h"
#include "dbf/PagedFile.h"

enum class TDateTimeHandling { dtDateTime, dtBDETimeStamp };

class TDbfFile : public TPagedFile {
public:
    explicit TDbfFile(std::string fileName);
    ~TDbfFile() override;

    // False when the header gives a record or header length of 0: the open is abandoned.
    bool Open(TPagedFileMode mode, bool useFloatFields, TDateTimeHandling dateTimeHandling);
    void Close();

    void SetRecordSize(uint32_t size) override;
    // Sets the update date, writes the header region and the end-of-file byte.
    void WriteHeader() override;

    int DbfLevel() const { return dbfLevel_; }
    int CodePage() const { return codePage_; }
    TDateTimeHandling DateTimeHandling() const { return dateTimeHandling_; }
    TDbfFieldDefs& FieldDefs() { return fieldDefs_; }
    const TDbfFieldDefs& FieldDefs() const { return fieldDefs_; }
    TMemoFile* MemoFile() { return memoFile_.get(); }
    uint32_t RecordCount() { return CachedRecordCount(); }
    std::vector<uint8_t>& PrevBuffer() { return prevBuffer_; }

    bool LockRecord(uint32_t recNo, bool wait) { return LockPage(recNo, wait); }
    void UnlockRecord(uint32_t recNo) { UnlockPage(recNo); }
    void InitRecord(uint8_t* record) const;
    // Fills "_DBASELOCK" when the table has it.
    void FillLockInfo(uint8_t* record);
    // Removes every record; the table must be open exclusively.
    void Zap();
    // Finds and locks the new record's number, updates the header, writes the record.
    uint32_t Append(uint8_t* record);

    // Raw field values of a record buffer; nullopt is null.
    std::optional<std::string> GetText(const TDbfFieldDef& f, const uint8_t* record) const;
    void SetText(const TDbfFieldDef& f, uint8_t* record, const std::optional<std::string>& v) const;
    std::optional<int64_t> GetInteger(const TDbfFieldDef& f, const uint8_t* record) const;
    void SetInteger(const TDbfFieldDef& f, uint8_t* record, std::optional<int64_t> v) const;
    std::optional<double> GetFloat(const TDbfFieldDef& f, const uint8_t* record) const;
    void SetFloat(const TDbfFieldDef& f, uint8_t* record, std::optional<double> v) const;
    std::optional<bool> GetBoolean(const TDbfFieldDef& f, const uint8_t* record) const;
    void SetBoolean(const TDbfFieldDef& f, uint8_t* record, std::optional<bool> v) const;
    std::optional<TDateTime> GetDateTime(const TDbfFieldDef& f, const uint8_t* record) const;
    void SetDateTime(const TDbfFieldDef& f, uint8_t* record, std::optional<TDateTime> v) const;
    uint32_t GetBlockNo(const TDbfFieldDef& f, const uint8_t* record) const;
    void SetBlockNo(const TDbfFieldDef& f, uint8_t* record, uint32_t blockNo) const;

private:
    void ReadFieldDefs(bool useFloatFields);

    int dbfLevel_ = 0;
    int codePage_ = 0;
    TDbfFieldDefs fieldDefs_;
    std::unique_ptr<TMemoFile> memoFile_;
    std::vector<uint8_t> prevBuffer_;
    bool hasLockField_ = false;
    uint32_t lockFieldOffset_ = 0;
    uint32_t lockFieldLength_ = 0;
    uint32_t lockUserLength_ = 0;
    TDateTimeHandling dateTimeHandling_ = TDateTimeHandling::dtBDETimeStamp;
};
