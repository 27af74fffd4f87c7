// A run that ends with a network failure and the run after it: files fetched and checked are not
// fetched again, and a file cut short is continued where the server allows it, against the
// loopback test server and a real nginx.

#include "updateharness.h"

#include "logcapture.h"
#include "nginx.h"
#include "testhttpserver.h"

#include "update/downloadrules.h"
#include "update/partialinfo.h"

#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

class tst_Resume : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void contentRangeParsed_data();
    void contentRangeParsed();
    void partialNotesAndNames();
    void cutFileContinuesWithTheRest_data();
    void cutFileContinuesWithTheRest();
    void answerThatDoesNotContinueStartsOver_data();
    void answerThatDoesNotContinueStartsOver();
    void errorAnswerToRangeKeepsPartialBytes();
    void nothingKeptThatCannotBeContinued_data();
    void nothingKeptThatCannotBeContinued();
    void keptFileCountsOnlyWhenItsDigestMatches_data();
    void keptFileCountsOnlyWhenItsDigestMatches();
    void thousandFilesFailingAt900_data();
    void thousandFilesFailingAt900();
    void releaseNamingAPartialFile();
    void runClosedMidDownloadKeepsPartialBytes();
    void noteWrittenEarlyOnlyForBigFiles_data();
    void noteWrittenEarlyOnlyForBigFiles();
    void stalePartialFilesGoWithUpdateDir();
    void nginxCutAt90PercentSendsOnlyTheRest();
    void nginxWholeFileWhenRangeCannotContinue_data();
    void nginxWholeFileWhenRangeCannotContinue();
};

namespace
{

void setFileTime(const QString& path, qint64 secondsSinceEpoch)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(QDateTime::fromSecsSinceEpoch(secondsSinceEpoch),
                             QFileDevice::FileModificationTime));
}

// Starts the run and waits for its end in an event loop: the loopback server in this thread then
// answers each request at once, not between the polls of a wait. The timer only ends a hang.
bool runToEnd(WorkerRun& run)
{
    QEventLoop loop;
    QObject::connect(run.worker, &Update::sig_finished, &loop, &QEventLoop::quit,
                     Qt::QueuedConnection);
    QTimer hang;
    hang.setSingleShot(true);
    QObject::connect(&hang, &QTimer::timeout, &loop, &QEventLoop::quit);
    hang.start(120000);
    run.start();
    loop.exec();
    return run.waitFinished();
}

// Waits until the log says bytes have been written to the file at path, in all.
bool waitUntilWritten(LogCapture& log, const QString& path, qint64 bytes)
{
    const QString line = QStringLiteral("write to file \"%1\" ").arg(path);
    return QTest::qWaitFor(
        [&] {
            qint64 sum = 0;
            for (const QString& l : log.linesStartingWith(line))
                sum += l.mid(line.size()).toLongLong();
            return sum == bytes;
        },
        120000);
}

qint64 fileSize(const QString& path)
{
    return QFileInfo(path).size();
}

// Passes connections through to another port on loopback; with a cut set, closes a connection
// once that many bytes of answers have gone to the client through it.
class CutRelay : public QObject
{
public:
    explicit CutRelay(quint16 upstreamPort) : upstream(upstreamPort)
    {
        QVERIFY(server.listen(QHostAddress::LocalHost));
        connect(&server, &QTcpServer::newConnection, this, &CutRelay::accept);
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort()); }
    // -1: no cut.
    qint64 cutAfter = -1;

private:
    void accept()
    {
        while (QTcpSocket* client = server.nextPendingConnection()) {
            auto* origin = new QTcpSocket(client);
            auto* forwarded = new qint64(0);
            connect(client, &QObject::destroyed, [forwarded] { delete forwarded; });
            connect(client, &QTcpSocket::readyRead, origin, [client, origin] {
                if (origin->state() == QAbstractSocket::ConnectedState)
                    origin->write(client->readAll());
            });
            connect(origin, &QTcpSocket::connected, client,
                    [client, origin] { origin->write(client->readAll()); });
            connect(origin, &QTcpSocket::readyRead, client, [this, client, origin, forwarded] {
                QByteArray data = origin->readAll();
                if (cutAfter >= 0 && *forwarded + data.size() >= cutAfter) {
                    data.truncate(cutAfter - *forwarded);
                    client->write(data);
                    *forwarded += data.size();
                    origin->abort();
                    client->disconnectFromHost();
                    return;
                }
                *forwarded += data.size();
                client->write(data);
            });
            connect(origin, &QTcpSocket::disconnected, client,
                    [client] { client->disconnectFromHost(); });
            connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
            origin->connectToHost(QHostAddress::LocalHost, upstream);
        }
    }

    QTcpServer server;
    quint16 upstream;
};

} // namespace

void tst_Resume::initTestCase()
{
    qunsetenv("http_proxy");
    qunsetenv("HTTP_PROXY");
    qunsetenv("all_proxy");
    qunsetenv("ALL_PROXY");
    // Thousands of small files are created and removed here, which a busy disk makes slow;
    // what is tested is the network side, so the temporary folders live in memory when they
    // can.
    const QFileInfo shm(QStringLiteral("/dev/shm"));
    if (shm.isDir() && shm.isWritable())
        qputenv("TMPDIR", "/dev/shm");
}

