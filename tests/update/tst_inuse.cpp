// Files another program holds open while the installation wants to move them: the wait, its
// bound, and a whole run that waits and then goes through, or gives up and is undone.

#include "updateharness.h"

#include "logcapture.h"
#include "platform/installfs.h"
#include "update/inusewait.h"

#include <cerrno>

class tst_InUse : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void waitGrowsAndIsBounded_data();
    void waitGrowsAndIsBounded();
    void boundIsForTheWholeRun();
    void runWaitsForAFileInUse_data();
    void runWaitsForAFileInUse();
    void closingTheWindowEndsTheWait();
};

namespace
{

// The file layer reports path in use (code) to operation for the next times asks (below 0:
// for ever), as a program that holds the file open and then lets it go.
void holdOpen(const QString& operation, const QString& path, int times, int code = EBUSY)
{
    auto left = std::make_shared<int>(times);
    InstallFs::setFaultHook([=](const QString& op, const QString& p) {
        if (op != operation || p != path || *left == 0)
            return 0;
        if (*left > 0)
            --*left;
        return code;
    });
}

QList<int> intList(std::initializer_list<int> values)
{
    return QList<int>(values);
}

} // namespace

void tst_InUse::initTestCase()
{
    qunsetenv("http_proxy");
    qunsetenv("HTTP_PROXY");
    qunsetenv("all_proxy");
    qunsetenv("ALL_PROXY");
}

void tst_InUse::waitGrowsAndIsBounded_data()
{
    QTest::addColumn<int>("times");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("limit");
    // How much longer than asked each pause takes by the clock.
    QTest::addColumn<int>("late");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QList<int>>("pauses");

    QTest::newRow("free") << 0 << EBUSY << 30000 << 0 << true << QList<int>();
    QTest::newRow("let go after three tries")
        << 3 << EBUSY << 30000 << 0 << true << intList({100, 200, 400});
    QTest::newRow("busy text file counts too")
        << 1 << ETXTBSY << 30000 << 0 << true << intList({100});
    QTest::newRow("held for good: the last pause fills the bound")
        << -1 << EBUSY << 5000 << 0 << false << intList({100, 200, 400, 800, 1600, 1900});
    QTest::newRow("pauses grow to two seconds")
        << -1 << EBUSY << 9000 << 0 << false
        << intList({100, 200, 400, 800, 1600, 2000, 2000, 1900});
    QTest::newRow("late pauses count as long as they took")
        << -1 << EBUSY << 1000 << 150 << false << intList({100, 200, 400});
    QTest::newRow("no time to wait") << 1 << EBUSY << 0 << 0 << false << QList<int>();
    QTest::newRow("another error is not waited for")
        << 1 << EACCES << 30000 << 0 << false << QList<int>();
}

void tst_InUse::waitGrowsAndIsBounded()
{
    QFETCH(int, times);
    QFETCH(int, code);
    QFETCH(int, limit);
    QFETCH(int, late);
    QFETCH(bool, ok);
    QFETCH(QList<int>, pauses);

    Installation inst;
    inst.write("lib/core.dll", "core");
    InstallFs fs(inst.root);
    FaultHookReset reset;
    holdOpen("delete check", "/lib/core.dll", times, code);

    qint64 clock = 0;
    QList<int> paused;
    QList<bool> told;
    InUseWait wait(limit);
    wait.setClock([&] { return clock; },
                  [&](int ms) {
                      paused.append(ms);
                      clock += ms + late;
                  });
    wait.setNotify([&](bool waiting) { told.append(waiting); });
    LogCapture log;
    const bool result =
        wait.attempt(fs, "/lib/core.dll", [&] { return fs.checkDeletable("/lib/core.dll"); });

    QCOMPARE(result, ok);
    QCOMPARE(paused, pauses);
    qint64 expected = 0;
    for (int ms : pauses)
        expected += ms + late;
    QCOMPARE(wait.waited(), expected);
    QVERIFY(wait.waited() <= qMax(limit, 0) + late);
    // Each pause is logged with the file, and the window told; a wait that ended is told too.
    const QString path = inst.path("lib/core.dll");
    QCOMPARE(log.linesStartingWith("install: in use: \"" + path + "\", waiting ").size(),
             pauses.size());
    QList<bool> expectedTold(pauses.size(), true);
    if (ok && !pauses.isEmpty())
        expectedTold.append(false);
    QCOMPARE(told, expectedTold);
    const bool gaveUp = !ok && code != EACCES;
    QCOMPARE(wait.stillInUse(), gaveUp ? QStringLiteral("/lib/core.dll") : QString());
    QCOMPARE(log.linesStartingWith("install: still in use: \"" + path + "\",").size(),
             gaveUp ? 1 : 0);
    if (!ok)
        QCOMPARE(fs.lastError(), code);
}

