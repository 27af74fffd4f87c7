#include "update/update.h"

#include "config/configdiff.h"
#include "config/configreader.h"
#include "config/pathcheck.h"
#include "config/signature.h"
#include "log/logquoted.h"
#include "platform/installfs.h"
#include "update/checkedconfigdevice.h"
#include "update/downloadrules.h"
#include "update/downloadscheduler.h"
#include "update/encodedtransfer.h"
#include "update/filetransfer.h"
#include "update/installer.h"
#include "update/installjournal.h"
#include "update/inusewait.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QNetworkReply>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstring>

namespace
{

// Objects of the worker thread are deleted there at once; from elsewhere they are handed to
// their own thread's event loop.
void release(QObject* object)
{
    if (!object)
        return;
    if (object->thread() == QThread::currentThread())
        delete object;
    else
        object->deleteLater();
}

// The running program's own path relative to the installation, when it lies inside it: a
// release that no longer lists the updater must not take it away while it runs.
QStringList updatersOwnProgram()
{
    const QString root = QFileInfo(QDir::currentPath()).canonicalFilePath();
    const QString program = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
    if (root.isEmpty() || program.isEmpty())
        return {};
    const QString relative = QDir(root).relativeFilePath(program);
    if (relative.startsWith(QLatin1String("../")) || QDir::isAbsolutePath(relative))
        return {};
    return {relative};
}

} // namespace

Update::Update(QObject* parent)
    : QObject(parent), speedTimer(nullptr), inUseWaitMs(InUseWait::defaultLimitMs)
{
    qRegisterMetaType<UpdateProgress>("UpdateProgress");
}

Update::~Update()
{
    // A run closed during a download leaves no partial file under the file's own name, where it
    // would pass for a complete one; bytes the next run can continue stay as its partial file.
    if (scheduler)
        scheduler->cancel();
    release(scheduler);
    scheduler = nullptr;
    release(speedTimer);
}

QString Update::mainExe() const
{
    return config.main;
}

void Update::setWorkingConfig(const ConfigInfo& working, const QByteArray& configBytes)
{
    config = working;
    checkedConfig = configBytes;
    checkedDigest = QCryptographicHash::hash(configBytes, QCryptographicHash::Sha256);
}

void Update::setStallTimeout(int milliseconds)
{
    stallTimeoutMs = milliseconds;
}

int Update::stallTimeout() const
{
    return stallTimeoutMs;
}

void Update::setMaxTransfers(int transfers)
{
    transferLimit = qMax(1, transfers);
}

int Update::maxTransfers() const
{
    return transferLimit;
}

void Update::setReadBufferSize(qint64 bytes)
{
    readBufferBytes = bytes;
}

qint64 Update::readBufferSize() const
{
    return readBufferBytes;
}

void Update::setInUseWaitLimit(int milliseconds)
{
    inUseWaitMs = milliseconds;
}

void Update::setUnknownLengthLimit(qint64 bytes)
{
    unknownLengthBytes = bytes;
}

void Update::endRun(bool ok, const QString& msg)
{
    if (runEnded)
        return;
    runEnded = true;
    if (speedTimer)
        speedTimer->stop();
    emit sig_finished(ok, msg);
}

QString Update::firstUnsafePath() const
{
    for (const QStringList* paths : {&config.fileList, &config.droppedPaths}) {
        for (const QString& path : *paths) {
            if (!isSafeFilePath(path))
                return path;
        }
    }
    return QString();
}

