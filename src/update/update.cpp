#include "update/update.h"

#include "app/globals.h"
#include "app/logquoted.h"
#include "config/configdiff.h"
#include "config/configreader.h"
#include "config/pathcheck.h"
#include "config/signature.h"
#include "platform/installfs.h"
#include "update/checkedconfigdevice.h"
#include "update/downloadproxyfactory.h"
#include "update/downloadrules.h"
#include "update/fileops.h"
#include "update/installer.h"
#include "update/installjournal.h"
#include "update/partialinfo.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QStorageInfo>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace
{

// An md5 text is checked against the data only when it is a digest; anything else is an opaque
// marker that only tells releases apart.
bool isMd5Digest(const QString& text)
{
    return Signature::isHexDigest(text, 32);
}

void closeDescriptor(int fd)
{
#ifdef Q_OS_WIN
    _close(fd);
#else
    ::close(fd);
#endif
}

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

// The text Qt gives a reply that ended with an HTTP error status, for one given up on before its
// end: the user reads the same whether the error page was short or not.
QString httpErrorText(const QNetworkReply* reply)
{
    return QStringLiteral("Error transferring %1 - server replied: %2")
        .arg(reply->url().toString(),
             reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
}

} // namespace

Update::Update(QObject* parent)
    : QObject(parent), networkManager(nullptr), downloadIndex(0), speedTimer(nullptr)
{
    qRegisterMetaType<UpdateProgress>("UpdateProgress");
}

Update::~Update()
{
    // Replies still in flight must not call back into a worker that is half gone.
    if (task.reply)
        task.reply->disconnect(this);
    if (networkManager)
        networkManager->disconnect(this);
    // A run closed during a download leaves no partial file under the file's own name, where it
    // would pass for a complete one; bytes the next run can continue stay as its partial file.
    if (task.file->isOpen()) {
        if (keepPartial())
            task.file->close();
        else
            removeDownloadFile();
    }
    release(networkManager);
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

void Update::setReadBufferSize(qint64 bytes)
{
    readBufferBytes = bytes;
}

qint64 Update::readBufferSize() const
{
    return readBufferBytes;
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
    releaseDownloadFolder();
    if (speedTimer)
        speedTimer->stop();
    if (stallTimer)
        stallTimer->stop();
    emit sig_finished(ok, msg);
}

QString Update::firstUnsafePath() const
{
    for (const QString& path : config.fileList) {
        if (!isSafeFilePath(path))
            return path;
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

    config = diffConfig(oldConfig, newConfig);
    if (config.fileMap.isEmpty()) {
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

    if (!networkManager) {
        DownloadProxyFactory::pinDirectConnections();
        networkManager = new QNetworkAccessManager;
        // Owned by the manager.
        networkManager->setProxyFactory(new DownloadProxyFactory);
    }
    connect(networkManager, &QNetworkAccessManager::finished, this, &Update::slot_downloadFinished);
    connect(this, &Update::sig_allFileDownloaded, this, &Update::slot_updateLocal);

    progress.tip = tr("正在安装文件");
    emit sig_progress(progress);

    if (!speedTimer)
        speedTimer = new QTimer;
    speedTimer->setInterval(1000);
    connect(speedTimer, &QTimer::timeout, this, &Update::slot_timeout);
    speedTimer->start();

    if (!stallTimer) {
        stallTimer = new QTimer(this);
        stallTimer->setSingleShot(true);
        connect(stallTimer, &QTimer::timeout, this, &Update::stalled);
    }

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

bool Update::holdDownloadFolder(const QString& relative)
{
    const QString folder = InstallFs::parentOf(relative);
    if (heldFresh && downloadFs && downloadFs->holds(folder))
        return true;
    if (!downloadFs || !downloadFs->isValid())
        downloadFs.reset(new InstallFs(QDir::currentPath()));
    heldFresh = downloadFs->holdFolder(folder);
    return heldFresh;
}

void Update::releaseDownloadFolder()
{
    heldFresh = false;
    if (downloadFs)
        downloadFs->releaseFolder();
}

bool Update::ensureParentDir(const QString& relative)
{
    if (holdDownloadFolder(relative))
        return true;
    InstallFs& fs = *downloadFs;

    // update/ holds only what this program put there: whatever is in the way of a folder (a
    // link, a stale file) is removed as what it is, never followed.
    QStringList segments;
    if (!InstallFs::split(relative, &segments) || segments.isEmpty())
        return false;
    QString dir;
    for (int i = 0; i + 1 < segments.size(); ++i) {
        dir += QLatin1Char('/') + segments.at(i);
        InstallFs::Entry found;
        if (!fs.entry(dir, &found))
            return false;
        if (found.kind == InstallFs::Kind::Dir)
            continue;
        // A link is removed as a link; anything else in the way of a folder stays, and the
        // download cannot be opened.
        if (found.exists() &&
            (i == 0 || found.kind != InstallFs::Kind::Link || !fs.removeFile(dir)))
            return false;
        if (!fs.makeDir(dir))
            return false;
    }
    return holdDownloadFolder(relative);
}

bool Update::openNewFile(const QString& relative)
{
    InstallFs& fs = *downloadFs;
    InstallFs::Entry existing;
    if (!fs.entry(relative, &existing))
        return false;
    if (existing.exists() && existing.kind != InstallFs::Kind::Dir && !fs.removeFile(relative))
        return false;
    const int fd = fs.createFile(relative, 0666);
    if (fd < 0)
        return false;
    // Unbuffered, so that every write reaches the disk at once and a failing one is seen at once.
    if (!task.file->open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered,
                         QFileDevice::AutoCloseHandle)) {
        closeDescriptor(fd);
        return false;
    }
    return true;
}

bool Update::createDownloadFile(const QString& relative)
{
    if (!ensureParentDir(relative))
        return false;
    downloadPath = relative;
    downloadLocalPath = downloadFs->absolutePath(relative);
    return openNewFile(relative);
}

bool Update::openPartialFile(const QString& relative)
{
    if (!ensureParentDir(relative))
        return false;
    InstallFs& fs = *downloadFs;
    downloadPath = partialPath(relative);
    // The log and the messages name the file; its bytes lie in the partial file until checked.
    downloadLocalPath = fs.absolutePath(relative);

    // A file under the final name failed its check (keepDownloaded()): it goes now, so that
    // only a checked download ever lies there.
    InstallFs::Entry existing;
    if (!fs.entry(relative, &existing) || existing.kind == InstallFs::Kind::Dir)
        return false;
    if (existing.exists() && !fs.removeFile(relative))
        return false;

    if (resumePartial())
        return true;
    // Bytes that cannot be continued, and a note without bytes, are of no use.
    return fs.removeTree(downloadPath) && fs.removeTree(partialInfoPath(relative)) &&
           openNewFile(downloadPath);
}

PartialInfo Update::partialInfo() const
{
    PartialInfo info;
    info.url = task.url;
    info.md5 = config.fileMap.value(task.path);
    info.sha256 = config.fileAttributes.value(task.path).sha256;
    return info;
}

bool Update::resumePartial()
{
    InstallFs& fs = *downloadFs;
    const QString infoPath = partialInfoPath(downloadTarget);
    InstallFs::Entry bytes;
    InstallFs::Entry note;
    if (!fs.entry(downloadPath, &bytes) || bytes.kind != InstallFs::Kind::File || bytes.size <= 0 ||
        (task.expectedSize >= 0 && bytes.size >= task.expectedSize) || !fs.entry(infoPath, &note) ||
        note.kind != InstallFs::Kind::File || note.size > PartialInfo::maxBytes)
        return false;
    QByteArray text;
    PartialInfo saved;
    if (!fs.readFile(infoPath, &text) || !PartialInfo::fromBytes(text, &saved) ||
        !saved.sameFile(partialInfo()))
        return false;

    // Bytes someone else could still change, or that they own, are not continued.
    InstallFs::Entry opened;
    const int fd = fs.openFile(downloadPath, true, &opened);
    if (fd < 0)
        return false;
    if (!InstallFs::adoptable(opened)) {
        closeDescriptor(fd);
        return false;
    }
    if (!task.file->open(fd, QIODevice::ReadWrite | QIODevice::Unbuffered,
                         QFileDevice::AutoCloseHandle)) {
        closeDescriptor(fd);
        return false;
    }
    // The bar shows the bytes already here while they are read again.
    if (task.expectedSize > 0) {
        progress.current = progressPercent(opened.size, task.expectedSize);
        emit sig_progress(progress);
    }
    // The digest covers the whole file: the bytes already here are hashed first, and what the
    // server sends is written after the last of them.
    qint64 have = 0;
    while (true) {
        const QByteArray chunk = task.file->read(1 << 20);
        if (chunk.isEmpty())
            break;
        task.hash.addData(chunk);
        have += chunk.size();
    }
    if (task.file->error() != QFileDevice::NoError || have <= 0 ||
        (task.expectedSize >= 0 && have >= task.expectedSize) || !task.file->seek(have)) {
        task.file->close();
        task.hash.reset(task.algorithm());
        return false;
    }
    task.resumeFrom = have;
    task.bytesWritten = have;
    task.validator = saved.validator;
    task.infoSaved = true;
    qDebug() << "download: resume:" << logQuoted(task.url) << have;
    return true;
}

bool Update::keepDownloaded(const QString& entry)
{
    const QString local = QStringLiteral("/update") + entry;
    // When the folder is not there yet, there is nothing to keep and the download makes it.
    if (!holdDownloadFolder(local))
        return false;
    const QString sha256 = config.fileAttributes.value(entry).sha256;
    const QString md5 = config.fileMap.value(entry);
    // A signed release gives a sha256 for every file, and then only that counts.
    const bool bySha256 = Signature::isSha256Hex(sha256);
    if (!bySha256 && !isMd5Digest(md5))
        return false;
    InstallFs& fs = *downloadFs;
    InstallFs::Entry found;
    if (!fs.entry(local, &found) || found.kind != InstallFs::Kind::File)
        return false;
    const qint64 size = config.fileAttributes.value(entry).size;
    if (size >= 0 && found.size != size)
        return false;
    // What is installed keeps its owner: a file someone else owns or could still change (another
    // name for it, write access, set-id bits) is fetched anew, even with the right bytes.
    InstallFs::Entry opened;
    const int fd = fs.openFile(local, false, &opened);
    if (fd < 0)
        return false;
    if (!InstallFs::adoptable(opened)) {
        closeDescriptor(fd);
        return false;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        closeDescriptor(fd);
        return false;
    }
    task.hash.reset(bySha256 ? StreamHasher::Algorithm::Sha256 : StreamHasher::Algorithm::Md5);
    while (true) {
        const QByteArray chunk = file.read(1 << 20);
        if (chunk.isEmpty())
            break;
        task.hash.addData(chunk);
    }
    const QByteArray digest = task.hash.result().toHex();
    if (file.error() != QFileDevice::NoError)
        return false;
    if (digest != (bySha256 ? sha256 : md5).toLower().toLatin1())
        return false;
    qDebug() << "download: kept:" << logQuoted(fs.absolutePath(local));
    return true;
}

bool Update::keepPartial()
{
    if (!task.partial || task.bytesWritten <= 0)
        return false;
    if (!task.infoSaved && !task.validator.isEmpty())
        writeNote();
    return task.infoSaved;
}

void Update::removeDownloadFile()
{
    task.file->close();
    if (downloadFs && !downloadPath.isEmpty()) {
        downloadFs->removeFile(downloadPath);
        if (task.partial)
            downloadFs->removeFile(partialInfoPath(downloadTarget));
    }
}

void Update::downloadNextFile()
{
    const int n = int(config.fileList.size());
    if (downloadIndex >= n) {
        endRun(true, QStringLiteral("no download file"));
        return;
    }
    progress.total = n * 100;

    // What an earlier run fetched and checked is not fetched again; it counts as done.
    bool keptAny = false;
    while (downloadIndex < n && keepDownloaded(config.fileAt(downloadIndex))) {
        ++downloadIndex;
        keptAny = true;
        progress.finished = downloadIndex * 100;
        progress.current = 0;
        emit sig_progress(progress);
    }
    if (keptAny && downloadIndex >= n) {
        releaseDownloadFolder();
        emit sig_allFileDownloaded();
        return;
    }

    const QString entry = config.fileAt(downloadIndex);
    task.bytesReceived = 0;
    task.bytesTotal = 0;
    task.lastReceived = 0;
    task.bytesWritten = 0;
    task.stalled = false;
    task.resumeFrom = 0;
    task.validator.clear();
    task.infoSaved = false;
    task.bodyStarted = false;
    task.resumed = false;
    task.path = entry;
    const QUrl url = downloadUrl(config.server, entry);
    task.url = url.toString(QUrl::FullyEncoded);
    task.expectedSize = config.fileAttributes.value(entry).size;
    // Without a size of its own a download is bounded by its Content-Length, or, when the
    // server sends none, by unknownLengthLimit(), worked out once the headers are in.
    task.sizeLimit = task.expectedSize;

    // A signed release gives a sha256 for every file (checked before any download); an unsigned
    // one may give it too. Where there is one, it judges the file alone, as it does a kept one:
    // an md5 on top would add no certainty and, being the slower of the two here, would bound
    // how fast a large file can arrive.
    const QString sha256 = config.fileAttributes.value(entry).sha256;
    task.expectedSha256 =
        Signature::isSha256Hex(sha256) ? sha256.toLower().toLatin1() : QByteArray();
    const QString md5 = config.fileMap.value(entry);
    task.expectedMd5 =
        task.expectedSha256.isEmpty() && isMd5Digest(md5) ? md5.toLower().toLatin1() : QByteArray();
    task.hash.reset(task.algorithm());

    // Only a file whose digest checks the whole is continued from partial bytes, and only where
    // no file of the release has the partial file's name.
    downloadTarget = QStringLiteral("/update") + entry;
    task.partial = task.checked() && !partialNamesTaken(partialClashes, entry);
    const QString localPath = QDir::currentPath() + downloadTarget;
    if (!(task.partial ? openPartialFile(downloadTarget) : createDownloadFile(downloadTarget))) {
        task.aborted = true;
        endRun(false, QStringLiteral("open local file failed:") + localPath);
        return;
    }
    // What comes later for this file (its note, its restart) acts on the folder checked now;
    // the checked download takes its name only after the folder is walked to once more.
    heldFresh = false;

    sendRequest();
    ++downloadIndex;
    qDebug() << "download:" << logQuoted(task.url) << logQuoted(localPath);
}

void Update::sendRequest()
{
    QNetworkRequest request(downloadUrl(config.server, task.path));
    if (task.resumeFrom > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(task.resumeFrom) + '-');
        request.setRawHeader("If-Range", task.validator);
        // Offsets are those of the file itself, not of a compressed form of it.
        request.setRawHeader("Accept-Encoding", "identity");
    }
    QNetworkReply* reply = networkManager->get(request);
    // Without a bound the reply would hold a fast download whole in memory.
    reply->setReadBufferSize(readBufferBytes);
    connect(reply, &QNetworkReply::downloadProgress, this, &Update::slot_downloadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &Update::slot_readyRead);
    // A reply Qt gives up on while its body is read (an inflated body past Qt's bound) reports
    // its error but may never report its end: such an error ends the download once the events
    // in hand are through, unless finished() came first. An error status is reported when the
    // headers arrive, and its answer is looked at by beginBody() as it comes.
    connect(
        reply, &QNetworkReply::errorOccurred, this, [this, reply = QPointer<QNetworkReply>(reply)] {
            QMetaObject::invokeMethod(
                this,
                [this, reply] {
                    if (reply && reply == task.reply && !runEnded &&
                        reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() < 400)
                        slot_downloadFinished(reply);
                },
                Qt::QueuedConnection);
        });
    task.reply = reply;

    if (stallTimer)
        stallTimer->start(stallTimeoutMs);
}

bool Update::beginBody(QNetworkReply* reply)
{
    task.bodyStarted = true;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // An error page (404, 500, ...) is not the file: held against the file's size it would be
    // reported as a wrong file, and one without end would keep the run waiting. Partial bytes
    // from an earlier run stay for the next one.
    if (status >= 400) {
        if (status == 416 && task.resumeFrom > 0) {
            restartDownload("range not satisfiable");
            return false;
        }
        endWithError(httpErrorText(reply));
        reply->abort();
        return false;
    }
    if (task.resumeFrom > 0) {
        if (status == 206) {
            const char* mismatch = rangeMismatch(reply);
            if (!mismatch) {
                task.resumed = true;
                return true;
            }
            restartDownload(mismatch);
            return false;
        }
        // Any other answer carries the whole file: the server ignores ranges, or its file is
        // no longer the one the partial bytes came from.
        qDebug() << "download: restart:" << logQuoted(task.url) << "status" << status;
        if (!startOver()) {
            reply->abort();
            return false;
        }
    }
    if (task.partial && status == 200)
        takeValidator(reply);
    return true;
}

const char* Update::rangeMismatch(QNetworkReply* reply) const
{
    ContentRange range;
    if (!parseContentRange(reply->rawHeader("Content-Range"), &range))
        return "no usable Content-Range";
    if (range.first != task.resumeFrom || range.last != range.total - 1)
        return "range is not the rest of the file";
    if (task.expectedSize >= 0 && range.total != task.expectedSize)
        return "size differs";
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() != range.total - range.first)
        return "length differs";
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return "encoded";
    const QByteArray etag = reply->rawHeader("ETag").trimmed();
    if (task.validator.startsWith('"') && !etag.isEmpty() && etag != task.validator)
        return "entity tag differs";
    return nullptr;
}

void Update::takeValidator(QNetworkReply* reply)
{
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return;
    const QByteArray validator =
        rangeValidator(reply->rawHeader("ETag"), reply->rawHeader("Last-Modified"));
    for (char c : validator) {
        if (c < 0x20 || c > 0x7e)
            return;
    }
    task.validator = validator;
    // Written before the first byte of the body, so that the note always describes what the
    // partial file holds, even after a kill.
    if (!validator.isEmpty() && notedBeforeBody(task.expectedSize))
        writeNote();
}

void Update::writeNote()
{
    PartialInfo info = partialInfo();
    info.validator = task.validator;
    InstallFs& fs = *downloadFs;
    const QString infoPath = partialInfoPath(downloadTarget);
    const int fd = fs.createFile(infoPath, 0666);
    if (fd < 0)
        return;
    QFile file;
    const QByteArray bytes = info.toBytes();
    if (!file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered,
                   QFileDevice::AutoCloseHandle)) {
        closeDescriptor(fd);
        fs.removeFile(infoPath);
        return;
    }
    if (file.write(bytes) != bytes.size()) {
        file.close();
        fs.removeFile(infoPath);
        return;
    }
    file.close();
    task.infoSaved = true;
}

bool Update::startOver()
{
    task.file->close();
    task.resumeFrom = 0;
    task.resumed = false;
    task.validator.clear();
    task.infoSaved = false;
    task.bytesWritten = 0;
    task.hash.reset(task.algorithm());
    InstallFs& fs = *downloadFs;
    if (fs.removeTree(partialInfoPath(downloadTarget)) && fs.removeTree(downloadPath) &&
        openNewFile(downloadPath))
        return true;
    task.aborted = true;
    endRun(false, QStringLiteral("open local file failed:") + downloadLocalPath);
    return false;
}

void Update::restartDownload(const char* reason)
{
    qDebug() << "download: restart:" << logQuoted(task.url) << reason;
    QNetworkReply* previous = task.reply;
    // Whatever the previous reply still reports is ignored from here on.
    task.reply = nullptr;
    if (previous) {
        previous->disconnect(this);
        previous->abort();
        previous->deleteLater();
    }
    task.bodyStarted = false;
    task.bytesReceived = 0;
    task.bytesTotal = 0;
    task.lastReceived = 0;
    if (!startOver())
        return;
    sendRequest();
}

bool Update::writeAvailable()
{
    QNetworkReply* reply = task.reply;
    if (!reply || reply->bytesAvailable() <= 0)
        return true;
    if (!task.bodyStarted && !task.aborted && !beginBody(reply))
        return false;
    const QByteArray data = reply->readAll();
    if (task.aborted)
        return true;

    if (task.sizeLimit < 0 && !reply->header(QNetworkRequest::ContentLengthHeader).isValid()) {
        task.sizeLimit =
            unknownLengthBytes >= 0
                ? unknownLengthBytes
                : unknownLengthLimit(QStorageInfo(QDir::currentPath() + QStringLiteral("/update"))
                                         .bytesAvailable());
        qDebug() << "download: no length, limit:" << task.sizeLimit;
    }
    if (task.sizeLimit >= 0 && task.bytesWritten + data.size() > task.sizeLimit) {
        // Longer than the release says, or without end: not the file that was published.
        qDebug() << "download: too long:" << logQuoted(task.url) << task.bytesWritten + data.size()
                 << task.sizeLimit;
        if (task.resumed) {
            restartDownload("too long");
            return false;
        }
        removeDownloadFile();
        endRun(false, tr("文件校验失败:") + task.path);
        reply->abort();
        return false;
    }

    if (task.file->write(data) != data.size()) {
        const QString localPath = downloadLocalPath;
        removeDownloadFile();
        endRun(false, tr("写入本地文件失败:") + localPath);
        // The run has ended, so the finished() that abort() brings is ignored.
        reply->abort();
        return false;
    }
    task.bytesWritten += data.size();
    if (task.bytesTotal <= 0 && task.expectedSize > 0) {
        // Qt reports progress at most every so often; without a length from the server the
        // written bytes against the configuration's size show how far the file is.
        const int current = progressPercent(task.bytesWritten, task.expectedSize);
        if (current != progress.current) {
            progress.current = current;
            emit sig_progress(progress);
        }
    }
    if (task.checked())
        task.hash.addData(data);
    qDebug() << "write to file" << logQuoted(downloadLocalPath) << data.size();
    return true;
}

void Update::slot_readyRead()
{
    qDebug() << "Update::slot_readyRead";
    if (runEnded)
        return;
    if (stallTimer && stallTimer->isActive())
        stallTimer->start(stallTimeoutMs);
    writeAvailable();
}

void Update::slot_downloadProgress(qint64 recieved, qint64 total)
{
    qDebug() << "Update::slot_downloadProgress";
    qDebug() << recieved << total;
    if (stallTimer && stallTimer->isActive())
        stallTimer->start(stallTimeoutMs);

    // A ranged answer shows only once it is known to continue the file; a continued file counts
    // from the bytes it already had.
    if (task.resumeFrom > 0 && !task.resumed)
        return;
    if (task.resumed) {
        recieved += task.resumeFrom;
        if (total > 0)
            total += task.resumeFrom;
    }
    task.bytesReceived = recieved;
    task.bytesTotal = total;
    progress.total = int(config.fileList.size()) * 100;
    // When the server gives no length (chunked, compressed) the configuration's size stands in.
    progress.current = progressPercent(recieved, total > 0 ? total : task.expectedSize);
    emit sig_progress(progress);
}

void Update::endWithError(const QString& error)
{
    task.file->close();
    // Bytes the next run can continue stay, beside the note of where they came from.
    if (keepPartial())
        qDebug() << "download: partial kept:" << logQuoted(downloadFs->absolutePath(downloadPath))
                 << task.bytesWritten;
    else
        removeDownloadFile();
    endRun(false, tr("网络出现错误:") + error);
}

void Update::stalled()
{
    if (runEnded || !task.reply)
        return;
    // Reported through finished() like any other network error, with a text of its own.
    task.stalled = true;
    task.reply->abort();
}

QString Update::stallText() const
{
    const QString wait = stallTimeoutMs % 1000 == 0 ? tr("%1秒").arg(stallTimeoutMs / 1000)
                                                    : tr("%1毫秒").arg(stallTimeoutMs);
    return tr("服务器%1没有响应:%2").arg(wait, task.url);
}

void Update::slot_timeout()
{
    if (task.bytesReceived <= 0) {
        progress.speed.clear();
    } else if (task.lastReceived <= 0) {
        progress.speed.clear();
        task.lastReceived = task.bytesReceived;
    } else {
        const int delta = int(task.bytesReceived - task.lastReceived);
        task.lastReceived = task.bytesReceived;
        const int kilobytes = delta / 1024;
        if (kilobytes <= 1024)
            progress.speed = QStringLiteral("%1KB/S").arg(kilobytes);
        else
            progress.speed = QStringLiteral("%1MB/S").arg(kilobytes / 1024);
    }
    emit sig_progress(progress);
}

void Update::slot_downloadFinished(QNetworkReply* reply)
{
    // Replies given up on after the run ended (an aborted write) change nothing.
    if (runEnded || reply != task.reply)
        return;
    if (stallTimer)
        stallTimer->stop();

    if (reply->error() == QNetworkReply::NoError) {
        if (!writeAvailable())
            return;
        if (!task.bodyStarted && !beginBody(reply))
            return;
    }
    task.file->close();

    if (reply->error() != QNetworkReply::NoError) {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status == 416 && task.resumeFrom > 0 && !task.stalled) {
            restartDownload("range not satisfiable");
            return;
        }
        endWithError(task.stalled ? stallText() : reply->errorString());
        return;
    }
    if (task.expectedSize >= 0 && task.bytesWritten != task.expectedSize) {
        qDebug() << "download: size differs:" << logQuoted(task.url) << task.bytesWritten
                 << task.expectedSize;
        if (task.resumed) {
            restartDownload("size differs");
            return;
        }
        removeDownloadFile();
        endRun(false, tr("文件校验失败:") + task.path);
        return;
    }
    if (task.checked()) {
        if (task.hash.result().toHex() != task.expectedDigest()) {
            if (!task.expectedSha256.isEmpty())
                qDebug() << "download: sha256 differs:" << logQuoted(task.url);
            // The partial bytes may be what is wrong: the file is fetched once more, whole.
            if (task.resumed) {
                restartDownload("digest differs");
                return;
            }
            removeDownloadFile();
            endRun(false, tr("文件校验失败:") + task.path);
            return;
        }
    }

    // A checked download takes its own name only now.
    heldFresh = false;
    if (task.partial) {
        InstallFs& fs = *downloadFs;
        // The folder is walked to afresh: had it been moved away or swapped for a link since the
        // file began, the download would take its name somewhere else.
        if (!holdDownloadFolder(downloadTarget) || !fs.rename(downloadPath, downloadTarget, true)) {
            removeDownloadFile();
            endRun(false, tr("写入本地文件失败:") + fs.absolutePath(downloadTarget));
            return;
        }
        if (task.infoSaved)
            fs.removeFile(partialInfoPath(downloadTarget));
    }

    // A finished reply holds nothing more of use; keeping thousands of them until the manager
    // goes only costs memory and a long tear-down at exit.
    reply->deleteLater();

    const int n = int(config.fileList.size());
    progress.finished = downloadIndex * 100;
    progress.total = n * 100;
    // The completed file is counted in finished now; until the next file reports, nothing of it
    // is in flight. Keeping its 100 would show one file more than is done.
    progress.current = 0;
    emit sig_progress(progress);

    if (downloadIndex < n) {
        downloadNextFile();
    } else {
        releaseDownloadFolder();
        emit sig_allFileDownloaded();
    }
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
    for (auto it = config.fileList.cbegin(); link.isEmpty() && it != config.fileList.cend(); ++it) {
        link = fs.linkOnTheWay(*it);
        if (link.isEmpty())
            link = fs.linkOnTheWay(QStringLiteral("/backup") + *it);
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
    Installer installer(config, fs, journal, checkedConfig);
    if (!installer.install()) {
        endRun(false, installer.failure());
        return;
    }
    // The speed timer keeps ticking; its ticks find no new bytes.
    runEnded = true;
    emit sig_finished(true, QStringLiteral("success"));
}
