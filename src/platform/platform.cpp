#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QStringList>

#ifndef Q_OS_WIN
#include <cstdlib>
#endif

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

bool pathStaysInside(const QString& path, const QString& dir, PlatformFlavour flavour)
{
    QString cleanPath = path;
    QString cleanDir = dir;
    if (flavour == PlatformFlavour::Windows) {
        cleanPath.replace(QLatin1Char('\\'), QLatin1Char('/'));
        cleanDir.replace(QLatin1Char('\\'), QLatin1Char('/'));
    }
    cleanPath = QDir::cleanPath(cleanPath);
    cleanDir = QDir::cleanPath(cleanDir);
    if (cleanDir.isEmpty())
        return false;
    // A root ("/", "C:/") already ends with its separator.
    if (!cleanDir.endsWith(QLatin1Char('/')))
        cleanDir += QLatin1Char('/');
    const Qt::CaseSensitivity cs =
        flavour == PlatformFlavour::Windows ? Qt::CaseInsensitive : Qt::CaseSensitive;
    return cleanPath.size() > cleanDir.size() && cleanPath.startsWith(cleanDir, cs);
}

namespace
{
// The runtime folder this process made for itself, or empty.
QString ownRuntimeDir;
} // namespace

QString setUpPrivateRuntimeDir()
{
#ifdef Q_OS_WIN
    return QString();
#else
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") || !ownRuntimeDir.isEmpty())
        return QString();
    // A fresh folder of its own (mode 0700): never one that someone else could have made first.
    QByteArray pattern = QDir::tempPath().toLocal8Bit() + "/updater-runtime-XXXXXX";
    if (!mkdtemp(pattern.data()))
        return QString();
    ownRuntimeDir = QString::fromLocal8Bit(pattern);
    qputenv("XDG_RUNTIME_DIR", pattern);
    return ownRuntimeDir;
#endif
}

void removePrivateRuntimeDir()
{
    if (ownRuntimeDir.isEmpty())
        return;
    QDir(ownRuntimeDir).removeRecursively();
    qunsetenv("XDG_RUNTIME_DIR");
    ownRuntimeDir.clear();
}

bool startDetachedProgram(const QString& program, const QString& workingDir)
{
    // Detached: the started program is not a child tied to the updater's pipes, so it neither
    // dies with the updater nor gets SIGPIPE writing to a pipe nobody reads any more.
    QProcess process;
    process.setProgram(program);
    process.setWorkingDirectory(workingDir);
    if (!ownRuntimeDir.isEmpty()) {
        // The updater's own runtime folder goes with it: the program started gets the
        // environment the updater was given.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        process.setProcessEnvironment(environment);
    }
    return process.startDetached();
}

bool platformShowsWindows()
{
    const QString name = QGuiApplication::platformName();
    return name != QLatin1String("offscreen") && name != QLatin1String("minimal");
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

QByteArray logFileHeader(PlatformFlavour flavour)
{
    if (flavour == PlatformFlavour::Windows)
        return QByteArrayLiteral("\xEF\xBB\xBF");
    return QByteArray();
}
