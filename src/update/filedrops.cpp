#include "update/filedrops.h"

#include "log/logquoted.h"
#include "platform/installfs.h"
#include "update/installjournal.h"

#include <QDebug>

FileDrops::FileDrops(InstallFs& fs, InstallJournal& journal) : fs(fs), journal(journal) {}

QString FileDrops::failure() const
{
    return error;
}

bool FileDrops::failed(const QString& fallback)
{
    // What was queued before the failure is taken first, as it would have been one step at a
    // time; when that fails, its own failure is the one to report.
    journal.performQueued();
    error = journal.failure().isEmpty() ? fallback : journal.failure();
    return false;
}

bool FileDrops::clearSlot(const QString& slot)
{
    QStringList folders;
    for (QString dir = InstallFs::parentOf(slot); !dir.isEmpty() && dir != QLatin1String("/backup");
         dir = InstallFs::parentOf(dir))
        folders.prepend(dir);
    for (const QString& dir : std::as_const(folders)) {
        InstallFs::Entry found;
        if (!fs.entry(dir, &found) || found.kind == InstallFs::Kind::Link)
            return false;
        if (found.kind == InstallFs::Kind::Dir)
            continue;
        if (found.exists() && !journal.setAside(dir))
            return false;
        // Everything below is missing now.
        break;
    }
    return journal.makePath(InstallFs::parentOf(slot)) && journal.setAside(slot);
}

bool FileDrops::drop(const QStringList& paths)
{
    error.clear();
    if (paths.isEmpty())
        return true;
    qDebug() << "Update::drop" << paths.size();
    for (const QString& path : paths) {
        const QString slot = QStringLiteral("/backup") + path;
        const QString failure = tr("备份文件失败:") + path;
        InstallFs::Entry installed;
        if (!fs.entry(path, &installed))
            return failed(failure);
        if (!installed.exists()) {
            // Already gone (or moved to backup/ with a folder a new file replaces): the same line
            // as the backup of a file that is not there.
            journal.queueMissing(path, slot);
            continue;
        }
        // Only what the release managed is taken: a folder the user made where a file was, or a
        // link put in its place, is not the release's to move.
        if (installed.kind != InstallFs::Kind::File) {
            qDebug() << "drop: not a file, left in place:" << logQuoted(fs.absolutePath(path));
            continue;
        }
        if (!journal.queueWayTo(slot, failure)) {
            if (!journal.performQueued())
                return failed(failure);
            // An older copy at the place in backup/ is set aside, not lost, until the
            // installation is decided.
            if (!clearSlot(slot))
                return failed(failure);
        }
        if (!journal.queueMove(path, slot, failure))
            return failed(failure);
    }
    return journal.performQueued() || failed(tr("安装文件失败:") + InstallJournal::journalPath);
}
