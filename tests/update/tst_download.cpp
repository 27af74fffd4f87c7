// The download phase against a real HTTP server on loopback: what a run does when the network,
// the server, the local disk or the configuration misbehaves.

#include "updateharness.h"

#include "logcapture.h"
#include "recordingpresenter.h"
#include "testhttpserver.h"
#include "tmpfsmount.h"

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
    void serverVariantsStillDeliver_data();
    void serverVariantsStillDeliver();
    void slowTransferIsNotAStall();
    void largeFileArrivesWholeInBoundedPieces();
    void systemSocksProxyDoesNotRedirectConnections();
    void systemHttpProxyCarriesRequests();

private:
    RecordingPresenter presenter;
};

namespace {

enum class Fault { NotFound, ServerError, Dropped, RedirectToMissing, Stalled, Refused };

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
    case Fault::NotFound: release.server.respondWithStatus("/b.bin", 404); break;
    case Fault::ServerError: release.server.respondWithStatus("/b.bin", 500); break;
    case Fault::Dropped: release.server.dropAfter("/b.bin", 1000); break;
    case Fault::RedirectToMissing: release.server.redirect("/b.bin", "/nowhere.bin"); break;
    case Fault::Stalled: release.server.stallAfter("/b.bin", 100); break;
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
    // Short enough to keep the test quick.
    if (Fault(fault) == Fault::Stalled)
        run.worker->setStallTimeout(1000);
    run.start();
    QVERIFY(run.waitFinished());

    QCOMPARE(run.finishedCount, 1);
    QCOMPARE(run.ok, false);
    const QString prefix = QStringLiteral("网络出现错误:");
    QVERIFY2(run.msg.startsWith(prefix) && run.msg.size() > prefix.size(), qPrintable(run.msg));
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
    QTest::newRow("non-empty directory where the file goes") << "/b.bin" << "update/b.bin/x"
                                                              << "update/b.bin";
    QTest::newRow("file where its directory goes") << "/sub/b.bin" << "update/sub"
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
            QVERIFY2(record.current == 0 || record.current == 100, qPrintable(QString::number(record.current)));
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
        QVERIFY2(line.startsWith(QStringLiteral("write to file \"%1\" ")
                                     .arg(release.inst.path("update/big.bin"))),
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
    const QList<QNetworkProxy> direct = QNetworkProxyFactory::proxyForQuery(
        QNetworkProxyQuery(QStringLiteral("updates.example.com"), 80, QString(),
                           QNetworkProxyQuery::TcpSocket));
    QCOMPARE(direct.size(), 1);
    QCOMPARE(direct.first().type(), QNetworkProxy::NoProxy);
}

void tst_Download::systemHttpProxyCarriesRequests()
{
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
    QCOMPARE(release.server.proxiedRequests(),
             QStringList({"http://updates.invalid/a.bin", "http://updates.invalid/b.bin",
                          "http://updates.invalid/c.bin"}));
}

QTEST_MAIN(tst_Download)
#include "tst_download.moc"
