#include "update/encodedtransfer.h"

#include "config/signature.h"
#include "log/logquoted.h"
#include "platform/installfs.h"
#include "platform/mappedfile.h"
#include "update/downloadrules.h"
#include "update/formdecoding.h"
#include "update/streamhasher.h"

#include <QDebug>
#include <QGlobalStatic>
#include <QMetaObject>
#include <QMutex>

#include <algorithm>

namespace
{

// Installed bytes hashed in one turn of the event loop.
constexpr qint64 hashPieceBytes = 4 << 20;

const char* kindName(const FileForm& form)
{
    return form.kind == FileForm::Kind::Patch ? "patch" : "compressed";
}

} // namespace

EncodedTransfer::EncodedTransfer(const File& file, const QList<FileForm>& forms,
                                 const QString& server, QNetworkAccessManager* manager,
                                 const QString& root, const Settings& settings, QObject* parent)
    : FileTransfer(file, manager, root, settings, parent), plain(file), offered(forms),
      server(server), manager(manager), root(root), settings(settings)
{
}

namespace
{
// The transfers that have a form to decode, in the order they asked; the first decodes. Each
// decoder holds a window of up to 32 MiB: one at a time keeps the process within its memory
// bound however many files arrive together.
struct DecodeTurns {
    QMutex mutex;
    QList<EncodedTransfer*> queue;
};
Q_GLOBAL_STATIC(DecodeTurns, decodeTurns)
} // namespace

EncodedTransfer::~EncodedTransfer()
{
    endDecodeTurn();
}

void EncodedTransfer::endDecodeTurn()
{
    QMutexLocker locker(&decodeTurns->mutex);
    QList<EncodedTransfer*>& queue = decodeTurns->queue;
    const bool wasDecoding = !queue.isEmpty() && queue.first() == this;
    queue.removeAll(this);
    if (!wasDecoding || queue.isEmpty())
        return;
    EncodedTransfer* next = queue.first();
    QMetaObject::invokeMethod(
        next, [next] { next->beginDecoding(); }, Qt::QueuedConnection);
}

bool EncodedTransfer::eligible(const QString& md5, const QString& sha256)
{
    return Signature::isSha256Hex(sha256) || Signature::isHexDigest(md5, 32);
}

qint64 EncodedTransfer::expectedBytes(const QString& md5, const FileAttributes& attributes)
{
    const FileForm* compressed = attributes.compressedForm();
    if (compressed && eligible(md5, attributes.sha256))
        return compressed->size;
    return attributes.size;
}

template <typename Step> void EncodedTransfer::later(Step step)
{
    // Queued, so that a step never runs inside the signal that led to it, and the other
    // transfers' replies are read between two steps.
    QMetaObject::invokeMethod(this, step, Qt::QueuedConnection);
}

QString EncodedTransfer::localPath() const
{
    return root + QStringLiteral("/update") + plain.path;
}

void EncodedTransfer::start()
{
    const bool patchOffered = std::any_of(offered.begin(), offered.end(), [](const FileForm& f) {
        return f.kind == FileForm::Kind::Patch;
    });
    if (!patchOffered || !eligible(plain.md5, plain.sha256)) {
        choose(nullptr);
        nextForm();
        return;
    }
    // The installed copy is read by its handle below the installation, never through a link;
    // one that is not a regular file has no patch.
    installed = std::make_unique<MappedFile>();
    InstallFs fs(root);
    if (!fs.mapFile(plain.path, installed.get())) {
        installed.reset();
        choose(nullptr);
        nextForm();
        return;
    }
    hasher = std::make_unique<StreamHasher>();
    hasher->reset(StreamHasher::Algorithm::Sha256);
    hashed = 0;
    hashStep();
}

void EncodedTransfer::hashStep()
{
    const qint64 count = std::min(hashPieceBytes, installed->size() - hashed);
    if (count > 0) {
        // The mapped pages are handed over as they are; they stay mapped until result().
        hasher->addData(QByteArray::fromRawData(installed->data() + hashed, qsizetype(count)));
        hashed += count;
        if (hashed < installed->size()) {
            later([this] { hashStep(); });
            return;
        }
    }
    const QByteArray digest = hasher->result();
    installed.reset();
    hasher.reset();
    Sha256Digest bytes;
    std::copy(digest.begin(), digest.end(), reinterpret_cast<char*>(bytes.data()));
    choose(&bytes);
    nextForm();
}

void EncodedTransfer::choose(const Sha256Digest* installedDigest)
{
    pending.clear();
    if (!eligible(plain.md5, plain.sha256))
        return;
    for (const FileForm& form : offered) {
        if (installedDigest && form.kind == FileForm::Kind::Patch &&
            form.base == *installedDigest) {
            pending.append(form);
            break;
        }
    }
    for (const FileForm& form : offered) {
        if (form.kind == FileForm::Kind::Compressed) {
            pending.append(form);
            break;
        }
    }
}

