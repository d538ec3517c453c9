#pragma once
// The main window's settings commands open the settings dialog on the window's holder and port.
#include "capture/MainUnit.h"

class TComPort;

void UseSettingsDialog(TMainForm& form, TComPort& port);
