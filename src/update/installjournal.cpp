#include "update/installjournal.h"

#include "app/logquoted.h"
#include "update/fileops.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

void InstallJournal::begin(const QString& parent)
{
    stashParent = parent;
    stashDir.clear();
    stashCount = 0;
    entries.clear();
}

bool InstallJournal::stash(const QString& path)
{
    const QFileInfo info(path);
    if (!info.isSymLink() && (!info.exists() || info.isDir()))
        return true;
    if (stashDir.isEmpty()) {
        QDir().mkpath(stashParent);
        // A fresh, uniquely named directory cannot clash with anything a release downloads.
        QTemporaryDir dir(stashParent + QStringLiteral("/.installstash-XXXXXX"));
        if (!dir.isValid())
            return false;
        dir.setAutoRemove(false);
        stashDir = dir.path();
    }
    const QString aside = stashDir + QLatin1Char('/') + QString::number(stashCount++);
    if (!QFile::rename(path, aside)) {
        qDebug() << "InstallJournal::stash failed" << logQuoted(path) << logQuoted(aside);
        return false;
    }
    entries.append({Kind::Stashed, path, aside, {}});
    return true;
}

void InstallJournal::recordCreatedDirs(const QStringList& dirs)
{
    for (const QString& dir : dirs) {
        if (QFileInfo(dir).isDir())
            entries.append({Kind::CreatedDir, dir, QString(), {}});
    }
}

void InstallJournal::recordMove(const QString& from, const QString& to,
                                QFileDevice::Permissions permissions)
{
    entries.append({Kind::Moved, from, to, permissions});
}

void InstallJournal::recordAdded(const QString& path)
{
    entries.append({Kind::Added, path, QString(), {}});
}

void InstallJournal::rollback()
{
    for (auto it = entries.crbegin(); it != entries.crend(); ++it) {
        const Entry& entry = *it;
        bool ok = true;
        switch (entry.kind) {
        case Kind::Added:
            ok = QFile::remove(entry.path);
            break;
        case Kind::CreatedDir:
            ok = QDir().rmdir(entry.path);
            break;
        case Kind::Moved:
            if (QFileInfo::exists(entry.path)) {
                // The source survived its move (its removal failed): only the copy must go.
                ok = QFile::remove(entry.other);
            } else {
                ok = copyFile(entry.other, entry.path, true);
                if (ok)
                    QFile::setPermissions(entry.path, entry.permissions);
            }
            break;
        case Kind::Stashed:
            ok = QFile::rename(entry.other, entry.path);
            break;
        }
        if (!ok)
            qDebug() << "InstallJournal::rollback failed" << logQuoted(entry.path)
                     << logQuoted(entry.other);
    }
    entries.clear();
}
