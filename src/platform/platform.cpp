#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QStringList>

#ifndef Q_OS_WIN
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
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

bool appendToFile(const QString& path, const QByteArray& bytes)
{
#ifdef Q_OS_WIN
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    const bool written = file.write(bytes) == bytes.size();
    file.close();
    return written;
#else
    // The log's folder and file are opened once, neither through a link: a link planted at the
    // log or its folder later is never written through, since the open handle is what is
    // written to. Each line is then one write, with the system once it returns. A file removed
    // since (a new log begins) is opened again; so is the folder when it went with it.
    static std::mutex cacheMutex;
    static QString cachedPath;
    static int cachedDirFd = -1;
    static int cachedFd = -1;

    std::lock_guard<std::mutex> lock(cacheMutex);
    if (cachedFd >= 0) {
        struct stat st;
        if (cachedPath != path || ::fstat(cachedFd, &st) != 0 || st.st_nlink == 0) {
            ::close(cachedFd);
            cachedFd = -1;
        }
    }
    if (cachedFd < 0) {
        const int slash = int(path.lastIndexOf(QLatin1Char('/')));
        const QString dir = slash <= 0 ? QStringLiteral("/") : path.left(slash);
        const QByteArray name = QFile::encodeName(path.mid(slash + 1));
        for (int attempt = 0; attempt < 2 && cachedFd < 0; ++attempt) {
            if (cachedDirFd < 0 || cachedPath != path || attempt > 0) {
                if (cachedDirFd >= 0)
                    ::close(cachedDirFd);
                cachedPath = path;
                cachedDirFd = ::open(QFile::encodeName(dir).constData(),
                                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (cachedDirFd < 0)
                    return false;
            }
            cachedFd = ::openat(cachedDirFd, name.constData(),
                                O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
            // The folder may have been removed and made again since it was opened.
            if (cachedFd < 0 && errno != ENOENT)
                return false;
        }
        if (cachedFd < 0)
            return false;
    }
    const char* data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(cachedFd, data, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data += n;
        left -= n;
    }
    return left == 0;
#endif
}

QByteArray logFileHeader(PlatformFlavour flavour)
{
    if (flavour == PlatformFlavour::Windows)
        return QByteArrayLiteral("\xEF\xBB\xBF");
    return QByteArray();
}
