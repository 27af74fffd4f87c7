#include "update/streamhasher.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QtTest>

class tst_StreamHasher : public QObject
{
    Q_OBJECT

private slots:
    void digestOfChunks_data();
    void digestOfChunks();
    void resetStartsAnewAfterUnfinishedStream();
    void streamsFollowOneAnother();
};

void tst_StreamHasher::digestOfChunks_data()
{
    QTest::addColumn<int>("chunkSize");
    QTest::addColumn<int>("chunks");
    QTest::newRow("nothing") << 1 << 0;
    QTest::newRow("one byte") << 1 << 1;
    QTest::newRow("many small") << 7 << 5000;
    // Starts on the calling thread and goes on on the hashing thread: the order must hold.
    QTest::newRow("small pieces past the inline start") << 4096 << 1000;
    // Far more than may wait to be hashed: the producer has to wait for the hashing thread.
    QTest::newRow("more than the pending bound") << 1024 * 1024 << 24;
}

void tst_StreamHasher::digestOfChunks()
{
    QFETCH(int, chunkSize);
    QFETCH(int, chunks);
    for (const bool withSha256 : {false, true}) {
        QRandomGenerator random(7);
        QCryptographicHash expected(withSha256 ? QCryptographicHash::Sha256
                                               : QCryptographicHash::Md5);
        StreamHasher hasher;
        // The same digest in whichever thread each piece is hashed.
        hasher.reset(withSha256 ? StreamHasher::Algorithm::Sha256 : StreamHasher::Algorithm::Md5);
        for (int i = 0; i < chunks; ++i) {
            QByteArray chunk(chunkSize, Qt::Uninitialized);
            for (char& c : chunk)
                c = char(random.bounded(256));
            expected.addData(chunk);
            hasher.addData(chunk);
        }
        QCOMPARE(hasher.result().toHex(), expected.result().toHex());
    }
}

void tst_StreamHasher::resetStartsAnewAfterUnfinishedStream()
{
    StreamHasher hasher;
    for (int i = 0; i < 16; ++i)
        hasher.addData(QByteArray(512 * 1024, 'x'));
    hasher.reset();
    hasher.addData("abc");
    QCOMPARE(hasher.result().toHex(), QByteArray("900150983cd24fb0d6963f7d28e17f72"));
}

void tst_StreamHasher::streamsFollowOneAnother()
{
    StreamHasher hasher;
    QCOMPARE(hasher.result().toHex(), QByteArray("d41d8cd98f00b204e9800998ecf8427e"));
    hasher.reset();
    hasher.addData("The quick brown fox ");
    hasher.addData("jumps over the lazy dog");
    QCOMPARE(hasher.result().toHex(), QByteArray("9e107d9d372bb6826bd81d3542a419d6"));
    hasher.reset(StreamHasher::Algorithm::Sha256);
    hasher.addData("abc");
    QCOMPARE(hasher.result().toHex(),
             QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    // The stream after a result keeps the algorithm; a reset without one goes back to MD5.
    hasher.addData("abc");
    QCOMPARE(hasher.result().size(), 32);
    hasher.reset();
    hasher.addData("abc");
    QCOMPARE(hasher.result().toHex(), QByteArray("900150983cd24fb0d6963f7d28e17f72"));
}

QTEST_GUILESS_MAIN(tst_StreamHasher)
#include "tst_streamhasher.moc"
