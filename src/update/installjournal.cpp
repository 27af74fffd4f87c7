#include "update/installjournal.h"

#include "log/logquoted.h"
#include "platform/installfs.h"

#include <QDateTime>
#include <QDebug>
#include <QFileDevice>

#include <cerrno>

const QString InstallJournal::journalPath = QStringLiteral("/backup/.install-journal");

namespace
{

const QString backupDir = QStringLiteral("/backup");
const QString updateDir = QStringLiteral("/update");

bool isBelow(const QString& path, const QString& dir)
{
    return path.startsWith(dir + QLatin1Char('/'));
}

// The copies kept in backup/ are moved back by a later recovery: whatever the umask, nobody else
// may change what lies in its folders. The installation's own folders take the umask.
uint folderMode(const QString& path)
{
    return isBelow(path, backupDir) ? 0755 : 0777;
}

// The numeric QFile error a failed step shows in its "CopyFileW" line.
int fileErrorOf(int error, bool copying)
{
    if (error == ENOENT)
        return int(QFileDevice::OpenError);
    return int(copying ? QFileDevice::CopyError : QFileDevice::RenameError);
}

} // namespace

InstallJournal::InstallJournal(InstallFs& fs) : fs(fs) {}

bool InstallJournal::begin()
{
    open = false;
    isDone = false;
    stash.clear();
    stashCount = 0;
    tempCount = 0;
    unrestored.clear();
    written.clear();
    clearQueue();
    failedStep.clear();

    InstallFs::Entry backup;
    if (!fs.entry(backupDir, &backup))
        return false;
    backupCreated = false;
    if (!backup.exists()) {
        if (!fs.makeDir(backupDir, 0755))
            return false;
        backupCreated = true;
    } else if (backup.kind != InstallFs::Kind::Dir) {
        qDebug() << "InstallJournal::begin refused" << logQuoted(fs.absolutePath(backupDir))
                 << logQuoted(QStringLiteral("not a folder"));
        return false;
    }
    // The next start acts on the journal only in a backup/ of the updater's own that nobody
    // else may write: a folder of ours that others may write is closed to them first.
    QString reason;
    bool own = fs.updatersOwn(backupDir, InstallFs::Kind::Dir, &reason);
    if (!own && reason == QLatin1String("writable by others") && fs.closeToOthers(backupDir))
        own = fs.updatersOwn(backupDir, InstallFs::Kind::Dir, &reason);
    if (!own) {
        qDebug() << "InstallJournal::begin refused" << logQuoted(fs.absolutePath(backupDir))
                 << logQuoted(reason);
        if (backupCreated)
            fs.removeEmptyDir(backupDir);
        return false;
    }
    reason.clear();
    QByteArray text = QByteArray(journal::header) + '\n';
    Record made;
    made.kind = journal::Kind::MakeDir;
    made.from = backupDir;
    if (backupCreated)
        text += journal::line(made);
    if (!fs.writeFileAtomically(journalPath, text) ||
        !fs.updatersOwn(journalPath, InstallFs::Kind::File, &reason)) {
        if (reason.isEmpty())
            reason = fs.errorString();
        qDebug() << "InstallJournal::begin refused" << logQuoted(fs.absolutePath(journalPath))
                 << logQuoted(reason);
        fs.removeFile(journalPath);
        if (backupCreated)
            fs.removeEmptyDir(backupDir);
        return false;
    }
    if (backupCreated)
        written.append(made);
    open = true;
    return true;
}

bool InstallJournal::committed() const
{
    return isDone;
}

QString InstallJournal::unrestoredDir() const
{
    return unrestored;
}

bool InstallJournal::record(const QString& kind, const QStringList& paths,
                            const QList<quint64>& numbers)
{
    Record r;
    if (!open || !journal::makeRecord(kind, paths, numbers, &r))
        return false;
    if (!fs.appendDurably(journalPath, journal::line(r))) {
        qDebug() << "InstallJournal::record failed" << logQuoted(fs.absolutePath(journalPath))
                 << logQuoted(fs.errorString());
        return false;
    }
    written.append(r);
    return true;
}

