#include "dbf/DbfTable.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "common/Text.h"
#include "platform/CodePage.h"
#include "platform/FileShare.h"
#include "platform/ProgramDir.h"

namespace {

bool IsIntegerType(TFieldType t) {
    return t == TFieldType::ftSmallint || t == TFieldType::ftInteger ||
           t == TFieldType::ftLargeint || t == TFieldType::ftAutoInc;
}

std::optional<double> ParseFloat(std::string_view s) {
    std::string t(Trim(s));
    for (char& c : t) {
        if (c == ',') c = '.';
    }
    std::string_view v(t);
    if (!v.empty() && v.front() == '+') v.remove_prefix(1);
    double d = 0;
    const auto r = std::from_chars(v.data(), v.data() + v.size(), d);
    if (v.empty() || r.ec != std::errc() || r.ptr != v.data() + v.size()) return std::nullopt;
    return d;
}

std::string FloatToStr(double v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 15);
    return std::string(buf, r.ptr);
}

// dd.mm.yyyy with an optional hh:nn or hh:nn:ss after a blank.
std::optional<TDateTime> ParseDateTime(std::string_view s) {
    const std::string t = Trim(s);
    int d = 0, m = 0, y = 0, hh = 0, nn = 0, ss = 0;
    char tail = 0;
    const int n = std::sscanf(t.c_str(), "%d.%d.%d %d:%d:%d%c", &d, &m, &y, &hh, &nn, &ss, &tail);
    if (n < 3 || n == 4 || n == 7) return std::nullopt;
    TDateTime date = 0, time = 0;
    if (!TryEncodeDate(y, m, d, date) || !TryEncodeTime(hh, nn, ss, 0, time)) return std::nullopt;
    return date + time;
}

}  // namespace

// --- TDbfCodePages ---------------------------------------------------------------------------

TDbfCodePages& TDbfCodePages::Instance() {
    static TDbfCodePages globals;
    return globals;
}

TDbfCodePages::TDbfCodePages()
    : oemCodePage_(platform::kOemCodePage),
      ansiCodePage_(platform::kAnsiCodePage),
      computerName_(platform::ComputerName()) {}

bool TDbfCodePages::CodePageSupported(int codePage) const {
    const auto it = supported_.find(codePage);
    if (it != supported_.end()) return it->second;
    return supported_[codePage] = platform::CodePageSupported(codePage);
}

// --- TDbfField -----------------------------------------------------------------------------

const TDbfFieldDef& TDbfField::Def() const {
    return owner_->file_->FieldDefs()[defIndex_];
}

void TDbfField::AccessError(const char* typeName) const {
    throw EDbfError("Cannot access field '" + name_ + "' as type " + typeName);
}

bool TDbfField::IsIntegerKind() const {
    return IsIntegerType(Def().FieldType);
}

void TDbfField::CheckModifiable() const {
    owner_->CheckEditing();
    if (Def().FieldType == TFieldType::ftAutoInc) {
        throw EDbfError("Field '" + name_ + "' cannot be modified");
    }
}

bool TDbfField::IsNull() const {
    const TDbfFieldDef& f = Def();
    const TDbfFile& file = *owner_->file_;
    const uint8_t* rec = owner_->record_.data();
    switch (f.FieldType) {
        case TFieldType::ftString:
            return !file.GetText(f, rec).has_value();
        case TFieldType::ftFloat:
            return !file.GetFloat(f, rec).has_value();
        case TFieldType::ftBoolean:
            return !file.GetBoolean(f, rec).has_value();
        case TFieldType::ftDate:
        case TFieldType::ftDateTime:
            return !file.GetDateTime(f, rec).has_value();
        case TFieldType::ftMemo:
        case TFieldType::ftBlob:
        case TFieldType::ftDBaseOle: {
            const auto it = owner_->pendingMemos_.find(defIndex_);
            if (it != owner_->pendingMemos_.end()) return it->second.empty();
            return file.GetBlockNo(f, rec) == 0;
        }
        default:
            return !file.GetInteger(f, rec).has_value();
    }
}

