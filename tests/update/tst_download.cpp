// The download phase against a real HTTP server on loopback: what a run does when the network,
// the server, the local disk or the configuration misbehaves.

#include "updateharness.h"

#include "logcapture.h"
#include "recordingpresenter.h"
#include "testhttpserver.h"
#include "tmpfsmount.h"

#include "update/downloadrules.h"

#include <QNetworkProxy>
#include <QTcpServer>

class tst_Download : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void networkErrorEndsRun_data();
    void networkErrorEndsRun();
    void localFileCannotBeOpened_data();
    void localFileCannotBeOpened();
    void failedWriteEndsRun();
    void digestChecked_data();
    void digestChecked();
    void unsafePathStopsRunBeforeAnyDownload_data();
    void unsafePathStopsRunBeforeAnyDownload();
    void ignoredFileInTheWayStopsRun_data();
    void ignoredFileInTheWayStopsRun();
    void errorStatusIsWhatTheUserSees_data();
    void errorStatusIsWhatTheUserSees();
    void serverVariantsStillDeliver_data();
    void serverVariantsStillDeliver();
    void slowTransferIsNotAStall();
    void largeFileArrivesWholeInBoundedPieces();
    void oddNamesFetchedFromTheirOwnUrl();
    void downloadUrlEncodesEverySegment_data();
    void downloadUrlEncodesEverySegment();
    void sizeBoundsTheDownload_data();
    void sizeBoundsTheDownload();
    void declaredSizeCutsOffTheFirstByteTooMany_data();
    void declaredSizeCutsOffTheFirstByteTooMany();
    void unknownLengthLimitFollowsFreeSpace();
    void sizeStandsInForMissingLength();
    void pathIgnoredByInstalledReleaseIsFetched();
    void systemSocksProxyDoesNotRedirectConnections();
    void systemHttpProxyCarriesRequests();

private:
    RecordingPresenter presenter;
};

namespace
{

enum class Fault {
    NotFound,
    ServerError,
    Dropped,
    RedirectToMissing,
    Stalled,
    Refused,
    CompressionBomb
};

// Sets an environment variable for one test and takes it back afterwards.
class ScopedEnv
{
public:
    ScopedEnv(const char* name, const QByteArray& value) : name(name) { qputenv(name, value); }
    ~ScopedEnv() { qunsetenv(name); }

private:
    const char* name;
};

const QByteArray bodyA(3000, 'a');
const QByteArray bodyB(5000, 'b');
const QByteArray bodyC(700, 'c');

void offerThree(Release& release)
{
    release.offer("/a.bin", bodyA);
    release.offer("/b.bin", bodyB);
    release.offer("/c.bin", bodyC);
}

} // namespace

void tst_Download::initTestCase()
{
    // The loopback test server must be reached directly even where a proxy is configured.
    qunsetenv("http_proxy");
    qunsetenv("HTTP_PROXY");
    qunsetenv("all_proxy");
    qunsetenv("ALL_PROXY");
}

void tst_Download::networkErrorEndsRun_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("failingFile");
    QTest::newRow("404") << int(Fault::NotFound) << 2;
    QTest::newRow("500") << int(Fault::ServerError) << 2;
    QTest::newRow("connection dropped half-way") << int(Fault::Dropped) << 2;
    QTest::newRow("redirect to a missing file") << int(Fault::RedirectToMissing) << 2;
    QTest::newRow("server stops sending") << int(Fault::Stalled) << 2;
    QTest::newRow("connection refused") << int(Fault::Refused) << 1;
    // Qt refuses to inflate a body past its ratio: its error, at once, not a stall.
    QTest::newRow("compressed body past the decompression limit")
        << int(Fault::CompressionBomb) << 2;
}

