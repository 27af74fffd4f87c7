#include "update/fileops.h"

#include "app/logquoted.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

bool isLink(const QFileInfo& info)
{
    return info.isSymLink() || info.isJunction();
}

bool removeLink(const QString& path)
{
    // A link to a directory is a directory entry on Windows and only rmdir removes it there.
    return QFile::remove(path) || QDir().rmdir(path);
}

} // namespace

bool copyFile(const QString& source, const QString& target, bool removeSource)
{
    const QFileInfo targetInfo(target);
    const QString targetDir = targetInfo.absolutePath();
    if (!QFileInfo::exists(targetDir))
        QDir().mkpath(targetDir);
    if (targetInfo.exists() || targetInfo.isSymLink())
        QFile::remove(target);

    // A move within one volume is a rename: no data is copied and the file is never half there.
    // Across volumes, or when the rename is refused, it is a copy followed by removal.
    // A directory is never moved in a file's place.
    const QFileInfo sourceInfo(source);
    const bool renamable = removeSource && (sourceInfo.isSymLink() || !sourceInfo.isDir());
    QFile file(source);
    if ((renamable && QFile::rename(source, target)) || file.copy(target)) {
        if (removeSource && QFileInfo::exists(source))
            QFile::remove(source);
        qDebug() << "CopyFileW" << logQuoted(source) << "to" << logQuoted(target) << "success";
        return true;
    }
    qDebug() << "CopyFileW" << logQuoted(source) << "to" << logQuoted(target) << int(file.error());
    return false;
}

bool removeDir(const QString& path)
{
    const QFileInfo self(path);
    if (isLink(self))
        return removeLink(path);
    QDir dir(path);
    if (!dir.exists())
        return true;

    const QFileInfoList entries =
        dir.entryInfoList(QDir::Files | QDir::AllDirs | QDir::Hidden | QDir::System |
                              QDir::NoDotAndDotDot,
                          QDir::DirsFirst | QDir::Name);
    for (const QFileInfo& entry : entries) {
        const QString entryPath = entry.absoluteFilePath();
        bool removed;
        if (isLink(entry))
            removed = removeLink(entryPath);
        else if (entry.isDir())
            removed = removeDir(entryPath);
        else
            removed = QFile::remove(entryPath);
        if (!removed)
            return false;
    }
    return dir.rmdir(dir.absolutePath());
}

QStringList missingDirs(const QString& dir)
{
    QStringList missing;
    QString current = QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
    while (true) {
        const QFileInfo info(current);
        if (info.exists() || info.isSymLink())
            break;
        missing.prepend(current);
        const QString parent = info.path();
        if (parent == current)
            break;
        current = parent;
    }
    return missing;
}