std::string TDbfField::AsString() const {
    const TDbfFieldDef& f = Def();
    const TDbfFile& file = *owner_->file_;
    const uint8_t* rec = owner_->record_.data();
    switch (f.FieldType) {
        case TFieldType::ftString: {
            const auto v = file.GetText(f, rec);
            return v ? TranslateToAnsi(owner_->translationMode_, file.CodePage(), *v) : "";
        }
        case TFieldType::ftFloat: {
            const auto v = file.GetFloat(f, rec);
            return v ? FloatToStr(*v) : "";
        }
        case TFieldType::ftBoolean: {
            const auto v = file.GetBoolean(f, rec);
            return v ? (*v ? "True" : "False") : "";
        }
        case TFieldType::ftDate: {
            const auto v = file.GetDateTime(f, rec);
            return v ? DateToStr(*v) : "";
        }
        case TFieldType::ftDateTime: {
            const auto v = file.GetDateTime(f, rec);
            return v ? FormatDateTime("dd.mm.yyyy hh:nn:ss", *v) : "";
        }
        case TFieldType::ftMemo:
        case TFieldType::ftBlob:
        case TFieldType::ftDBaseOle:
            return owner_->ReadMemoText(defIndex_);
        default: {
            const auto v = file.GetInteger(f, rec);
            return v ? std::to_string(*v) : "";
        }
    }
}

int64_t TDbfField::AsLargeInt() const {
    const TDbfFieldDef& f = Def();
    const TDbfFile& file = *owner_->file_;
    const uint8_t* rec = owner_->record_.data();
    if (IsIntegerKind()) return file.GetInteger(f, rec).value_or(0);
    if (f.FieldType == TFieldType::ftFloat) {
        const double v = file.GetFloat(f, rec).value_or(0);
        return std::isfinite(v) && std::fabs(v) < 9.2e18 ? std::llround(v) : 0;
    }
    if (f.FieldType == TFieldType::ftString) {
        const auto v = file.GetText(f, rec);
        if (!v) return 0;
        const std::string text = TranslateToAnsi(owner_->translationMode_, file.CodePage(), *v);
        const auto parsed = TryStrToInt(text);
        if (!parsed) throw EDbfError("'" + text + "' is not a valid integer value");
        return *parsed;
    }
    AccessError("Integer");
}

int32_t TDbfField::AsInteger() const {
    return static_cast<int32_t>(AsLargeInt());
}

bool TDbfField::AsBoolean() const {
    const TDbfFieldDef& f = Def();
    const TDbfFile& file = *owner_->file_;
    const uint8_t* rec = owner_->record_.data();
    if (f.FieldType == TFieldType::ftBoolean) return file.GetBoolean(f, rec).value_or(false);
    if (f.FieldType == TFieldType::ftString) {
        const auto v = file.GetText(f, rec);
        if (!v) return false;
        const char c = (*v)[0];
        return c == 'T' || c == 't' || c == 'Y' || c == 'y';
    }
    AccessError("Boolean");
}

double TDbfField::AsFloat() const {
    const TDbfFieldDef& f = Def();
    const TDbfFile& file = *owner_->file_;
    const uint8_t* rec = owner_->record_.data();
    if (f.FieldType == TFieldType::ftFloat) return file.GetFloat(f, rec).value_or(0);
    if (IsIntegerKind()) return static_cast<double>(file.GetInteger(f, rec).value_or(0));
    if (f.FieldType == TFieldType::ftDate || f.FieldType == TFieldType::ftDateTime) {
        return file.GetDateTime(f, rec).value_or(0);
    }
    if (f.FieldType == TFieldType::ftString) {
        const std::string text = AsString();
        if (text.empty()) return 0;
        const auto v = ParseFloat(text);
        if (!v) throw EDbfError("'" + text + "' is not a valid floating point value");
        return *v;
    }
    AccessError("Float");
}

