// Files fetched side by side: several requests in flight at once, up to the worker's limit, the
// progress summed over them, each file's log lines whole and in order, and the first failure
// ending the run with the other transfers' bytes kept for the next run.

#include "updateharness.h"

#include "logcapture.h"
#include "testhttpserver.h"

namespace
{

int heldCount(const TestHttpServer& server, const QStringList& paths)
{
    int held = 0;
    for (const QString& path : paths)
        held += server.isHolding(path) ? 1 : 0;
    return held;
}

} // namespace

class tst_SideBySide : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void requestsOverlapUpToTheLimit_data();
    void requestsOverlapUpToTheLimit();
    void firstFailureEndsRunAndKeepsTheOthersBytes();
};

void tst_SideBySide::initTestCase()
{
    qunsetenv("http_proxy");
    qunsetenv("HTTP_PROXY");
    qunsetenv("all_proxy");
    qunsetenv("ALL_PROXY");
}

void tst_SideBySide::requestsOverlapUpToTheLimit_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("files");
    QTest::newRow("every file at once") << 64 << 8;
    QTest::newRow("three at a time") << 3 << 8;
    QTest::newRow("one after another") << 1 << 4;
}

void tst_SideBySide::requestsOverlapUpToTheLimit()
{
    QFETCH(int, limit);
    QFETCH(int, files);

    Release release;
    QStringList paths;
    QList<QByteArray> bodies;
    for (int i = 0; i < files; ++i) {
        paths.append(QStringLiteral("/d%1/f%2.bin").arg(i % 2).arg(i));
        bodies.append(pattern(4000 + i, i));
        offerChecked(release, paths.last(), bodies.last());
        // A quarter of each file at once; the rest when the test lets it go.
        release.server.holdAfter(paths.last(), 1000);
    }
    release.writeConfigs();

    LogCapture log;
    WorkerRun run;
    run.worker->setMaxTransfers(limit);
    run.start();
    // Step 1: as many answers under way at once as the limit allows, before any has ended.
    const int first = qMin(limit, files);
    QVERIFY2(QTest::qWaitFor([&] { return heldCount(release.server, paths) == first; }, 60000),
             qPrintable(QString::number(heldCount(release.server, paths))));
    QCOMPARE(release.server.maxConcurrentRequests(), first);
    // Step 2: let every held answer finish, and the next ones come, until the run ends.
    while (run.finishedCount == 0) {
        for (const QString& path : std::as_const(paths)) {
            if (release.server.isHolding(path))
                release.server.release(path);
        }
        QVERIFY(QTest::qWaitFor(
            [&] { return run.finishedCount > 0 || heldCount(release.server, paths) > 0; }, 60000));
    }
    QVERIFY(run.waitFinished());
    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(release.server.maxConcurrentRequests(), first);
    for (int i = 0; i < files; ++i)
        QCOMPARE(release.inst.read(paths.at(i).mid(1)), bodies.at(i));

    // What the window shows only grows, never passes the total, and ends at every file done.
    const QList<UpdateProgress>& records = run.records;
    int shown = 0;
    for (const UpdateProgress& record : records) {
        // The records of the check phase come before the list is known.
        if (record.total != files * 100) {
            QCOMPARE(shown, 0);
            continue;
        }
        QVERIFY(record.finished % 100 == 0);
        QVERIFY(record.current >= 0 && record.current <= first * 100);
        QVERIFY(record.finished + record.current <= record.total);
        QVERIFY2(record.finished + record.current >= shown,
                 qPrintable(QStringLiteral("%1 + %2 after %3")
                                .arg(record.finished)
                                .arg(record.current)
                                .arg(shown)));
        shown = record.finished + record.current;
    }
    QCOMPARE(shown, files * 100);

    // Each file's lines name it, and come in its own order: the request, then its writes,
    // summing to the whole file.
    const QStringList lines = log.lines();
    for (int i = 0; i < files; ++i) {
        const QString local = release.inst.path("update" + paths.at(i));
        const QString requestLine = QStringLiteral("download: \"%1%2\" \"%3\"")
                                        .arg(release.server.baseUrl(), paths.at(i), local);
        const QString writeLine = QStringLiteral("write to file \"%1\" ").arg(local);
        const int requested = int(lines.indexOf(requestLine));
        QVERIFY2(requested >= 0, qPrintable(requestLine));
        qint64 written = 0;
        for (int at = 0; at < lines.size(); ++at) {
            if (!lines.at(at).startsWith(writeLine))
                continue;
            QVERIFY2(at > requested, qPrintable(lines.at(at)));
            written += lines.at(at).mid(writeLine.size()).toLongLong();
        }
        QCOMPARE(written, qint64(bodies.at(i).size()));
    }
}