bool InstallJournal::makePath(const QString& relative)
{
    // Queued steps come first: the order on the disk is the order of the calls.
    if (!queue.isEmpty() && !performQueued())
        return false;
    QStringList segments;
    if (!InstallFs::split(relative, &segments))
        return false;
    QString path;
    for (const QString& segment : segments) {
        path += QLatin1Char('/') + segment;
        InstallFs::Entry found;
        if (!fs.entry(path, &found))
            return false;
        if (found.kind == InstallFs::Kind::Dir)
            continue;
        if (found.exists())
            return false;
        if (!record(QStringLiteral("mkdir"), {path}) || !fs.makeDir(path, folderMode(path)))
            return false;
    }
    return true;
}

QString InstallJournal::tempBeside(const QString& relative)
{
    return InstallFs::join(
        InstallFs::parentOf(relative),
        QStringLiteral(".%1.~%2").arg(InstallFs::nameOf(relative)).arg(++tempCount));
}

bool InstallJournal::moveEntry(const QString& from, const QString& to, bool logged)
{
    InstallFs::Entry source;
    if (!fs.entry(from, &source) || !source.exists()) {
        const int error = source.exists() ? fs.lastError() : ENOENT;
        if (logged)
            qDebug() << "CopyFileW" << logQuoted(fs.absolutePath(from)) << "to"
                     << logQuoted(fs.absolutePath(to)) << fileErrorOf(error, false);
        return false;
    }
    if (!record(QStringLiteral("move"), {from, to}, {source.device, source.inode})) {
        if (logged)
            qDebug() << "CopyFileW" << logQuoted(fs.absolutePath(from)) << "to"
                     << logQuoted(fs.absolutePath(to)) << fileErrorOf(EIO, false);
        return false;
    }
    return takeMove(from, to, source, logged);
}

bool InstallJournal::takeMove(const QString& from, const QString& to,
                              const InstallFs::Entry& source, bool logged)
{
    auto report = [&](bool ok, int error, bool copying) {
        if (!logged)
            return ok;
        if (ok)
            qDebug() << "CopyFileW" << logQuoted(fs.absolutePath(from)) << "to"
                     << logQuoted(fs.absolutePath(to)) << "success";
        else
            qDebug() << "CopyFileW" << logQuoted(fs.absolutePath(from)) << "to"
                     << logQuoted(fs.absolutePath(to)) << fileErrorOf(error, copying);
        return ok;
    };

    if (fs.rename(from, to))
        return report(true, 0, false);
    if (fs.lastError() != EXDEV || source.kind != InstallFs::Kind::File)
        return report(false, fs.lastError(), false);

    // Another file system: a complete, checked copy beside the target, renamed into place;
    // the source goes only once the copy is there.
    const QString temp = tempBeside(to);
    if (!record(QStringLiteral("temp"), {temp}))
        return report(false, EIO, true);
    if (!fs.copyFile(from, temp))
        return report(false, fs.lastError(), true);
    InstallFs::Entry copy;
    if (!fs.entry(temp, &copy) || copy.kind != InstallFs::Kind::File ||
        !record(QStringLiteral("copied"), {from, to},
                {source.device, source.inode, copy.device, copy.inode})) {
        fs.removeFile(temp);
        return report(false, EIO, true);
    }
    if (!fs.rename(temp, to)) {
        const int error = fs.lastError();
        fs.removeFile(temp);
        return report(false, error, true);
    }
    if (!fs.removeFile(from))
        return report(false, fs.lastError(), true);
    return report(true, 0, true);
}

bool InstallJournal::touchesQueued(const QString& relative) const
{
    if (queuedEnds.contains(relative) || queuedParents.contains(relative) ||
        queuedDirs.contains(relative))
        return true;
    for (int slash = int(relative.lastIndexOf(QLatin1Char('/'))); slash > 0;
         slash = int(relative.lastIndexOf(QLatin1Char('/'), slash - 1))) {
        if (queuedEnds.contains(relative.left(slash)))
            return true;
    }
    return false;
}

bool InstallJournal::queueWayTo(const QString& relative, const QString& failure)
{
    QStringList segments;
    if (!open || !InstallFs::split(relative, &segments) || segments.isEmpty() ||
        touchesQueued(relative))
        return false;
    QStringList missing;
    QString path;
    for (int i = 0; i + 1 < segments.size(); ++i) {
        path += QLatin1Char('/') + segments.at(i);
        if (!missing.isEmpty() || queuedDirs.contains(path)) {
            if (missing.isEmpty())
                continue;
            missing.append(path);
            continue;
        }
        if (queuedEnds.contains(path))
            return false;
        InstallFs::Entry found;
        if (!fs.entry(path, &found))
            return false;
        if (found.kind == InstallFs::Kind::Dir)
            continue;
        if (found.exists())
            return false;
        missing.append(path);
    }
    if (missing.isEmpty()) {
        InstallFs::Entry target;
        if (!fs.entry(relative, &target) || target.exists())
            return false;
    }
    for (const QString& dir : std::as_const(missing)) {
        queue.append(Step{Step::MakeDir, dir, QString(), InstallFs::Entry(), failure});
        queuedDirs.insert(dir);
    }
    return true;
}