TDateTime TDbfField::AsDateTime() const {
    const TDbfFieldDef& f = Def();
    if (f.FieldType == TFieldType::ftDate || f.FieldType == TFieldType::ftDateTime) {
        return owner_->file_->GetDateTime(f, owner_->record_.data()).value_or(0);
    }
    if (f.FieldType == TFieldType::ftString) {
        const std::string text = AsString();
        if (text.empty()) return 0;
        const auto v = ParseDateTime(text);
        if (!v) throw EDbfError("'" + text + "' is not a valid date");
        return *v;
    }
    AccessError("DateTime");
}

void TDbfField::SetAsString(const std::string& value) {
    CheckModifiable();
    const TDbfFieldDef& f = Def();
    TDbfFile& file = *owner_->file_;
    uint8_t* rec = owner_->record_.data();
    switch (f.FieldType) {
        case TFieldType::ftString: {
            if (value.empty()) {
                file.SetText(f, rec, std::nullopt);
                return;
            }
            const std::string cut = value.substr(0, f.Width());
            file.SetText(f, rec, TranslateFromAnsi(owner_->translationMode_, file.CodePage(), cut));
            return;
        }
        case TFieldType::ftMemo:
        case TFieldType::ftBlob:
        case TFieldType::ftDBaseOle:
            owner_->pendingMemos_[defIndex_] = value;
            return;
        default:
            break;
    }
    if (Trim(value).empty()) {
        Clear();
        return;
    }
    switch (f.FieldType) {
        case TFieldType::ftFloat: {
            const auto v = ParseFloat(value);
            if (!v) throw EDbfError("'" + value + "' is not a valid floating point value");
            file.SetFloat(f, rec, *v);
            return;
        }
        case TFieldType::ftBoolean: {
            const std::string u = UpperCase1251(Trim(value));
            if (u == "T" || u == "TRUE" || u == "Y" || u == "YES") {
                file.SetBoolean(f, rec, true);
            } else if (u == "F" || u == "FALSE" || u == "N" || u == "NO") {
                file.SetBoolean(f, rec, false);
            } else {
                throw EDbfError("'" + value + "' is not a valid boolean value");
            }
            return;
        }
        case TFieldType::ftDate:
        case TFieldType::ftDateTime: {
            const auto v = ParseDateTime(value);
            if (!v) throw EDbfError("'" + value + "' is not a valid date");
            file.SetDateTime(f, rec, *v);
            return;
        }
        default: {
            const auto v = TryStrToInt64(Trim(value));
            if (!v) throw EDbfError("'" + value + "' is not a valid integer value");
            file.SetInteger(f, rec, *v);
            return;
        }
    }
}

void TDbfField::SetAsInteger(int64_t value) {
    const TDbfFieldDef& f = Def();
    if (f.FieldType == TFieldType::ftString) {
        SetAsString(std::to_string(value));
        return;
    }
    if (IsIntegerKind()) {
        CheckModifiable();
        owner_->file_->SetInteger(f, owner_->record_.data(), value);
        return;
    }
    if (f.FieldType == TFieldType::ftFloat) {
        CheckModifiable();
        owner_->file_->SetFloat(f, owner_->record_.data(), static_cast<double>(value));
        return;
    }
    AccessError("Integer");
}

void TDbfField::SetAsBoolean(bool value) {
    const TDbfFieldDef& f = Def();
    if (f.FieldType == TFieldType::ftString) {
        SetAsString(value ? "T" : "F");
        return;
    }
    if (f.FieldType == TFieldType::ftBoolean) {
        CheckModifiable();
        owner_->file_->SetBoolean(f, owner_->record_.data(), value);
        return;
    }
    AccessError("Boolean");
}

void TDbfField::SetAsFloat(double value) {
    const TDbfFieldDef& f = Def();
    if (f.FieldType == TFieldType::ftFloat) {
        CheckModifiable();
        owner_->file_->SetFloat(f, owner_->record_.data(), value);
        return;
    }
    if (IsIntegerKind()) {
        if (!std::isfinite(value) || std::fabs(value) >= 9.2e18) {
            throw EDbfError("Value does not fit in field '" + name_ + "'.");
        }
        SetAsInteger(std::llround(value));
        return;
    }
    if (f.FieldType == TFieldType::ftString) {
        SetAsString(FloatToStr(value));
        return;
    }
    AccessError("Float");
}

