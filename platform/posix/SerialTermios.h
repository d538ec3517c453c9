#pragma once
// The control block's line settings as termios flags: a pure function, checked field by field.
#include <termios.h>

#include "platform/Serial.h"

namespace platform {
// False when the baud rate has no termios speed.
bool DcbToTermios(const TDcb& dcb, termios& tio);
// termios speed constant of a baud rate, or 0 when there is none.
speed_t BaudToSpeed(uint32_t baud);
}  // namespace platform