void Update::slot_work()
{
    progress.tip = tr("检查更新文件");
    emit sig_progress(progress);

    const QString installedPath = QDir::currentPath() + QStringLiteral("/config/") + configFileName;
    const QString newPath = QDir::currentPath() + QStringLiteral("/update/") + configFileName;
    InstallFs checkFs(QDir::currentPath());
    ConfigInfo oldConfig;
    if (!readInstalledConfig(checkFs, &oldConfig))
        return;
    // Until a new configuration is read and checked, the installed main program is the one to
    // start after the run.
    config.main = oldConfig.main;
    // Of the installed record only the versions, main and the md5 texts are compared below; with
    // hundreds of thousands of files the rest is memory the new record needs more.
    oldConfig.fileList.clear();
    oldConfig.fileAttributes.clear();
    qDebug() << "current path:" << logQuoted(QDir::currentPath());

    ConfigInfo newConfig;
    if (!readNewConfig(checkFs, oldConfig, &newConfig))
        return;

    config.main = newConfig.main.isEmpty() ? oldConfig.main : newConfig.main;

    if (newConfig.fileMap.isEmpty()) {
        qDebug() << "read new config is empty:" << logQuoted(newPath) << logQuoted(installedPath);
        endRun(false, tr("读取更新配置文件为空"));
        return;
    }

    config = diffConfig(oldConfig, newConfig, updatersOwnProgram());
    // A release that only drops files is still an update.
    if (config.fileMap.isEmpty() && config.droppedPaths.isEmpty()) {
        endRun(false, tr("没有检查到更新文件"));
        return;
    }
    partialClashes = partialLookalikes(config.fileList);

    // A path is appended verbatim to the installation directory and this program runs with
    // administrator rights: one that could leave the installation stops the run before anything
    // is fetched or written.
    const QString unsafe = firstUnsafePath();
    if (!unsafe.isNull()) {
        endRun(false, tr("配置文件中的文件路径无效:") + unsafe);
        return;
    }
    // Two paths that are one file on Windows would overwrite each other there, and a file where
    // another path needs a folder would be moved aside: the whole new release is checked, since
    // an unchanged or ignored file can be the one a new path lands on.
    const QString collision = firstCaseCollision(newConfig.fileList, newConfig.ignoreList);
    if (!collision.isNull()) {
        qDebug() << "path collides in letter case:" << logQuoted(collision);
        endRun(false, tr("配置文件中的文件路径无效:") + collision);
        return;
    }

    if (refuseLinks(checkFs))
        return;

    connect(this, &Update::sig_allFileDownloaded, this, &Update::slot_updateLocal);

    progress.tip = tr("正在安装文件");
    emit sig_progress(progress);

    if (!speedTimer)
        speedTimer = new QTimer;
    speedTimer->setInterval(1000);
    connect(speedTimer, &QTimer::timeout, this, &Update::slot_timeout);
    speedTimer->start();

    if (config.fileList.isEmpty())
        emit sig_allFileDownloaded();
    else
        downloadNextFile();
}

bool Update::readInstalledConfig(InstallFs& fs, ConfigInfo* installed)
{
    const QString path = QStringLiteral("/config/") + configFileName;
    // Streamed into the reader: a configuration of hundreds of thousands of files is not held
    // twice, as bytes and as a record.
    CheckedConfigDevice device;
    bool opened = device.open(fs, path, maxConfigBytes);
    if (!opened && refuseLink(fs, fs.linkOnTheWay(path)))
        return false;
    if (opened) {
        *installed = ConfigReader().read(&device);
        if (!device.exceeded())
            return true;
    }
    // Missing is an installation without a release: nothing is newer than it. Anything else
    // there (a link, a fifo, a folder, a file past the bound) is read as missing too.
    if (device.errorCode() != ENOENT)
        qDebug() << "read installed config failed:" << logQuoted(fs.absolutePath(path))
                 << logQuoted(QString::fromLocal8Bit(std::strerror(device.errorCode())));
    *installed = ConfigInfo();
    installed->buildFileList();
    return true;
}