void tst_Resume::contentRangeParsed_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("parses");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");
    QTest::addColumn<qint64>("total");
    QTest::newRow("rest") << QByteArray("bytes 900-999/1000") << true << 900LL << 999LL << 1000LL;
    QTest::newRow("spaces") << QByteArray("  bytes 0-0/1 ") << true << 0LL << 0LL << 1LL;
    QTest::newRow("large") << QByteArray("bytes 4294967296-8589934591/8589934592") << true
                           << 4294967296LL << 8589934591LL << 8589934592LL;
    QTest::newRow("unknown total") << QByteArray("bytes 0-9/*") << false << -1LL << -1LL << -1LL;
    QTest::newRow("unsatisfied") << QByteArray("bytes */1000") << false << -1LL << -1LL << -1LL;
    QTest::newRow("last past total")
        << QByteArray("bytes 0-1000/1000") << false << -1LL << -1LL << -1LL;
    QTest::newRow("last before first")
        << QByteArray("bytes 9-8/10") << false << -1LL << -1LL << -1LL;
    QTest::newRow("negative") << QByteArray("bytes -5-9/10") << false << -1LL << -1LL << -1LL;
    QTest::newRow("other unit") << QByteArray("items 0-9/10") << false << -1LL << -1LL << -1LL;
    QTest::newRow("overflow") << QByteArray("bytes 0-9/99999999999999999999") << false << -1LL
                              << -1LL << -1LL;
    QTest::newRow("empty") << QByteArray() << false << -1LL << -1LL << -1LL;
}

void tst_Resume::contentRangeParsed()
{
    QFETCH(QByteArray, value);
    QFETCH(bool, parses);
    ContentRange range;
    QCOMPARE(parseContentRange(value, &range), parses);
    QTEST(range.first, "first");
    QTEST(range.last, "last");
    QTEST(range.total, "total");
}

void tst_Resume::partialNotesAndNames()
{
    // A strong tag is preferred; a weak one cannot ask for a range, the date stands in.
    QCOMPARE(rangeValidator("\"abc\"", "Mon, 07 Dec 2026 10:00:00 GMT"), QByteArray("\"abc\""));
    QCOMPARE(rangeValidator("W/\"abc\"", "Mon, 07 Dec 2026 10:00:00 GMT"),
             QByteArray("Mon, 07 Dec 2026 10:00:00 GMT"));
    QCOMPARE(rangeValidator("W/\"abc\"", ""), QByteArray());
    QCOMPARE(rangeValidator("", ""), QByteArray());

    PartialInfo info;
    info.url = QStringLiteral("http://127.0.0.1:1/d%20e/f.bin");
    info.md5 = QStringLiteral("text with spaces\nand a line");
    info.sha256 = sha256Of("x");
    info.validator = "\"tag\"";
    PartialInfo read;
    QVERIFY(PartialInfo::fromBytes(info.toBytes(), &read));
    QCOMPARE(read.url, info.url);
    QCOMPARE(read.md5, info.md5);
    QCOMPARE(read.sha256, info.sha256);
    QCOMPARE(read.validator, info.validator);
    QVERIFY(read.sameFile(info));
    read.sha256 = sha256Of("y");
    QVERIFY(!read.sameFile(info));

    // Anything but a whole note is refused: cut, extended, without validator, or one whose
    // validator would break the request it goes into.
    const QByteArray whole = info.toBytes();
    QVERIFY(!PartialInfo::fromBytes(whole.left(whole.size() - 1), &read));
    QVERIFY(!PartialInfo::fromBytes(whole.left(whole.size() / 2), &read));
    QVERIFY(!PartialInfo::fromBytes(whole + "more 1\n", &read));
    QVERIFY(!PartialInfo::fromBytes(QByteArray(), &read));
    PartialInfo broken = info;
    broken.validator.clear();
    QVERIFY(!PartialInfo::fromBytes(broken.toBytes(), &read));
    broken.validator = "\"a\"\r\nX-Injected: 1";
    QVERIFY(!PartialInfo::fromBytes(broken.toBytes(), &read));

    // A release's own file where a partial file or its note would go, in any letter case.
    const QStringList lookalikes =
        partialLookalikes({"/a", "/A.PARTIAL", "/b", "/b.partial.info", "/c", "/c.partial/x", "/d",
                           "/dd.partial", "/e.partialx"});
    QCOMPARE(lookalikes.size(), 5);
    QVERIFY(partialNamesTaken(lookalikes, "/a"));
    QVERIFY(partialNamesTaken(lookalikes, "/b"));
    QVERIFY(partialNamesTaken(lookalikes, "/c"));
    QVERIFY(!partialNamesTaken(lookalikes, "/d"));
    QVERIFY(partialNamesTaken(lookalikes, "/e"));
    QVERIFY(!partialNamesTaken(lookalikes, "/f"));
    QVERIFY(!partialNamesTaken({}, "/a"));
}

void tst_Resume::cutFileContinuesWithTheRest_data()
{
    QTest::addColumn<bool>("entityTag");
    QTest::addColumn<bool>("lastModified");
    QTest::addColumn<bool>("withSha256");
    QTest::newRow("entity tag, sha256") << true << true << true;
    QTest::newRow("entity tag, md5 only") << true << false << false;
    QTest::newRow("Last-Modified only") << false << true << true;
}