void TDbfField::SetAsDateTime(TDateTime value) {
    const TDbfFieldDef& f = Def();
    if (f.FieldType == TFieldType::ftDate || f.FieldType == TFieldType::ftDateTime) {
        CheckModifiable();
        owner_->file_->SetDateTime(f, owner_->record_.data(), value);
        return;
    }
    if (f.FieldType == TFieldType::ftString) {
        SetAsString(FormatDateTime("dd.mm.yyyy hh:nn:ss", value));
        return;
    }
    AccessError("DateTime");
}

void TDbfField::Clear() {
    CheckModifiable();
    const TDbfFieldDef& f = Def();
    TDbfFile& file = *owner_->file_;
    uint8_t* rec = owner_->record_.data();
    switch (f.FieldType) {
        case TFieldType::ftString:
            file.SetText(f, rec, std::nullopt);
            break;
        case TFieldType::ftFloat:
            file.SetFloat(f, rec, std::nullopt);
            break;
        case TFieldType::ftBoolean:
            file.SetBoolean(f, rec, std::nullopt);
            break;
        case TFieldType::ftDate:
        case TFieldType::ftDateTime:
            file.SetDateTime(f, rec, std::nullopt);
            break;
        case TFieldType::ftMemo:
        case TFieldType::ftBlob:
        case TFieldType::ftDBaseOle:
            owner_->pendingMemos_[defIndex_].clear();
            break;
        default:
            file.SetInteger(f, rec, std::nullopt);
            break;
    }
}

// --- TDbfTable ----------------------------------------------------------------------------------

TDbfTable::TDbfTable() {
    TDbfCodePages::Instance();
}

TDbfTable::~TDbfTable() {
    try {
        Close();
    } catch (...) {
        // Closing always releases the file; a failed final header write cannot be reported.
    }
}

void TDbfTable::CheckInactive() const {
    if (Active()) throw EDbfError("Cannot perform this operation on an open dataset");
}

void TDbfTable::CheckActive() const {
    if (!Active()) throw EDbfError("Cannot perform this operation on a closed dataset");
}

void TDbfTable::CheckWritable() const {
    CheckActive();
    if (readOnly_ || translationMode_ == TTranslationMode::tmRefused) {
        throw EDbfError("Cannot modify a read-only dataset");
    }
}

void TDbfTable::CheckEditing() const {
    if (state_ != TDataSetState::dsEdit && state_ != TDataSetState::dsInsert) {
        throw EDbfError("Dataset not in edit or insert mode");
    }
}

void TDbfTable::SetFilePath(std::string dir) {
    CheckInactive();
    filePath_ = std::move(dir);
}

std::string TDbfTable::AbsolutePath() const {
    std::string dir = filePath_;
    if (dir.empty()) return platform::ProgramDir();
    if (dir.back() != '/') dir += '/';
    if (dir.front() == '/') return dir;
    std::string full =
        std::filesystem::path(platform::ProgramDir() + dir).lexically_normal().string();
    if (full.empty() || full.back() != '/') full += '/';
    return full;
}

void TDbfTable::SetTableName(std::string name) {
    CheckInactive();
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos) {
        filePath_ = name.substr(0, slash + 1);
        name.erase(0, slash + 1);
    }
    tableName_ = std::move(name);
}

void TDbfTable::SetUseFloatFields(bool value) {
    CheckInactive();
    useFloatFields_ = value;
}
void TDbfTable::SetDateTimeHandling(TDateTimeHandling value) {
    CheckInactive();
    dateTimeHandling_ = value;
}
void TDbfTable::SetReadOnly(bool value) {
    CheckInactive();
    readOnly_ = value;
}
void TDbfTable::SetExclusive(bool value) {
    CheckInactive();
    exclusive_ = value;
}
void TDbfTable::SetShowDeleted(bool value) {
    CheckInactive();
    showDeleted_ = value;
}

