#pragma once

// Acts on the records of an installation journal: finishes the clean-up of a run whose new
// configuration is in place, or undoes a run's steps, latest first. The installation's own
// rollback and the recovery at start-up both go through it, so a run is undone the same way
// whether it failed in this process or was killed. Every step is logged.

#include "platform/installfs.h"
#include "update/journalrecords.h"

#include <QList>
#include <QString>

class JournalReplay
{
public:
    explicit JournalReplay(InstallFs& fs);

    // The clean-up of a committed run's records: its stashes, its temporary files, the folders
    // its drops left empty and update/ removed. True when nothing is left (a folder that cannot
    // be removed is no failure: it only stays).
    bool finishFrom(const QList<journal::Record>& records);
    // Undoes the records, latest first; true when everything was put back. removeBackup tells
    // whether backup/ was made by the run (to be removed after the journal when empty).
    bool rollbackFrom(const QList<journal::Record>& records, bool* removeBackup);
    // Removes the journal file and flushes backup/; true when it is gone.
    bool removeJournal();
    // Removes backup/ when it is empty, as after the rollback of a run that made it.
    void removeBackupDir();

    // The folder that rollbackFrom() left copies in, relative; empty when there is none.
    QString unrestoredDir() const;
    // Forgets that folder: a new run keeps its copies in one of its own.
    void reset();

private:
    using Record = journal::Record;

    bool undo(const Record& record);
    // Removes the folders that the dropped files of a committed run left empty, innermost first.
    void removeEmptiedFolders(const QList<Record>& records);
    void keepUnrestored(const QString& original, const QString& current);

    InstallFs& fs;
    QString unrestored;
};