void tst_Resume::cutFileContinuesWithTheRest()
{
    QFETCH(bool, entityTag);
    QFETCH(bool, lastModified);
    QFETCH(bool, withSha256);

    Release release;
    const QByteArray first = pattern(20000, 1);
    const QByteArray big = pattern(1000000, 2);
    release.offer("/a.bin", first);
    if (withSha256)
        offerChecked(release, "/big.bin", big);
    else
        release.offer("/big.bin", big);
    release.writeConfigs();
    release.server.setValidators(entityTag, lastModified);
    const qint64 cut = 900000;
    release.server.dropAfter("/big.bin", cut);

    {
        WorkerRun run;
        // One file after another: the first is in update/ before the second breaks off.
        run.worker->setMaxTransfers(1);
        QVERIFY(runToEnd(run));
        QVERIFY(!run.ok);
        QVERIFY2(run.msg.startsWith(QStringLiteral("网络出现错误:")), qPrintable(run.msg));
    }
    // The first file stays, checked; the cut one only as its partial file, with its note.
    QCOMPARE(release.inst.read("update/a.bin"), first);
    QVERIFY(!release.inst.exists("update/big.bin"));
    // What arrived before the connection broke: Qt may drop what it had not handed over yet.
    const QByteArray partial = release.inst.read("update/big.bin.partial");
    const qint64 have = partial.size();
    QVERIFY2(have > 0 && have <= cut, qPrintable(QString::number(have)));
    QCOMPARE(partial, big.left(have));
    QVERIFY(release.inst.exists("update/big.bin.partial.info"));
    QVERIFY(!release.inst.exists("big.bin"));

    release.server.clearRules();
    const qint64 sentBefore = release.server.bodyBytesSent();
    const int requestsBefore = release.server.requestedPaths().size();
    LogCapture log;
    WorkerRun run;
    QVERIFY(runToEnd(run));
    QVERIFY2(run.ok, qPrintable(run.msg));

    // Only the rest of the big file crossed the network, asked for with If-Range.
    QCOMPARE(release.server.requestedPaths().mid(requestsBefore), QStringList{"/big.bin"});
    QCOMPARE(release.server.requestedRanges().last(), QStringLiteral("bytes=%1-").arg(have));
    QCOMPARE(release.server.bodyBytesSent() - sentBefore, big.size() - have);
    QCOMPARE(log.linesStartingWith("download: kept:").size(), 1);
    QCOMPARE(log.linesStartingWith("download: resume:").size(), 1);
    QVERIFY(log.linesStartingWith("download: restart:").isEmpty());

    QCOMPARE(release.inst.read("a.bin"), first);
    QCOMPARE(release.inst.read("big.bin"), big);
    QVERIFY(!release.inst.exists("update"));
    QCOMPARE(release.inst.read("config/UpdateCfg.xml"), release.offeredConfig);

    // The file continued is counted from the bytes it had, never from 0.
    const int had = int(have * 100 / big.size());
    int lastShown = 0;
    for (const UpdateProgress& record : std::as_const(run.records)) {
        if (record.finished == 100 && record.current > 0) {
            QVERIFY2(record.current >= had, qPrintable(QString::number(record.current)));
            lastShown = record.current;
        }
    }
    QVERIFY(lastShown >= had);
    QCOMPARE(run.records.last().finished, 200);
}

void tst_Resume::answerThatDoesNotContinueStartsOver_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("requests");
    QTest::addColumn<bool>("resumedAtFirst");
    QTest::newRow("server ignores Range") << "ignore" << 1 << false;
    QTest::newRow("416") << "416" << 2 << false;
    QTest::newRow("206 of another range") << "misrange" << 2 << false;
    QTest::newRow("file changed on the server") << "changed" << 1 << false;
    QTest::newRow("partial bytes damaged on disk") << "damaged" << 2 << true;
    QTest::newRow("note names another release") << "other release" << 1 << false;
    QTest::newRow("note damaged") << "note damaged" << 1 << false;
#ifdef Q_OS_UNIX
    QTest::newRow("partial bytes owned by another user") << "other owner" << 1 << false;
#endif
}

