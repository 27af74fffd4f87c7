#pragma once

// The installation of a run whose files are all checked in update/: moves the installed copies of
// the release's files, and the files it drops, into backup/, moves the new files into place with
// the modes they should have, writes the checked configuration as the installed one, and cleans up.
// Every change goes through the journal the caller has begun; a failure before the configuration is
// in place rolls all of them back. Before the first move it waits for the files it replaces that
// another program holds open, and every move waits for such a file again, within the run's bound
// (InUseWait). It neither checks links nor reads the configuration: the worker does both before it
// hands over.

#include <QByteArray>
#include <QCoreApplication>
#include <QHash>
#include <QString>
#include <QStringList>

class ConfigInfo;
class InstallFs;
class InstallJournal;
class InUseWait;

class Installer
{
    Q_DECLARE_TR_FUNCTIONS(Installer)

public:
    // config gives the files to install, the main executable and their attributes;
    // checkedConfig the bytes the installation writes as the installed configuration; inUse,
    // when given, the wait for files held open elsewhere. All of them must outlive the Installer.
    Installer(const ConfigInfo& config, InstallFs& fs, InstallJournal& journal,
              const QByteArray& checkedConfig, InUseWait* inUse = nullptr);

    // Installs the files of config through the begun journal. On failure everything is rolled
    // back, update/ is removed, and failure() says what went wrong and how the rollback ended.
    bool install();
    QString failure() const;

private:
    // Waits, while nothing has changed yet, until no installed file the release replaces (the
    // installed configuration among them) is held open by another program. False when one still
    // is once the run's time to wait is spent; install() then names it.
    bool waitForFilesInUse();
    // Moves the installed copy of every file of the release into backup/. False, with the
    // failure set, when an installed copy could not be moved.
    bool backup();
    // Moves the files the release drops into backup/ (FileDrops). False, with the failure set,
    // when one could not be moved.
    bool dropFiles();
    // Moves the downloaded files into the installation, then the new configuration over the
    // installed one, then removes update/. False, with the failure set, when a file could not be
    // put in place; update/ is then left for the rollback.
    bool copyUpdateFiles(const QStringList& files);
    // Makes the folders on the way to path, through the journal. A file where a folder is needed
    // goes to backup/ (or, inside backup/, is set aside) like any replaced copy.
    bool clearWayTo(const QString& path);
    // Sets the failure and returns false, after taking the steps queued before the failure; when
    // one of those fails, that is the failure reported.
    bool installFailed(const QString& msg);
    // Sets the failure of the journal's step that failed (fallback when it has none) and returns
    // false.
    bool journalFailed(const QString& fallback);
    // Gives the downloaded file for path the mode it should have once installed: that of the
    // copy it replaces, or the one it was created with; the main executable executable.
    void applyMode(const QString& path, const QString& downloaded);
    bool isMainExe(const QString& path) const;

    const ConfigInfo& config;
    InstallFs& fs;
    InstallJournal& journal;
    const QByteArray& checkedConfig;
    InUseWait* inUse;
    // Mode bits of the installed copies moved to backup/, by configuration path.
    QHash<QString, uint> replacedModes;
    QString installError;
};
