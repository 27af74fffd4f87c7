#include "update/filetransfer.h"

#include "config/signature.h"
#include "log/logquoted.h"
#include "platform/installfs.h"
#include "update/downloadrules.h"

#include <QDebug>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QStorageInfo>
#include <QTimer>

namespace
{

// An md5 text is checked against the data only when it is a digest; anything else is an opaque
// marker that only tells releases apart.
bool isMd5Digest(const QString& text)
{
    return Signature::isHexDigest(text, 32);
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

FileTransfer::FileTransfer(const File& file, QNetworkAccessManager* manager, const QString& root,
                           const Settings& settings, QObject* parent)
    : QObject(parent), file(file), networkManager(manager), root(root), settings(settings),
      local(root, file.path, file.md5, file.sha256, file.size, task), stallTimer(new QTimer(this))
{
    stallTimer->setSingleShot(true);
    connect(stallTimer, &QTimer::timeout, this, &FileTransfer::stalled);
}

FileTransfer::~FileTransfer()
{
    // A reply still in flight must not call back into a transfer that is half gone.
    if (task.reply)
        task.reply->disconnect(this);
    if (task.file->isOpen()) {
        if (local.keepPartial())
            task.file->close();
        else
            local.remove();
    }
}

qint64 FileTransfer::expectedSize() const
{
    return file.size;
}

bool FileTransfer::carries(const QNetworkReply* reply) const
{
    return reply && task.reply.data() == reply;
}

void FileTransfer::finish(bool ok, const QString& error)
{
    if (ended)
        return;
    ended = true;
    local.release();
    stallTimer->stop();
    emit sig_finished(ok, error);
}

bool FileTransfer::keepDownloaded()
{
    return local.keep();
}

void FileTransfer::start()
{
    task.path = file.path;
    task.url = file.url.toString(QUrl::FullyEncoded);
    task.expectedSize = file.size;
    // Without a size of its own a download is bounded by its Content-Length, or, when the
    // server sends none, by unknownLengthLimit(), worked out once the headers are in.
    task.sizeLimit = task.expectedSize;

    // A signed release gives a sha256 for every file (checked before any download); an unsigned
    // one may give it too. Where there is one, it judges the file alone, as it does a kept one:
    // an md5 on top would add no certainty and, being the slower of the two here, would bound
    // how fast a large file can arrive.
    task.expectedSha256 =
        Signature::isSha256Hex(file.sha256) ? file.sha256.toLower().toLatin1() : QByteArray();
    task.expectedMd5 = task.expectedSha256.isEmpty() && isMd5Digest(file.md5)
                           ? file.md5.toLower().toLatin1()
                           : QByteArray();
    task.hash.reset(task.algorithm());

    // Only a file whose digest checks the whole is continued from partial bytes, and only where
    // no file of the release has the partial file's name.
    task.partial = task.checked() && file.partialAllowed;
    const QString localPath = root + QStringLiteral("/update") + file.path;
    if (!local.open([this](qint64 have) { emit sig_resuming(have, task.expectedSize); })) {
        task.aborted = true;
        finish(false, QStringLiteral("open local file failed:") + localPath);
        return;
    }
    // What comes later for this file (its note, its restart) acts on the folder checked now;
    // the checked download takes its name only after the folder is walked to once more.
    local.walkAgain();

    sendRequest();
    qDebug() << "download:" << logQuoted(task.url) << logQuoted(localPath);
}

void FileTransfer::sendRequest()
{
    QNetworkRequest request(file.url);
    if (task.resumeFrom > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(task.resumeFrom) + '-');
        request.setRawHeader("If-Range", task.validator);
        // Offsets are those of the file itself, not of a compressed form of it.
        request.setRawHeader("Accept-Encoding", "identity");
    }
    // Over HTTP/2 every request of the run shares one connection; over HTTP/1.1 a small file
    // may be sent behind others on a connection instead of waiting a round trip for one.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, true);
    request.setAttribute(QNetworkRequest::HttpPipeliningAllowedAttribute, settings.pipelined);
    QNetworkReply* reply = networkManager->get(request);
    // Without a bound the reply would hold a fast download whole in memory.
    reply->setReadBufferSize(settings.readBufferBytes);
    // A request may wait in the manager's queue for a connection: the time without data counts
    // from when it went out.
    connect(reply, &QNetworkReply::requestSent, this, [this] {
        if (stallTimer->isActive())
            stallTimer->start(settings.stallTimeoutMs);
    });
    connect(reply, &QNetworkReply::downloadProgress, this, &FileTransfer::slot_downloadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &FileTransfer::slot_readyRead);
    connect(reply, &QNetworkReply::finished, this,
            [this, reply = QPointer<QNetworkReply>(reply)] { slot_downloadFinished(reply); });
    // A reply Qt gives up on while its body is read (an inflated body past Qt's bound) reports
    // its error but may never report its end: such an error ends the download once the events
    // in hand are through, unless finished() came first. An error status is reported when the
    // headers arrive, and its answer is looked at by beginBody() as it comes.
    connect(
        reply, &QNetworkReply::errorOccurred, this, [this, reply = QPointer<QNetworkReply>(reply)] {
            QMetaObject::invokeMethod(
                this,
                [this, reply] {
                    if (reply && reply == task.reply && !ended &&
                        reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() < 400)
                        slot_downloadFinished(reply);
                },
                Qt::QueuedConnection);
        });
    task.reply = reply;

    stallTimer->start(settings.stallTimeoutMs);
}

bool FileTransfer::beginBody(QNetworkReply* reply)
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

const char* FileTransfer::rangeMismatch(QNetworkReply* reply) const
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

void FileTransfer::takeValidator(QNetworkReply* reply)
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
        local.writeNote();
}

