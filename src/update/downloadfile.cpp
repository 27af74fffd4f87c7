#include "update/downloadfile.h"

#include "config/signature.h"
#include "log/logquoted.h"
#include "platform/installfs.h"
#include "update/downloadrules.h"
#include "update/downloadtask.h"

#include <QDebug>
#include <QFile>

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

} // namespace

DownloadFile::DownloadFile(const QString& root, const QString& path, const QString& md5,
                           const QString& sha256, qint64 size, DownloadTask& task)
    : root(root), path(path), md5(md5), sha256(sha256), size(size), task(task),
      downloadTarget(QStringLiteral("/update") + path)
{
}

DownloadFile::~DownloadFile() = default;

QString DownloadFile::localPath() const
{
    return downloadLocalPath;
}

QString DownloadFile::writtenPath() const
{
    return downloadFs->absolutePath(downloadPath);
}

bool DownloadFile::holdFolder(const QString& relative)
{
    const QString folder = InstallFs::parentOf(relative);
    if (heldFresh && downloadFs && downloadFs->holds(folder))
        return true;
    if (!downloadFs || !downloadFs->isValid())
        downloadFs.reset(new InstallFs(root));
    heldFresh = downloadFs->holdFolder(folder);
    return heldFresh;
}

void DownloadFile::walkAgain()
{
    heldFresh = false;
}

void DownloadFile::release()
{
    heldFresh = false;
    if (downloadFs)
        downloadFs->releaseFolder();
}

bool DownloadFile::open(const std::function<void(qint64)>& resuming)
{
    return task.partial ? openPartialFile(downloadTarget, resuming)
                        : createDownloadFile(downloadTarget);
}

bool DownloadFile::startOver()
{
    InstallFs& fs = *downloadFs;
    return fs.removeTree(partialInfoPath(downloadTarget)) && fs.removeTree(downloadPath) &&
           openNewFile(downloadPath);
}

bool DownloadFile::takeName()
{
    heldFresh = false;
    if (!task.partial)
        return true;
    InstallFs& fs = *downloadFs;
    // The folder is walked to afresh: had it been moved away or swapped for a link since the
    // file began, the download would take its name somewhere else.
    if (!holdFolder(downloadTarget) || !fs.rename(downloadPath, downloadTarget, true))
        return false;
    if (task.infoSaved)
        fs.removeFile(partialInfoPath(downloadTarget));
    return true;
}

bool DownloadFile::ensureParentDir(const QString& relative)
{
    if (holdFolder(relative))
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
    return holdFolder(relative);
}

bool DownloadFile::openNewFile(const QString& relative)
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
        InstallFs::closeDescriptor(fd);
        return false;
    }
    return true;
}

bool DownloadFile::createDownloadFile(const QString& relative)
{
    if (!ensureParentDir(relative))
        return false;
    downloadPath = relative;
    downloadLocalPath = downloadFs->absolutePath(relative);
    return openNewFile(relative);
}

bool DownloadFile::openPartialFile(const QString& relative,
                                   const std::function<void(qint64)>& resuming)
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

    if (resumePartial(resuming))
        return true;
    // Bytes that cannot be continued, and a note without bytes, are of no use.
    return fs.removeTree(downloadPath) && fs.removeTree(partialInfoPath(relative)) &&
           openNewFile(downloadPath);
}

PartialInfo DownloadFile::partialInfo() const
{
    PartialInfo info;
    info.url = task.url;
    info.md5 = md5;
    info.sha256 = sha256;
    return info;
}

bool DownloadFile::resumePartial(const std::function<void(qint64)>& resuming)
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
        InstallFs::closeDescriptor(fd);
        return false;
    }
    if (!task.file->open(fd, QIODevice::ReadWrite | QIODevice::Unbuffered,
                         QFileDevice::AutoCloseHandle)) {
        InstallFs::closeDescriptor(fd);
        return false;
    }
    // The bar shows the bytes already here while they are read again.
    if (task.expectedSize > 0)
        resuming(opened.size);
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

bool DownloadFile::keep()
{
    const QString local = QStringLiteral("/update") + path;
    // When the folder is not there yet, there is nothing to keep and the download makes it.
    if (!holdFolder(local))
        return false;
    // A signed release gives a sha256 for every file, and then only that counts.
    const bool bySha256 = Signature::isSha256Hex(sha256);
    if (!bySha256 && !isMd5Digest(md5))
        return false;
    InstallFs& fs = *downloadFs;
    InstallFs::Entry found;
    if (!fs.entry(local, &found) || found.kind != InstallFs::Kind::File)
        return false;
    if (size >= 0 && found.size != size)
        return false;
    // What is installed keeps its owner: a file someone else owns or could still change (another
    // name for it, write access, set-id bits) is fetched anew, even with the right bytes.
    InstallFs::Entry opened;
    const int fd = fs.openFile(local, false, &opened);
    if (fd < 0)
        return false;
    if (!InstallFs::adoptable(opened)) {
        InstallFs::closeDescriptor(fd);
        return false;
    }
    QFile kept;
    if (!kept.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        InstallFs::closeDescriptor(fd);
        return false;
    }
    task.hash.reset(bySha256 ? StreamHasher::Algorithm::Sha256 : StreamHasher::Algorithm::Md5);
    while (true) {
        const QByteArray chunk = kept.read(1 << 20);
        if (chunk.isEmpty())
            break;
        task.hash.addData(chunk);
    }
    const QByteArray digest = task.hash.result().toHex();
    if (kept.error() != QFileDevice::NoError)
        return false;
    if (digest != (bySha256 ? sha256 : md5).toLower().toLatin1())
        return false;
    qDebug() << "download: kept:" << logQuoted(fs.absolutePath(local));
    return true;
}

bool DownloadFile::keepPartial()
{
    if (!task.partial || task.bytesWritten <= 0)
        return false;
    if (!task.infoSaved && !task.validator.isEmpty())
        writeNote();
    return task.infoSaved;
}

void DownloadFile::remove()
{
    task.file->close();
    if (downloadFs && !downloadPath.isEmpty()) {
        downloadFs->removeFile(downloadPath);
        if (task.partial)
            downloadFs->removeFile(partialInfoPath(downloadTarget));
    }
}

void DownloadFile::writeNote()
{
    PartialInfo info = partialInfo();
    info.validator = task.validator;
    InstallFs& fs = *downloadFs;
    const QString infoPath = partialInfoPath(downloadTarget);
    const int fd = fs.createFile(infoPath, 0666);
    if (fd < 0)
        return;
    QFile note;
    const QByteArray bytes = info.toBytes();
    if (!note.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered,
                   QFileDevice::AutoCloseHandle)) {
        InstallFs::closeDescriptor(fd);
        fs.removeFile(infoPath);
        return;
    }
    if (note.write(bytes) != bytes.size()) {
        note.close();
        fs.removeFile(infoPath);
        return;
    }
    note.close();
    task.infoSaved = true;
}