void tst_Download::networkErrorEndsRun()
{
    QFETCH(int, fault);
    QFETCH(int, failingFile);

    Release release;
    offerThree(release);
    release.inst.write("a.bin", "installed a");
    QString serverUrl;
    switch (Fault(fault)) {
    case Fault::NotFound:
        release.server.respondWithStatus("/b.bin", 404);
        break;
    case Fault::ServerError:
        release.server.respondWithStatus("/b.bin", 500);
        break;
    case Fault::Dropped:
        release.server.dropAfter("/b.bin", 1000);
        break;
    case Fault::RedirectToMissing:
        release.server.redirect("/b.bin", "/nowhere.bin");
        break;
    case Fault::Stalled:
        release.server.stallAfter("/b.bin", 100);
        break;
    case Fault::CompressionBomb: {
        QFile bomb(release.served.path() + "/b.bin");
        QVERIFY(bomb.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(bomb.write(QByteArray(64 << 20, '\0')) == 64 << 20);
        bomb.close();
        release.server.deflate("/b.bin");
        break;
    }
    case Fault::Refused: {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        serverUrl = QStringLiteral("http://127.0.0.1:%1").arg(closed.serverPort());
        break;
    }
    }
    release.writeConfigs({{"/a.bin", "old"}}, "app.bin", serverUrl);
    const auto before = release.inst.snapshot();

    WorkerRun run;
    // One file after another: which files were fetched before the failure is then fixed.
    run.worker->setMaxTransfers(1);
    // Short enough to keep the test quick; long enough elsewhere that a stall cannot stand in
    // for the error the run must end with.
    run.worker->setStallTimeout(Fault(fault) == Fault::Stalled ? 1000 : 60000);
    // A compressed body longer than the reply may hold is inflated a piece at a time.
    if (Fault(fault) == Fault::CompressionBomb)
        run.worker->setReadBufferSize(16 * 1024);
    run.start();
    QVERIFY(run.waitFinished());

    QCOMPARE(run.finishedCount, 1);
    QCOMPARE(run.ok, false);
    const QString prefix = QStringLiteral("网络出现错误:");
    QVERIFY2(run.msg.startsWith(prefix) && run.msg.size() > prefix.size(), qPrintable(run.msg));
    // A stall says how long the server was silent and which URL it was; Qt's own text for the
    // abort ("Operation canceled") tells the user nothing.
    const QString stallText =
        QStringLiteral("服务器1秒没有响应:") + release.server.baseUrl() + "/b.bin";
    QCOMPARE(run.msg == prefix + stallText, Fault(fault) == Fault::Stalled);
    QCOMPARE(run.msg.contains(QStringLiteral("没有响应")), Fault(fault) == Fault::Stalled);
    QCOMPARE(run.records.last().finished, (failingFile - 1) * 100);

    // Files fetched before stay under update/, the partial one is gone, nothing is installed.
    QCOMPARE(release.inst.exists("update/a.bin"), failingFile > 1);
    if (failingFile > 1)
        QCOMPARE(release.inst.read("update/a.bin"), bodyA);
    QVERIFY(!release.inst.exists("update/b.bin"));
    QVERIFY(!release.inst.exists("update/c.bin"));
    QVERIFY(!release.server.requestedPaths().contains("/c.bin"));
    QCOMPARE(release.inst.snapshot(), before);
    QCOMPARE(release.inst.read("update/UpdateCfg.xml"), release.offeredConfig);
}

void tst_Download::localFileCannotBeOpened_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<QString>("obstacleFile");
    QTest::newRow("non-empty directory where the file goes") << "/b.bin"
                                                             << "update/b.bin/x"
                                                             << "update/b.bin";
    QTest::newRow("file where its directory goes") << "/sub/b.bin"
                                                   << "update/sub"
                                                   << "update/sub/b.bin";
}

void tst_Download::localFileCannotBeOpened()
{
    QFETCH(QString, path);
    QFETCH(QString, obstacle);
    QFETCH(QString, obstacleFile);

    Release release;
    release.offer("/a.bin", bodyA);
    release.offer(path, bodyB);
    release.writeConfigs();
    release.inst.write(obstacle, "in the way");
    const auto before = release.inst.snapshot();

    WorkerRun run;
    run.worker->setMaxTransfers(1);
    run.start();
    QVERIFY(run.waitFinished());

    QCOMPARE(run.ok, false);
    QCOMPARE(run.msg, QStringLiteral("open local file failed:") + release.inst.path(obstacleFile));
    QCOMPARE(release.server.requestedPaths(), QStringList{"/a.bin"});
    QCOMPARE(run.records.last().finished, 100);
    QCOMPARE(release.inst.read(obstacle), QByteArray("in the way"));
    QCOMPARE(release.inst.snapshot(), before);
}

