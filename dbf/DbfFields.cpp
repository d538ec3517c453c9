#include "dbf/DbfFields.h"

#include <algorithm>
#include <iterator>

const char* FieldTypeName(TFieldType type) {
    switch (type) {
        case TFieldType::ftString:
            return "String";
        case TFieldType::ftSmallint:
            return "SmallInt";
        case TFieldType::ftInteger:
            return "Integer";
        case TFieldType::ftLargeint:
            return "LargeInt";
        case TFieldType::ftFloat:
            return "Float";
        case TFieldType::ftBoolean:
            return "Boolean";
        case TFieldType::ftDate:
            return "Date";
        case TFieldType::ftDateTime:
            return "DateTime";
        case TFieldType::ftMemo:
            return "Memo";
        case TFieldType::ftBlob:
            return "Blob";
        case TFieldType::ftDBaseOle:
            return "DBaseOle";
        case TFieldType::ftAutoInc:
            return "AutoInc";
        case TFieldType::ftUnknown:
            break;
    }
    return "Unknown";
}

namespace {

// Letters that fix both the value kind and the width, whatever the descriptor says.
struct TFixedField {
    char Letter;
    TFieldType Type;
    uint32_t Size;
};
constexpr TFixedField kFixedFields[] = {
    {'L', TFieldType::ftBoolean, 1},   {'D', TFieldType::ftDate, 8},
    {'M', TFieldType::ftMemo, 10},     {'B', TFieldType::ftBlob, 10},
    {'G', TFieldType::ftDBaseOle, 10}, {'I', TFieldType::ftInteger, 4},
    {'+', TFieldType::ftAutoInc, 4},   {'O', TFieldType::ftFloat, 8},
    {'@', TFieldType::ftDateTime, 8},
};

}  // namespace

bool TDbfFieldDef::SetNativeFieldType(char letter, bool useFloatFields) {
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    NativeFieldType = letter;
    bool keepsDecimals = false;
    switch (letter) {
        case 'C':
            FieldType = TFieldType::ftString;
            Size = std::min<uint32_t>(Size, 254);
            break;
        case 'N':
        case 'F':
            Size = std::min<uint32_t>(Size, 20);
            Precision = Size >= 2 ? std::min(Precision, Size - 2) : 0;
            keepsDecimals = true;
            if (Precision > 0 || (useFloatFields && Size >= 5)) {
                FieldType = TFieldType::ftFloat;
            } else if (Size <= 4) {
                FieldType = TFieldType::ftSmallint;
            } else if (Size <= 9) {
                FieldType = TFieldType::ftInteger;
            } else {
                FieldType = TFieldType::ftLargeint;
            }
            break;
        case 'T':
            FieldType = TFieldType::ftDateTime;
            break;
        default: {
            const auto fixed =
                std::find_if(std::begin(kFixedFields), std::end(kFixedFields),
                             [letter](const TFixedField& f) { return f.Letter == letter; });
            if (fixed == std::end(kFixedFields)) {
                FieldType = TFieldType::ftUnknown;
                return false;
            }
            FieldType = fixed->Type;
            Size = fixed->Size;
        }
    }
    if (!keepsDecimals) Precision = 0;
    return true;
}

bool TDbfFieldDef::IsBlob() const {
    return NativeFieldType == 'M' || NativeFieldType == 'B' || NativeFieldType == 'G';
}
