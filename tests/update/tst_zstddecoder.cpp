// The decoder of compressed copies and patches: whole frames come out as they went in, and
// every way a frame can be wrong ends in its own error, never in bytes taken for good ones.

#include "update/zstddecoder.h"

#include <QtTest>

#include <zstd.h>

namespace
{

// Bytes that compress somewhat and differ from run to run of the pattern.
QByteArray pattern(int size, int seed)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 state = quint32(seed) * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        data[i] = char("abcdefgh"[(state >> 16) & 7] + (i / 4096) % 3);
    }
    return data;
}

// One frame of content, made against prefix when one is given, with a checksum, as the
// publisher makes them.
QByteArray frame(const QByteArray& content, const QByteArray& prefix = QByteArray(),
                 int windowLog = 0)
{
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
    if (windowLog)
        ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, windowLog);
    if (!prefix.isEmpty())
        ZSTD_CCtx_refPrefix(context, prefix.constData(), size_t(prefix.size()));
    QByteArray out(int(ZSTD_compressBound(size_t(content.size()))), Qt::Uninitialized);
    const size_t size = ZSTD_compress2(context, out.data(), size_t(out.size()), content.constData(),
                                       size_t(content.size()));
    ZSTD_freeCCtx(context);
    if (ZSTD_isError(size))
        qFatal("cannot make a frame: %s", ZSTD_getErrorName(size));
    out.resize(int(size));
    return out;
}

// A frame header asking for a window of 2^windowLog bytes, followed by one empty last block.
QByteArray bareFrame(int windowLog)
{
    QByteArray bytes("\x28\xb5\x2f\xfd", 4);
    bytes += char(0x00);                    // no content size, no checksum
    bytes += char((windowLog - 10) << 3);   // window descriptor, no mantissa
    bytes += QByteArray("\x01\x00\x00", 3); // last block, raw, empty
    return bytes;
}

const QByteArray base = pattern(300000, 1);
const QByteArray next = [] {
    // The base with a few changes, as a release changes a file.
    QByteArray changed = base;
    changed.replace(1000, 50, QByteArray(70, 'x'));
    changed.insert(150000, pattern(2000, 7));
    changed.chop(3000);
    return changed;
}();

} // namespace

using Error = ZstdDecoder::Error;
Q_DECLARE_METATYPE(ZstdDecoder::Error)

class tst_ZstdDecoder : public QObject
{
    Q_OBJECT

private slots:
    void decodes_data();
    void decodes();
    void windowFollowsTheSize_data();
    void windowFollowsTheSize();
    void sinkStopsTheDecoding();
    void prefixOnlyBeforeTheFrame();
};

void tst_ZstdDecoder::decodes_data()
{
    // input: the bytes fed, in pieces of chunk bytes; prefix: what the decoder is given as the
    // frame's prefix; expected: the decoded bytes when error is None.
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<int>("chunk");
    QTest::addColumn<int>("windowLogMax");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<Error>("error");
    QTest::addColumn<QString>("message");
    const int bound = ZstdDecoder::defaultWindowLog;
    const QByteArray none;
    const QByteArray whole = frame(next);
    const QByteArray patch = frame(next, base);

    QTest::newRow("compressed copy, large pieces")
        << whole << none << 65536 << bound << next << Error::None << "";
    QTest::newRow("compressed copy, byte by byte")
        << frame(next.left(5000)) << none << 1 << bound << next.left(5000) << Error::None << "";
    QTest::newRow("empty file") << frame(QByteArray()) << none << 4096 << bound << QByteArray()
                                << Error::None << "";
    QTest::newRow("patch") << patch << base << 1000 << bound << next << Error::None << "";
    // More than the decoder's output buffer comes out of a few input bytes.
    QTest::newRow("patch of an unchanged file")
        << frame(base, base) << base << 7 << bound << base << Error::None << "";
    QTest::newRow("window at the bound")
        << bareFrame(25) << none << 100 << bound << QByteArray() << Error::None << "";

    QTest::newRow("patch against another base of the same size")
        << patch << pattern(base.size(), 2) << 1000 << bound << none << Error::Checksum
        << "patch made from other bytes";
    QTest::newRow("patch without its base")
        << patch << none << 1000 << bound << none << Error::Corrupt << "corrupt data";
    QByteArray checksum = whole;
    checksum[checksum.size() - 1] = char(checksum.at(checksum.size() - 1) ^ 1);
    QTest::newRow("corrupt checksum")
        << checksum << none << 1000 << bound << none << Error::Checksum << "checksum differs";
    QByteArray magic = whole;
    magic[0] = 'X';
    QTest::newRow("not a frame") << magic << none << 1000 << bound << none << Error::Corrupt
                                 << "corrupt data";
    QTest::newRow("truncated") << whole.left(whole.size() - 10) << none << 1000 << bound << none
                               << Error::Truncated << "truncated";
    QTest::newRow("nothing at all")
        << QByteArray() << none << 1000 << bound << none << Error::Truncated << "truncated";
    QTest::newRow("two frames") << whole + frame("more") << none << 1000 << bound << none
                                << Error::TrailingData << "after the end";
    QTest::newRow("second frame in a later piece")
        << whole + frame("more") << none << int(whole.size()) << bound << none
        << Error::TrailingData << "after the end";
    QTest::newRow("window past the bound") << bareFrame(26) << none << 100 << bound << none
                                           << Error::WindowTooLarge << "larger than 33554432 bytes";
    QTest::newRow("window past a lower bound")
        << frame(pattern(3 << 20, 3), none, 22) << none << 65536 << 20 << none
        << Error::WindowTooLarge << "larger than 1048576 bytes";
}