bool FileTransfer::startOver()
{
    task.file->close();
    task.resumeFrom = 0;
    task.resumed = false;
    task.validator.clear();
    task.infoSaved = false;
    task.bytesWritten = 0;
    task.hash.reset(task.algorithm());
    if (local.startOver())
        return true;
    task.aborted = true;
    finish(false, QStringLiteral("open local file failed:") + local.localPath());
    return false;
}

void FileTransfer::restartDownload(const char* reason)
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
    emit sig_restarted();
    if (!startOver())
        return;
    sendRequest();
}

bool FileTransfer::writeAvailable()
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
        task.sizeLimit = settings.unknownLengthBytes >= 0
                             ? settings.unknownLengthBytes
                             : unknownLengthLimit(
                                   QStorageInfo(root + QStringLiteral("/update")).bytesAvailable());
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
        local.remove();
        finish(false, tr("文件校验失败:") + task.path);
        reply->abort();
        return false;
    }

    if (task.file->write(data) != data.size()) {
        const QString localPath = local.localPath();
        local.remove();
        finish(false, tr("写入本地文件失败:") + localPath);
        // The run has ended, so the finished() that abort() brings is ignored.
        reply->abort();
        return false;
    }
    task.bytesWritten += data.size();
    if (task.bytesTotal <= 0 && task.expectedSize > 0) {
        // Qt reports progress at most every so often; without a length from the server the
        // written bytes against the configuration's size show how far the file is.
        emit sig_written(task.bytesWritten, task.expectedSize);
    }
    if (task.checked())
        task.hash.addData(data);
    qDebug() << "write to file" << logQuoted(local.localPath()) << data.size();
    return true;
}

void FileTransfer::slot_readyRead()
{
    // The log keeps the names these lines had when the worker read the replies itself.
    qDebug() << "Update::slot_readyRead";
    if (ended)
        return;
    if (stallTimer->isActive())
        stallTimer->start(settings.stallTimeoutMs);
    writeAvailable();
}

void FileTransfer::slot_downloadProgress(qint64 recieved, qint64 total)
{
    qDebug() << "Update::slot_downloadProgress";
    qDebug() << recieved << total;
    if (stallTimer->isActive())
        stallTimer->start(settings.stallTimeoutMs);

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
    emit sig_progress(recieved, total);
}

void FileTransfer::endWithError(const QString& error)
{
    task.file->close();
    // Bytes the next run can continue stay, beside the note of where they came from.
    if (local.keepPartial())
        qDebug() << "download: partial kept:" << logQuoted(local.writtenPath())
                 << task.bytesWritten;
    else
        local.remove();
    finish(false, tr("网络出现错误:") + error);
}

void FileTransfer::stalled()
{
    if (ended || !task.reply)
        return;
    // Reported through finished() like any other network error, with a text of its own.
    task.stalled = true;
    task.reply->abort();
}

QString FileTransfer::stallText() const
{
    const int ms = settings.stallTimeoutMs;
    const QString wait = ms % 1000 == 0 ? tr("%1秒").arg(ms / 1000) : tr("%1毫秒").arg(ms);
    return tr("服务器%1没有响应:%2").arg(wait, task.url);
}

void FileTransfer::slot_downloadFinished(QNetworkReply* reply)
{
    // Replies given up on after the transfer ended (an aborted write) change nothing.
    if (ended || !reply || reply != task.reply)
        return;
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
        local.remove();
        finish(false, tr("文件校验失败:") + task.path);
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
            local.remove();
            finish(false, tr("文件校验失败:") + task.path);
            return;
        }
    }

    // A checked download takes its own name only now.
    if (!local.takeName()) {
        local.remove();
        finish(false, tr("写入本地文件失败:") + local.localPath());
        return;
    }

    // A finished reply holds nothing more of use; keeping thousands of them until the manager
    // goes only costs memory and a long tear-down at exit.
    reply->deleteLater();

    finish(true, QString());
}
