#include "update/checkedconfigdevice.h"

#include "platform/installfs.h"

#include <cerrno>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

bool CheckedConfigDevice::open(InstallFs& fs, const QString& relative, qint64 limit)
{
    bound = limit;
    InstallFs::Entry opened;
    const int fd = fs.openFile(relative, false, &opened);
    if (fd < 0) {
        code = fs.lastError();
        return false;
    }
    if (opened.size > limit ||
        !file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        code = opened.size > limit ? EFBIG : EIO;
        InstallFs::closeDescriptor(fd);
        return false;
    }
    return QIODevice::open(QIODevice::ReadOnly);
}

int CheckedConfigDevice::errorCode() const
{
    return code;
}

bool CheckedConfigDevice::exceeded() const
{
    return past;
}

QByteArray CheckedConfigDevice::digest() const
{
    return hash.result();
}

bool CheckedConfigDevice::isSequential() const
{
    return true;
}

qint64 CheckedConfigDevice::readData(char* data, qint64 maxSize)
{
    if (past)
        return -1;
    const qint64 n = file.read(data, maxSize);
    if (n <= 0)
        return n;
    total += n;
    if (total > bound) {
        past = true;
        code = EFBIG;
        setErrorString(QStringLiteral("longer than %1 bytes").arg(bound));
        return -1;
    }
    hash.addData(QByteArrayView(data, n));
    return n;
}

qint64 CheckedConfigDevice::writeData(const char*, qint64)
{
    return -1;
}
