#pragma once
// The main window's settings commands open the settings dialog on the window's holder and port.
#include "station/MainWindow.h"

class TSerialPort;

void UseSettingsDialog(TMainWindow& form, TSerialPort& port);
