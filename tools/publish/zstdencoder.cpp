#include "zstdencoder.h"

#include <QCryptographicHash>
#include <QIODevice>

#include <zstd.h>

#include <algorithm>
#include <memory>

namespace
{

constexpr int level = 19;
constexpr qint64 pieceSize = 1 << 20;

struct ContextDeleter {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

// floor(log2(value)) for value > 0.
int highBit(quint64 value)
{
    int bit = 0;
    while (value >>= 1)
        ++bit;
    return bit;
}

} // namespace

ZstdEncoder::Outcome ZstdEncoder::encode(QIODevice* input, qint64 inputSize, QIODevice* output,
                                         QByteArrayView prefix, qint64 limit, Result* result,
                                         QString* error,
                                         const std::function<void(qint64)>& progress)
{
    const auto failed = [error](const QString& text) {
        *error = text;
        return Outcome::Failed;
    };
    std::unique_ptr<ZSTD_CCtx, ContextDeleter> context(ZSTD_createCCtx());
    if (!context)
        return failed(QStringLiteral("out of memory"));
    ZSTD_CCtx* cctx = context.get();
    // A patch's window covers the larger of its base and its file, so that a match anywhere in
    // the base is in reach (as zstd's own --patch-from sets it); a compressed copy's is the
    // bound, which zstd narrows to the file's size when that is smaller.
    int window = windowLog;
    if (!prefix.isEmpty()) {
        const quint64 larger = quint64(std::max<qint64>(prefix.size(), inputSize));
        window = std::clamp(highBit(std::max<quint64>(larger, 1)) + 1, 10, windowLog);
    }
    const size_t settings[] = {
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level),
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, window),
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_enableLongDistanceMatching, 1),
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1),
        ZSTD_CCtx_setPledgedSrcSize(cctx, quint64(inputSize)),
        prefix.isEmpty() ? 0 : ZSTD_CCtx_refPrefix(cctx, prefix.data(), size_t(prefix.size())),
    };
    for (const size_t setting : settings) {
        if (ZSTD_isError(setting))
            return failed(QString::fromLatin1(ZSTD_getErrorName(setting)));
    }

    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray in(pieceSize, Qt::Uninitialized);
    QByteArray out(qsizetype(ZSTD_CStreamOutSize()), Qt::Uninitialized);
    qint64 written = 0;
    qint64 read = 0;
    bool ended = false;
    while (!ended) {
        const qint64 count = input->read(in.data(), std::min<qint64>(pieceSize, inputSize - read));
        if (count < 0)
            return failed(input->errorString());
        read += count;
        if (progress && count > 0)
            progress(count);
        const bool last = read == inputSize;
        if (count == 0 && !last)
            return failed(QStringLiteral("the file ended after %1 of %2 bytes: it changed while "
                                         "it was read")
                              .arg(read)
                              .arg(inputSize));
        ZSTD_inBuffer inBuffer{in.constData(), size_t(count), 0};
        const ZSTD_EndDirective mode = last ? ZSTD_e_end : ZSTD_e_continue;
        for (;;) {
            ZSTD_outBuffer outBuffer{out.data(), size_t(out.size()), 0};
            const size_t remaining = ZSTD_compressStream2(cctx, &outBuffer, &inBuffer, mode);
            if (ZSTD_isError(remaining))
                return failed(QString::fromLatin1(ZSTD_getErrorName(remaining)));
            if (outBuffer.pos > 0) {
                written += qint64(outBuffer.pos);
                if (written > limit)
                    return Outcome::TooLarge;
                if (output->write(out.constData(), qint64(outBuffer.pos)) != qint64(outBuffer.pos))
                    return failed(output->errorString());
                hash.addData(QByteArrayView(out.constData(), qsizetype(outBuffer.pos)));
            }
            if (last ? remaining == 0 : inBuffer.pos == inBuffer.size)
                break;
        }
        ended = last;
    }
    // One byte more than was said tells a file that grew while it was read.
    char probe;
    if (input->read(&probe, 1) > 0)
        return failed(QStringLiteral("the file grew while it was read"));
    result->size = written;
    const QByteArray digest = hash.result();
    std::copy(digest.cbegin(), digest.cend(), result->sha256.begin());
    return Outcome::Written;
}