void tst_Download::failedWriteEndsRun()
{
    // The folder of the second download is a file system with no room: its writes fail as on a
    // full disk.
    Release release;
    release.offer("/a.bin", bodyA);
    release.offer("/full/b.bin", bodyB);
    release.offer("/full/c.bin", bodyC);
    release.writeConfigs();
    TmpfsMount full;
    QString reason;
    if (!full.mount(release.inst.path("update/full"), 4096, &reason))
        QSKIP(qPrintable(reason));
    QVERIFY(full.fill());
    const auto before = release.inst.snapshot();

    WorkerRun run;
    // One file after another: the first write to fail is then b.bin's.
    run.worker->setMaxTransfers(1);
    run.start();
    QVERIFY(run.waitFinished());

    QCOMPARE(run.finishedCount, 1);
    QCOMPARE(run.ok, false);
    QCOMPARE(run.msg, QStringLiteral("写入本地文件失败:") + release.inst.path("update/full/b.bin"));
    QCOMPARE(run.records.last().finished, 100);
    QVERIFY(!release.inst.exists("update/full/b.bin"));
    QVERIFY(!release.server.requestedPaths().contains("/full/c.bin"));
    QCOMPARE(release.inst.snapshot(), before);
}

void tst_Download::digestChecked_data()
{
    QTest::addColumn<QString>("md5");
    QTest::addColumn<bool>("ok");
    QTest::newRow("wrong digest") << md5Of("something else") << false;
    QTest::newRow("right digest in capitals") << md5Of(bodyB).toUpper() << true;
    QTest::newRow("marker that is no digest") << "release-7" << true;
    QTest::newRow("31 hex digits, no digest") << md5Of("x").left(31) << true;
}

void tst_Download::digestChecked()
{
    QFETCH(QString, md5);
    QFETCH(bool, ok);

    Release release;
    release.offer("/a.bin", bodyA);
    release.offer("/b.bin", bodyB, md5);
    release.inst.write("b.bin", "installed b");
    release.writeConfigs({{"/b.bin", "old"}});
    const auto before = release.inst.snapshot();

    WorkerRun run;
    // One file after another: a.bin is checked and in update/ before b.bin fails.
    run.worker->setMaxTransfers(1);
    run.start();
    QVERIFY(run.waitFinished());

    QCOMPARE(run.ok, ok);
    if (ok) {
        QCOMPARE(run.msg, QStringLiteral("success"));
        QCOMPARE(release.inst.read("b.bin"), bodyB);
    } else {
        QCOMPARE(run.msg, QStringLiteral("文件校验失败:/b.bin"));
        QVERIFY(!release.inst.exists("update/b.bin"));
        QCOMPARE(release.inst.read("update/a.bin"), bodyA);
        QCOMPARE(release.inst.snapshot(), before);
    }
}

void tst_Download::unsafePathStopsRunBeforeAnyDownload_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("climbs out") << "/../../x.dll";
    QTest::newRow("no leading slash, lands beside the installation") << "x.dll";
    QTest::newRow("empty segment") << "/lib//x.dll";
    QTest::newRow("dot segment") << "/./x.dll";
    QTest::newRow("trailing slash") << "/lib/";
    QTest::newRow("backslash") << "/lib\\..\\..\\x.dll";
    QTest::newRow("drive colon") << "/c:/x.dll";
    QTest::newRow("control character") << "/x\t.dll";
    QTest::newRow("inside the download folder") << "/update/x.dll";
    QTest::newRow("over the new configuration") << "/UpdateCfg.xml";
    QTest::newRow("inside the forms folder") << "/.Forms/x.dll";
    QTest::newRow("device name") << "/bin/nul.dll";
    QTest::newRow("folder that Windows reads as update/") << "/update./x.dll";
    QTest::newRow("question mark") << "/x?.dll";
    QTest::newRow("file over a folder of another") << "/a.bin/x.dll";
}

void tst_Download::unsafePathStopsRunBeforeAnyDownload()
{
    QFETCH(QString, path);

    Release release;
    release.offer("/a.bin", bodyA);
    release.files.append({path, "evil"});
    release.writeConfigs();
    const auto before = release.inst.snapshot({});

    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());

    QCOMPARE(run.ok, false);
    QCOMPARE(run.msg, QStringLiteral("配置文件中的文件路径无效:") + path);
    QVERIFY(release.server.requestedPaths().isEmpty());
    QCOMPARE(release.inst.snapshot({}), before);
    QCOMPARE(run.records.size(), 1);
}

