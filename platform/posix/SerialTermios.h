#pragma once
// The control block's line settings as termios flags: a pure function, checked field by field.
#include <termios.h>

#include "platform/Serial.h"

namespace platform {
// False when a setting has no termios form. A rate without a speed constant (14400, 56000,
// 31250 ...) keeps B38400 here and is set afterwards by SetFreeSpeed.
bool DcbToTermios(const TDcb& dcb, termios& tio);
// termios speed constant of a baud rate, or 0 when there is none.
speed_t BaudToSpeed(uint32_t baud);
// Any rate through the kernel's free speeds; false (errno set) when the driver refuses it or
// comes out more than 3 per cent away.
bool SetFreeSpeed(int fd, uint32_t baud);
// The rate a device runs at, or 0 when it cannot be read.
uint32_t DeviceSpeed(int fd);
}  // namespace platform