void TDbfTable::Open() {
    if (Active()) return;
    const TPagedFileMode mode = readOnly_    ? TPagedFileMode::pfReadOnly
                                : exclusive_ ? TPagedFileMode::pfExclusiveOpen
                                             : TPagedFileMode::pfReadWriteOpen;
    auto file = std::make_unique<TDbfFile>(platform::FileInDir(AbsolutePath(), tableName_));
    if (!file->Open(mode, useFloatFields_, dateTimeHandling_)) return;
    file_ = std::move(file);
    tableLevel_ = file_->DbfLevel();
    translationMode_ = TranslationModeFor(file_->CodePage());
    fields_.clear();
    const TDbfFieldDefs& defs = file_->FieldDefs();
    for (size_t i = 0; i < defs.Count(); ++i) {
        if (defs[i].Hidden) continue;
        std::string name = defs[i].FieldName;
        for (int n = 2; FindField(name) != nullptr; ++n) {
            name = defs[i].FieldName + std::to_string(n);
        }
        fields_.emplace_back(*this, i, name);
    }
    record_.assign(file_->RecordSize(), ' ');
    state_ = TDataSetState::dsBrowse;
    try {
        First();
    } catch (...) {
        Close();
        throw;
    }
}

void TDbfTable::Close() {
    if (!Active()) return;
    state_ = TDataSetState::dsInactive;
    editingRecNo_ = -1;
    pendingMemos_.clear();
    fields_.clear();
    currentRecNo_ = 0;
    eof_ = true;
    cursor_.First();
    std::unique_ptr<TDbfFile> file = std::move(file_);
    file->Close();
}

uint32_t TDbfTable::RecordCount() const {
    return Active() ? file_->RecordCount() : 0;
}

uint32_t TDbfTable::HeaderRecordCount() const {
    if (!Active()) return 0;
    const std::vector<uint8_t>& h = file_->Header();
    return h.size() < 8
               ? 0
               : uint32_t(h[4]) | uint32_t(h[5]) << 8 | uint32_t(h[6]) << 16 | uint32_t(h[7]) << 24;
}

bool TDbfTable::IsEmpty() const {
    return !Active() || (state_ != TDataSetState::dsInsert && currentRecNo_ == 0);
}

bool TDbfTable::MoveForward() {
    const uint32_t count = file_->RecordCount();
    while (cursor_.PhysicalRecNo() < count) {
        cursor_.SetPhysicalRecNo(cursor_.PhysicalRecNo() + 1);
        std::vector<uint8_t> buf(file_->RecordSize());
        if (file_->ReadRecord(cursor_.PhysicalRecNo(), buf.data()) <
            static_cast<int64_t>(buf.size())) {
            break;
        }
        if (!showDeleted_ && buf[0] == '*') continue;
        record_ = std::move(buf);
        currentRecNo_ = cursor_.PhysicalRecNo();
        return true;
    }
    cursor_.SetPhysicalRecNo(count + 1);
    return false;
}

void TDbfTable::LoadCurrent() {
    if (currentRecNo_ == 0 ||
        file_->ReadRecord(currentRecNo_, record_.data()) < static_cast<int64_t>(record_.size())) {
        file_->InitRecord(record_.data());
    }
}

void TDbfTable::First() {
    CheckActive();
    if (state_ != TDataSetState::dsBrowse) Post();
    cursor_.First();
    currentRecNo_ = 0;
    eof_ = !MoveForward();
    if (eof_) file_->InitRecord(record_.data());
}

void TDbfTable::Next() {
    CheckActive();
    if (state_ != TDataSetState::dsBrowse) Post();
    if (currentRecNo_ == 0) {
        eof_ = true;
        return;
    }
    cursor_.SetPhysicalRecNo(currentRecNo_);
    const std::vector<uint8_t> keep = record_;
    if (!MoveForward()) {
        eof_ = true;
        record_ = keep;
    }
}

