#pragma once

// What the updater does at start-up with a journal left behind by an interrupted installation
// (see InstallJournal::recover, the entry point): judges whether the journal and backup/ are the
// updater's own and every record one it writes, sets aside a journal it will not act on, and
// finishes or rolls back an accepted one, once, through JournalReplay.

#include "platform/installfs.h"
#include "update/journalrecords.h"

#include <QList>

class JournalRecovery
{
public:
    explicit JournalRecovery(InstallFs& fs);

    // Acts on the journal found, if any; returns whether one was found.
    bool recover();

private:
    // Whether the records' new configuration is in place: a commit record, or the installed
    // configuration with the identity the config record names.
    bool isCommitted(const QList<journal::Record>& records);
    // Renames the journal found to its path + "." + label + "-<time>".
    void setJournalAside(const char* label);

    InstallFs& fs;
};