void EncodedTransfer::nextForm()
{
    if (pending.isEmpty()) {
        startPlain();
        return;
    }
    current = pending.takeFirst();
    File file;
    file.path = formPath(plain.path, current);
    file.url = downloadUrl(server, file.path);
    file.sha256 = sha256Hex(current.sha256);
    file.size = current.size;
    formTransfer = new FileTransfer(file, manager, root, settings, this);
    qDebug() << "download:" << kindName(current) << logQuoted(file.url.toString(QUrl::FullyEncoded))
             << current.size;
    // The form's bytes stand for the file's: its percentage is that of the form.
    connect(formTransfer, &FileTransfer::sig_progress, this, &FileTransfer::sig_progress);
    connect(formTransfer, &FileTransfer::sig_written, this, &FileTransfer::sig_written);
    connect(formTransfer, &FileTransfer::sig_resuming, this, &FileTransfer::sig_resuming);
    connect(formTransfer, &FileTransfer::sig_restarted, this, &FileTransfer::sig_restarted);
    connect(formTransfer, &FileTransfer::sig_finished, this,
            [this](bool ok, const QString& error) { formFetched(ok, error); });
    // A form an earlier run fetched and checked is decoded without a request.
    if (formTransfer->keepDownloaded()) {
        later([this] { formFetched(true, QString()); });
        return;
    }
    formTransfer->start();
}

void EncodedTransfer::formFetched(bool ok, const QString& error)
{
    if (!formTransfer)
        return;
    const bool stalled = !ok && formTransfer->endedStalled();
    // Deleted once it has returned from reporting its end.
    formTransfer->deleteLater();
    formTransfer = nullptr;
    if (!ok) {
        // A server that sends nothing would keep the next form waiting as long: the plain
        // file, which fails with the message users know, is what is tried next.
        if (stalled)
            pending.clear();
        fallBack(error);
        return;
    }
    bool first = false;
    {
        QMutexLocker locker(&decodeTurns->mutex);
        decodeTurns->queue.append(this);
        first = decodeTurns->queue.first() == this;
    }
    if (first)
        beginDecoding();
}

void EncodedTransfer::beginDecoding()
{
    FormDecoding::Target target;
    target.path = plain.path;
    target.md5 = plain.md5;
    target.sha256 = plain.sha256;
    target.size = plain.size;
    target.partialAllowed = plain.partialAllowed;
    decoding = std::make_unique<FormDecoding>(root, target, formPath(plain.path, current),
                                              current.kind == FileForm::Kind::Patch);
    if (!decoding->begin()) {
        const QString reason = decoding->reason();
        decoding.reset();
        endDecodeTurn();
        fallBack(reason);
        return;
    }
    later([this] { decodeStep(); });
}

void EncodedTransfer::decodeStep()
{
    if (!decoding)
        return;
    switch (decoding->step()) {
    case FormDecoding::State::Running:
        later([this] { decodeStep(); });
        return;
    case FormDecoding::State::Failed: {
        // A form whose digest checked but does not decode to the file is of no use again.
        const QString reason = decoding->reason();
        decoding->removeForm();
        decoding.reset();
        endDecodeTurn();
        fallBack(reason);
        return;
    }
    case FormDecoding::State::Done:
        break;
    }
    qDebug() << "download: decoded" << logQuoted(localPath()) << decoding->decodedBytes();
    decoding->removeForm();
    decoding.reset();
    endDecodeTurn();
    emit sig_finished(true, QString());
}

void EncodedTransfer::fallBack(const QString& reason)
{
    // One line: the file, the form that failed and why.
    qDebug().noquote() << "download: fallback" << logQuoted(localPath()) << kindName(current)
                       << logQuoted(downloadUrl(server, formPath(plain.path, current))
                                        .toString(QUrl::FullyEncoded))
                       << reason;
    // What the failed form reported no longer counts towards the file.
    emit sig_restarted();
    nextForm();
}

void EncodedTransfer::startPlain()
{
    plainStarted = true;
    // The file's folder was checked when the transfer was made; forms were tried since.
    walkAgain();
    FileTransfer::start();
}

bool EncodedTransfer::carries(const QNetworkReply* reply) const
{
    return (formTransfer && formTransfer->carries(reply)) || FileTransfer::carries(reply);
}

void EncodedTransfer::slot_downloadFinished(QNetworkReply* reply)
{
    if (formTransfer && formTransfer->carries(reply))
        formTransfer->slot_downloadFinished(reply);
    else
        FileTransfer::slot_downloadFinished(reply);
}

void EncodedTransfer::slot_readyRead()
{
    if (formTransfer)
        formTransfer->slot_readyRead();
    else if (plainStarted)
        FileTransfer::slot_readyRead();
}
