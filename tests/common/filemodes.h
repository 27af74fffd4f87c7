#pragma once

// Permission bits as the file system holds them: the caller's access is no guide as root, and
// QFile reports the owner's bits twice.

#include <QFile>
#include <QString>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

// Sets the bits of path (never through QFile, which would map them); true on Windows, which has
// none.
inline bool chmodPath(const QString& path, uint mode)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path);
    Q_UNUSED(mode);
    return true;
#else
    return ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
#endif
}

#ifndef Q_OS_WIN
// The bits of path itself (a link's own, never its target's); all ones when it is not there.
inline uint modeOf(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? uint(st.st_mode & 07777)
                                                                  : 0xffffffffu;
}
#endif
