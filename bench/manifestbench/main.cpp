// Drives the worker's check phase on the configurations of an installation directory, with the
// log written as in a real run: both configurations are read, compared and their paths checked,
// then the first request goes to the server they name. Pointed at a closed port, the run ends
// there, so time and peak memory are those of the manifests, not of any transfer. Prints the
// elapsed seconds.
//
//   manifestbench INSTALLATION_DIR

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
        std::fprintf(stderr, "usage: manifestbench INSTALLATION_DIR\n");
        return 2;
    }
    prepareLogFile(QDir::currentPath());
    qInstallMessageHandler(logMessageHandler);

    QElapsedTimer timer;
    timer.start();
    Update worker;
    QObject::connect(&worker, &Update::sig_finished, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    QMetaObject::invokeMethod(&worker, &Update::slot_work, Qt::QueuedConnection);
    app.exec();
    std::printf("%.3f\n", timer.nsecsElapsed() / 1e9);
    return 0;
}