void tst_Resume::answerThatDoesNotContinueStartsOver()
{
    QFETCH(QString, answer);
    QFETCH(int, requests);
    QFETCH(bool, resumedAtFirst);

    Release release;
    QByteArray big = pattern(300000, 3);
    offerChecked(release, "/big.bin", big);
    release.writeConfigs();
    release.server.setValidators(true, true);
    const qint64 cut = 200000;
    release.server.dropAfter("/big.bin", cut);
    {
        WorkerRun run;
        QVERIFY(runToEnd(run));
        QVERIFY(!run.ok);
    }
    const qint64 have = fileSize(release.inst.path("update/big.bin.partial"));
    QVERIFY(have > 0 && have <= cut);
    release.server.clearRules();

    if (answer == "ignore") {
        release.server.setRangesIgnored(true);
    } else if (answer == "416") {
        release.server.answerRangeWith("/big.bin", 416);
    } else if (answer == "misrange") {
        release.server.misrange("/big.bin");
    } else if (answer == "changed") {
        // Republished: other bytes, another tag, and a configuration that says so.
        big = pattern(300000, 4);
        release.files.clear();
        release.extraAttributes.clear();
        offerChecked(release, "/big.bin", big);
        release.writeConfigs();
    } else if (answer == "damaged") {
        QFile partial(release.inst.path("update/big.bin.partial"));
        QVERIFY(partial.open(QIODevice::ReadWrite));
        QVERIFY(partial.seek(1000));
        QVERIFY(partial.write("XXXX") == 4);
    } else if (answer == "other release") {
        // Same URL, another sha256: the bytes were left by another release's file.
        QByteArray note = release.inst.read("update/big.bin.partial.info");
        QVERIFY(note.contains(sha256Of(big).toLatin1()));
        note.replace(sha256Of(big).toLatin1(), sha256Of("other").toLatin1());
        release.inst.write("update/big.bin.partial.info", note);
    } else if (answer == "note damaged") {
        release.inst.write("update/big.bin.partial.info", "updater-partial 1\nurl x\n");
    } else if (answer == "other owner") {
#ifdef Q_OS_UNIX
        if (::geteuid() != 0)
            QSKIP("giving a file to another user needs root");
        QCOMPARE(::chown(QFile::encodeName(release.inst.path("update/big.bin.partial")).constData(),
                         65534, 65534),
                 0);
#endif
    }

    const int requestsBefore = release.server.requestedPaths().size();
    const qint64 sentBefore = release.server.bodyBytesSent();
    LogCapture log;
    WorkerRun run;
    QVERIFY(runToEnd(run));
    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(release.inst.read("big.bin"), big);
    QVERIFY(!release.inst.exists("update"));

    const QStringList ranges = release.server.requestedRanges().mid(requestsBefore);
    QCOMPARE(ranges.size(), requests);
    // The last request asks for the whole file, or its answer carried the whole file.
    const bool rangedFirst = !ranges.first().isEmpty();
    const bool noteUsable = answer != "other release" && answer != "note damaged" &&
                            answer != "changed" && answer != "other owner";
    QCOMPARE(rangedFirst, noteUsable);
    if (requests > 1)
        QVERIFY(ranges.last().isEmpty());
    const qint64 sent = release.server.bodyBytesSent() - sentBefore;
    if (resumedAtFirst) {
        // The rest came, the digest failed over the whole, and the file came again whole.
        QCOMPARE(sent, (big.size() - have) + big.size());
        QCOMPARE(log.linesStartingWith("download: restart:").size(), 1);
    } else if (answer == "misrange") {
        // The wrong 206 is given up on as soon as its headers are seen, before any of it is
        // written.
        QVERIFY(sent >= big.size());
        const QStringList restarts = log.linesStartingWith("download: restart:");
        QCOMPARE(restarts.size(), 1);
        QVERIFY2(restarts.first().endsWith("range is not the rest of the file"),
                 qPrintable(restarts.first()));
    } else {
        QCOMPARE(sent, qint64(big.size()));
    }
}

void tst_Resume::errorAnswerToRangeKeepsPartialBytes()
{
    Release release;
    const QByteArray big = pattern(300000, 15);
    offerChecked(release, "/big.bin", big);
    release.writeConfigs();
    release.server.setValidators(true);
    release.server.dropAfter("/big.bin", 100000);
    {
        WorkerRun run;
        QVERIFY(runToEnd(run));
        QVERIFY(!run.ok);
    }
    const QByteArray partial = release.inst.read("update/big.bin.partial");
    QVERIFY(!partial.isEmpty());

    // The server is down for maintenance when the rest is asked for: the run fails as any
    // network failure does, and the bytes stay for the next one.
    release.server.clearRules();
    release.server.answerRangeWith("/big.bin", 503);
    {
        WorkerRun run;
        QVERIFY(runToEnd(run));
        QVERIFY(!run.ok);
        QCOMPARE(run.msg, QStringLiteral("网络出现错误:Error transferring %1/big.bin - server "
                                         "replied: Service Unavailable")
                              .arg(release.server.baseUrl()));
    }
    QCOMPARE(release.inst.read("update/big.bin.partial"), partial);
    QVERIFY(!release.inst.exists("big.bin"));

    release.server.clearRules();
    const qint64 sentBefore = release.server.bodyBytesSent();
    WorkerRun run;
    QVERIFY(runToEnd(run));
    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(release.server.bodyBytesSent() - sentBefore, big.size() - partial.size());
    QCOMPARE(release.inst.read("big.bin"), big);
}

void tst_Resume::nothingKeptThatCannotBeContinued_data()
{
    QTest::addColumn<bool>("validators");
    QTest::addColumn<QString>("md5");
    QTest::newRow("server sends no validator") << false << QString();
    QTest::newRow("md5 text that is no digest") << true << QStringLiteral("release-2");
}