bool InstallJournal::queueMove(const QString& from, const QString& to, const QString& failure)
{
    InstallFs::Entry source;
    if (touchesQueued(from) || touchesQueued(to) || !fs.entry(from, &source) || !source.exists()) {
        if (!performQueued())
            return false;
        if (moveEntry(from, to, true))
            return true;
        failedStep = failure;
        return false;
    }
    queue.append(Step{Step::Move, from, to, source, failure});
    for (const QString& end : {from, to}) {
        queuedEnds.insert(end);
        for (QString parent = InstallFs::parentOf(end); !parent.isEmpty();
             parent = InstallFs::parentOf(parent))
            queuedParents.insert(parent);
    }
    // A bounded queue: one append and one flush for this many steps.
    if (queue.size() >= 512)
        return performQueued();
    return true;
}

void InstallJournal::queueMissing(const QString& from, const QString& to)
{
    queue.append(Step{Step::Missing, from, to, InstallFs::Entry(), QString()});
}

void InstallJournal::clearQueue()
{
    queue.clear();
    queuedEnds.clear();
    queuedParents.clear();
    queuedDirs.clear();
}

QString InstallJournal::failure() const
{
    return failedStep;
}

bool InstallJournal::performQueued()
{
    const QList<Step> steps = queue;
    clearQueue();
    QList<Record> batch;
    QByteArray records;
    for (const Step& step : steps) {
        Record r;
        r.from = step.from;
        if (step.kind == Step::MakeDir) {
            r.kind = journal::Kind::MakeDir;
        } else if (step.kind == Step::Move) {
            r.kind = journal::Kind::Move;
            r.to = step.to;
            r.numbers[0] = step.source.device;
            r.numbers[1] = step.source.inode;
        } else {
            continue;
        }
        records += journal::line(r);
        batch.append(r);
    }
    // Every record of the batch is on the disk before the first of its steps is taken.
    if (!records.isEmpty() && (!open || !fs.appendDurably(journalPath, records))) {
        qDebug() << "InstallJournal::record failed" << logQuoted(fs.absolutePath(journalPath))
                 << logQuoted(fs.errorString());
        failedStep.clear();
        for (const Step& step : steps) {
            if (!step.failure.isEmpty()) {
                failedStep = step.failure;
                break;
            }
        }
        return false;
    }
    written += batch;
    // A folder that could not be made, where that is passed over, skips the rest of its path.
    QString skipped;
    for (const Step& step : steps) {
        bool ok = true;
        switch (step.kind) {
        case Step::MakeDir:
            if (!skipped.isEmpty() && isBelow(step.from, skipped))
                continue;
            ok = fs.makeDir(step.from, folderMode(step.from));
            if (!ok && step.failure.isEmpty()) {
                skipped = step.from;
                continue;
            }
            break;
        case Step::Move:
            ok = takeMove(step.from, step.to, step.source, true);
            break;
        case Step::Missing:
            if (!skipped.isEmpty() && isBelow(step.to, skipped))
                continue;
            qDebug() << "CopyFileW" << logQuoted(fs.absolutePath(step.from)) << "to"
                     << logQuoted(fs.absolutePath(step.to)) << int(QFileDevice::OpenError);
            break;
        }
        if (!ok) {
            failedStep = step.failure;
            return false;
        }
    }
    return true;
}

bool InstallJournal::move(const QString& from, const QString& to)
{
    // Queued steps come first: the order on the disk is the order of the calls.
    if (!queue.isEmpty() && !performQueued())
        return false;
    return moveEntry(from, to, true);
}

bool InstallJournal::makeStash()
{
    if (!stash.isEmpty())
        return true;
    const QString stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmsszzz"));
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString candidate = backupDir + QStringLiteral("/.install-stash-") + stamp;
        if (attempt > 0)
            candidate += QLatin1Char('-') + QString::number(attempt);
        InstallFs::Entry found;
        if (!fs.entry(candidate, &found))
            return false;
        if (found.exists())
            continue;
        if (!record(QStringLiteral("stash"), {candidate}) || !makePath(candidate))
            return false;
        stash = candidate;
        return true;
    }
    return false;
}

