#include "log/appendtofile.h"

#include <QFile>

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#endif

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
