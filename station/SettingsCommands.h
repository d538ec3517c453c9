#pragma once
// The main window's settings commands open the settings dialog on the window's holder and port.
#include <functional>

#include "station/MainWindow.h"

class TRecorder;
class TSerialPort;
class TSettingsDialog;

void UseSettingsDialog(TMainWindow& form, TSerialPort& port);

// Lets the dialog edit the recorder's settings: saving writes the recorder's files, a saved
// template is loaded at once, the preview cuts lines as the recorder does, and confirming
// disconnects the database (through disconnect, then the recorder's flag).
void BindRecorder(TSettingsDialog& dialog, TRecorder& recorder,
                  std::function<void()> disconnect = {});
