// One file's transfer on its own, against the loopback server: what the worker relies on when it
// hands a file over, and what lets several transfers run side by side.

#include "updateharness.h"

#include "testhttpserver.h"

#include "update/downloadrules.h"
#include "update/filetransfer.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>

class tst_FileTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void fetchesAndChecksOneFile_data();
    void fetchesAndChecksOneFile();
    void wrongDigestLeavesNothing();
    void checkedCopyIsKept();
    void transfersRunSideBySide();
};

namespace
{

// The server's root, the installation and a manager that reaches the server directly.
struct Setup {
    Setup() : server(served.path())
    {
        manager.setProxy(QNetworkProxy::NoProxy);
        QVERIFY(server.listen());
    }
    void serve(const QString& path, const QByteArray& body)
    {
        QFile out(served.path() + path);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(body);
    }
    FileTransfer::File file(const QString& path, const QByteArray& body)
    {
        FileTransfer::File file;
        file.path = path;
        file.url = downloadUrl(server.baseUrl(), path);
        file.md5 = md5Of(body);
        file.size = body.size();
        return file;
    }

    Installation inst;
    QTemporaryDir served;
    TestHttpServer server;
    QNetworkAccessManager manager;
};

} // namespace

void tst_FileTransfer::initTestCase()
{
    qunsetenv("http_proxy");
    qunsetenv("HTTP_PROXY");
    qunsetenv("all_proxy");
    qunsetenv("ALL_PROXY");
}

void tst_FileTransfer::fetchesAndChecksOneFile_data()
{
    QTest::addColumn<bool>("bySha256");
    QTest::newRow("md5") << false;
    QTest::newRow("sha256") << true;
}

void tst_FileTransfer::fetchesAndChecksOneFile()
{
    QFETCH(bool, bySha256);
    Setup s;
    const QByteArray body(300 * 1024, 'x');
    s.serve("/a.bin", body);
    FileTransfer::File file = s.file("/a.bin", body);
    if (bySha256) {
        file.md5 = QStringLiteral("not a digest");
        file.sha256 = sha256Of(body);
    }

    FileTransfer transfer(file, &s.manager, s.inst.root, FileTransfer::Settings());
    QSignalSpy finished(&transfer, &FileTransfer::sig_finished);
    QSignalSpy progress(&transfer, &FileTransfer::sig_progress);
    QVERIFY(!transfer.keepDownloaded());
    transfer.start();
    QVERIFY(finished.wait(60000));

    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().at(0).toBool(), true);
    QCOMPARE(s.inst.read("update/a.bin"), body);
    // Checked and under its own name: neither the partial file nor its note is left.
    QVERIFY(!s.inst.exists("update/a.bin.partial"));
    QCOMPARE(QDir(s.inst.path("update")).entryList(QDir::Files), QStringList{"a.bin"});
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last().at(0).toLongLong(), qint64(body.size()));
    QCOMPARE(progress.last().at(1).toLongLong(), qint64(body.size()));
    QCOMPARE(s.server.requestedPaths(), QStringList{"/a.bin"});
}

void tst_FileTransfer::wrongDigestLeavesNothing()
{
    Setup s;
    const QByteArray body(5000, 'y');
    s.serve("/a.bin", body);
    FileTransfer::File file = s.file("/a.bin", body);
    file.md5 = md5Of("something else");

    FileTransfer transfer(file, &s.manager, s.inst.root, FileTransfer::Settings());
    QSignalSpy finished(&transfer, &FileTransfer::sig_finished);
    transfer.start();
    QVERIFY(finished.wait(60000));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().at(0).toBool(), false);
    QCOMPARE(finished.first().at(1).toString(), QStringLiteral("文件校验失败:/a.bin"));
    QVERIFY(!s.inst.exists("update/a.bin"));
    QVERIFY(!s.inst.exists("update/a.bin.partial"));
}

void tst_FileTransfer::checkedCopyIsKept()
{
    Setup s;
    const QByteArray body(2000, 'k');
    s.inst.write("update/d/a.bin", body);
    FileTransfer kept(s.file("/d/a.bin", body), &s.manager, s.inst.root, FileTransfer::Settings());
    QVERIFY(kept.keepDownloaded());

    FileTransfer changed(s.file("/d/a.bin", QByteArray(2000, 'c')), &s.manager, s.inst.root,
                         FileTransfer::Settings());
    QVERIFY(!changed.keepDownloaded());
    QVERIFY(s.server.requestedPaths().isEmpty());
    QCOMPARE(s.inst.read("update/d/a.bin"), body);
}

void tst_FileTransfer::transfersRunSideBySide()
{
    Setup s;
    const QByteArray first(200 * 1024, '1');
    const QByteArray second(100 * 1024, '2');
    s.serve("/one.bin", first);
    s.serve("/two.bin", second);
    // Neither answer ends before both requests are in: the two are in flight at once.
    s.server.holdAfter("/one.bin", 1000);
    s.server.holdAfter("/two.bin", 1000);

    FileTransfer one(s.file("/one.bin", first), &s.manager, s.inst.root, FileTransfer::Settings());
    FileTransfer two(s.file("/two.bin", second), &s.manager, s.inst.root, FileTransfer::Settings());
    QSignalSpy oneDone(&one, &FileTransfer::sig_finished);
    QSignalSpy twoDone(&two, &FileTransfer::sig_finished);
    one.start();
    two.start();
    QVERIFY(QTest::qWaitFor(
        [&] { return s.server.isHolding("/one.bin") && s.server.isHolding("/two.bin"); }, 60000));
    QVERIFY(oneDone.isEmpty() && twoDone.isEmpty());
    s.server.release("/two.bin");
    QVERIFY(twoDone.wait(60000));
    QVERIFY(oneDone.isEmpty());
    s.server.release("/one.bin");
    QVERIFY(oneDone.wait(60000));

    QCOMPARE(oneDone.first().at(0).toBool(), true);
    QCOMPARE(twoDone.first().at(0).toBool(), true);
    QCOMPARE(s.inst.read("update/one.bin"), first);
    QCOMPARE(s.inst.read("update/two.bin"), second);
}

QTEST_MAIN(tst_FileTransfer)
#include "tst_filetransfer.moc"