void tst_Download::ignoredFileInTheWayStopsRun_data()
{
    QTest::addColumn<QString>("ignored");
    QTest::addColumn<QString>("managed");
    QTest::addColumn<bool>("refused");
    QTest::newRow("ignored file where a folder is needed") << "/lib"
                                                           << "/lib/x.dll" << true;
    QTest::newRow("ignored file below a managed file") << "/a.bin/x"
                                                       << "/a.bin" << true;
    QTest::newRow("ignored file in other letter case") << "/User.ini"
                                                       << "/user.ini" << true;
    QTest::newRow("ignored file beside") << "/lib.ini"
                                         << "/lib/x.dll" << false;
}

// The user's copy of an ignored file stays where it is: a release that would need it moved aside
// or overwritten is refused before anything is fetched.
void tst_Download::ignoredFileInTheWayStopsRun()
{
    QFETCH(QString, ignored);
    QFETCH(QString, managed);
    QFETCH(bool, refused);

    Release release;
    release.offer("/app.bin", bodyA);
    release.offer(managed, bodyB);
    release.files.append({ignored, "user"});
    release.extraAttributes.insert(ignored, " ignore=\"1\"");
    release.writeConfigs();
    release.inst.write(ignored.mid(1), "the user's own");
    const auto before = release.inst.snapshot({});

    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());

    if (refused) {
        QCOMPARE(run.ok, false);
        QCOMPARE(run.msg, QStringLiteral("配置文件中的文件路径无效:") + ignored);
        QVERIFY(release.server.requestedPaths().isEmpty());
        QCOMPARE(release.inst.snapshot({}), before);
    } else {
        QCOMPARE(run.msg, QStringLiteral("success"));
        QCOMPARE(release.inst.read(managed.mid(1)), bodyB);
        QCOMPARE(release.inst.read(ignored.mid(1)), QByteArray("the user's own"));
    }
}

void tst_Download::serverVariantsStillDeliver_data()
{
    QTest::addColumn<QString>("variant");
    QTest::newRow("redirect") << "redirect";
    QTest::newRow("no Content-Length") << "no length";
    QTest::newRow("empty body") << "empty";
}

void tst_Download::serverVariantsStillDeliver()
{
    QFETCH(QString, variant);

    Release release;
    QByteArray body = bodyB;
    if (variant == "redirect") {
        // The redirect target is served, but never listed in the configuration.
        const QString target = release.served.path() + "/real/b.bin";
        QDir().mkpath(QFileInfo(target).absolutePath());
        QFile out(target);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(body);
        out.close();
        release.offer("/b.bin", "stale");
        release.files.last().second = md5Of(body);
        release.server.redirect("/b.bin", "/real/b.bin");
    } else if (variant == "no length") {
        release.offer("/b.bin", body);
        release.server.omitContentLength("/b.bin");
    } else {
        body.clear();
        release.offer("/b.bin", body);
    }
    release.writeConfigs();

    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());

    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(release.inst.read("b.bin"), body);
    QCOMPARE(run.records.last().finished, 100);
    if (variant == "no length") {
        // Without a known size there is no percentage to show until the reply is complete.
        for (const UpdateProgress& record : run.records)
            QVERIFY2(record.current == 0 || record.current == 100,
                     qPrintable(QString::number(record.current)));
    }
}

void tst_Download::slowTransferIsNotAStall()
{
    Release release;
    release.offer("/b.bin", QByteArray(200000, 'b'));
    release.server.trickle("/b.bin", 500);
    release.writeConfigs();

    WorkerRun run;
    // Far shorter than the whole transfer, far longer than the gap between two pieces.
    run.worker->setStallTimeout(1000);
    run.start();
    QVERIFY(run.waitFinished());
    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(release.inst.read("b.bin"), QByteArray(200000, 'b'));
}