void tst_Resume::nothingKeptThatCannotBeContinued()
{
    QFETCH(bool, validators);
    QFETCH(QString, md5);

    Release release;
    const QByteArray big = pattern(100000, 5);
    release.offer("/big.bin", big, md5);
    release.writeConfigs();
    release.server.setValidators(validators, validators);
    release.server.dropAfter("/big.bin", 50000);
    {
        WorkerRun run;
        QVERIFY(runToEnd(run));
        QVERIFY(!run.ok);
    }
    QVERIFY(!release.inst.exists("update/big.bin"));
    QVERIFY(!release.inst.exists("update/big.bin.partial"));
    QVERIFY(!release.inst.exists("update/big.bin.partial.info"));

    release.server.clearRules();
    const int before = release.server.requestedPaths().size();
    WorkerRun run;
    QVERIFY(runToEnd(run));
    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(release.server.requestedRanges().mid(before), QStringList{QString()});
    QCOMPARE(release.inst.read("big.bin"), big);
}

void tst_Resume::keptFileCountsOnlyWhenItsDigestMatches_data()
{
    QTest::addColumn<QString>("planted");
    QTest::addColumn<bool>("kept");
    QTest::newRow("same bytes, md5") << "same md5" << true;
    QTest::newRow("same bytes, sha256") << "same sha256" << true;
    QTest::newRow("other bytes of the same size") << "other bytes" << false;
    QTest::newRow("shorter than the size") << "shorter" << false;
    QTest::newRow("md5 text that is no digest") << "opaque" << false;
    QTest::newRow("link to the right bytes outside") << "link" << false;
    QTest::newRow("md5 matches, sha256 does not") << "md5 only matches" << false;
#ifdef Q_OS_UNIX
    QTest::newRow("right bytes, owned by another user") << "other owner" << false;
    QTest::newRow("right bytes, a second name elsewhere") << "hard link" << false;
    QTest::newRow("right bytes, writable by others") << "writable" << false;
    QTest::newRow("right bytes, set-user-id") << "setuid" << false;
#endif
}

void tst_Resume::keptFileCountsOnlyWhenItsDigestMatches()
{
    QFETCH(QString, planted);
    QFETCH(bool, kept);

    Release release;
    const QByteArray body = pattern(50000, 6);
    const QByteArray other = pattern(50000, 7);
    QTemporaryDir outside;
    const QString outsideFile = outside.filePath("right.bin");
    if (planted == "same md5") {
        release.offer("/f.bin", body);
    } else if (planted == "opaque") {
        release.offer("/f.bin", body, "v2");
    } else if (planted == "md5 only matches") {
        // The md5 text is that of the planted bytes, the sha256 that of the served ones: only
        // the sha256 counts, so the planted file is not taken and the served one is.
        offerChecked(release, "/f.bin", body, md5Of(other));
    } else {
        offerChecked(release, "/f.bin", body);
    }
    release.writeConfigs();

    if (planted == "other bytes" || planted == "md5 only matches") {
        release.inst.write("update/f.bin", other);
    } else if (planted == "shorter") {
        release.inst.write("update/f.bin", body.left(40000));
    } else if (planted == "link") {
        QFile out(outsideFile);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(body);
        out.close();
        QVERIFY(QFile::link(outsideFile, release.inst.path("update/f.bin")));
    } else {
        release.inst.write("update/f.bin", body);
    }
#ifdef Q_OS_UNIX
    const QByteArray planted8 = QFile::encodeName(release.inst.path("update/f.bin"));
    if (planted == "other owner") {
        if (::geteuid() != 0)
            QSKIP("giving a file to another user needs root");
        QCOMPARE(::chown(planted8.constData(), 65534, 65534), 0);
    } else if (planted == "hard link") {
        QCOMPARE(::link(planted8.constData(), QFile::encodeName(outsideFile).constData()), 0);
    } else if (planted == "writable") {
        QCOMPARE(::chmod(planted8.constData(), 0666), 0);
    } else if (planted == "setuid") {
        QCOMPARE(::chmod(planted8.constData(), 04755), 0);
    }
#endif

    LogCapture log;
    WorkerRun run;
    QVERIFY(runToEnd(run));
    QCOMPARE(log.linesStartingWith("download: kept:").size(), kept ? 1 : 0);
    QCOMPARE(release.server.requestedPaths().size(), kept ? 0 : 1);
    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(release.inst.read("f.bin"), body);
    QCOMPARE(QFileInfo(release.inst.path("f.bin")).isSymLink(), false);
    if (planted == "link" || planted == "hard link") {
        // The outside name still has the right bytes; the installed file is another one.
        QFile in(outsideFile);
        QVERIFY(in.open(QIODevice::ReadOnly));
        QCOMPARE(in.readAll(), body);
    }
    if (kept) {
        // A kept file is done from the start: the first record of the download phase says so.
        bool sawDone = false;
        for (const UpdateProgress& record : std::as_const(run.records))
            sawDone = sawDone || record.finished == 100;
        QVERIFY(sawDone);
    }
}

void tst_Resume::thousandFilesFailingAt900_data()
{
    QTest::addColumn<int>("transfers");
    QTest::newRow("one file after another") << 1;
    QTest::newRow("many at once") << 64;
}

