#include "update/filedrops.h"

#include "log/logquoted.h"
#include "platform/installfs.h"
#include "update/installjournal.h"

#include <QDebug>

FileDrops::FileDrops(InstallFs& fs, InstallJournal& journal, WayClearer clearWayTo)
    : fs(fs), journal(journal), clearWayTo(std::move(clearWayTo))
{
}

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
            if (!clearWayTo(slot) || !journal.setAside(slot))
                return failed(failure);
        }
        if (!journal.queueMove(path, slot, failure))
            return failed(failure);
    }
    return journal.performQueued() || failed(tr("安装文件失败:") + InstallJournal::journalPath);
}