void tst_Download::largeFileArrivesWholeInBoundedPieces()
{
    QByteArray body;
    body.reserve(6 * 1024 * 1024);
    quint32 seed = 12345;
    while (body.size() < 6 * 1024 * 1024) {
        seed = seed * 1103515245u + 12345u;
        body.append(char(seed >> 24));
    }
    Release release;
    release.offer("/big.bin", body);
    release.writeConfigs();

    LogCapture log;
    WorkerRun run;
    const qint64 bound = 64 * 1024;
    run.worker->setReadBufferSize(bound);
    run.start();
    QVERIFY(run.waitFinished());
    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(release.inst.read("big.bin"), body);

    // Every piece taken from the reply went to disk before the next arrived, and together they
    // make the whole file. Qt's bound is loose (a reply may take in one more network read
    // beyond it), but an unbounded reply takes in megabytes at a time on loopback.
    const QStringList writes = log.linesStartingWith("write to file");
    QVERIFY(writes.size() > 1);
    qint64 sum = 0;
    for (const QString& line : writes) {
        QVERIFY2(
            line.startsWith(
                QStringLiteral("write to file \"%1\" ").arg(release.inst.path("update/big.bin"))),
            qPrintable(line));
        const qint64 bytes = line.section(' ', -1).toLongLong();
        QVERIFY2(bytes > 0 && bytes <= 4 * bound, qPrintable(line));
        sum += bytes;
    }
    QCOMPARE(sum, qint64(body.size()));
}

void tst_Download::systemSocksProxyDoesNotRedirectConnections()
{
    // Something listening where the proxy is said to be, to see whether anyone comes.
    QTcpServer socks;
    QVERIFY(socks.listen(QHostAddress::LocalHost));
    int socksConnections = 0;
    connect(&socks, &QTcpServer::newConnection, this, [&] { ++socksConnections; });
    const QByteArray socksUrl = "socks5://127.0.0.1:" + QByteArray::number(socks.serverPort());
    ScopedEnv lower("all_proxy", socksUrl);
    ScopedEnv upper("ALL_PROXY", socksUrl);

    Release release;
    offerThree(release);
    release.writeConfigs();
    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());
    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(release.inst.read("b.bin"), bodyB);
    QCOMPARE(socksConnections, 0);

    // The worker's connections are handed the application's proxy; for a server away from
    // loopback that must still mean a direct connection, not the system's SOCKS proxy.
    const QList<QNetworkProxy> direct = QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(
        QStringLiteral("updates.example.com"), 80, QString(), QNetworkProxyQuery::TcpSocket));
    QCOMPARE(direct.size(), 1);
    QCOMPARE(direct.first().type(), QNetworkProxy::NoProxy);
}

void tst_Download::systemHttpProxyCarriesRequests()
{
#ifdef Q_OS_WIN
    // Windows' system proxy comes from its Internet settings, not from http_proxy.
    QSKIP("the system proxy is not set through the environment here");
#endif
    Release release;
    offerThree(release);
    // A server name that resolves nowhere: only a proxy can reach it.
    release.writeConfigs({}, "app.bin", QStringLiteral("http://updates.invalid"));
    ScopedEnv proxy("http_proxy", release.server.baseUrl().toLatin1());

    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());
    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(release.inst.read("c.bin"), bodyC);
    // Side by side, in whatever order they went out.
    QStringList proxied = release.server.proxiedRequests();
    proxied.sort();
    QCOMPARE(proxied, QStringList({"http://updates.invalid/a.bin", "http://updates.invalid/b.bin",
                                   "http://updates.invalid/c.bin"}));
}

void tst_Download::oddNamesFetchedFromTheirOwnUrl()
{
    // Names that a URL would read as fragment, query, escape or separator, each with its own
    // content, so that a file fetched from a neighbour's URL shows.
    const QStringList names = {"/hash#1.txt",     "/pct%41.txt",
                               "/pctA.txt",       "/a%2Fb.txt",
                               "/d#1/x.txt",      "/x=1;y.txt",
                               "/with space.txt", "/plus+and&.txt",
                               "/semi;colon.txt", "/\u4e2d\u6587/\u6587\u4ef6.txt",
                               "/caf\u00e9.txt"};
    Release release;
    for (const QString& name : names)
        release.offer(name, ("content of " + name).toUtf8());
    release.writeConfigs();

    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());
    QVERIFY2(run.ok, qPrintable(run.msg));
    QStringList expected;
    for (const auto& file : release.files) {
        expected.append(file.first);
        QCOMPARE(release.inst.read(file.first.mid(1)), ("content of " + file.first).toUtf8());
    }
    expected.sort();
    // The server decodes each request: every name arrived exactly as listed, once (in whatever
    // order the transfers side by side sent them).
    QStringList requested = release.server.requestedPaths();
    requested.sort();
    QCOMPARE(requested, expected);
}