void tst_Resume::thousandFilesFailingAt900()
{
    QFETCH(int, transfers);
    // Taken in, not printed: tens of thousands of lines would drown the figures below.
    auto log = std::make_unique<LogCapture>();
    Release release;
    const int count = 1000;
    QList<QByteArray> bodies;
    QStringList paths;
    for (int i = 1; i <= count; ++i) {
        bodies.append(pattern(2000 + i, i));
        paths.append(QStringLiteral("/d/f%1.bin").arg(i, 4, 10, QLatin1Char('0')));
        offerChecked(release, paths.last(), bodies.last());
    }
    const QString failing = QStringLiteral("/d/f0900.bin");
    release.writeConfigs();
    release.server.setValidators(true);
    release.server.dropAfter(failing, 1000);
    {
        WorkerRun run;
        run.worker->setMaxTransfers(transfers);
        QVERIFY(runToEnd(run));
        QVERIFY(!run.ok);
        if (transfers == 1)
            QCOMPARE(run.records.last().finished, 899 * 100);
        // Files are started in list order: everything before the failing one was asked for.
        QVERIFY(run.records.last().finished >= 899 * 100 - (transfers - 1) * 100);
        QVERIFY(run.records.last().finished < count * 100);
    }
    const int firstRequests = int(release.server.requestedPaths().size());
    QCOMPARE(release.server.requestedPaths().mid(0, 899).size(), 899);
    QVERIFY(release.server.requestedPaths().contains(failing));
    if (transfers == 1)
        QCOMPARE(firstRequests, 900);
    // Side by side, files past the failing one may have been fetched before the failure came
    // in: the next run keeps them.
    const qint64 firstRun = release.server.bodyBytesSent();
    // Side by side, Qt may not have handed over any of the failing file's bytes before the
    // connection broke: it is then fetched again whole.
    const qint64 have = qMax<qint64>(0, fileSize(release.inst.path("update/d/f0900.bin.partial")));
    QVERIFY(have <= 1000);
    if (transfers == 1)
        QVERIFY(have > 0);
    QVERIFY(log->linesStartingWith("download: kept:").isEmpty());
    // What the first run left checked in update/ is kept; the rest is fetched.
    int done = 0;
    for (int i = 0; i < count; ++i) {
        if (release.inst.exists("update" + paths.at(i))) {
            QCOMPARE(release.inst.read("update" + paths.at(i)), bodies.at(i));
            ++done;
        }
    }
    QVERIFY(done >= 899 - (transfers - 1));

    release.server.clearRules();
    log->clear();
    WorkerRun run;
    run.worker->setMaxTransfers(transfers);
    QVERIFY(runToEnd(run));
    QVERIFY2(run.ok, qPrintable(run.msg));

    // The requests of this run, as the worker made them (the server may still be answering
    // requests the first run sent before it ended).
    const QString base = release.server.baseUrl();
    QStringList second;
    for (const QString& line : log->linesStartingWith(QStringLiteral("download: \"") + base))
        second.append(line.section(QLatin1Char('"'), 1, 1).mid(base.size()));
    QCOMPARE(QSet<QString>(second.cbegin(), second.cend()).size(), second.size());
    QCOMPARE(second.size(), count - done);
    QVERIFY(second.contains(failing));
    QCOMPARE(log->linesStartingWith("download: kept:").size(), done);
    if (have > 0)
        QCOMPARE(
            log->linesStartingWith(
                   QStringLiteral("download: resume: \"%1%2\" %3").arg(base, failing).arg(have))
                .size(),
            1);
    if (transfers == 1) {
        QCOMPARE(second.first(), failing);
        QCOMPARE(release.server.requestedPaths().mid(firstRequests), second);
        QCOMPARE(release.server.requestedRanges().at(firstRequests),
                 QStringLiteral("bytes=%1-").arg(have));
        qint64 total = 0;
        for (const QByteArray& body : std::as_const(bodies))
            total += body.size();
        const qint64 secondRun = release.server.bodyBytesSent() - firstRun;
        QCOMPARE(secondRun, total - (firstRun - 1000 + have));
        qInfo("second run: %lld of %lld bytes sent, %lld saved", secondRun, total,
              total - secondRun);
    }
    log.reset();
    for (int i = 0; i < count; i += 97)
        QCOMPARE(release.inst.read(paths.at(i).mid(1)), bodies.at(i));
    QCOMPARE(release.inst.read("d/f1000.bin"), bodies.last());
    // Kept files are counted as done before the first request of the run: at least those in
    // front of the first file fetched again.
    int firstMissing = 0;
    while (paths.at(firstMissing) != second.first())
        ++firstMissing;
    bool sawKept = false;
    for (const UpdateProgress& record : std::as_const(run.records))
        sawKept = sawKept || (record.finished >= firstMissing * 100 && record.current == 0);
    QVERIFY(sawKept);
    QCOMPARE(run.records.last().finished, count * 100);
}

