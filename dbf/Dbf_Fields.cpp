#include "dbf/Dbf_Fields.h"

#include <algorithm>

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
        case 'L':
            FieldType = TFieldType::ftBoolean;
            Size = 1;
            break;
        case 'D':
            FieldType = TFieldType::ftDate;
            Size = 8;
            break;
        case 'M':
            FieldType = TFieldType::ftMemo;
            Size = 10;
            break;
        case 'B':
            FieldType = TFieldType::ftBlob;
            Size = 10;
            break;
        case 'G':
            FieldType = TFieldType::ftDBaseOle;
            Size = 10;
            break;
        case 'I':
            FieldType = TFieldType::ftInteger;
            Size = 4;
            break;
        case '+':
            FieldType = TFieldType::ftAutoInc;
            Size = 4;
            break;
        case 'O':
            FieldType = TFieldType::ftFloat;
            Size = 8;
            break;
        case '@':
            FieldType = TFieldType::ftDateTime;
            Size = 8;
            break;
        case 'T':
            FieldType = TFieldType::ftDateTime;
            break;
        default:
            FieldType = TFieldType::ftUnknown;
            return false;
    }
    if (!keepsDecimals) Precision = 0;
    return true;
}

bool TDbfFieldDef::IsBlob() const {
    return NativeFieldType == 'M' || NativeFieldType == 'B' || NativeFieldType == 'G';
}
