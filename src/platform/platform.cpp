#include "platform/platform.h"

#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QStringList>

PlatformFlavour currentPlatformFlavour()
{
#ifdef Q_OS_WIN
    return PlatformFlavour::Windows;
#else
    return PlatformFlavour::Posix;
#endif
}

bool isAcceptableMainExe(const QString& path, PlatformFlavour flavour)
{
    if (flavour == PlatformFlavour::Windows)
        return QFile::exists(path) && path.contains(QLatin1String(".exe"), Qt::CaseSensitive);
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

bool startDetachedProgram(const QString& program, const QString& workingDir)
{
    // Detached: the started program is not a child tied to the updater's pipes, so it neither
    // dies with the updater nor gets SIGPIPE writing to a pipe nobody reads any more.
    return QProcess::startDetached(program, QStringList(), workingDir);
}

QRect primaryScreenGeometry()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry() : QRect();
}

QPoint centredPosition(const QRect& area, const QSize& size)
{
    return QPoint((area.width() - size.width()) / 2 + area.x(),
                  (area.height() - size.height()) / 2 + area.y());
}
