#include "station/SettingsCommands.h"

#include "capture/Detect.h"
#include "capture/Recorder.h"
#include "common/Text.h"
#include "config/SettingsDialog.h"
#include "db/CallDatabase.h"

void BindRecorder(TSettingsDialog& dialog, TRecorder& recorder, std::function<void()> disconnect) {
    dialog.OnSaveSettings = [&recorder] { recorder.SaveSettings(); };
    dialog.OnSaveMailSettings = [&recorder] { recorder.SaveMailSettings(); };
    dialog.OnSaveDbLogin = [&recorder] { recorder.SaveDbLogin(); };
    dialog.OnUseTemplate = [&recorder] { return recorder.LoadTemplate(); };
    dialog.OnCutLine = CutLine;
    dialog.OnDetectTemplate = [&recorder](const std::vector<std::string>& lines) {
        const std::vector<TTemplateScore> scores = DetectTemplates(recorder.ProgramDir, lines);
        return !scores.empty() && scores.front().Share() >= 0.9 ? scores.front().File
                                                                : std::string();
    };
    dialog.OnDisconnectDatabase = [&recorder, disconnect = std::move(disconnect)] {
        if (disconnect) disconnect();
        recorder.DBConnected = false;
    };
}

void UseSettingsDialog(TMainWindow& form, TSerialPort& port) {
    form.SettingsDialog = [&port](TMainWindow& f, int page, int& selected) {
        if (!f.Recorder()) return false;
        TSettingsDialog dlg(*f.Recorder(), port, &f);
        BindRecorder(dlg, *f.Recorder(), [] {
            if (CallDatabase) CallDatabase->Disconnect();
        });
        // The newest line stands first in the log.
        const std::string log = f.LogText();
        dlg.SetLastLine(log.substr(0, log.find_first_of("\r\n")));
        // The exchange's lines, without the station's own notes ("*** ...").
        std::vector<std::string> received;
        for (const std::string& line : SplitLines(log))
            if (line.rfind("*** ", 0) != 0) received.push_back(line);
        dlg.SetReceivedLines(std::move(received));
        dlg.SelectPage(page);
        struct Keep {
            TSettingsDialog& d;
            int& s;
            ~Keep() { s = d.SelectedNodeIndex(); }
        } keep{dlg, selected};
        return dlg.exec() == QDialog::Accepted;
    };
}
