// Pictures of the calls window for the documentation, on a call database of the caller's:
//   tarvick-calls-shots DBPATH OUTDIR YYYY-MM-DD YYYY-MM-DD   (run under a display)
// The window shows the period given: the call list, the summary per extension and the charts.
#include <QApplication>
#include <QDate>
#include <QDateEdit>
#include <QElapsedTimer>
#include <QPixmap>
#include <QPushButton>
#include <QTabWidget>
#include <QThread>
#include <cstdio>

#include "db/FirebirdEnv.h"
#include "station/CallsWindow.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QDate from = argc == 5 ? QDate::fromString(argv[3], Qt::ISODate) : QDate();
    const QDate to = argc == 5 ? QDate::fromString(argv[4], Qt::ISODate) : QDate();
    if (!from.isValid() || !to.isValid()) {
        std::fprintf(stderr, "usage: %s DBPATH OUTDIR YYYY-MM-DD YYYY-MM-DD\n", argv[0]);
        return 2;
    }
    PrepareFirebirdEnvironment(TARVICK_SOURCE_DIR "/data/");
    TCallsWindow w(argv[1]);
    w.setAttribute(Qt::WA_DeleteOnClose, false);
    w.resize(1060, 620);
    w.show();
    auto settle = [&] {
        QElapsedTimer t;
        t.start();
        // Sleeps between passes: the report thread runs only on a processor left idle.
        do {
            QApplication::processEvents(QEventLoop::AllEvents, 50);
            QThread::msleep(2);
        } while ((w.Busy() || t.elapsed() < 300) && t.elapsed() < 60000);
    };
    settle();
    w.deFrom->setDate(from);
    w.deTo->setDate(to);
    w.btnShow->click();
    settle();
    const QString out = QString::fromLocal8Bit(argv[2]) + "/";
    const std::pair<int, const char*> shots[] = {
        {0, "calls"}, {1, "calls-extensions"}, {7, "calls-charts"}};
    for (const auto& [tab, name] : shots) {
        w.Tabs->setCurrentIndex(tab);
        settle();
        const QString file = out + name + ".png";
        if (!w.grab().save(file)) {
            std::fprintf(stderr, "cannot write %s\n", file.toLocal8Bit().constData());
            return 1;
        }
        std::printf("wrote %s\n", file.toLocal8Bit().constData());
    }
    return 0;
}