void TDbfTable::Edit() {
    CheckWritable();
    if (state_ != TDataSetState::dsBrowse) return;
    if (currentRecNo_ == 0) {
        Insert();
        return;
    }
    editingRecNo_ = currentRecNo_;
    if (!file_->LockRecord(currentRecNo_, false)) {
        editingRecNo_ = -1;
        throw EDbfError("Record locked.");
    }
    try {
        // Start from what is on disk now, not from what was read when browsing.
        if (file_->ReadRecord(currentRecNo_, record_.data()) <
            static_cast<int64_t>(record_.size())) {
            throw EDbfError("Record " + std::to_string(currentRecNo_) + " is no longer in " +
                            file_->FileName());
        }
        file_->PrevBuffer() = record_;
        file_->FillLockInfo(record_.data());
        if (record_ != file_->PrevBuffer()) file_->WriteRecord(currentRecNo_, record_.data());
    } catch (...) {
        file_->UnlockRecord(currentRecNo_);
        editingRecNo_ = -1;
        LoadCurrent();
        throw;
    }
    pendingMemos_.clear();
    state_ = TDataSetState::dsEdit;
}

void TDbfTable::Insert() {
    CheckWritable();
    if (state_ != TDataSetState::dsBrowse) Post();
    file_->InitRecord(record_.data());
    pendingMemos_.clear();
    state_ = TDataSetState::dsInsert;
}

std::string TDbfTable::ReadMemoText(size_t defIndex) const {
    const TDbfFieldDef& f = file_->FieldDefs()[defIndex];
    const auto it = pendingMemos_.find(defIndex);
    if (it != pendingMemos_.end()) return it->second;
    TMemoFile* memo = file_->MemoFile();
    const uint32_t block = file_->GetBlockNo(f, record_.data());
    if (memo == nullptr || block == 0) return {};
    const std::string raw = memo->ReadMemo(block);
    return f.NativeFieldType == 'M' ? TranslateToAnsi(translationMode_, file_->CodePage(), raw)
                                    : raw;
}

void TDbfTable::WritePendingMemos() {
    TMemoFile* memo = file_->MemoFile();
    for (const auto& [index, text] : pendingMemos_) {
        const TDbfFieldDef& f = file_->FieldDefs()[index];
        const uint32_t oldBlock = file_->GetBlockNo(f, record_.data());
        const size_t oldLength =
            memo != nullptr && oldBlock != 0 ? memo->ReadMemo(oldBlock).size() : 0;
        const std::string stored =
            f.NativeFieldType == 'M' ? TranslateFromAnsi(translationMode_, file_->CodePage(), text)
                                     : text;
        const uint32_t block = memo == nullptr ? 0 : memo->WriteMemo(oldBlock, oldLength, stored);
        file_->SetBlockNo(f, record_.data(), block);
    }
    pendingMemos_.clear();
}

void TDbfTable::Post() {
    CheckActive();
    if (state_ == TDataSetState::dsEdit) {
        WritePendingMemos();
        file_->WriteRecord(static_cast<uint32_t>(editingRecNo_), record_.data());
        file_->UnlockRecord(static_cast<uint32_t>(editingRecNo_));
        editingRecNo_ = -1;
        state_ = TDataSetState::dsBrowse;
    } else if (state_ == TDataSetState::dsInsert) {
        WritePendingMemos();
        currentRecNo_ = file_->Append(record_.data());
        cursor_.SetPhysicalRecNo(currentRecNo_);
        eof_ = false;
        state_ = TDataSetState::dsBrowse;
    }
}

void TDbfTable::Cancel() {
    if (state_ == TDataSetState::dsEdit) file_->UnlockRecord(static_cast<uint32_t>(editingRecNo_));
    if (state_ == TDataSetState::dsEdit || state_ == TDataSetState::dsInsert) {
        editingRecNo_ = -1;
        pendingMemos_.clear();
        state_ = TDataSetState::dsBrowse;
        LoadCurrent();
    }
}

void TDbfTable::Zap() {
    CheckWritable();
    Cancel();
    file_->Zap();
    First();
}

TDbfField* TDbfTable::FindField(const std::string& name) {
    for (TDbfField& f : fields_) {
        if (SameText1251(f.FieldName(), name)) return &f;
    }
    return nullptr;
}

TDbfField& TDbfTable::FieldByName(const std::string& name) {
    TDbfField* f = FindField(name);
    if (f == nullptr) throw EDbfError("Field '" + name + "' not found");
    return *f;
}
