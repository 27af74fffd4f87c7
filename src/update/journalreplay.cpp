#include "update/journalreplay.h"

#include "log/logquoted.h"
#include "update/installjournal.h"

#include <QDateTime>
#include <QDebug>

#include <cerrno>

namespace
{

const QString backupDir = QStringLiteral("/backup");
const QString updateDir = QStringLiteral("/update");

bool isBelow(const QString& path, const QString& dir)
{
    return path.startsWith(dir + QLatin1Char('/'));
}

} // namespace

JournalReplay::JournalReplay(InstallFs& fs) : fs(fs) {}

QString JournalReplay::unrestoredDir() const
{
    return unrestored;
}

void JournalReplay::reset()
{
    unrestored.clear();
}

bool JournalReplay::finishFrom(const QList<Record>& records)
{
    bool clean = true;
    for (const Record& r : records) {
        if (r.kind == journal::Kind::Stash)
            clean = fs.removeTree(r.from) && clean;
        if (r.kind == journal::Kind::Temp) {
            InstallFs::Entry temp;
            if (fs.entry(r.from, &temp) && temp.kind == InstallFs::Kind::File)
                fs.removeFile(r.from);
        }
    }
    removeEmptiedFolders(records);
    clean = fs.removeTree(updateDir) && clean;
    if (!clean) {
        qDebug() << "InstallJournal::finish failed" << logQuoted(fs.absolutePath(updateDir))
                 << logQuoted(fs.errorString());
        return false;
    }
    fs.syncAll();
    return true;
}

void JournalReplay::removeEmptiedFolders(const QList<Record>& records)
{
    for (const Record& r : records) {
        // A path moved to its own place in backup/ that holds nothing once the run is decided
        // was dropped: a replaced file has its new copy there, a replaced folder its new file.
        if ((r.kind != journal::Kind::Move && r.kind != journal::Kind::Copied) ||
            r.to != backupDir + r.from)
            continue;
        InstallFs::Entry now;
        if (!fs.entry(r.from, &now) || now.exists())
            continue;
        // Up to the first folder that still holds something (another file, a user's own): it
        // stays, and so does everything above it. A folder already gone (removed before a kill
        // stopped the run) is passed over. A folder is never removed through a link.
        for (QString dir = InstallFs::parentOf(r.from); !dir.isEmpty();
             dir = InstallFs::parentOf(dir)) {
            InstallFs::Entry folder;
            if (!fs.entry(dir, &folder))
                break;
            if (!folder.exists())
                continue;
            if (folder.kind != InstallFs::Kind::Dir || !fs.removeEmptyDir(dir))
                break;
            qDebug() << "drop: folder removed:" << logQuoted(fs.absolutePath(dir));
        }
    }
}

bool JournalReplay::removeJournal()
{
    if (!fs.removeFile(InstallJournal::journalPath) && fs.lastError() != ENOENT)
        return false;
    fs.syncDir(backupDir);
    return true;
}

bool JournalReplay::rollbackFrom(const QList<Record>& records, bool* removeBackup)
{
    bool complete = true;
    *removeBackup = false;
    for (auto it = records.crbegin(); it != records.crend(); ++it) {
        // The journal lives in backup/: a backup/ this run created goes after the journal.
        if (it->kind == journal::Kind::MakeDir && it->from == backupDir) {
            *removeBackup = true;
            continue;
        }
        complete = undo(*it) && complete;
    }
    fs.syncAll();
    return complete;
}

void JournalReplay::removeBackupDir()
{
    if (fs.removeEmptyDir(backupDir))
        qDebug() << "InstallJournal::rollback removed" << logQuoted(fs.absolutePath(backupDir));
}

