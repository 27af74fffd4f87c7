#include "app/globals.h"
#include "app/loghandler.h"

#include <QApplication>
#include <QDebug>
#include <QDir>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);

    // The updater works in its installation directory however it was started.
    const QString appDir = QCoreApplication::applicationDirPath();
    const bool ok = QDir::setCurrent(appDir);
    // No handler yet: this line goes to Qt's default output, never to the log file.
    qDebug() << "current dir is:" << QDir::currentPath() << ok;

    prepareLogFile(appDir);
    qInstallMessageHandler(logMessageHandler);

    return 0;
}
