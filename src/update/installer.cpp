#include "update/installer.h"

#include "config/configinfo.h"
#include "config/configreader.h"
#include "platform/installfs.h"
#include "update/filedrops.h"
#include "update/installjournal.h"
#include "update/inusewait.h"

#include <QDebug>
#include <QDir>

Installer::Installer(const ConfigInfo& config, InstallFs& fs, InstallJournal& journal,
                     const QByteArray& checkedConfig, InUseWait* inUse)
    : config(config), fs(fs), journal(journal), checkedConfig(checkedConfig), inUse(inUse)
{
}

QString Installer::failure() const
{
    return installError;
}

bool Installer::install()
{
    replacedModes.clear();
    installError.clear();
    journal.setInUseWait(inUse);
    if (waitForFilesInUse() && backup() && dropFiles() && copyUpdateFiles(config.fileList))
        return true;
    // A move given up on because another program still holds its file: that is what the user
    // can do something about.
    if (inUse && !inUse->stillInUse().isEmpty())
        installError = tr("文件正被其他程序使用:") + inUse->stillInUse();
    // Put back everything this run changed; the installed configuration was never touched.
    if (!journal.rollback()) {
        const QString kept = journal.unrestoredDir();
        installError = kept.isEmpty() ? tr("安装失败，未能恢复全部原有文件，安装可能不完整")
                                      : tr("安装失败，未能恢复全部原有文件，安装可能不完整。"
                                           "原有文件保存在:") +
                                            fs.absolutePath(kept);
    }
    fs.removeTree(QStringLiteral("/update"));
    return false;
}

bool Installer::clearWayTo(const QString& path)
{
    QStringList segments;
    if (!InstallFs::split(path, &segments))
        return false;
    QString dir;
    for (int i = 0; i + 1 < segments.size(); ++i) {
        dir += QLatin1Char('/') + segments.at(i);
        InstallFs::Entry found;
        if (!fs.entry(dir, &found) || found.kind == InstallFs::Kind::Link)
            return false;
        if (found.kind == InstallFs::Kind::Dir)
            continue;
        if (found.exists()) {
            // A file where this release has a folder. In backup/ it is an older previous copy,
            // set aside; in the installation it is replaced like any installed copy.
            if (dir.startsWith(QLatin1String("/backup/"))) {
                if (!journal.setAside(dir))
                    return false;
            } else {
                const QString slot = QStringLiteral("/backup") + dir;
                if (!clearWayTo(slot) || !journal.setAside(slot) || !journal.move(dir, slot))
                    return false;
            }
        }
        if (!journal.makePath(dir))
            return false;
    }
    return true;
}

bool Installer::installFailed(const QString& msg)
{
    // What was queued before the failure is taken first, as it would have been taken one step at
    // a time; when that fails, its own failure is the one to report.
    if (!journal.performQueued())
        return journalFailed(msg);
    installError = msg;
    return false;
}

bool Installer::journalFailed(const QString& fallback)
{
    installError = journal.failure().isEmpty() ? fallback : journal.failure();
    return false;
}

bool Installer::waitForFilesInUse()
{
    if (!inUse)
        return true;
    // False only when the path is given up on; any other failure of the check is left to the
    // move, which reports it as it always did.
    const auto waitFor = [this](const QString& path) {
        InstallFs::Entry installed;
        if (!fs.entry(path, &installed) || installed.kind != InstallFs::Kind::File)
            return true;
        return inUse->attempt(fs, path, [&] { return fs.checkDeletable(path); }) ||
               inUse->stillInUse().isEmpty();
    };
    for (auto it = config.fileMap.cbegin(); it != config.fileMap.cend(); ++it) {
        if (!waitFor(it.key()))
            return false;
    }
    return waitFor(QStringLiteral("/config/") + configFileName);
}

