// Pictures of the settings dialog's six pages for the documentation:
//   tarvick-settings-shots OUTDIR   (run under a display, e.g. xvfb-run)
// The dialog shows a holder filled with typical values and the bundled templates.
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTemporaryDir>
#include <cstdio>
#include <string>

#include "capture/Recorder.h"
#include "station/SettingsCommands.h"
#include "config/SettingsDialog.h"
#include "platform/CodePage.h"
#include "serial/SerialPort.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    QTemporaryDir dir;
    for (const char* f : {"GENERIC24.ATS", "PANA12.ATS"})
        QFile::copy(QString(TARVICK_SOURCE_DIR "/data/") + f, dir.filePath(f));

    auto A = [](const char* utf8) { return platform::Utf8ToAnsi(utf8); };
    TRecorder recorder;
    recorder.ProgramDir = dir.path().toStdString() + "/";
    recorder.Template = "GENERIC24.ATS";
    recorder.LoadTemplate();
    recorder.DBPath = "localhost:/var/lib/tarvick/calls.fdb";
    recorder.ShowBuffer = true;
    recorder.AutoRun = true;
    recorder.PortSMTP = 587;
    recorder.AddrSMTP = "mail.office.example";
    recorder.FromSMTP = "tarvick@office.example";
    recorder.Mail.Security = TMailSecurity::StartTls;
    recorder.Mail.User = "tarvick@office.example";
    recorder.Mail.Password = "password";
    recorder.IncomLog = true;
    recorder.EmptyLen = true;
    recorder.MinEmpty = 5;
    recorder.MinLenPhon = 3;
    recorder.MaxLenPhon = 15;
    recorder.SendMail = true;
    recorder.SubjSendM = A("Статистика звонков");
    recorder.MsgFooter = A("С уважением,\r\nслужба связи");
    recorder.MsgAddress = "admin@office.example";
    recorder.NeedARight = true;
    recorder.SubjARight = A("Станция работает");
    recorder.MsgARight = A("Запись звонков идёт.");
    recorder.NeedSilenc = false;
    recorder.DaysSilenc = 2;
    recorder.SubjSilenc = A("Нет звонков");
    recorder.MsgSilence = A("Звонки не фиксировались.");

    TSerialPort port;
    port.SetPort("tcp://10.0.0.5:2300");
    port.SetLogin("cdr");
    port.SetPassword("password");
    const char* names[6] = {"general", "template", "rules", "port", "mailing", "messages"};
    for (int page = 1; page <= 6; ++page) {
        TSettingsDialog form(recorder, port);
        BindRecorder(form, recorder);
        form.SetLastLine("12/04/26 11:30:00 02 207 00:12:30 8-495-765-43-21");
        form.SelectPage(page);
        form.show();
        for (int i = 0; i < 10; ++i) app.processEvents();
        const QString file =
            QDir(argv[1]).filePath(QString("settings-%1.png").arg(names[page - 1]));
        if (!form.grab().save(file)) {
            std::fprintf(stderr, "cannot write %s\n", file.toLocal8Bit().constData());
            return 1;
        }
    }
    return 0;
}
