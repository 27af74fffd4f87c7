#pragma once

// Remembers every change an installation makes to the installation directory, so that a failed
// installation can be undone and leave the directory as it found it: files moved (installed
// copies into backup/), files added, directories created, and files that were in the way and
// had to be set aside.

#include <QFileDevice>
#include <QList>
#include <QString>
#include <QStringList>

class InstallJournal
{
public:
    // Files set aside go below stashParent, in a directory of their own created on first use.
    // Whoever owns stashParent removes it once the installation is decided.
    void begin(const QString& stashParent);

    // Sets aside a file (or link) that is in the way at path, so that it can be put back.
    // True when nothing is at path, when a directory is there (left alone), or when the file
    // was set aside.
    bool stash(const QString& path);
    // Of dirs (as missingDirs() gave them before an operation), remembers those that exist now.
    void recordCreatedDirs(const QStringList& dirs);
    // from was moved to to; the permissions are those from had.
    void recordMove(const QString& from, const QString& to, QFileDevice::Permissions permissions);
    // A file was put at path where nothing was before.
    void recordAdded(const QString& path);

    // Undoes every recorded change, latest first. Failures are logged and the rest goes on.
    void rollback();

private:
    enum class Kind { Stashed, CreatedDir, Moved, Added };
    struct Entry
    {
        Kind kind;
        QString path;  // the place to restore (Stashed, Moved) or to remove (CreatedDir, Added)
        QString other; // where the file is now (Stashed, Moved)
        QFileDevice::Permissions permissions;
    };

    QString stashParent;
    QString stashDir;
    int stashCount = 0;
    QList<Entry> entries;
};
