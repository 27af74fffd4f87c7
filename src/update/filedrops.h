#pragma once

// The drops of a pruning release: every installed file that the release no longer lists moves
// to its own place in backup/, through the journal, beside the previous copies of the replaced
// files, so that a failure, a rollback or a kill puts it back like any of them. The folders the
// drops leave empty go once the installation is decided (JournalReplay::finishFrom).

#include <QCoreApplication>
#include <QString>
#include <QStringList>

class InstallFs;
class InstallJournal;

class FileDrops
{
    Q_DECLARE_TR_FUNCTIONS(FileDrops)

public:
    // fs and journal (begun) must outlive the object.
    FileDrops(InstallFs& fs, InstallJournal& journal);

    // Moves each of paths that is a regular file to /backup<path>; an older copy there is set
    // aside until the installation is decided. Anything else at a path (a folder, a link) stays
    // and is logged; a path with nothing there is passed over. False, with failure() set, when
    // a file could not be moved; the caller rolls back.
    bool drop(const QStringList& paths);
    QString failure() const;

private:
    // Makes room at slot, a place in backup/, through the journal: an older copy there, and a
    // file where one of its folders belongs (an older copy of a file that is a folder now), are
    // set aside; the missing folders are made. A link on the way fails.
    bool clearSlot(const QString& slot);
    // The journal's failure (fallback when it gives none), after taking what was queued.
    bool failed(const QString& fallback);

    InstallFs& fs;
    InstallJournal& journal;
    QString error;
};
