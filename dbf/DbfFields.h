#pragma once
// Field definitions of a table: the descriptor's name, type letter, width and decimal count.
#include <cstdint>
#include <string>
#include <vector>

enum class TFieldType {
    ftUnknown,
    ftString,
    ftSmallint,
    ftInteger,
    ftLargeint,
    ftFloat,
    ftBoolean,
    ftDate,
    ftDateTime,
    ftMemo,
    ftBlob,
    ftDBaseOle,
    ftAutoInc
};

// Names used in "Cannot access field '%s' as type %s".
const char* FieldTypeName(TFieldType type);

class TDbfFieldDef {
public:
    std::string FieldName;
    TFieldType FieldType = TFieldType::ftUnknown;
    char NativeFieldType = 0;
    uint32_t Size = 0;       // value width after normalisation
    uint32_t Precision = 0;  // decimal count
    uint32_t Length = 0;     // bytes the field takes in the record, as the descriptor says
    bool Required = false;
    uint32_t Offset = 0;  // in the record, the deletion flag at 0
    bool Hidden = false;
    int32_t AutoInc = 0;
    std::string DefaultValue, MinValue, MaxValue;

    // Fixes the value kind from the type letter and normalises size and decimals; false for a
    // letter the engine does not know.
    bool SetNativeFieldType(char letter, bool useFloatFields);
    bool IsBlob() const;
    // Bytes actually used for the value: never more than the record slot.
    uint32_t Width() const { return Size < Length ? Size : Length; }
};

class TDbfFieldDefs {
public:
    void Clear() { items_.clear(); }
    TDbfFieldDef& Add() { return items_.emplace_back(); }
    size_t Count() const { return items_.size(); }
    TDbfFieldDef& operator[](size_t i) { return items_[i]; }
    const TDbfFieldDef& operator[](size_t i) const { return items_[i]; }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

private:
    std::vector<TDbfFieldDef> items_;
};
