#include "config/SettingsTable.h"

namespace {

// The fields in table order, each with its holder member and kind.
struct TText {
    const char* name;
    std::string TSettings::*member;
};
struct TInt {
    const char* name;
    int32_t TSettings::*member;
};
struct TBool {
    const char* name;
    bool TSettings::*member;
};

template <typename Visitor>
void ForEachField(Visitor&& v) {
    v(TText{"Template", &TSettings::Template});
    v(TText{"DBPath", &TSettings::DBPath});
    v(TText{"AddrSMTP", &TSettings::AddrSMTP});
    v(TText{"FromSMTP", &TSettings::FromSMTP});
    v(TInt{"PortSMTP", &TSettings::PortSMTP});
    v(TInt{"MinLenPhon", &TSettings::MinLenPhon});
    v(TInt{"MaxLenPhon", &TSettings::MaxLenPhon});
    v(TInt{"MinEmpty", &TSettings::MinEmpty});
    v(TBool{"EmptyLen", &TSettings::EmptyLen});
    v(TBool{"IncomLog", &TSettings::IncomLog});
    v(TBool{"ShowBuffer", &TSettings::ShowBuffer});
    v(TBool{"AutoRun", &TSettings::AutoRun});
    v(TBool{"HideRun", &TSettings::HideRun});
    v(TText{"SubjSendM", &TSettings::SubjSendM});
    v(TText{"MsgFooter", &TSettings::MsgFooter});
    v(TText{"MsgAddress", &TSettings::MsgAddress});
    v(TText{"SubjARight", &TSettings::SubjARight});
    v(TText{"MsgARight", &TSettings::MsgARight});
    v(TText{"SubjSilenc", &TSettings::SubjSilenc});
    v(TText{"MsgSilence", &TSettings::MsgSilence});
    v(TBool{"SendMail", &TSettings::SendMail});
    v(TBool{"NeedARight", &TSettings::NeedARight});
    v(TBool{"NeedSilenc", &TSettings::NeedSilenc});
    v(TInt{"DaysSilenc", &TSettings::DaysSilenc});
}

// Closes after a failure without letting a second error hide the first.
void CloseQuietly(TDbfTable& table) noexcept {
    try {
        table.Close();
    } catch (...) {
        // The original failure is the one the caller must see.
    }
}

template <typename Body>
void WithTable(TDbfTable& table, const std::string& dir, Body&& body) {
    try {
        table.SetFilePath(dir);
        table.Open();
        body();
        table.Close();
    } catch (...) {
        CloseQuietly(table);
        throw;
    }
}

struct TReader {
    TDbfTable& table;
    TSettings& s;
    TTextWidths* widths;
    void operator()(const TText& f) const {
        const TDbfField& field = table.FieldByName(f.name);
        s.*f.member = field.AsString();
        if (widths && field.DataType() == TFieldType::ftString)
            (*widths)[f.name] = static_cast<int>(field.Def().Width());
    }
    void operator()(const TInt& f) const { s.*f.member = table.FieldByName(f.name).AsInteger(); }
    void operator()(const TBool& f) const { s.*f.member = table.FieldByName(f.name).AsBoolean(); }
};

struct TWriter {
    TDbfTable& table;
    const TSettings& s;
    void operator()(const TText& f) const { table.FieldByName(f.name).SetAsString(s.*f.member); }
    void operator()(const TInt& f) const { table.FieldByName(f.name).SetAsInteger(s.*f.member); }
    void operator()(const TBool& f) const { table.FieldByName(f.name).SetAsBoolean(s.*f.member); }
};

}  // namespace

void ReadSettingsTable(TDbfTable& table, const std::string& dir, TSettings& s,
                       TTextWidths* widths) {
    if (widths) widths->clear();
    WithTable(table, dir, [&] { ForEachField(TReader{table, s, widths}); });
}

void WriteSettingsTable(TDbfTable& table, const std::string& dir, const TSettings& s) {
    WithTable(table, dir, [&] {
        table.Edit();
        ForEachField(TWriter{table, s});
        table.Post();
    });
}