bool Update::readNewConfig(InstallFs& fs, const ConfigInfo& oldConfig, ConfigInfo* newConfig)
{
    signedRelease = !oldConfig.publicKey.isEmpty();
    checkedConfig.clear();

    // The bytes are read once: the record is read from them, a signature is checked over them,
    // and they are what the installation writes as the new installed configuration. The placed
    // file itself is never trusted again after this read.
    const QString configPath = QStringLiteral("/update/") + configFileName;
    const QString signaturePath = configPath + QStringLiteral(".sig");
    const QString newPath = fs.absolutePath(configPath);
    auto unreadable = [&] {
        qDebug() << "read new config failed:" << logQuoted(newPath);
        endRun(false, tr("读取更新配置文件为空"));
        return false;
    };
    bool wellFormed = false;
    if (!signedRelease) {
        // Streamed into the reader and hashed on the way: the installation writes these bytes,
        // read again then and recognised by their digest, without holding them meanwhile.
        CheckedConfigDevice device;
        if (!device.open(fs, configPath, maxConfigBytes)) {
            // Missing is a release without files, as an empty one; anything else is no release.
            if (device.errorCode() != ENOENT)
                return unreadable();
            *newConfig = ConfigInfo();
            newConfig->buildFileList();
            return true;
        }
        *newConfig = ConfigReader().read(&device, &oldConfig, &wellFormed);
        // What was read before an error is no release: none of it is fetched, and the broken
        // file never becomes the installed configuration.
        if (!wellFormed || device.exceeded())
            return unreadable();
        checkedDigest = device.digest();
        return true;
    }

    // A signature is checked over the whole text: it is held, and is what gets installed.
    QByteArray bytes;
    if (!fs.readFile(configPath, &bytes, maxConfigBytes))
        return unreadable();
    {
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        *newConfig = ConfigReader().read(&buffer, &oldConfig, &wellFormed);
    }
    if (!wellFormed)
        return unreadable();

    // Null when there is none; something there that cannot be read (a folder, a link, which is
    // never followed) counts as a malformed signature.
    QByteArray signatureFile;
    InstallFs::Entry signatureEntry;
    if (!fs.entry(signaturePath, &signatureEntry) || signatureEntry.exists()) {
        if (!fs.readFile(signaturePath, &signatureFile, maxConfigBytes) || signatureFile.isNull())
            signatureFile = QByteArray("");
    }

    const Signature::Check check =
        Signature::verify(oldConfig.publicKey, bytes, signatureFile, newConfig->publicKey);
    if (check != Signature::Check::Valid) {
        qDebug() << "update config signature invalid:" << Signature::reason(check)
                 << logQuoted(fs.absolutePath(signaturePath));
        endRun(false, tr("更新配置文件签名无效"));
        return false;
    }
    // Installing a release without a usable key of its own would end the checking for good.
    if (!Signature::isPublicKey(newConfig->publicKey)) {
        qDebug() << "update config signature invalid:"
                 << (newConfig->publicKey.isEmpty() ? "release carries no public key"
                                                    : "release carries a malformed public key")
                 << logQuoted(newPath);
        endRun(false, tr("更新配置文件签名无效"));
        return false;
    }
    for (auto it = newConfig->fileMap.cbegin(); it != newConfig->fileMap.cend(); ++it) {
        if (!Signature::isSha256Hex(newConfig->fileAttributes.value(it.key()).sha256)) {
            qDebug() << "signed config: file without sha256:" << logQuoted(it.key());
            endRun(false, tr("配置文件中的文件校验值无效:") + it.key());
            return false;
        }
    }
    qDebug() << "update config signature valid:" << logQuoted(oldConfig.publicKey);
    checkedConfig = bytes;
    checkedDigest = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
    return true;
}

bool Update::takeCheckedConfig(InstallFs& fs)
{
    // The placed file is read once more: for a signed release it must still hold the bytes whose
    // signature was checked; otherwise its bytes are taken again, recognised by their digest.
    QByteArray bytes;
    if (fs.readFile(QStringLiteral("/update/") + configFileName, &bytes, maxConfigBytes) &&
        QCryptographicHash::hash(bytes, QCryptographicHash::Sha256) == checkedDigest) {
        if (!signedRelease)
            checkedConfig = std::move(bytes);
        return true;
    }
    if (signedRelease) {
        qDebug() << "update config changed after its signature was checked";
        endRun(false, tr("更新配置文件签名无效"));
    } else {
        qDebug() << "update config changed after it was checked";
        endRun(false, tr("更新配置文件在检查后被更改"));
    }
    return false;
}

FileTransfer* Update::newTransfer(const QString& entry, QNetworkAccessManager* manager,
                                  bool pipelined)
{
    FileTransfer::File file;
    file.path = entry;
    file.url = downloadUrl(config.server, entry);
    file.md5 = config.fileMap.value(entry);
    const FileAttributes attributes = config.fileAttributes.value(entry);
    file.sha256 = attributes.sha256;
    file.size = attributes.size;
    file.partialAllowed = !partialNamesTaken(partialClashes, entry);
    FileTransfer::Settings settings;
    settings.stallTimeoutMs = stallTimeoutMs;
    settings.readBufferBytes = readBufferBytes;
    settings.unknownLengthBytes = unknownLengthBytes;
    settings.pipelined = pipelined;
    // A file with compressed copies or patches is fetched in the cheapest form that fits.
    if (!attributes.forms.isEmpty() && EncodedTransfer::eligible(file.md5, file.sha256))
        return new EncodedTransfer(file, attributes.forms, config.server, manager,
                                   QDir::currentPath(), settings);
    return new FileTransfer(file, manager, QDir::currentPath(), settings);
}

void Update::downloadNextFile()
{
    const int n = int(config.fileList.size());
    if (n == 0) {
        endRun(true, QStringLiteral("no download file"));
        return;
    }
    progress.total = n * 100;
    if (scheduler)
        return;
    DownloadScheduler::Limits limits;
    limits.transfers = transferLimit;
    scheduler = new DownloadScheduler(
        n,
        [this](int index, QNetworkAccessManager* manager, bool pipelined) {
            return newTransfer(config.fileAt(index), manager, pipelined);
        },
        [this](int index) {
            const QString entry = config.fileAt(index);
            return EncodedTransfer::expectedBytes(config.fileMap.value(entry),
                                                  config.fileAttributes.value(entry));
        },
        limits);
    connect(scheduler, &DownloadScheduler::sig_changed, this, &Update::showDownloads);
    connect(scheduler, &DownloadScheduler::sig_allDownloaded, this, &Update::sig_allFileDownloaded);
    connect(scheduler, &DownloadScheduler::sig_failed, this,
            [this](const QString& error) { endRun(false, error); });
    scheduler->start();
}