void tst_Resume::releaseNamingAPartialFile()
{
    // "/x.partial" is a file of the release: /x is then fetched without partial bytes, and the
    // file named so is never taken for them. One file after another, so that each run cuts the
    // file it means to.
    Release release;
    const QByteArray x = pattern(60000, 8);
    const QByteArray xPartial = pattern(30000, 9);
    offerChecked(release, "/x", x);
    offerChecked(release, "/x.partial", xPartial);
    release.writeConfigs();
    release.server.setValidators(true);
    release.server.dropAfter("/x", 40000);
    {
        WorkerRun run;
        run.worker->setMaxTransfers(1);
        QVERIFY(runToEnd(run));
        QVERIFY(!run.ok);
    }
    QVERIFY(!release.inst.exists("update/x"));
    QVERIFY(!release.inst.exists("update/x.partial"));

    // The next run cuts the other file: its own partial file is continued.
    release.server.clearRules();
    release.server.dropAfter("/x.partial", 20000);
    {
        WorkerRun run;
        run.worker->setMaxTransfers(1);
        QVERIFY(runToEnd(run));
        QVERIFY(!run.ok);
    }
    QCOMPARE(release.inst.read("update/x"), x);
    const QByteArray partial = release.inst.read("update/x.partial.partial");
    QVERIFY(!partial.isEmpty() && partial.size() <= 20000);
    QCOMPARE(partial, xPartial.left(partial.size()));

    release.server.clearRules();
    const int before = release.server.requestedPaths().size();
    WorkerRun run;
    QVERIFY(runToEnd(run));
    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(release.server.requestedPaths().mid(before), QStringList{"/x.partial"});
    QCOMPARE(release.server.requestedRanges().last(),
             QStringLiteral("bytes=%1-").arg(partial.size()));
    QCOMPARE(release.inst.read("x"), x);
    QCOMPARE(release.inst.read("x.partial"), xPartial);
    QVERIFY(!release.inst.exists("update"));
}

void tst_Resume::runClosedMidDownloadKeepsPartialBytes()
{
    Release release;
    const QByteArray big = pattern(200000, 10);
    offerChecked(release, "/big.bin", big);
    release.writeConfigs();
    release.server.setValidators(true);
    release.server.holdAfter("/big.bin", 150000);
    {
        LogCapture log;
        WorkerRun run;
        run.start();
        // Step: every byte sent so far has been written.
        QVERIFY(waitUntilWritten(log, release.inst.path("update/big.bin"), 150000));
        // The window is closed: the worker goes with its thread while the file is in flight.
    }
    QCOMPARE(release.inst.read("update/big.bin.partial"), big.left(150000));
    QVERIFY(!release.inst.exists("update/big.bin"));

    release.server.clearRules();
    const qint64 sentBefore = release.server.bodyBytesSent();
    WorkerRun run;
    QVERIFY(runToEnd(run));
    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(release.server.bodyBytesSent() - sentBefore, qint64(50000));
    QCOMPARE(release.inst.read("big.bin"), big);
}

void tst_Resume::noteWrittenEarlyOnlyForBigFiles_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("noteWhileInFlight");
    QTest::newRow("small file: note only when cut short") << 8192 << false;
    QTest::newRow("just under 1 MiB") << (1 << 20) - 1 << false;
    QTest::newRow("1 MiB: note before the body") << (1 << 20) << true;
}

void tst_Resume::noteWrittenEarlyOnlyForBigFiles()
{
    QFETCH(int, size);
    QFETCH(bool, noteWhileInFlight);

    Release release;
    const QByteArray body = pattern(size, 11);
    offerChecked(release, "/f.bin", body);
    release.writeConfigs();
    release.server.setValidators(true);
    const qint64 held = size / 2;
    release.server.holdAfter("/f.bin", held);
    {
        LogCapture log;
        WorkerRun run;
        run.start();
        QVERIFY(waitUntilWritten(log, release.inst.path("update/f.bin"), held));
        // A kill now leaves a note only beside the big file's bytes.
        QCOMPARE(release.inst.exists("update/f.bin.partial.info"), noteWhileInFlight);
        QCOMPARE(release.inst.read("update/f.bin.partial"), body.left(held));
        // The window is closed with the file in flight: the note is written now if it was not.
    }
    QVERIFY(release.inst.exists("update/f.bin.partial.info"));
    QCOMPARE(release.inst.read("update/f.bin.partial"), body.left(held));

    release.server.clearRules();
    const qint64 sentBefore = release.server.bodyBytesSent();
    WorkerRun run;
    QVERIFY(runToEnd(run));
    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(release.server.bodyBytesSent() - sentBefore, size - held);
    QCOMPARE(release.inst.read("f.bin"), body);
}

void tst_Resume::stalePartialFilesGoWithUpdateDir()
{
    // Partial bytes of a file the offered release no longer fetches are never installed and
    // leave with update/.
    Release release;
    const QByteArray body = pattern(10000, 11);
    offerChecked(release, "/a.bin", body);
    release.writeConfigs();
    release.inst.write("update/gone.bin.partial", "old bytes");
    release.inst.write("update/gone.bin.partial.info", "updater-partial 1\n");
    release.inst.write("update/a.bin.partial.info", "not a note");
    WorkerRun run;
    QVERIFY(runToEnd(run));
    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(release.inst.read("a.bin"), body);
    QVERIFY(!release.inst.exists("update"));
    QVERIFY(!release.inst.exists("gone.bin"));
    QVERIFY(!release.inst.exists("gone.bin.partial"));
    QVERIFY(!release.inst.exists("backup/gone.bin.partial"));
}

