#pragma once
// The settings of the settings table, as the holder TRecorder keeps them (one field per table
// field).
#include <cstdint>
#include <map>
#include <string>

// The characters each text setting can hold: the width of its character field, by field name.
// A memo field holds any length and has no entry.
using TTextWidths = std::map<std::string, int>;

struct TSettings {
    int32_t MinEmpty = 0;
    int32_t MinLenPhon = 0;
    int32_t MaxLenPhon = 0;
    int32_t PortSMTP = 0;
    std::string AddrSMTP;
    std::string FromSMTP;
    std::string Template;
    bool EmptyLen = false;
    bool IncomLog = false;
    bool ShowBuffer = false;
    bool AutoRun = false;
    bool HideRun = false;
    bool SendMail = false;
    std::string SubjSendM;
    std::string MsgFooter;
    std::string MsgAddress;
    bool NeedARight = false;
    std::string SubjARight;
    std::string MsgARight;
    bool NeedSilenc = false;
    std::string SubjSilenc;
    std::string MsgSilence;
    int32_t DaysSilenc = 0;
    std::string DBPath;
};
