#pragma once
// The UI edge: the system's Windows-1251 text to and from Qt's strings.
#include <QString>
#include <string>

#include "platform/CodePage.h"

namespace platform {

inline QString FromAnsi(const std::string& s) {
    return QString::fromStdString(AnsiToUtf8(s));
}

inline std::string ToAnsi(const QString& s) {
    return Utf8ToAnsi(s.toStdString());
}

}  // namespace platform