bool JournalReplay::undo(const Record& r)
{
    const QString& first = r.from;
    const QString& second = r.to;
    if (r.kind == journal::Kind::MakeDir) {
        InstallFs::Entry dir;
        if (!fs.entry(first, &dir) || dir.kind != InstallFs::Kind::Dir)
            return true;
        if (fs.removeEmptyDir(first)) {
            qDebug() << "InstallJournal::rollback removed" << logQuoted(fs.absolutePath(first));
            return true;
        }
        // Something not of this run's making is in it: it stays, and so does the folder.
        qDebug() << "InstallJournal::rollback failed" << logQuoted(fs.absolutePath(first))
                 << logQuoted(fs.errorString());
        return true;
    }
    if (r.kind == journal::Kind::Temp) {
        InstallFs::Entry temp;
        if (fs.entry(first, &temp) && temp.kind == InstallFs::Kind::File && fs.removeFile(first))
            qDebug() << "InstallJournal::rollback removed" << logQuoted(fs.absolutePath(first));
        return true;
    }
    if (r.kind == journal::Kind::Move) {
        InstallFs::Entry now;
        if (!fs.entry(second, &now) || !now.sameIdentity(r.numbers[0], r.numbers[1]))
            return true; // never made, or already undone
        if (fs.rename(second, first)) {
            qDebug() << "InstallJournal::rollback" << logQuoted(fs.absolutePath(second)) << "to"
                     << logQuoted(fs.absolutePath(first)) << "success";
            return true;
        }
        qDebug() << "InstallJournal::rollback failed" << logQuoted(fs.absolutePath(second))
                 << logQuoted(fs.absolutePath(first));
        // A downloaded file that cannot go back to update/ may go: the release still has it.
        if (isBelow(first, updateDir)) {
            if (fs.removeFile(second)) {
                qDebug() << "InstallJournal::rollback removed"
                         << logQuoted(fs.absolutePath(second));
                return true;
            }
            return false;
        }
        keepUnrestored(first, second);
        return false;
    }
    if (r.kind == journal::Kind::Copied) {
        InstallFs::Entry copy;
        if (!fs.entry(second, &copy) || !copy.sameIdentity(r.numbers[2], r.numbers[3]))
            return true;
        InstallFs::Entry source;
        if (fs.entry(first, &source) && source.sameIdentity(r.numbers[0], r.numbers[1])) {
            // The source is still there: the copy is a duplicate.
            if (fs.removeFile(second)) {
                qDebug() << "InstallJournal::rollback removed"
                         << logQuoted(fs.absolutePath(second));
                return true;
            }
            qDebug() << "InstallJournal::rollback failed" << logQuoted(fs.absolutePath(second))
                     << logQuoted(fs.absolutePath(first));
            return false;
        }
        if (!source.exists()) {
            // Back across the file systems: complete beside the original place, then renamed.
            const QString temp =
                InstallFs::join(InstallFs::parentOf(first),
                                QStringLiteral(".%1.~restore").arg(InstallFs::nameOf(first)));
            fs.removeFile(temp);
            if (fs.copyFile(second, temp) && fs.rename(temp, first)) {
                fs.removeFile(second);
                qDebug() << "InstallJournal::rollback" << logQuoted(fs.absolutePath(second)) << "to"
                         << logQuoted(fs.absolutePath(first)) << "success";
                return true;
            }
            fs.removeFile(temp);
        }
        qDebug() << "InstallJournal::rollback failed" << logQuoted(fs.absolutePath(second))
                 << logQuoted(fs.absolutePath(first));
        if (isBelow(first, updateDir))
            return fs.removeFile(second);
        keepUnrestored(first, second);
        return false;
    }
    return true;
}

void JournalReplay::keepUnrestored(const QString& original, const QString& current)
{
    // Only copies kept in backup/ need keeping: anything else is where the run put it.
    if (!isBelow(current, backupDir))
        return;
    if (unrestored.isEmpty()) {
        unrestored = backupDir + QStringLiteral("/.unrestored-") +
                     QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    }
    // Out of the way of the next installation, which would overwrite backup/<path>.
    const QString kept = unrestored + original;
    if (fs.makePath(InstallFs::parentOf(kept)) && fs.rename(current, kept))
        qDebug() << "InstallJournal::unrestored" << logQuoted(fs.absolutePath(original))
                 << logQuoted(fs.absolutePath(kept));
    else
        qDebug() << "InstallJournal::unrestored" << logQuoted(fs.absolutePath(original))
                 << logQuoted(fs.absolutePath(current));
}
