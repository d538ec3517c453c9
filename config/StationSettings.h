#pragma once
// What the station runs with and the settings dialog edits, as one plain value: the settings
// table's fields, mail.ini's login and encryption, db.ini's login, and the active template. The
// recorder holds one; the dialog edits one without knowing the recorder.
#include <array>
#include <cstdint>
#include <string>

#include "config/Settings.h"
#include "config/Templates.h"
#include "db/DbLogin.h"
#include "mail/MailSettings.h"

struct TStationSettings : TSettings, TTemplateColumns {
    std::string ProgramDir;
    TMailSettings Mail;  // from mail.ini beside the settings table
    bool ReportMailOn = false;  // reports.ini asks for a monthly or weekly report mail
    TDbLogin Login;      // from db.ini beside the settings table
    // What the settings table's text fields hold, learnt when the settings are loaded.
    TTextWidths TextWidths;
    std::string TemplateComment;
    TTemplateFormat Format;  // the active template's keys beyond the columns

    TTemplateColumns& Columns() { return *this; }
    const TTemplateColumns& Columns() const { return *this; }
};

// How a template cuts one line: each of the thirteen fields' text, and the stretch of the line
// it was read from ([Begin, End) in bytes; Begin < 0 when the template has no such field).
struct TLineCut {
    struct TField {
        std::string Text;
        int32_t Begin = -1;
        int32_t End = -1;
    };
    std::array<TField, 13> Fields;
    bool Incoming = false;  // the template's direction marks the line incoming
    std::string Caller;     // then the number that called
};