void tst_Download::downloadUrlEncodesEverySegment_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("url");
    QTest::newRow("plain") << "http://h:8080/r"
                           << "/a/b.dll"
                           << "http://h:8080/r/a/b.dll";
    QTest::newRow("hash") << "http://h"
                          << "/hash#1.txt"
                          << "http://h/hash%231.txt";
    QTest::newRow("percent") << "http://h"
                             << "/pct%41.txt"
                             << "http://h/pct%2541.txt";
    QTest::newRow("encoded slash") << "http://h"
                                   << "/a%2Fb.txt"
                                   << "http://h/a%252Fb.txt";
    QTest::newRow("folder with hash") << "http://h"
                                      << "/d#1/x"
                                      << "http://h/d%231/x";
    QTest::newRow("question mark") << "http://h"
                                   << "/a?b"
                                   << "http://h/a%3Fb";
    QTest::newRow("space and plus") << "http://h"
                                    << "/a b+c"
                                    << "http://h/a%20b%2Bc";
    QTest::newRow("non-ASCII as UTF-8")
        << "http://h" << QStringLiteral("/\u00e9/\u4e2d") << "http://h/%C3%A9/%E4%B8%AD";
    QTest::newRow("server as given") << "https://h/a b/x%20y"
                                     << "/f"
                                     << "https://h/a%20b/x%20y/f";
    QTest::newRow("server with trailing slash") << "http://h/r/"
                                                << "/f"
                                                << "http://h/r//f";
}

void tst_Download::downloadUrlEncodesEverySegment()
{
    QFETCH(QString, server);
    QFETCH(QString, path);
    QFETCH(QString, url);
    const QUrl built = downloadUrl(server, path);
    QVERIFY(built.isValid());
    QCOMPARE(built.toString(QUrl::FullyEncoded), url);
    QCOMPARE(QString::fromUtf8(built.toEncoded()), url);
}

void tst_Download::sizeBoundsTheDownload_data()
{
    // The served body is 5000 bytes unless endless; size is the attribute (-1: none).
    QTest::addColumn<QString>("serving");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("ok");
    QTest::newRow("size matches") << "plain" << qint64(5000) << true;
    QTest::newRow("size matches, no length") << "no length" << qint64(5000) << true;
    QTest::newRow("longer than size") << "plain" << qint64(4999) << false;
    QTest::newRow("longer than size, no length") << "no length" << qint64(47) << false;
    QTest::newRow("shorter than size") << "plain" << qint64(5001) << false;
    QTest::newRow("endless, with size") << "endless" << qint64(47) << false;
    QTest::newRow("endless, without size") << "endless" << qint64(-1) << false;
    QTest::newRow("no length, without size, under the limit") << "no length" << qint64(-1) << true;
}

void tst_Download::sizeBoundsTheDownload()
{
    QFETCH(QString, serving);
    QFETCH(qint64, size);
    QFETCH(bool, ok);

    const QByteArray body(5000, 'x');
    Release release;
    release.offer("/a.bin", bodyA);
    // An opaque md5 text: only the size can tell a wrong length.
    release.offer("/e.bin", body, "not-a-digest");
    if (serving == "no length")
        release.server.omitContentLength("/e.bin");
    else if (serving == "endless")
        release.server.endless("/e.bin");
    if (size >= 0)
        release.extraAttributes.insert("/e.bin", QStringLiteral(" size=\"%1\"").arg(size));
    release.writeConfigs();

    LogCapture log;
    WorkerRun run;
    const qint64 limit = 256 * 1024;
    run.worker->setUnknownLengthLimit(limit);
    run.start();
    QVERIFY(run.waitFinished());
    QCOMPARE(run.finishedCount, 1);
    QCOMPARE(run.ok, ok);
    if (ok) {
        QCOMPARE(release.inst.read("e.bin"), body);
        return;
    }
    QCOMPARE(run.msg, QStringLiteral("文件校验失败:/e.bin"));
    // Nothing of it is kept, nothing is installed, and the endless body was cut off near the
    // bound (what the sockets held in between aside), not written on.
    QVERIFY(!release.inst.exists("update/e.bin"));
    QVERIFY(!release.inst.exists("e.bin"));
    QVERIFY(!release.inst.exists("a.bin"));
    if (serving == "endless")
        QVERIFY2(release.server.endlessBytesSent() < (size >= 0 ? size : limit) + 32 * 1024 * 1024,
                 qPrintable(QString::number(release.server.endlessBytesSent())));
}