void tst_InUse::boundIsForTheWholeRun()
{
    // Two files held one after the other: the second gets what the first left of the bound, and
    // a third is given up on without a pause.
    Installation inst;
    inst.write("a.dll", "a");
    inst.write("b.dll", "b");
    inst.write("c.dll", "c");
    InstallFs fs(inst.root);
    FaultHookReset reset;
    InstallFs::setFaultHook([](const QString&, const QString& path) {
        return path == QLatin1String("/a.dll") ? 0 : EBUSY;
    });
    qint64 clock = 0;
    QList<int> paused;
    InUseWait wait(1000);
    wait.setClock([&] { return clock; },
                  [&](int ms) {
                      paused.append(ms);
                      clock += ms;
                  });
    auto check = [&](const QString& path) {
        return wait.attempt(fs, path, [&] { return fs.checkDeletable(path); });
    };
    QVERIFY(check("/a.dll"));
    QVERIFY(!check("/b.dll"));
    QCOMPARE(paused, intList({100, 200, 400, 300}));
    QVERIFY(!check("/c.dll"));
    QCOMPARE(paused.size(), 4);
    QCOMPARE(wait.waited(), qint64(1000));
    QCOMPARE(wait.stillInUse(), QStringLiteral("/c.dll"));
}

void tst_InUse::runWaitsForAFileInUse_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("held");
    QTest::addColumn<int>("times");
    QTest::addColumn<bool>("ok");

    const QString core = QStringLiteral("/lib/core.dll");
    const QString config = QStringLiteral("/config/UpdateCfg.xml");
    // Held before the installation begins: the check waits while nothing has changed.
    QTest::newRow("held at the check, then let go") << "delete check" << core << 3 << true;
    QTest::newRow("held at the check for good") << "delete check" << core << -1 << false;
    QTest::newRow("installed configuration held for good")
        << "delete check" << config << -1 << false;
    // Taken again after the check (a second instance starting): the move itself waits, after
    // the files before it have gone to backup/.
    QTest::newRow("held at the move, then let go") << "rename" << core << 2 << true;
    QTest::newRow("held at the move for good") << "rename" << core << -1 << false;
}

