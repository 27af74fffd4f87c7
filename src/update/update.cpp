#include "update/update.h"

#include "app/globals.h"
#include "app/logquoted.h"
#include "config/configdiff.h"
#include "config/configreader.h"
#include "config/pathcheck.h"
#include "update/downloadrules.h"
#include "update/downloadproxyfactory.h"
#include "update/fileops.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStorageInfo>
#include <QThread>
#include <QTimer>
#include <QUrl>

namespace {

// An md5 text is checked against the data only when it is a digest; anything else is an opaque
// marker that only tells releases apart.
bool isMd5Digest(const QString& text)
{
    if (text.size() != 32)
        return false;
    for (const QChar c : text) {
        const bool hex = (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                         (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
                         (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
        if (!hex)
            return false;
    }
    return true;
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
    release(networkManager);
    release(speedTimer);
}

QString Update::mainExe() const
{
    return config.main;
}

void Update::setWorkingConfig(const ConfigInfo& working)
{
    config = working;
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
    const ConfigReader reader;
    const ConfigInfo oldConfig = reader.read(installedPath);
    const ConfigInfo newConfig = reader.read(newPath);

    qDebug() << "current path:" << logQuoted(QDir::currentPath());

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

    // A path is appended verbatim to the installation directory and this program runs with
    // administrator rights: one that could leave the installation stops the run before anything
    // is fetched or written.
    const QString unsafe = firstUnsafePath();
    if (!unsafe.isNull()) {
        endRun(false, tr("配置文件中的文件路径无效:") + unsafe);
        return;
    }
    // Two paths that are one file on Windows would overwrite each other there: the whole new
    // release is checked, since an unchanged file can be the one a new path lands on.
    const QString collision = firstCaseCollision(newConfig.fileList);
    if (!collision.isNull()) {
        qDebug() << "path collides in letter case:" << logQuoted(collision);
        endRun(false, tr("配置文件中的文件路径无效:") + collision);
        return;
    }

    if (!networkManager) {
        DownloadProxyFactory::pinDirectConnections();
        networkManager = new QNetworkAccessManager;
        // Owned by the manager.
        networkManager->setProxyFactory(new DownloadProxyFactory);
    }
    connect(networkManager, &QNetworkAccessManager::finished, this,
            &Update::slot_downloadFinished);
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

void Update::ensureParentDir(const QString& path)
{
    const QString dir = QFileInfo(path).absolutePath();
    if (!QFileInfo::exists(dir))
        QDir().mkpath(dir);
}

void Update::downloadNextFile()
{
    const int n = int(config.fileList.size());
    if (downloadIndex >= n) {
        endRun(true, QStringLiteral("no download file"));
        return;
    }

    const QString entry = config.fileAt(downloadIndex);
    progress.total = n * 100;
    task.bytesReceived = 0;
    task.bytesTotal = 0;
    task.lastReceived = 0;
    task.bytesWritten = 0;
    task.stalled = false;
    task.path = entry;
    const QUrl url = downloadUrl(config.server, entry);
    task.url = url.toString(QUrl::FullyEncoded);
    task.expectedSize = config.fileAttributes.value(entry).size;
    // Without a size of its own a download is bounded by its Content-Length, or, when the
    // server sends none, by unknownLengthLimit(), worked out once the headers are in.
    task.sizeLimit = task.expectedSize;

    const QString localPath = QDir::currentPath() + QStringLiteral("/update") + entry;
    ensureParentDir(localPath);
    task.file->setFileName(localPath);
    // Unbuffered, so that every write reaches the disk at once and a failing one is seen at once.
    if (!task.file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        task.aborted = true;
        endRun(false, QStringLiteral("open local file failed:") + localPath);
        return;
    }

    task.hash.reset();
    const QString md5 = config.fileMap.value(entry);
    task.expectedMd5 = isMd5Digest(md5) ? md5.toLower().toLatin1() : QByteArray();

    QNetworkReply* reply = networkManager->get(QNetworkRequest(url));
    // Without a bound the reply would hold a fast download whole in memory.
    reply->setReadBufferSize(readBufferBytes);
    connect(reply, &QNetworkReply::downloadProgress, this, &Update::slot_downloadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &Update::slot_readyRead);

    ++downloadIndex;
    task.reply = reply;
    qDebug() << "download:" << logQuoted(task.url) << logQuoted(localPath);

    if (stallTimer)
        stallTimer->start(stallTimeoutMs);
}

bool Update::writeAvailable()
{
    QNetworkReply* reply = task.reply;
    if (!reply || reply->bytesAvailable() <= 0)
        return true;
    const QByteArray data = reply->readAll();
    if (task.aborted)
        return true;

    if (task.sizeLimit < 0 && !reply->header(QNetworkRequest::ContentLengthHeader).isValid()) {
        task.sizeLimit = unknownLengthBytes >= 0
                             ? unknownLengthBytes
                             : unknownLengthLimit(
                                   QStorageInfo(QFileInfo(task.file->fileName()).absolutePath())
                                       .bytesAvailable());
        qDebug() << "download: no length, limit:" << task.sizeLimit;
    }
    if (task.sizeLimit >= 0 && task.bytesWritten + data.size() > task.sizeLimit) {
        // Longer than the release says, or without end: not the file that was published.
        qDebug() << "download: too long:" << logQuoted(task.url) << task.bytesWritten + data.size()
                 << task.sizeLimit;
        task.file->close();
        task.file->remove();
        endRun(false, tr("文件校验失败:") + task.path);
        reply->abort();
        return false;
    }

    if (task.file->write(data) != data.size()) {
        const QString localPath = task.file->fileName();
        task.file->close();
        QFile::remove(localPath);
        endRun(false, tr("写入本地文件失败:") + localPath);
        // The run has ended, so the finished() that abort() brings is ignored.
        reply->abort();
        return false;
    }
    task.bytesWritten += data.size();
    if (task.bytesTotal <= 0 && task.expectedSize > 0) {
        // Qt reports progress at most every so often; without a length from the server the
        // written bytes against the configuration's size show how far the file is.
        const int current =
            int(qMin(100.0, double(task.bytesWritten) / double(task.expectedSize) * 100.0));
        if (current != progress.current) {
            progress.current = current;
            emit sig_progress(progress);
        }
    }
    if (!task.expectedMd5.isEmpty())
        task.hash.addData(data);
    qDebug() << "write to file" << logQuoted(task.file->fileName()) << data.size();
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

    task.bytesReceived = recieved;
    task.bytesTotal = total;
    progress.total = int(config.fileList.size()) * 100;
    // When the server gives no length (chunked, compressed) the configuration's size stands in.
    const qint64 known = total > 0 ? total : task.expectedSize;
    // An unknown (-1) or zero size gives no percentage.
    progress.current = known > 0 ? int(qMin(100.0, double(recieved) / double(known) * 100.0)) : 0;
    emit sig_progress(progress);
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

    if (reply->error() == QNetworkReply::NoError && !writeAvailable())
        return;
    task.file->close();

    if (reply->error() != QNetworkReply::NoError) {
        task.file->remove();
        endRun(false, tr("网络出现错误:") + (task.stalled ? stallText() : reply->errorString()));
        return;
    }
    if (task.expectedSize >= 0 && task.bytesWritten != task.expectedSize) {
        qDebug() << "download: size differs:" << logQuoted(task.url) << task.bytesWritten
                 << task.expectedSize;
        task.file->remove();
        endRun(false, tr("文件校验失败:") + task.path);
        return;
    }
    if (!task.expectedMd5.isEmpty() && task.hash.result().toHex() != task.expectedMd5) {
        task.file->remove();
        endRun(false, tr("文件校验失败:") + task.path);
        return;
    }

    // A finished reply holds nothing more of use; keeping thousands of them until the manager
    // goes only costs memory and a long tear-down at exit.
    reply->deleteLater();

    const int n = int(config.fileList.size());
    progress.finished = downloadIndex * 100;
    progress.total = n * 100;
    emit sig_progress(progress);

    if (downloadIndex < n)
        downloadNextFile();
    else
        emit sig_allFileDownloaded();
}

void Update::slot_updateLocal()
{
    if (runEnded)
        return;
    const QString updateDir = QDir::currentPath() + QStringLiteral("/update");
    journal.begin(updateDir);
    replacedPermissions.clear();
    installError.clear();

    if (backup(config) && copyUpdateFiles(config.fileList)) {
        // The speed timer keeps ticking; its ticks find no new bytes.
        runEnded = true;
        emit sig_finished(true, QStringLiteral("success"));
        return;
    }

    // Put back everything this run changed; the installed configuration was never touched.
    journal.rollback();
    removeDir(updateDir);
    endRun(false, installError);
}

bool Update::backup(const ConfigInfo& config)
{
    qDebug() << "Update::backup";
    const QString current = QDir::currentPath();
    const QString backupDir = current + QStringLiteral("/backup");
    if (!QFileInfo::exists(backupDir)) {
        const QStringList created = missingDirs(backupDir);
        QDir().mkpath(backupDir);
        journal.recordCreatedDirs(created);
    }

    for (auto it = config.fileMap.cbegin(); it != config.fileMap.cend(); ++it) {
        const QString& path = it.key();
        const QString source = current + path;
        const QString target = backupDir + path;
        const QFileInfo sourceInfo(source);
        // A directory where the file should be is no installed copy of it.
        const bool installed = sourceInfo.isSymLink() || (sourceInfo.exists() && !sourceInfo.isDir());
        const QFileDevice::Permissions permissions =
            installed ? QFile::permissions(source) : QFileDevice::Permissions();

        // An older previous copy at the backup location is set aside, not lost, until the
        // installation has succeeded.
        const MoveOutcome outcome = moveJournaled(source, target);
        if (outcome == MoveOutcome::TargetInTheWay) {
            installError = tr("备份文件失败:") + path;
            return false;
        }
        const bool copied = outcome == MoveOutcome::Moved;
        if (copied) {
            journal.recordMove(source, target, permissions);
            replacedPermissions.insert(path, permissions);
        }
        // A file new in this release has no installed copy: its failed attempt is only logged.
        if (installed && (!copied || QFileInfo::exists(source))) {
            installError = tr("备份文件失败:") + path;
            return false;
        }
    }
    return true;
}

bool Update::copyUpdateFiles(const QStringList& files)
{
    qDebug() << "Update::copyUpdateFiles" << files.size();
    const QString current = QDir::currentPath();
    const QString updateDir = current + QStringLiteral("/update");

    for (const QString& path : files) {
        const QString source = updateDir + path;
        const QString target = current + path;
        if (moveJournaled(source, target) != MoveOutcome::Moved) {
            installError = tr("安装文件失败:") + path;
            return false;
        }
        journal.recordAdded(target);
        applyPermissions(path, target);
    }

    // Only a complete installation may claim the new version.
    const QString installedConfig = current + QStringLiteral("/config/") + configFileName;
    const QString newConfig = updateDir + QLatin1Char('/') + configFileName;
    if (moveJournaled(newConfig, installedConfig) != MoveOutcome::Moved) {
        installError = tr("安装文件失败:") + QStringLiteral("/config/") + configFileName;
        return false;
    }

    removeDir(updateDir);
    return true;
}

Update::MoveOutcome Update::moveJournaled(const QString& source, const QString& target)
{
    if (!journal.stash(target))
        return MoveOutcome::TargetInTheWay;
    const QStringList created = missingDirs(QFileInfo(target).absolutePath());
    const bool moved = copyFile(source, target, true);
    journal.recordCreatedDirs(created);
    return moved ? MoveOutcome::Moved : MoveOutcome::Failed;
}

bool Update::isMainExe(const QString& path) const
{
    QString main = QDir::fromNativeSeparators(config.main);
    while (main.startsWith(QLatin1String("./")))
        main.remove(0, 2);
    while (main.startsWith(QLatin1Char('/')))
        main.remove(0, 1);
    return !main.isEmpty() && path.mid(1) == main;
}

void Update::applyPermissions(const QString& path, const QString& installed)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path);
    Q_UNUSED(installed);
#else
    const auto replaced = replacedPermissions.constFind(path);
    if (replaced != replacedPermissions.cend()) {
        // An executable stays executable, a private file stays private.
        QFile::setPermissions(installed, replaced.value());
    } else if (isMainExe(path)) {
        QFile::setPermissions(installed, QFile::permissions(installed) | QFileDevice::ExeOwner |
                                             QFileDevice::ExeUser | QFileDevice::ExeGroup |
                                             QFileDevice::ExeOther);
    }
#endif
}
