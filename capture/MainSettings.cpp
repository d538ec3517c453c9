#include "capture/MainSettings.h"

#include "config/SetPort.h"
#include "db/DataM.h"

void UseSettingsDialog(TMainForm& form, TComPort& port) {
    form.SettingsDialog = [&port](TMainForm& f, int page, int& selected) {
        if (!f.MO()) return false;
        TSetPortForm dlg(*f.MO(), port, &f);
        dlg.OnDisconnectDatabase = [] {
            if (DM) DM->Disconnect();
        };
        // The newest line stands first in the log.
        const std::string log = f.LogText();
        dlg.SetLastLine(log.substr(0, log.find_first_of("\r\n")));
        dlg.SelectPage(page);
        struct Keep {
            TSetPortForm& d;
            int& s;
            ~Keep() { s = d.SelectedNodeIndex(); }
        } keep{dlg, selected};
        return dlg.exec() == QDialog::Accepted;
    };
}
