#include "update/formdecoding.h"

#include "config/signature.h"
#include "platform/installfs.h"
#include "update/zstddecoder.h"

#include <algorithm>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace
{

// Form bytes read at a time: a compressed piece may decode to many times its size, and the
// event loop should not wait long for one piece.
constexpr qint64 pieceBytes = 256 * 1024;

} // namespace

FormDecoding::FormDecoding(const QString& root, const Target& target, const QString& formPath,
                           bool patch)
    : root(root), target(target), formPath(formPath), patch(patch),
      output(root, target.path, target.md5, target.sha256, target.size, task)
{
}

FormDecoding::~FormDecoding()
{
    // A result not yet checked never keeps its bytes: the next run decodes the form again.
    if (!done && task.file->isOpen())
        output.remove();
    output.release();
}

FormDecoding::State FormDecoding::fail(const QString& reason)
{
    why = reason;
    decoder.reset();
    base.unmap();
    input.close();
    output.remove();
    output.release();
    return State::Failed;
}

bool FormDecoding::begin()
{
    fs = std::make_unique<InstallFs>(root);
    const int fd = fs->openFile(QStringLiteral("/update") + formPath);
    if (fd < 0 || !input.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered,
                              QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            InstallFs::closeDescriptor(fd);
        fail(QStringLiteral("form cannot be read: ") + fs->errorString());
        return false;
    }

    // The window the frame may ask for follows from the sizes, as the publisher chose it: a
    // patch's covers the larger of its base and its file.
    qint64 span = target.size;
    if (patch) {
        // The installed copy is opened by its handle below the installation, never through a
        // link; had it changed since it was hashed, the frame's checksum or the file's digest
        // says so.
        if (!fs->mapFile(target.path, &base)) {
            fail(QStringLiteral("installed copy cannot be mapped: ") + fs->errorString());
            return false;
        }
        span = std::max(span, base.size());
    }
    int windowLog = ZstdDecoder::defaultWindowLog;
    if (span >= 0)
        windowLog = std::min(ZstdDecoder::windowLogFor(span) + (patch ? 1 : 0),
                             int(ZstdDecoder::defaultWindowLog));
    decoder = std::make_unique<ZstdDecoder>(
        [this](const char* data, qint64 size) { return write(data, size); }, windowLog);
    if (patch)
        decoder->setPrefix(base.data(), base.size());

    // The result is hashed as it is written and judged like a plain download: by its sha256
    // where the configuration gives one, else by its md5.
    task.path = target.path;
    task.expectedSize = target.size;
    task.sizeLimit = target.size;
    task.expectedSha256 =
        Signature::isSha256Hex(target.sha256) ? target.sha256.toLower().toLatin1() : QByteArray();
    task.expectedMd5 = task.expectedSha256.isEmpty() && Signature::isHexDigest(target.md5, 32)
                           ? target.md5.toLower().toLatin1()
                           : QByteArray();
    if (!task.checked()) {
        fail(QStringLiteral("the file has no digest to check the result against"));
        return false;
    }
    task.hash.reset(task.algorithm());
    // No note is ever written for it (task.url stays empty): decoded bytes cut short are not
    // continued, the form is decoded again from its start.
    task.partial = target.partialAllowed;
    if (!output.open([](qint64) {})) {
        fail(QStringLiteral("open local file failed: ") + output.localPath());
        return false;
    }
    output.walkAgain();
    return true;
}

bool FormDecoding::write(const char* data, qint64 size)
{
    if (task.sizeLimit >= 0 && decoded + size > task.sizeLimit)
        return false;
    if (task.file->write(data, size) != size)
        return false;
    task.hash.addData(QByteArray(data, size));
    decoded += size;
    task.bytesWritten = decoded;
    return true;
}

FormDecoding::State FormDecoding::step()
{
    if (done)
        return State::Done;
    if (!decoder)
        return State::Failed;
    QByteArray piece(pieceBytes, Qt::Uninitialized);
    const qint64 count = input.read(piece.data(), pieceBytes);
    if (count < 0)
        return fail(QStringLiteral("form cannot be read: ") + input.errorString());
    if (count > 0) {
        if (!decoder->feed(piece.constData(), count)) {
            if (decoder->error() == ZstdDecoder::Error::Sink)
                return fail(task.file->error() != QFileDevice::NoError
                                ? QStringLiteral("write failed: ") + task.file->errorString()
                                : QStringLiteral("decoded past the file's size"));
            return fail(QStringLiteral("decoder: ") + decoder->errorString());
        }
        return State::Running;
    }
    if (!decoder->finish())
        return fail(QStringLiteral("decoder: ") + decoder->errorString());
    return complete();
}

FormDecoding::State FormDecoding::complete()
{
    decoder.reset();
    base.unmap();
    input.close();
    task.file->close();
    if (task.expectedSize >= 0 && decoded != task.expectedSize)
        return fail(QStringLiteral("decoded %1 bytes, not %2").arg(decoded).arg(task.expectedSize));
    if (task.hash.result().toHex() != task.expectedDigest())
        return fail(task.expectedSha256.isEmpty() ? QStringLiteral("md5 of the result differs")
                                                  : QStringLiteral("sha256 of the result differs"));
    if (!output.takeName())
        return fail(QStringLiteral("cannot take its name: ") + output.localPath());
    output.release();
    done = true;
    return State::Done;
}

void FormDecoding::removeForm()
{
    input.close();
    if (!fs)
        fs = std::make_unique<InstallFs>(root);
    fs->removeFile(QStringLiteral("/update") + formPath);
}