void tst_Download::declaredSizeCutsOffTheFirstByteTooMany_data()
{
    // size is the attribute; the body never ends, with no length or with the one announced.
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("announced");
    QTest::newRow("1 MiB, no length") << (qint64(1) << 20) << qint64(-1);
    QTest::newRow("3 MiB and a byte, a length a thousand times the size")
        << (qint64(3) << 20) + 1 << ((qint64(3) << 20) + 1) * 1000;
}

// A file may bring the bytes its size declares and not one more: a body that goes on is cut off
// at the read that passes the size, not after the many times that a loose bound would allow
// (the final size check would still refuse it, but only once all of it was on the disk).
void tst_Download::declaredSizeCutsOffTheFirstByteTooMany()
{
    QFETCH(qint64, size);
    QFETCH(qint64, announced);

    Release release;
    // An opaque md5 text: only the size can tell a wrong length.
    release.offer("/e.bin", QByteArray(), "not-a-digest");
    release.extraAttributes.insert("/e.bin", QStringLiteral(" size=\"%1\"").arg(size));
    release.writeConfigs();
    release.server.meteredEndless("/e.bin", size, announced);
    const auto before = release.inst.snapshot();

    LogCapture log;
    const QString target =
        QStringLiteral("write to file \"%1").arg(release.inst.path("update/e.bin"));
    auto written = [&] {
        qint64 total = 0;
        for (const QString& line : log.linesStartingWith(target))
            total += line.section(QLatin1Char(' '), -1).toLongLong();
        return total;
    };
    WorkerRun run;
    run.start();
    // The whole declared size is taken: nothing is refused yet.
    QVERIFY(QTest::qWaitFor([&] { return written() == size || run.finishedCount > 0; }, 60000));
    QCOMPARE(run.finishedCount, 0);

    // Then one piece more at a time, each sent only once the client has written all before it
    // (or has ended the run). A correct bound ends the run at the first; a loose one goes on
    // reading until the test gives up.
    const qint64 step = 64 * 1024;
    const qint64 ceiling = size + 64 * step;
    while (run.finishedCount == 0 && release.server.endlessBytesSent() < ceiling) {
        release.server.sendMore("/e.bin", step);
        const qint64 sent = release.server.endlessBytesSent();
        QVERIFY(QTest::qWaitFor([&] { return written() == sent || run.finishedCount > 0; }, 60000));
    }
    QVERIFY2(run.finishedCount > 0,
             qPrintable(QStringLiteral("still reading after %1 bytes for a size of %2")
                            .arg(release.server.endlessBytesSent())
                            .arg(size)));
    QVERIFY(run.waitFinished());
    QCOMPARE(run.ok, false);
    QCOMPARE(run.msg, QStringLiteral("文件校验失败:/e.bin"));
    // Cut off within the first piece past the size, by the client closing the connection.
    QCOMPARE(release.server.endlessBytesSent(), size + step);
    QVERIFY(QTest::qWaitFor([&] { return release.server.endlessClosedByClient() == 1; }, 60000));
    QCOMPARE(written(), size);
    const QStringList tooLong = log.linesStartingWith("download: too long:");
    QCOMPARE(tooLong.size(), 1);
    QCOMPARE(tooLong.first().section(QLatin1Char(' '), -1).toLongLong(), size);
    // Nothing of it is kept, nothing installed.
    QVERIFY(!release.inst.exists("update/e.bin"));
    QVERIFY(!release.inst.exists("update/e.bin.partial"));
    QCOMPARE(release.inst.snapshot(), before);
}

void tst_Download::errorStatusIsWhatTheUserSees_data()
{
    // The file is 5000 bytes; the server answers with an error page of pageBytes (-1: a short
    // text, 0: without end). size is the attribute (-1: none).
    QTest::addColumn<int>("status");
    QTest::addColumn<qint64>("pageBytes");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("reason");
    QTest::newRow("404, short page") << 404 << qint64(-1) << qint64(5000) << "Not Found";
    QTest::newRow("404, page longer than the size")
        << 404 << qint64(20000) << qint64(5000) << "Not Found";
    QTest::newRow("500, page longer than the size")
        << 500 << qint64(300000) << qint64(5000) << "Internal Server Error";
    QTest::newRow("404, page without end, with size")
        << 404 << qint64(0) << qint64(5000) << "Not Found";
    QTest::newRow("404, page without end, without size")
        << 404 << qint64(0) << qint64(-1) << "Not Found";
}