bool InstallJournal::setAside(const QString& relative)
{
    // Queued steps come first: the order on the disk is the order of the calls.
    if (!queue.isEmpty() && !performQueued())
        return false;
    InstallFs::Entry found;
    if (!fs.entry(relative, &found))
        return false;
    if (!found.exists())
        return true;
    if (!makeStash())
        return false;
    const QString aside = stash + QLatin1Char('/') + QString::number(stashCount++);
    if (!moveEntry(relative, aside, false)) {
        qDebug() << "InstallJournal::stash failed" << logQuoted(fs.absolutePath(relative))
                 << logQuoted(fs.absolutePath(aside));
        return false;
    }
    return true;
}

bool InstallJournal::commit(const QString& placedConfig, const QByteArray& checkedConfig,
                            const QString& installedConfig)
{
    // Queued steps come first: the order on the disk is the order of the calls.
    if (!queue.isEmpty() && !performQueued())
        return false;
    auto report = [&](bool ok, int code) {
        if (ok)
            qDebug() << "CopyFileW" << logQuoted(fs.absolutePath(placedConfig)) << "to"
                     << logQuoted(fs.absolutePath(installedConfig)) << "success";
        else
            qDebug() << "CopyFileW" << logQuoted(fs.absolutePath(placedConfig)) << "to"
                     << logQuoted(fs.absolutePath(installedConfig)) << code;
        return ok;
    };

    if (!makePath(InstallFs::parentOf(installedConfig)))
        return report(false, int(QFileDevice::OpenError));
    // The installed configuration decides what later runs trust (its public key among them). The
    // placed file keeps the owner and inode of whoever placed it, who could change it later, so
    // it is never moved in: a new file of this program's holds the bytes that were checked.
    // A name no earlier run left behind: the file is created exclusively.
    QString temp = tempBeside(installedConfig);
    for (InstallFs::Entry found; fs.entry(temp, &found) && found.exists() && tempCount < 100;)
        temp = tempBeside(installedConfig);
    InstallFs::Entry written;
    if (!record(QStringLiteral("temp"), {temp}) ||
        !fs.writeNewFile(temp, checkedConfig, 0644, &written))
        return report(false, int(QFileDevice::CopyError));
    // Every step so far is on the disk before the step that decides the run.
    fs.syncAll();

    if (!record(QStringLiteral("config"), {temp, installedConfig},
                {written.device, written.inode}) ||
        !fs.rename(temp, installedConfig, true)) {
        fs.removeFile(temp);
        return report(false, int(QFileDevice::RenameError));
    }
    isDone = true;
    fs.syncDir(InstallFs::parentOf(installedConfig));
    record(QStringLiteral("commit"), {});
    return report(true, 0);
}

bool InstallJournal::isCommitted(const QList<Record>& records)
{
    for (const Record& r : records) {
        if (r.kind == journal::Kind::Commit)
            return true;
        if (r.kind == journal::Kind::Config) {
            InstallFs::Entry installed;
            if (fs.entry(r.to, &installed) && installed.sameIdentity(r.numbers[0], r.numbers[1]))
                return true;
        }
    }
    return false;
}

bool InstallJournal::finish()
{
    clearQueue();
    return finishFrom(written) && removeJournal();
}

bool InstallJournal::finishFrom(const QList<Record>& records)
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
    clean = fs.removeTree(updateDir) && clean;
    if (!clean) {
        qDebug() << "InstallJournal::finish failed" << logQuoted(fs.absolutePath(updateDir))
                 << logQuoted(fs.errorString());
        return false;
    }
    fs.syncAll();
    return true;
}

bool InstallJournal::removeJournal()
{
    open = false;
    if (!fs.removeFile(journalPath) && fs.lastError() != ENOENT)
        return false;
    fs.syncDir(backupDir);
    return true;
}

bool InstallJournal::rollback()
{
    // Queued steps were never recorded nor taken: nothing of them to undo.
    clearQueue();
    bool removeBackup = false;
    const bool complete = rollbackFrom(written, &removeBackup);
    if (!removeJournal())
        return false;
    if (removeBackup && fs.removeEmptyDir(backupDir))
        qDebug() << "InstallJournal::rollback removed" << logQuoted(fs.absolutePath(backupDir));
    return complete;
}

