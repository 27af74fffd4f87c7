#pragma once

// The journal of one installation, kept on disk in backup/.install-journal so that a run killed
// at any instant can be rolled back or finished at the next start.
//
// Every change the installation makes goes through it and is recorded, and flushed to the disk,
// before it is made. Steps that need nothing set aside can be queued: their records are written
// together and flushed once, and then the steps are taken in order. A record of a step that was
// never taken does no harm, since undoing a move looks for the moved entry by its identity and
// undoing a folder looks for the folder. A record names the entry a move takes by its identity
// (device and inode), so whether the move happened is read from the disk, not assumed. The new
// configuration replaces the installed one in one rename: once it is there the run is decided (the
// point of no return) and what is left is clean-up; before that, undoing every recorded step,
// latest first, gives back the installation as it was.
//
// The file is text, one record a line, fields separated by one space, paths relative to the
// installation with a leading "/" and percent-encoded:
//   updater-install-journal 1         first line
//   stash <folder>                    where entries in the way are set aside
//   mkdir <path>                      a folder is about to be created
//   move <from> <to> <dev> <ino>      the entry with that identity is about to be renamed
//   temp <path>                       a temporary copy is about to be created
//   copied <from> <to> <dev> <ino> <copy-dev> <copy-ino>
//                                     a complete copy of from is about to be renamed to to,
//                                     after which from is removed (a move across file systems)
//   config <temp> <to> <dev> <ino>    the new configuration, written to temp (recorded by a temp
//                                     record first) with that identity, is about to replace the
//                                     installed one
//   commit                            the new configuration is in place

#include "platform/installfs.h"
#include "update/journalrecords.h"
#include "update/journalreplay.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

class InUseWait;

class InstallJournal
{
public:
    // Relative path of the journal file.
    static const QString journalPath;

    explicit InstallJournal(InstallFs& fs);

    // Creates backup/ when missing and writes a new journal (temporary file, flushed, renamed,
    // folder flushed). False when it cannot be written: nothing may change then.
    bool begin();

    // The wait for files held open by another program that every move of this run goes through
    // (none: such a move fails at once). Not owned; it must outlive the moves.
    void setInUseWait(InUseWait* wait);

    // Creates the folder relative and every missing one above it, each recorded first. A link
    // or a file on the way fails.
    bool makePath(const QString& relative);
    // Moves from to to, where nothing may be: a rename, or across file systems a checked copy to
    // a temporary file beside to, renamed into place, and the source removed. Logs "CopyFileW".
    bool move(const QString& from, const QString& to);
    // Sets aside whatever is at relative (a file, a link or a folder) into the stash folder, so
    // that a rollback can put it back and a finished run removes it. True when nothing is there.
    bool setAside(const QString& relative);
    // Queues the folders missing on the way to relative, each to be recorded and created. True
    // when that is all the way needs; false, with nothing queued, when anything else is in the
    // way: an entry at relative, a link or a file where a folder belongs, or an entry that a
    // queued move takes or makes. The caller then takes the queue and clears the way step by
    // step. failure is the caller's message for a folder that cannot be made; empty when the
    // failure is to be passed over (the rest of that path's steps are then skipped).
    bool queueWayTo(const QString& relative, const QString& failure);
    // Queues the move of from to to (its source must exist), taken and logged as move() takes
    // and logs it. When from or to is already in a queued step, or from cannot be looked up, the
    // queue is taken first and the move made at once. False when that, or the queue taken
    // because it is full, fails.
    bool queueMove(const QString& from, const QString& to, const QString& failure);
    // Queues the "CopyFileW" line of a source that is not there, to be logged in its place.
    void queueMissing(const QString& from, const QString& to);
    // Writes the records of every queued step in one append, flushes the journal once, then takes
    // the steps in order. False at the first step that fails; the rest are dropped and failure()
    // gives that step's message.
    bool performQueued();
    QString failure() const;

    // Writes checkedConfig to a new file beside installedConfig and renames it over the installed
    // one, after flushing every earlier step: the point of no return. placedConfig names the file
    // the bytes were read from, for the log only. False (and nothing replaced) on failure.
    bool commit(const QString& placedConfig, const QByteArray& checkedConfig,
                const QString& installedConfig);
    bool committed() const;

    // After commit(): removes the stash, update/ and the journal. False when something is left;
    // the journal then stays so that the next start finishes the clean-up.
    bool finish();
    // Before commit(): undoes every recorded step, latest first, and removes the journal. What
    // could not be put back is moved to a folder backup/.unrestored-<time>/ at its original
    // relative path, and listed in the log. True when everything was put back.
    bool rollback();
    // The folder that rollback() left copies in, relative; empty when there is none.
    QString unrestoredDir() const;

    // At start-up: a journal left behind means an interrupted installation. It is acted on only
    // when it is the updater's own (InstallFs::updatersOwn: the journal and backup/), no longer
    // than journal::maxBytes and every record has a shape the updater writes (journal::parse);
    // otherwise it is renamed to backup/.install-journal.rejected-<time> and nothing is done from
    // it. An accepted journal is finished when the new configuration is in place, rolled back
    // otherwise, once: when a step of that fails, the journal is renamed to
    // backup/.install-journal.failed-<time>. Each step is logged. Returns whether a journal was
    // found. Carried out by JournalRecovery.
    static bool recover(InstallFs& fs);

private:
    using Record = journal::Record;

    // One step waiting in the queue.
    struct Step {
        enum Kind { MakeDir, Move, Missing } kind;
        QString from;
        QString to;
        // What was at from when the move was queued.
        InstallFs::Entry source;
        QString failure;
    };

    bool record(const QString& kind, const QStringList& paths, const QList<quint64>& numbers = {});
    // Whether relative is taken or made by a queued step, holds one, or lies below one.
    bool touchesQueued(const QString& relative) const;
    void clearQueue();
    bool takeMove(const QString& from, const QString& to, const InstallFs::Entry& source,
                  bool logged);
    bool makeStash();
    QString tempBeside(const QString& relative);
    bool moveEntry(const QString& from, const QString& to, bool logged);

    InstallFs& fs;
    InUseWait* inUse = nullptr;
    QString stash;
    int stashCount = 0;
    int tempCount = 0;
    bool open = false;
    bool isDone = false;
    bool backupCreated = false;
    // Undoes this run's records on rollback() and finishes them on finish(), as the recovery at
    // start-up does with the records of a run that was killed.
    JournalReplay replay;
    // The records this run has written to the journal, in order.
    QList<Record> written;
    QList<Step> queue;
    // The sources and targets of the queued moves, the folders above them, and the queued
    // folders.
    QSet<QString> queuedEnds;
    QSet<QString> queuedParents;
    QSet<QString> queuedDirs;
    QString failedStep;
};