void tst_Resume::nginxCutAt90PercentSendsOnlyTheRest()
{
    if (Nginx::executable().isEmpty())
        QSKIP(Nginx::missingReason());
    auto quiet = std::make_unique<LogCapture>();
    Release release;
    const QByteArray big = pattern(32 * 1024 * 1024, 12);
    offerChecked(release, "/big.bin", big);
    Nginx nginx;
    QString error;
    QVERIFY2(nginx.start(release.served.path(), &error), qPrintable(error));
    CutRelay relay(nginx.serverPort());
    release.writeConfigs({}, "app.bin", relay.url());

    // Headers and 90 % of the body pass, then the connection is closed.
    relay.cutAfter = big.size() / 10 * 9;
    {
        WorkerRun run;
        QVERIFY(runToEnd(run));
        QVERIFY(!run.ok);
    }
    const qint64 have = fileSize(release.inst.path("update/big.bin.partial"));
    QVERIFY2(have > big.size() / 10 * 8 && have < big.size() / 10 * 9,
             qPrintable(QString::number(have)));
    QVERIFY(QTest::qWaitFor([&] { return nginx.accessLog().size() == 1; }, 60000));

    relay.cutAfter = -1;
    {
        LogCapture log;
        WorkerRun run;
        const qint64 bound = 64 * 1024;
        run.worker->setReadBufferSize(bound);
        QVERIFY(runToEnd(run));
        QVERIFY2(run.ok, qPrintable(run.msg));
        QCOMPARE(release.inst.read("big.bin"), big);
        // The rest went to disk in bounded pieces, as a whole download does.
        const QStringList writes = log.linesStartingWith("write to file");
        QVERIFY(writes.size() > 1);
        qint64 written = 0;
        for (const QString& line : writes) {
            const qint64 bytes = line.section(' ', -1).toLongLong();
            QVERIFY2(bytes > 0 && bytes <= 4 * bound, qPrintable(line));
            written += bytes;
        }
        QCOMPARE(written, big.size() - have);
    }
    // nginx's own count of what it sent for the second request.
    QVERIFY(QTest::qWaitFor([&] { return nginx.accessLog().size() == 2; }, 60000));
    const QStringList fields = nginx.accessLog().at(1).split(QLatin1Char(' '));
    QCOMPARE(fields.value(0), QStringLiteral("/big.bin"));
    QCOMPARE(fields.value(1), QStringLiteral("206"));
    QCOMPARE(fields.value(2).toLongLong(), big.size() - have);
    QCOMPARE(fields.value(3), QStringLiteral("bytes=%1-").arg(have));
    quiet.reset();
    qInfo("nginx sent %lld of %lld bytes in the second run, %lld saved", big.size() - have,
          qint64(big.size()), have);
}

void tst_Resume::nginxWholeFileWhenRangeCannotContinue_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("ranges off (max_ranges 0)") << "max_ranges";
    QTest::newRow("same file uploaded again (new ETag)") << "reupload";
    QTest::newRow("new release with another file") << "republish";
}

void tst_Resume::nginxWholeFileWhenRangeCannotContinue()
{
    QFETCH(QString, change);
    if (Nginx::executable().isEmpty())
        QSKIP(Nginx::missingReason());
    Release release;
    QByteArray big = pattern(2 * 1024 * 1024, 13);
    offerChecked(release, "/big.bin", big);
    const QString servedFile = release.served.filePath("big.bin");
    setFileTime(servedFile, 1700000000);
    Nginx nginx;
    QString error;
    QVERIFY2(nginx.start(release.served.path(), &error,
                         change == "max_ranges" ? QStringLiteral("max_ranges 0;") : QString()),
             qPrintable(error));
    CutRelay relay(nginx.serverPort());
    release.writeConfigs({}, "app.bin", relay.url());
    relay.cutAfter = big.size() / 2;
    {
        WorkerRun run;
        QVERIFY(runToEnd(run));
        QVERIFY(!run.ok);
    }
    QVERIFY(fileSize(release.inst.path("update/big.bin.partial")) > 0);
    QVERIFY(QTest::qWaitFor([&] { return nginx.accessLog().size() == 1; }, 60000));

    if (change == "reupload") {
        setFileTime(servedFile, 1700000100);
    } else if (change == "republish") {
        big = pattern(2 * 1024 * 1024, 14);
        release.files.clear();
        release.extraAttributes.clear();
        offerChecked(release, "/big.bin", big);
        setFileTime(servedFile, 1700000200);
        release.writeConfigs({}, "app.bin", relay.url());
    }
    relay.cutAfter = -1;
    WorkerRun run;
    QVERIFY(runToEnd(run));
    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(release.inst.read("big.bin"), big);
    QVERIFY(QTest::qWaitFor([&] { return nginx.accessLog().size() == 2; }, 60000));
    const QStringList fields = nginx.accessLog().at(1).split(QLatin1Char(' '));
    QCOMPARE(fields.value(1), QStringLiteral("200"));
    QCOMPARE(fields.value(2).toLongLong(), qint64(big.size()));
    // A partial file of another release is not continued at all; the others were asked for.
    QCOMPARE(fields.value(3) == QStringLiteral("-"), change == "republish");
}

QTEST_GUILESS_MAIN(tst_Resume)
#include "tst_resume.moc"