bool InstallJournal::rollbackFrom(const QList<Record>& records, bool* removeBackup)
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

bool InstallJournal::undo(const Record& r)
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

void InstallJournal::keepUnrestored(const QString& original, const QString& current)
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

void InstallJournal::setJournalAside(InstallFs& fs, const char* label)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString aside =
            journalPath + QLatin1Char('.') + QLatin1String(label) + QLatin1Char('-') + stamp;
        if (attempt > 0)
            aside += QLatin1Char('-') + QString::number(attempt);
        if (fs.rename(journalPath, aside)) {
            fs.syncDir(backupDir);
            qDebug() << "InstallJournal::recover set aside"
                     << logQuoted(fs.absolutePath(journalPath))
                     << logQuoted(fs.absolutePath(aside));
            return;
        }
        if (fs.lastError() != EEXIST)
            break;
    }
    // Left where it is; nothing is done from it.
    qDebug() << "InstallJournal::recover set aside failed"
             << logQuoted(fs.absolutePath(journalPath)) << logQuoted(fs.errorString());
}

bool InstallJournal::recover(InstallFs& fs)
{
    struct Release {
        InstallFs& fs;
        ~Release() { fs.releaseFolder(); }
    } release{fs};
    // backup/ is held from here on: the journal and what is beside it are reached through that
    // handle, the very folder that was judged.
    if (!fs.holdFolder(backupDir)) {
        if (fs.lastError() == ELOOP) {
            qDebug() << "InstallJournal::recover rejected"
                     << logQuoted(fs.absolutePath(journalPath))
                     << logQuoted(QStringLiteral("backup/ is a link"));
            return true;
        }
        return false;
    }
    QString reason;
    const bool backupOwn = fs.updatersOwn(backupDir, InstallFs::Kind::Dir, &reason);
    if (backupOwn) {
        // A journal that was being written when the run stopped never came into force.
        InstallFs::Entry unfinished;
        const QString temp = journalPath + QStringLiteral(".tmp");
        if (fs.entry(temp, &unfinished) && unfinished.kind == InstallFs::Kind::File &&
            fs.removeFile(temp))
            qDebug() << "InstallJournal::recover removed" << logQuoted(fs.absolutePath(temp));
    }
    InstallFs::Entry found;
    if (!fs.entry(journalPath, &found) || !found.exists())
        return false;

    // Only a journal that nobody but the updater could have written, read within its bound, with
    // nothing in it the updater would not write, is acted on.
    QList<Record> records;
    bool accepted = false;
    if (!backupOwn) {
        reason = QStringLiteral("backup/: ") + reason;
    } else if (fs.updatersOwn(journalPath, InstallFs::Kind::File, &reason)) {
        QByteArray text;
        if (!fs.readFile(journalPath, &text, journal::maxBytes))
            reason = fs.lastError() == EFBIG
                         ? QStringLiteral("longer than %1 bytes").arg(journal::maxBytes)
                         : QStringLiteral("unreadable: ") + fs.errorString();
        else
            accepted = journal::parse(text, &records, &reason);
    }
    if (!accepted) {
        qDebug() << "InstallJournal::recover rejected" << logQuoted(fs.absolutePath(journalPath))
                 << logQuoted(reason);
        setJournalAside(fs, "rejected");
        return true;
    }

    // Carried out once: a journal that cannot be completed is set aside, not tried at every start.
    InstallJournal recovering(fs);
    bool complete = false;
    bool removeBackup = false;
    if (recovering.isCommitted(records)) {
        qDebug() << "InstallJournal::recover finish" << logQuoted(fs.absolutePath(journalPath));
        complete = recovering.finishFrom(records);
    } else {
        qDebug() << "InstallJournal::recover rollback" << logQuoted(fs.absolutePath(journalPath));
        complete = recovering.rollbackFrom(records, &removeBackup);
        if (!complete && !recovering.unrestored.isEmpty())
            qDebug() << "InstallJournal::recover unrestored"
                     << logQuoted(fs.absolutePath(recovering.unrestored));
    }
    if (!complete) {
        qDebug() << "InstallJournal::recover failed" << logQuoted(fs.absolutePath(journalPath));
        setJournalAside(fs, "failed");
        return true;
    }
    recovering.removeJournal();
    if (removeBackup && fs.removeEmptyDir(backupDir))
        qDebug() << "InstallJournal::rollback removed" << logQuoted(fs.absolutePath(backupDir));
    return true;
}
