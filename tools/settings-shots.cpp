// Pictures of the settings dialog's six pages for the documentation:
//   tarvick-settings-shots OUTDIR   (run under a display, e.g. xvfb-run)
// The dialog shows a holder filled with typical values and the bundled templates.
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTemporaryDir>
#include <cstdio>
#include <string>

#include "capture/Main.h"
#include "config/SetPort.h"
#include "platform/CodePage.h"
#include "serial/CPort.h"

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
    TMO mo;
    mo.ProgramDir = dir.path().toStdString() + "/";
    mo.Template = "GENERIC24.ATS";
    mo.LoadTemplate();
    mo.DBPath = "localhost:/var/lib/tarvick/calls.fdb";
    mo.ShowBuffer = true;
    mo.AutoRun = true;
    mo.PortSMTP = 25;
    mo.AddrSMTP = "mail.office.example";
    mo.FromSMTP = "tarvick@office.example";
    mo.IncomLog = true;
    mo.EmptyLen = true;
    mo.MinEmpty = 5;
    mo.MinLenPhon = 3;
    mo.MaxLenPhon = 15;
    mo.SendMail = true;
    mo.SubjSendM = A("Статистика звонков");
    mo.MsgFooter = A("С уважением,\r\nслужба связи");
    mo.MsgAddress = "admin@office.example";
    mo.NeedARight = true;
    mo.SubjARight = A("Станция работает");
    mo.MsgARight = A("Запись звонков идёт.");
    mo.NeedSilenc = false;
    mo.DaysSilenc = 2;
    mo.SubjSilenc = A("Нет звонков");
    mo.MsgSilence = A("Звонки не фиксировались.");

    TComPort port;
    const char* names[6] = {"general", "template", "rules", "port", "mailing", "messages"};
    for (int page = 1; page <= 6; ++page) {
        TSetPortForm form(mo, port);
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