void Update::showDownloads()
{
    UpdateProgress next = progress;
    next.finished = scheduler->finishedFiles() * 100;
    next.total = scheduler->fileCount() * 100;
    // Each file in flight counts up to 100, and none of them is among the finished: the sum
    // never passes the total.
    next.current = scheduler->inFlightPercent();
    const bool bytesCame = scheduler->receivedBytes() != speedReceived;
    speedReceived = scheduler->receivedBytes();
    if (!bytesCame && next.finished == progress.finished && next.current == progress.current)
        return;
    progress = next;
    emit sig_progress(progress);
}

void Update::slot_downloadFinished(QNetworkReply* reply)
{
    if (FileTransfer* transfer = scheduler ? scheduler->transferOf(reply) : nullptr)
        transfer->slot_downloadFinished(reply);
}

void Update::slot_readyRead()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (FileTransfer* transfer = scheduler ? scheduler->transferOf(reply) : nullptr)
        transfer->slot_readyRead();
}

void Update::slot_downloadProgress(qint64 recieved, qint64 total)
{
    // The transfers report to the scheduler; a report handed in here stands for the one file
    // in flight.
    speedReceived = recieved;
    progress.total = int(config.fileList.size()) * 100;
    progress.current = progressPercent(recieved, total);
    emit sig_progress(progress);
}

void Update::slot_timeout()
{
    if (speedReceived <= 0) {
        progress.speed.clear();
    } else if (speedLast <= 0) {
        progress.speed.clear();
        speedLast = speedReceived;
    } else {
        const int delta = int(speedReceived - speedLast);
        speedLast = speedReceived;
        const int kilobytes = delta / 1024;
        if (kilobytes <= 1024)
            progress.speed = QStringLiteral("%1KB/S").arg(kilobytes);
        else
            progress.speed = QStringLiteral("%1MB/S").arg(kilobytes / 1024);
    }
    emit sig_progress(progress);
}

QString Update::firstLinkedPath(InstallFs& fs) const
{
    // The run's own folders and the installed configuration's are never reached through a link.
    for (const QString& dir :
         {QStringLiteral("/backup"), QStringLiteral("/update"), QStringLiteral("/config")}) {
        InstallFs::Entry found;
        if (fs.entry(dir, &found) && found.kind == InstallFs::Kind::Link)
            return dir;
    }
    QString link = fs.linkOnTheWay(QStringLiteral("/config/") + configFileName);
    // One path at a time: a list of every path checked would hold hundreds of MiB for a large
    // release.
    for (const QStringList* paths : {&config.fileList, &config.droppedPaths}) {
        for (auto it = paths->cbegin(); link.isEmpty() && it != paths->cend(); ++it) {
            link = fs.linkOnTheWay(*it);
            if (link.isEmpty())
                link = fs.linkOnTheWay(QStringLiteral("/backup") + *it);
        }
    }
    return link;
}

bool Update::refuseLinks(InstallFs& fs)
{
    return refuseLink(fs, firstLinkedPath(fs));
}

bool Update::refuseLink(InstallFs& fs, const QString& link)
{
    if (link.isEmpty())
        return false;
    qDebug() << "link in path:" << logQuoted(fs.absolutePath(link));
    endRun(false, tr("文件路径中有链接:") + link);
    return true;
}

void Update::slot_updateLocal()
{
    if (runEnded)
        return;
    InstallFs fs(QDir::currentPath());
    InstallJournal journal(fs);

    // Links planted while the files were downloaded, or a configuration swapped after its
    // signature was checked, are refused before anything changes.
    if (refuseLinks(fs) || !takeCheckedConfig(fs))
        return;
    if (!journal.begin()) {
        fs.removeTree(QStringLiteral("/update"));
        endRun(false, tr("安装文件失败:") + InstallJournal::journalPath);
        return;
    }
    InUseWait inUse(inUseWaitMs);
    inUse.setNotify([this](bool waiting) {
        progress.tip = waiting ? tr("正在等待程序关闭") : tr("正在安装文件");
        emit sig_progress(progress);
    });
    Installer installer(config, fs, journal, checkedConfig, &inUse);
    if (!installer.install()) {
        endRun(false, installer.failure());
        return;
    }
    // The speed timer keeps ticking; its ticks find no new bytes.
    runEnded = true;
    emit sig_finished(true, QStringLiteral("success"));
}