void tst_SideBySide::firstFailureEndsRunAndKeepsTheOthersBytes()
{
    Release release;
    const QStringList paths = {"/a.bin", "/b.bin", "/c.bin", "/d.bin"};
    const qint64 size = 200000;
    const qint64 held = 50000;
    QList<QByteArray> bodies;
    for (int i = 0; i < paths.size(); ++i) {
        bodies.append(pattern(size, 10 + i));
        offerChecked(release, paths.at(i), bodies.last());
        release.server.holdAfter(paths.at(i), held);
    }
    release.writeConfigs();
    release.server.setValidators(true);
    const QString failing = QStringLiteral("/b.bin");

    {
        WorkerRun run;
        run.start();
        // Step 1: every file under way, its first bytes on disk.
        const auto onDisk = [&] {
            for (const QString& path : paths) {
                if (!release.server.isHolding(path) ||
                    QFileInfo(release.inst.path("update" + path + ".partial")).size() != held)
                    return false;
            }
            return true;
        };
        QVERIFY(QTest::qWaitFor(onDisk, 60000));
        // Step 2: one connection breaks while the others are still held.
        release.server.dropHeld(failing);
        QVERIFY(run.waitFinished());
        QCOMPARE(run.finishedCount, 1);
        QCOMPARE(run.ok, false);
        QVERIFY2(run.msg.startsWith(QStringLiteral("网络出现错误:")), qPrintable(run.msg));
        QCOMPARE(run.records.last().finished, 0);
    }
    // Every file's bytes stay as its partial file, with the note the next run continues from;
    // nothing is under a file's own name, nothing is installed.
    for (int i = 0; i < paths.size(); ++i) {
        const QString partial = "update" + paths.at(i) + ".partial";
        QCOMPARE(release.inst.read(partial), bodies.at(i).left(held));
        QVERIFY(release.inst.exists(partial + ".info"));
        QVERIFY(!release.inst.exists("update" + paths.at(i)));
        QVERIFY(!release.inst.exists(paths.at(i).mid(1)));
    }
    QCOMPARE(release.inst.read("config/UpdateCfg.xml"), release.installedConfig);

    // The next run continues each file from where it stopped and installs the release.
    release.server.clearRules();
    const int before = int(release.server.requestedPaths().size());
    const qint64 sentBefore = release.server.bodyBytesSent();
    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());
    QVERIFY2(run.ok, qPrintable(run.msg));
    QStringList second = release.server.requestedPaths().mid(before);
    second.sort();
    QCOMPARE(second, paths);
    for (const QString& range : release.server.requestedRanges().mid(before))
        QCOMPARE(range, QStringLiteral("bytes=%1-").arg(held));
    QCOMPARE(release.server.bodyBytesSent() - sentBefore, paths.size() * (size - held));
    for (int i = 0; i < paths.size(); ++i)
        QCOMPARE(release.inst.read(paths.at(i).mid(1)), bodies.at(i));
}

QTEST_MAIN(tst_SideBySide)
#include "tst_sidebyside.moc"
