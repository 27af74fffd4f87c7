// Times the worker's check and download phases alone, through the same library the program runs,
// with the log handler writing log/update.log as in a real run but without the window and without
// the installation: the run is stopped when the last file has arrived. Set against the bare Qt
// loop (bench/qtfetch), it separates the download loop's own overhead from that of the rest of
// the program. Prints the elapsed seconds.
//
//   downloadbench INSTALLATION_DIR

#include "log/loghandler.h"
#include "platform/logfilesetup.h"
#include "update/update.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2 || !QDir::setCurrent(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "usage: downloadbench INSTALLATION_DIR\n");
        return 2;
    }
    prepareLogFile(QDir::currentPath());
    qInstallMessageHandler(logMessageHandler);

    QElapsedTimer timer;
    timer.start();
    Update worker;
    int status = 1;
    // Connected before the worker connects its own installation step, so this runs first and
    // takes that step away.
    QObject::connect(&worker, &Update::sig_allFileDownloaded, &app, [&] {
        QObject::disconnect(&worker, &Update::sig_allFileDownloaded, &worker,
                            &Update::slot_updateLocal);
        status = 0;
        app.quit();
    });
    QObject::connect(&worker, &Update::sig_finished, &app, [&](bool, const QString& msg) {
        std::fprintf(stderr, "run ended: %s\n", qPrintable(msg));
        app.quit();
    });
    QMetaObject::invokeMethod(&worker, &Update::slot_work, Qt::QueuedConnection);
    app.exec();
    std::printf("%.3f\n", timer.nsecsElapsed() / 1e9);
    return status;
}