void tst_InUse::runWaitsForAFileInUse()
{
    QFETCH(QString, operation);
    QFETCH(QString, held);
    QFETCH(int, times);
    QFETCH(bool, ok);

    Release release;
    Installation& inst = release.inst;
    inst.write("a.dll", "old a");
    inst.write("lib/core.dll", "old core");
    inst.write("z.txt", "old z");
    inst.write("backup/lib/core.dll", "older core");
    release.offer("/a.dll", "new a");
    release.offer("/lib/core.dll", "new core");
    release.offer("/z.txt", "new z");
    release.writeConfigs({{"/a.dll", "A0"}, {"/lib/core.dll", "C0"}, {"/z.txt", "Z0"}});
    const auto before = inst.snapshot();

    FaultHookReset reset;
    holdOpen(operation, held, times);
    LogCapture log;
    WorkerRun run;
    run.worker->setInUseWaitLimit(1000);
    run.start();
    QVERIFY(run.waitFinished());
    InstallFs::setFaultHook(nullptr);

    QCOMPARE(run.finishedCount, 1);
    QCOMPARE(run.ok, ok);
    const QString shown = inst.path(held.mid(1));
    const QStringList waits = log.linesStartingWith("install: in use: \"" + shown + "\", waiting ");
    QVERIFY2(!waits.isEmpty(), qPrintable(log.lines().join('\n')));
    QCOMPARE(waits.first(), "install: in use: \"" + shown + "\", waiting 100 ms");
    bool toldWaiting = false;
    for (const UpdateProgress& p : run.records)
        toldWaiting = toldWaiting || p.tip == QStringLiteral("正在等待程序关闭");
    QVERIFY(toldWaiting);
    if (ok) {
        QCOMPARE(waits.size(), times);
        QCOMPARE(
            log.linesStartingWith("install: no longer in use: \"" + shown + "\" after ").size(), 1);
        QCOMPARE(run.records.last().tip, QStringLiteral("正在安装文件"));
        QCOMPARE(inst.read("lib/core.dll"), QByteArray("new core"));
        QCOMPARE(inst.read("a.dll"), QByteArray("new a"));
        QCOMPARE(inst.read("z.txt"), QByteArray("new z"));
        QCOMPARE(inst.read("backup/lib/core.dll"), QByteArray("old core"));
        QCOMPARE(inst.read("config/UpdateCfg.xml"), release.offeredConfig);
        QVERIFY(!inst.exists("update"));
        return;
    }
    // The bound spent: one give-up, the message names the file, and the installation is byte
    // for byte what it was (the earlier moves undone), update/ and the journal gone.
    QCOMPARE(log.linesStartingWith("install: still in use: \"" + shown + "\",").size(), 1);
    QCOMPARE(run.msg, QStringLiteral("文件正被其他程序使用:") + held);
    QCOMPARE(inst.snapshot(), before);
    QVERIFY(!inst.exists("update"));
    QVERIFY(!inst.exists("backup/.install-journal"));
    const bool movedBefore =
        !log.linesStartingWith("CopyFileW \"" + inst.path("a.dll") + "\" to ").isEmpty();
    QCOMPARE(movedBefore, operation == "rename");
}

void tst_InUse::closingTheWindowEndsTheWait()
{
    Release release;
    Installation& inst = release.inst;
    inst.write("lib/core.dll", "old core");
    release.offer("/lib/core.dll", "new core");
    release.writeConfigs({{"/lib/core.dll", "C0"}});
    const auto before = inst.snapshot();

    FaultHookReset reset;
    holdOpen("delete check", "/lib/core.dll", -1);
    LogCapture log;
    WorkerRun run;
    run.start();
    // The production bound; the window's owner asks the thread to end once the wait shows.
    QVERIFY(QTest::qWaitFor(
        [&] {
            return !run.records.isEmpty() &&
                   run.records.last().tip == QStringLiteral("正在等待程序关闭");
        },
        60000));
    run.thread.requestInterruption();
    QVERIFY(run.waitFinished());

    QCOMPARE(run.ok, false);
    QCOMPARE(run.msg, QStringLiteral("文件正被其他程序使用:/lib/core.dll"));
    const QStringList gaveUp = log.linesStartingWith("install: still in use: ");
    QCOMPARE(gaveUp.size(), 1);
    const qint64 waited = gaveUp.first()
                              .section(QStringLiteral("given up after "), 1)
                              .section(' ', 0, 0)
                              .toLongLong();
    QVERIFY2(waited < InUseWait::defaultLimitMs, qPrintable(gaveUp.first()));
    QCOMPARE(inst.snapshot(), before);
}

QTEST_MAIN(tst_InUse)
#include "tst_inuse.moc"