void tst_ZstdDecoder::decodes()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, prefix);
    QFETCH(int, chunk);
    QFETCH(int, windowLogMax);
    QFETCH(QByteArray, expected);
    QFETCH(Error, error);
    QFETCH(QString, message);

    QByteArray decoded;
    ZstdDecoder decoder(
        [&decoded](const char* data, qint64 size) {
            decoded.append(data, int(size));
            return true;
        },
        windowLogMax);
    if (!prefix.isEmpty())
        decoder.setPrefix(prefix.constData(), prefix.size());
    bool fed = true;
    for (int at = 0; at < input.size() && fed; at += chunk)
        fed = decoder.feed(input.constData() + at, qMin(chunk, int(input.size()) - at));
    const bool finished = decoder.finish();

    QCOMPARE(decoder.error(), error);
    QCOMPARE(finished, error == Error::None);
    if (error == Error::None) {
        QVERIFY(fed);
        QVERIFY(decoded == expected);
        QCOMPARE(decoder.decodedBytes(), qint64(expected.size()));
        QVERIFY(decoder.errorString().isEmpty());
    } else {
        QVERIFY2(decoder.errorString().contains(message), qPrintable(decoder.errorString()));
        // Nothing more is taken once it failed.
        QVERIFY(!decoder.feed("x", 1));
        QCOMPARE(decoder.decodedBytes(), qint64(decoded.size()));
    }
}

void tst_ZstdDecoder::windowFollowsTheSize_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("windowLog");
    QTest::newRow("empty") << 0 << 10;
    QTest::newRow("one KiB") << 1024 << 10;
    QTest::newRow("just past one KiB") << 1025 << 11;
    QTest::newRow("300 000 bytes") << 300000 << 19;
    QTest::newRow("32 MiB") << (32 << 20) << 25;
    QTest::newRow("past 32 MiB") << (32 << 20) + 1 << 25;
}

void tst_ZstdDecoder::windowFollowsTheSize()
{
    // The bound a transfer sets from the file's size admits the frames of that size, a patch's
    // too, and refuses one that asks for more.
    QFETCH(int, size);
    QFETCH(int, windowLog);
    QCOMPARE(ZstdDecoder::windowLogFor(size), windowLog);
    if (size > 1 << 20)
        return;
    const QByteArray content = pattern(size, 4);
    for (const QByteArray& prefix : {QByteArray(), base}) {
        const QByteArray input = frame(content, prefix);
        QByteArray decoded;
        ZstdDecoder decoder(
            [&decoded](const char* data, qint64 n) {
                decoded.append(data, int(n));
                return true;
            },
            windowLog);
        decoder.setPrefix(prefix.constData(), prefix.size());
        QVERIFY2(decoder.feed(input.constData(), input.size()) && decoder.finish(),
                 qPrintable(decoder.errorString()));
        QVERIFY(decoded == content);
    }
    // Larger than the decoder's output piece: a frame that fits whole in one piece is decoded in
    // one pass, with no window held at all.
    const QByteArray larger = frame(pattern(qMax(size * 2 + 4096, 1 << 18), 5));
    ZstdDecoder refusing([](const char*, qint64) { return true; }, windowLog);
    QVERIFY(!refusing.feed(larger.constData(), larger.size()));
    QCOMPARE(refusing.error(), Error::WindowTooLarge);
}

void tst_ZstdDecoder::sinkStopsTheDecoding()
{
    // A sink that takes no more (the size cap, a full disk) ends the decoding there.
    const QByteArray input = frame(next);
    qint64 taken = 0;
    ZstdDecoder decoder([&taken](const char*, qint64 size) {
        if (taken >= 100000)
            return false;
        taken += size;
        return true;
    });
    QVERIFY(!decoder.feed(input.constData(), input.size()));
    QCOMPARE(decoder.error(), Error::Sink);
    QCOMPARE(decoder.decodedBytes(), taken);
    QVERIFY(taken < next.size());
    QVERIFY(!decoder.finish());
}

void tst_ZstdDecoder::prefixOnlyBeforeTheFrame()
{
    // A prefix given once the frame has begun would apply to nothing: refused.
    const QByteArray input = frame(next, base);
    ZstdDecoder decoder([](const char*, qint64) { return true; });
    QVERIFY(decoder.feed(input.constData(), 10));
    decoder.setPrefix(base.constData(), base.size());
    QCOMPARE(decoder.error(), Error::Corrupt);
    QVERIFY(!decoder.feed(input.constData() + 10, input.size() - 10));
}

QTEST_GUILESS_MAIN(tst_ZstdDecoder)
#include "tst_zstddecoder.moc"
