#include "update/zstddecoder.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <QByteArray>

struct ZstdDecoder::State {
    Sink sink;
    ZSTD_DCtx* context = nullptr;
    QByteArray output;
    Error error = Error::None;
    QString errorString;
    qint64 decoded = 0;
    bool started = false;
    bool frameEnded = false;
    bool hasPrefix = false;
    int windowLogMax = defaultWindowLog;
};

int ZstdDecoder::windowLogFor(qint64 decodedSize)
{
    // zstd's smallest window is 1 KiB.
    int log = 10;
    while (log < defaultWindowLog && (qint64(1) << log) < decodedSize)
        ++log;
    return log;
}

ZstdDecoder::ZstdDecoder(Sink sink, int windowLogMax) : d(std::make_unique<State>())
{
    d->sink = std::move(sink);
    d->windowLogMax = windowLogMax;
    d->context = ZSTD_createDCtx();
    if (!d->context) {
        fail(Error::Memory);
        return;
    }
    // The window is what the decoder holds of the output; a frame asking for more is refused
    // before anything is allocated for it.
    if (ZSTD_isError(ZSTD_DCtx_setParameter(d->context, ZSTD_d_windowLogMax, windowLogMax)))
        fail(Error::WindowTooLarge,
             QStringLiteral("window bound %1 not accepted").arg(windowLogMax));
    d->output.resize(qsizetype(ZSTD_DStreamOutSize()));
}

ZstdDecoder::~ZstdDecoder()
{
    ZSTD_freeDCtx(d->context);
}

void ZstdDecoder::setPrefix(const char* data, qint64 size)
{
    if (d->error != Error::None)
        return;
    if (d->started) {
        fail(Error::Corrupt, QStringLiteral("prefix given after the frame began"));
        return;
    }
    d->hasPrefix = true;
    // An empty prefix is the same as none; zstd takes a null prefix as "no prefix" too.
    if (size > 0 && ZSTD_isError(ZSTD_DCtx_refPrefix(d->context, data, size_t(size))))
        fail(Error::Memory, QStringLiteral("prefix not accepted"));
}

bool ZstdDecoder::fail(Error error, const QString& detail)
{
    if (d->error != Error::None)
        return false;
    d->error = error;
    QString text;
    switch (error) {
    case Error::None:
        break;
    case Error::Corrupt:
        text = d->hasPrefix ? QStringLiteral("corrupt data, or a patch made from other bytes")
                            : QStringLiteral("corrupt data");
        break;
    case Error::Checksum:
        text = d->hasPrefix ? QStringLiteral("checksum differs: corrupt data, or a patch made from "
                                             "other bytes")
                            : QStringLiteral("checksum differs: corrupt data");
        break;
    case Error::Truncated:
        text = QStringLiteral("truncated: the frame does not end");
        break;
    case Error::TrailingData:
        text = QStringLiteral("data after the end of the frame");
        break;
    case Error::WindowTooLarge:
        text = QStringLiteral("the frame needs a window larger than %1 bytes")
                   .arg(qint64(1) << d->windowLogMax);
        break;
    case Error::Sink:
        text = QStringLiteral("the decoded bytes could not be taken");
        break;
    case Error::Memory:
        text = QStringLiteral("out of memory");
        break;
    }
    d->errorString =
        detail.isEmpty() ? text : text + QStringLiteral(" (") + detail + QLatin1Char(')');
    return false;
}

bool ZstdDecoder::feed(const char* data, qint64 size)
{
    if (d->error != Error::None)
        return false;
    if (size <= 0)
        return true;
    if (d->frameEnded)
        return fail(Error::TrailingData);
    d->started = true;
    ZSTD_inBuffer in{data, size_t(size), 0};
    for (;;) {
        ZSTD_outBuffer out{d->output.data(), size_t(d->output.size()), 0};
        const size_t result = ZSTD_decompressStream(d->context, &out, &in);
        if (ZSTD_isError(result)) {
            const QString name = QString::fromLatin1(ZSTD_getErrorName(result));
            switch (ZSTD_getErrorCode(result)) {
            case ZSTD_error_frameParameter_windowTooLarge:
                return fail(Error::WindowTooLarge);
            case ZSTD_error_checksum_wrong:
                return fail(Error::Checksum);
            case ZSTD_error_memory_allocation:
                return fail(Error::Memory);
            default:
                return fail(Error::Corrupt, name);
            }
        }
        if (out.pos > 0) {
            if (!d->sink(d->output.constData(), qint64(out.pos)))
                return fail(Error::Sink);
            d->decoded += qint64(out.pos);
        }
        if (result == 0) {
            // The frame is whole and everything of it handed on. A second frame would be decoded
            // without the prefix, and is nothing a form holds.
            d->frameEnded = true;
            if (in.pos < in.size)
                return fail(Error::TrailingData);
            return true;
        }
        // All input taken and the output not full: nothing more comes out until more input.
        if (in.pos == in.size && out.pos < out.size)
            return true;
    }
}

bool ZstdDecoder::finish()
{
    if (d->error != Error::None)
        return false;
    if (!d->frameEnded)
        return fail(Error::Truncated);
    return true;
}

ZstdDecoder::Error ZstdDecoder::error() const
{
    return d->error;
}

QString ZstdDecoder::errorString() const
{
    return d->errorString;
}

qint64 ZstdDecoder::decodedBytes() const
{
    return d->decoded;
}
