#pragma once
// The table as a record set: open and close, a cursor over the live records, the current
// record, field access by name, edit, insert, post and cancel, and the translation between the
// table's code page and the system's ANSI code page.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "common/Errors.h"
#include "dbf/CodePages.h"
#include "dbf/DbfFields.h"
#include "dbf/DbfFile.h"

// Shared by every table: the system's code pages and the computer name for lock information.
class TDbfCodePages {
public:
    static TDbfCodePages& Instance();
    int OemCodePage() const { return oemCodePage_; }
    int AnsiCodePage() const { return ansiCodePage_; }
    bool CodePageSupported(int codePage) const;
    const std::string& ComputerName() const { return computerName_; }

private:
    TDbfCodePages();
    int oemCodePage_;
    int ansiCodePage_;
    std::string computerName_;
    mutable std::map<int, bool> supported_;
};

// Physical record number: 0 before the first record, count + 1 after the last.
class TDbfCursor {
public:
    uint32_t PhysicalRecNo() const { return recNo_; }
    void SetPhysicalRecNo(uint32_t recNo) { recNo_ = recNo; }
    void First() { recNo_ = 0; }

private:
    uint32_t recNo_ = 0;
};

enum class TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert };

class TDbfTable;

// A field of the open record set, read and assigned in the current record.
class TDbfField {
public:
    TDbfField(TDbfTable& owner, size_t defIndex, std::string name)
        : owner_(&owner), defIndex_(defIndex), name_(std::move(name)) {}

    const std::string& FieldName() const { return name_; }
    const TDbfFieldDef& Def() const;
    TFieldType DataType() const { return Def().FieldType; }

    bool IsNull() const;
    std::string AsString() const;
    int32_t AsInteger() const;
    int64_t AsLargeInt() const;
    bool AsBoolean() const;
    double AsFloat() const;
    TDateTime AsDateTime() const;

    void SetAsString(const std::string& value);
    void SetAsInteger(int64_t value);
    void SetAsBoolean(bool value);
    void SetAsFloat(double value);
    void SetAsDateTime(TDateTime value);
    void Clear();

private:
    [[noreturn]] void AccessError(const char* typeName) const;
    bool IsIntegerKind() const;
    void CheckModifiable() const;

    TDbfTable* owner_;
    size_t defIndex_;
    std::string name_;
};

class TDbfTable {
public:
    TDbfTable();
    ~TDbfTable();
    TDbfTable(const TDbfTable&) = delete;
    TDbfTable& operator=(const TDbfTable&) = delete;

    // A directory; an absolute one is kept, a relative one is taken from the executable's.
    void SetFilePath(std::string dir);
    std::string FilePath() const { return filePath_; }
    // The resolved directory, ending in "/".
    std::string AbsolutePath() const;
    // A name with a directory part sets FilePath from it.
    void SetTableName(std::string name);
    const std::string& TableName() const { return tableName_; }
    void SetUseFloatFields(bool value);
    void SetDateTimeHandling(TDateTimeHandling value);
    void SetReadOnly(bool value);
    void SetExclusive(bool value);
    void SetShowDeleted(bool value);
    bool ReadOnly() const { return readOnly_; }

    void Open();
    void Close();
    bool Active() const { return state_ != TDataSetState::dsInactive; }
    TDataSetState State() const { return state_; }

    // No live record to stand on.
    bool IsEmpty() const;
    void First();
    void Next();
    bool Eof() const { return eof_; }
    // Physical records in the file, deleted ones included.
    uint32_t RecordCount() const;
    // The records the header counts: more than RecordCount() in a file cut short (opening it
    // for writing sets the header to what the file holds).
    uint32_t HeaderRecordCount() const;
    uint32_t PhysicalRecNo() const { return currentRecNo_; }

    void Edit();
    void Insert();
    void Append() { Insert(); }
    void Post();
    void Cancel();
    // Removes every record (memo blocks stay); needs the table open exclusively.
    void Zap();

    TDbfField& FieldByName(const std::string& name);
    TDbfField* FindField(const std::string& name);
    // The visible fields in table order.
    std::vector<TDbfField>& Fields() { return fields_; }
    int TableLevel() const { return tableLevel_; }
    TTranslationMode TranslationMode() const { return translationMode_; }
    TDbfFile* DbfFile() { return file_.get(); }

private:
    friend class TDbfField;

    void CheckInactive() const;
    void CheckActive() const;
    void CheckWritable() const;
    void CheckEditing() const;
    bool MoveForward();
    void LoadCurrent();
    void WritePendingMemos();
    std::string ReadMemoText(size_t defIndex) const;

    std::string filePath_;
    std::string tableName_;
    bool readOnly_ = false;
    bool exclusive_ = false;
    bool showDeleted_ = false;
    bool useFloatFields_ = true;
    TDateTimeHandling dateTimeHandling_ = TDateTimeHandling::dtBDETimeStamp;

    std::unique_ptr<TDbfFile> file_;
    TDbfCursor cursor_;
    TDataSetState state_ = TDataSetState::dsInactive;
    int64_t editingRecNo_ = -1;
    int tableLevel_ = 0;
    TTranslationMode translationMode_ = TTranslationMode::tmNone;
    std::vector<uint8_t> record_;
    uint32_t currentRecNo_ = 0;
    bool eof_ = true;
    std::vector<TDbfField> fields_;
    // Memo texts assigned in the current edit, written at post so that cancel loses nothing.
    std::map<size_t, std::string> pendingMemos_;
};
