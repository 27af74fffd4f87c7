#include "update/journalrecovery.h"

#include "log/logquoted.h"
#include "update/installjournal.h"
#include "update/journalreplay.h"

#include <QDateTime>
#include <QDebug>

#include <cerrno>

namespace
{
const QString backupDir = QStringLiteral("/backup");
} // namespace

JournalRecovery::JournalRecovery(InstallFs& fs) : fs(fs) {}

bool JournalRecovery::isCommitted(const QList<journal::Record>& records)
{
    for (const journal::Record& r : records) {
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

void JournalRecovery::setJournalAside(const char* label)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString aside = InstallJournal::journalPath + QLatin1Char('.') + QLatin1String(label) +
                        QLatin1Char('-') + stamp;
        if (attempt > 0)
            aside += QLatin1Char('-') + QString::number(attempt);
        if (fs.rename(InstallJournal::journalPath, aside)) {
            fs.syncDir(backupDir);
            qDebug() << "InstallJournal::recover set aside"
                     << logQuoted(fs.absolutePath(InstallJournal::journalPath))
                     << logQuoted(fs.absolutePath(aside));
            return;
        }
        if (fs.lastError() != EEXIST)
            break;
    }
    // Left where it is; nothing is done from it.
    qDebug() << "InstallJournal::recover set aside failed"
             << logQuoted(fs.absolutePath(InstallJournal::journalPath))
             << logQuoted(fs.errorString());
}

bool JournalRecovery::recover()
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
                     << logQuoted(fs.absolutePath(InstallJournal::journalPath))
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
        const QString temp = InstallJournal::journalPath + QStringLiteral(".tmp");
        if (fs.entry(temp, &unfinished) && unfinished.kind == InstallFs::Kind::File &&
            fs.removeFile(temp))
            qDebug() << "InstallJournal::recover removed" << logQuoted(fs.absolutePath(temp));
    }
    InstallFs::Entry found;
    if (!fs.entry(InstallJournal::journalPath, &found) || !found.exists())
        return false;

    // Only a journal that nobody but the updater could have written, read within its bound, with
    // nothing in it the updater would not write, is acted on.
    QList<journal::Record> records;
    bool accepted = false;
    if (!backupOwn) {
        reason = QStringLiteral("backup/: ") + reason;
    } else if (fs.updatersOwn(InstallJournal::journalPath, InstallFs::Kind::File, &reason)) {
        QByteArray text;
        if (!fs.readFile(InstallJournal::journalPath, &text, journal::maxBytes))
            reason = fs.lastError() == EFBIG
                         ? QStringLiteral("longer than %1 bytes").arg(journal::maxBytes)
                         : QStringLiteral("unreadable: ") + fs.errorString();
        else
            accepted = journal::parse(text, &records, &reason);
    }
    if (!accepted) {
        qDebug() << "InstallJournal::recover rejected"
                 << logQuoted(fs.absolutePath(InstallJournal::journalPath)) << logQuoted(reason);
        setJournalAside("rejected");
        return true;
    }

    // Carried out once: a journal that cannot be completed is set aside, not tried at every start.
    JournalReplay recovering(fs);
    bool complete = false;
    bool removeBackup = false;
    if (isCommitted(records)) {
        qDebug() << "InstallJournal::recover finish"
                 << logQuoted(fs.absolutePath(InstallJournal::journalPath));
        complete = recovering.finishFrom(records);
    } else {
        qDebug() << "InstallJournal::recover rollback"
                 << logQuoted(fs.absolutePath(InstallJournal::journalPath));
        complete = recovering.rollbackFrom(records, &removeBackup);
        if (!complete && !recovering.unrestoredDir().isEmpty())
            qDebug() << "InstallJournal::recover unrestored"
                     << logQuoted(fs.absolutePath(recovering.unrestoredDir()));
    }
    if (!complete) {
        qDebug() << "InstallJournal::recover failed"
                 << logQuoted(fs.absolutePath(InstallJournal::journalPath));
        setJournalAside("failed");
        return true;
    }
    recovering.removeJournal();
    if (removeBackup)
        recovering.removeBackupDir();
    return true;
}
