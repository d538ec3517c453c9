#include "station/SettingsCommands.h"

#include "config/SettingsDialog.h"
#include "db/CallDatabase.h"

void UseSettingsDialog(TMainWindow& form, TSerialPort& port) {
    form.SettingsDialog = [&port](TMainWindow& f, int page, int& selected) {
        if (!f.Recorder()) return false;
        TSettingsDialog dlg(*f.Recorder(), port, &f);
        dlg.OnDisconnectDatabase = [] {
            if (CallDatabase) CallDatabase->Disconnect();
        };
        // The newest line stands first in the log.
        const std::string log = f.LogText();
        dlg.SetLastLine(log.substr(0, log.find_first_of("\r\n")));
        dlg.SelectPage(page);
        struct Keep {
            TSettingsDialog& d;
            int& s;
            ~Keep() { s = d.SelectedNodeIndex(); }
        } keep{dlg, selected};
        return dlg.exec() == QDialog::Accepted;
    };
}
