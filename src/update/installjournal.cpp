#include "update/installjournal.h"

#include "log/logquoted.h"
#include "platform/installfs.h"
#include "update/inusewait.h"
#include "update/journalrecovery.h"

#include <QDateTime>
#include <QDebug>
#include <QFileDevice>

#include <cerrno>

const QString InstallJournal::journalPath = QStringLiteral("/backup/.install-journal");

namespace
{

const QString backupDir = QStringLiteral("/backup");

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

InstallJournal::InstallJournal(InstallFs& fs) : fs(fs), replay(fs) {}

bool InstallJournal::begin()
{
    open = false;
    isDone = false;
    stash.clear();
    stashCount = 0;
    tempCount = 0;
    replay.reset();
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

void InstallJournal::setInUseWait(InUseWait* wait)
{
    inUse = wait;
}

bool InstallJournal::committed() const
{
    return isDone;
}

QString InstallJournal::unrestoredDir() const
{
    return replay.unrestoredDir();
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

    // The step is recorded once, whatever the tries: a kill during a wait finds the entry at
    // one end or the other. Only a file is waited for: a folder that cannot be moved (a mount
    // point, on POSIX) is not let go by waiting.
    const auto rename = [&] { return fs.rename(from, to); };
    const bool mayWait = inUse && source.kind == InstallFs::Kind::File;
    if (mayWait ? inUse->attempt(fs, from, rename) : rename())
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

    // The installed configuration held open by another program (the application reading it) is
    // waited for as any file.
    const auto replace = [&] { return fs.rename(temp, installedConfig, true); };
    if (!record(QStringLiteral("config"), {temp, installedConfig},
                {written.device, written.inode}) ||
        !(inUse ? inUse->attempt(fs, installedConfig, replace) : replace())) {
        fs.removeFile(temp);
        return report(false, int(QFileDevice::RenameError));
    }
    isDone = true;
    fs.syncDir(InstallFs::parentOf(installedConfig));
    record(QStringLiteral("commit"), {});
    return report(true, 0);
}

bool InstallJournal::finish()
{
    clearQueue();
    if (!replay.finishFrom(written))
        return false;
    open = false;
    return replay.removeJournal();
}

bool InstallJournal::rollback()
{
    // Queued steps were never recorded nor taken: nothing of them to undo.
    clearQueue();
    bool removeBackup = false;
    const bool complete = replay.rollbackFrom(written, &removeBackup);
    open = false;
    if (!replay.removeJournal())
        return false;
    if (removeBackup)
        replay.removeBackupDir();
    return complete;
}

bool InstallJournal::recover(InstallFs& fs)
{
    return JournalRecovery(fs).recover();
}