// However long the error page, the status is what ends the run, not the file's size.
void tst_Download::errorStatusIsWhatTheUserSees()
{
    QFETCH(int, status);
    QFETCH(qint64, pageBytes);
    QFETCH(qint64, size);
    QFETCH(QString, reason);

    Release release;
    release.offer("/a.bin", bodyA);
    release.offer("/b.bin", bodyB);
    if (pageBytes == 0)
        release.server.endless("/b.bin", status);
    else
        release.server.respondWithStatus("/b.bin", status, pageBytes);
    if (size >= 0)
        release.extraAttributes.insert("/b.bin", QStringLiteral(" size=\"%1\"").arg(size));
    release.writeConfigs();
    const auto before = release.inst.snapshot();

    WorkerRun run;
    run.worker->setUnknownLengthLimit(256 * 1024);
    run.start();
    QVERIFY(run.waitFinished());
    QCOMPARE(run.finishedCount, 1);
    QCOMPARE(run.ok, false);
    QCOMPARE(run.msg,
             QStringLiteral("网络出现错误:Error transferring %1/b.bin - server replied: %2")
                 .arg(release.server.baseUrl(), reason));
    QVERIFY(!release.inst.exists("update/b.bin"));
    QCOMPARE(release.inst.snapshot(), before);
    if (pageBytes == 0)
        QVERIFY2(release.server.endlessBytesSent() < 32 * 1024 * 1024,
                 qPrintable(QString::number(release.server.endlessBytesSent())));
}

void tst_Download::unknownLengthLimitFollowsFreeSpace()
{
    const qint64 gib = qint64(1) << 30;
    QCOMPARE(unknownLengthLimit(-1), 4 * gib);
    QCOMPARE(unknownLengthLimit(100 * gib), 4 * gib);
    QCOMPARE(unknownLengthLimit(8 * gib), 4 * gib);
    QCOMPARE(unknownLengthLimit(6 * gib), 3 * gib);
    QCOMPARE(unknownLengthLimit(101), qint64(50));
    QCOMPARE(unknownLengthLimit(0), qint64(0));
}

void tst_Download::sizeStandsInForMissingLength()
{
    const QByteArray body(10000, 'h');
    Release release;
    release.offer("/h.bin", body);
    release.server.holdAfterWithoutLength("/h.bin", 4000);
    release.extraAttributes.insert("/h.bin", QStringLiteral(" size=\"10000\""));
    release.writeConfigs();

    WorkerRun run;
    run.start();
    // The server holds the rest back until the window has shown the part that came: 40 %.
    QVERIFY(QTest::qWaitFor(
        [&run] { return !run.records.isEmpty() && run.records.last().current > 0; }, 20000));
    QCOMPARE(run.records.last().current, 40);
    QCOMPARE(run.records.last().finished, 0);
    release.server.release("/h.bin");
    QVERIFY(run.waitFinished());
    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(release.inst.read("h.bin"), body);
}

void tst_Download::pathIgnoredByInstalledReleaseIsFetched()
{
    // The installed release left /conf.ini to the user; the new one manages it.
    Release release;
    release.offer("/app.bin", "new app");
    release.offer("/conf.ini", "managed now");
    release.writeConfigs({{"/app.bin", "old"}});
    release.inst.write("config/UpdateCfg.xml",
                       "<u><info version=\"1.0\" main=\"app.bin\" server=\"x\"/>"
                       "<file path=\"/app.bin\" md5=\"old\"/>"
                       "<file path=\"/conf.ini\" md5=\"" +
                           md5Of("managed now").toLatin1() + "\" ignore=\"1\"/></u>");
    release.inst.write("conf.ini", "the user's own");

    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());
    QVERIFY2(run.ok, qPrintable(run.msg));
    QVERIFY(release.server.requestedPaths().contains("/conf.ini"));
    QCOMPARE(release.inst.read("conf.ini"), QByteArray("managed now"));
    QCOMPARE(release.inst.read("backup/conf.ini"), QByteArray("the user's own"));
}

QTEST_MAIN(tst_Download)
#include "tst_download.moc"