bool Installer::backup()
{
    // The log keeps the names the steps had when the worker took them itself.
    qDebug() << "Update::backup";

    // Moves to backup locations that are free are queued, so that their records reach the disk
    // together; anything in the way is dealt with one recorded step at a time.
    for (auto it = config.fileMap.cbegin(); it != config.fileMap.cend(); ++it) {
        const QString& path = it.key();
        const QString slot = QStringLiteral("/backup") + path;
        const QString failure = tr("备份文件失败:") + path;
        InstallFs::Entry installed;
        if (!fs.entry(path, &installed))
            return installFailed(failure);
        // For a file new in this release nothing depends on its backup location: a failure there
        // is only logged, like the failed attempt to back up what is not there.
        if (!journal.queueWayTo(slot, installed.exists() ? failure : QString())) {
            if (!journal.performQueued())
                return journalFailed(failure);
            // An older previous copy at the backup location is set aside, not lost, until the
            // installation is decided.
            if (!clearWayTo(slot) || !journal.setAside(slot)) {
                if (installed.exists())
                    return installFailed(failure);
                continue;
            }
        }
        if (!installed.exists()) {
            journal.queueMissing(path, slot);
            continue;
        }
        // The mode from the file system: what Qt reports is the caller's access, and a link's
        // mode would be its target's.
        if (installed.kind == InstallFs::Kind::File)
            replacedModes.insert(path, installed.mode);
        if (!journal.queueMove(path, slot, failure))
            return journalFailed(failure);
    }
    return journal.performQueued() ||
           journalFailed(tr("安装文件失败:") + InstallJournal::journalPath);
}

bool Installer::dropFiles()
{
    // After the backups: a folder that a new file replaces went to backup/ whole, with whatever
    // dropped file it held.
    FileDrops drops(fs, journal);
    if (drops.drop(config.droppedPaths))
        return true;
    installError = drops.failure();
    return false;
}

bool Installer::copyUpdateFiles(const QStringList& files)
{
    qDebug() << "Update::copyUpdateFiles" << files.size();
    for (const QString& path : files) {
        const QString source = QStringLiteral("/update") + path;
        const QString failure = tr("安装文件失败:") + path;
        if (!journal.queueWayTo(path, failure)) {
            if (!journal.performQueued())
                return journalFailed(failure);
            if (!clearWayTo(path) || !journal.setAside(path))
                return installFailed(failure);
        }
        applyMode(path, source);
        if (!journal.queueMove(source, path, failure))
            return journalFailed(failure);
    }
    if (!journal.performQueued())
        return journalFailed(tr("安装文件失败:") + InstallJournal::journalPath);

    // Only a complete installation may claim the new version; from here on the run is decided.
    const QString installedConfig = QStringLiteral("/config/") + configFileName;
    if (!journal.commit(QStringLiteral("/update/") + configFileName, checkedConfig,
                        installedConfig)) {
        installError = tr("安装文件失败:") + installedConfig;
        return false;
    }
    journal.finish();
    return true;
}

bool Installer::isMainExe(const QString& path) const
{
    QString main = QDir::fromNativeSeparators(config.main);
    while (main.startsWith(QLatin1String("./")))
        main.remove(0, 2);
    while (main.startsWith(QLatin1Char('/')))
        main.remove(0, 1);
    return !main.isEmpty() && path.mid(1) == main;
}

void Installer::applyMode(const QString& path, const QString& downloaded)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path);
    Q_UNUSED(downloaded);
#else
    InstallFs::Entry file;
    if (!fs.entry(downloaded, &file) || file.kind != InstallFs::Kind::File)
        return;
    // An executable stays executable, a private file stays private; a new file keeps the mode
    // it was created with. The main executable and files the release marks executable are
    // made executable.
    uint mode = replacedModes.value(path, file.mode);
    if (isMainExe(path) || config.fileAttributes.value(path).executable)
        mode |= (mode & 0444) >> 2; // executable for whoever may read it
    if (mode != file.mode)
        fs.setMode(downloaded, mode);
#endif
}
