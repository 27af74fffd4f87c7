#pragma once

// A small tmpfs mounted over a folder for the life of the object: a real full disk, or a real
// second file system inside an installation. Needs the right to mount (root); tests skip when
// it is missing, and elsewhere than on Linux.

#include <QDir>
#include <QFile>
#include <QString>
#include <QtGlobal>

#include <cerrno>
#include <cstring>
#ifdef Q_OS_LINUX
#include <sys/mount.h>
#endif

class TmpfsMount
{
public:
    ~TmpfsMount() { unmount(); }

    // Mounts a tmpfs of size bytes over path (created when missing). False, with the reason,
    // when the system refuses.
    bool mount(const QString& path, qint64 size, QString* reason)
    {
#ifndef Q_OS_LINUX
        Q_UNUSED(size);
        *reason = QStringLiteral("no tmpfs to mount at %1 on this system").arg(path);
        return false;
#else
        QDir().mkpath(path);
        const QByteArray options = "size=" + QByteArray::number(size) + ",mode=0755";
        if (::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", 0,
                    options.constData()) != 0) {
            *reason = QStringLiteral("cannot mount a tmpfs at %1: %2")
                          .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        mounted = path;
        return true;
#endif
    }

    // Fills the file system up to its last byte with a file named name inside it.
    bool fill(const QString& name = QStringLiteral(".filler"))
    {
        QFile filler(mounted + QLatin1Char('/') + name);
        if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return false;
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size()) {
        }
        const QByteArray byte(1, 'f');
        while (filler.write(byte) == 1) {
        }
        return true;
    }

    void unmount()
    {
#ifdef Q_OS_LINUX
        if (!mounted.isEmpty())
            ::umount2(QFile::encodeName(mounted).constData(), MNT_DETACH);
#endif
        mounted.clear();
    }

private:
    QString mounted;
};
