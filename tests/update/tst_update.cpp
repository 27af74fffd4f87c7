// The worker's interface, its check phase, and the progress records it reports.

#include "updateharness.h"

#include "logcapture.h"
#include "recordingpresenter.h"
#include "testhttpserver.h"

#include <QMetaMethod>
#include <QSignalSpy>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

class tst_Update : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void signalsAndSlotsAsTheControllerSeesThem();
    void defaultRecord();
    void checkPhaseEndsEarly_data();
    void checkPhaseEndsEarly();
    void progressRecordsForThreeFiles();
    void speedText_data();
    void speedText();
    void speedNeedsTwoSamples();
    void currentPercentage_data();
    void currentPercentage();
    void noFileLeftEndsRun();

private:
    RecordingPresenter presenter;
};

void tst_Update::initTestCase()
{
    // The loopback test server must be reached directly even where a proxy is configured.
    qunsetenv("http_proxy");
    qunsetenv("HTTP_PROXY");
    qunsetenv("all_proxy");
    qunsetenv("ALL_PROXY");
}

void tst_Update::signalsAndSlotsAsTheControllerSeesThem()
{
    // Queued connections and the controller resolve these by signature: names, order and
    // parameter names are part of the interface.
    const QMetaObject& mo = Update::staticMetaObject;
    QCOMPARE(QByteArray(mo.className()), QByteArray("Update"));
    QList<QPair<QByteArray, QByteArray>> expected = {
        {"sig_progress(UpdateProgress)", "progress"},
        {"sig_finished(bool,QString)", "ok,msg"},
        {"sig_allFileDownloaded()", ""},
        {"slot_work()", ""},
        {"slot_downloadProgress(qint64,qint64)", "recieved,total"},
        {"slot_downloadFinished(QNetworkReply*)", "reply"},
        {"slot_readyRead()", ""},
        {"slot_updateLocal()", ""},
        {"slot_timeout()", ""},
    };
    QCOMPARE(mo.methodCount() - mo.methodOffset(), int(expected.size()));
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = mo.method(mo.methodOffset() + i);
        // moc records qint64 under its underlying name.
        QCOMPARE(method.methodSignature(),
                 QByteArray(expected.at(i).first).replace("qint64", "qlonglong"));
        QCOMPARE(method.parameterNames().join(','), expected.at(i).second);
    }
    // Constructing a worker registers the record for queued connections.
    Update update;
    QVERIFY(QMetaType::fromName("UpdateProgress").isValid());
}

void tst_Update::defaultRecord()
{
    const UpdateProgress progress;
    QCOMPARE(progress.tip, QStringLiteral("Downloading..."));
    QCOMPARE(progress.finished, 0);
    QCOMPARE(progress.total, 100);
    QVERIFY(progress.speed.isEmpty());
    QCOMPARE(progress.current, 0);
    Update update;
    QCOMPARE(update.mainExe(), QString());
}

void tst_Update::checkPhaseEndsEarly_data()
{
    QTest::addColumn<QByteArray>("installed");
    QTest::addColumn<QByteArray>("offered");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("mainExe");
    // What stands in place of a configuration instead of the file ("update fifo", "config
    // folder", "update too large"), and the log line the run must write ("" for none beyond the
    // usual).
    QTest::addColumn<QString>("planted");
    QTest::addColumn<QString>("logged");

    const FileEntries files = {{"/a.dll", "A1"}, {"/b.dll", "B1"}};
    const QByteArray installed = configXml("1.0.0", "old.exe", "http://127.0.0.1:9", files);
    const QString empty = QStringLiteral("读取更新配置文件为空");
    const QString nothing = QStringLiteral("没有检查到更新文件");

    QTest::newRow("offered configuration missing")
        << installed << QByteArray() << empty << "old.exe"
        << ""
        << "";
    QTest::newRow("offered configuration without files, no main")
        << installed << configXml("2.0.0", "", "http://127.0.0.1:9", {}) << empty << "old.exe"
        << ""
        << "";
    QTest::newRow("offered configuration without files, own main")
        << installed << configXml("2.0.0", "new.exe", "http://127.0.0.1:9", {}) << empty
        << "new.exe"
        << ""
        << "";
    QTest::newRow("same version, other md5")
        << installed << configXml("1.0.0", "new.exe", "http://127.0.0.1:9", {{"/a.dll", "A2"}})
        << nothing << "new.exe"
        << ""
        << "";
    QTest::newRow("older version")
        << installed << configXml("0.9", "new.exe", "http://127.0.0.1:9", {{"/a.dll", "A2"}})
        << nothing << "new.exe"
        << ""
        << "";
    QTest::newRow("newer version, every md5 equal")
        << installed << configXml("1.1.0", "", "http://127.0.0.1:9", files) << nothing << ""
        << ""
        << "";
    QTest::newRow("installed configuration missing")
        << QByteArray() << configXml("1.1.0", "new.exe", "http://127.0.0.1:9", {{"/a.dll", "A2"}})
        << nothing << "new.exe"
        << ""
        << "";

    // Read once, through the file layer: no fifo holds the run, nothing past the bound is read,
    // and a document with an error is no release at all, not the part before the error.
    const QByteArray offered =
        configXml("1.1.0", "new.exe", "http://127.0.0.1:9", {{"/a.dll", "A2"}});
    const QString failed = QStringLiteral("read new config failed:");
    QTest::newRow("offered configuration a fifo") << installed << QByteArray() << empty << "old.exe"
                                                  << "update fifo" << failed;
    QTest::newRow("offered configuration a folder")
        << installed << QByteArray() << empty << "old.exe"
        << "update folder" << failed;
    QTest::newRow("offered configuration past the bound")
        << installed << QByteArray() << empty << "old.exe"
        << "update too large" << failed;
    QByteArray broken =
        configXml("2.0.0", "new.exe", "http://127.0.0.1:9",
                  {{"/a.dll", "A2"}, {"/b.dll", "B2"}, {"/c.dll", "C2"}, {"/d.dll", "D2"}});
    broken.replace("path=\"/c.dll\"", "path=\"/c&#0;.dll\"");
    QTest::newRow("offered configuration broken after two files")
        << installed << broken << empty << "old.exe"
        << "" << failed;
    const QString installedFailed = QStringLiteral("read installed config failed:");
    QTest::newRow("installed configuration a fifo")
        << QByteArray() << offered << nothing << "new.exe"
        << "config fifo" << installedFailed;
    QTest::newRow("installed configuration past the bound")
        << QByteArray() << offered << nothing << "new.exe"
        << "config too large" << installedFailed;
}

void tst_Update::checkPhaseEndsEarly()
{
    QFETCH(QByteArray, installed);
    QFETCH(QByteArray, offered);
    QFETCH(QString, message);
    QFETCH(QString, mainExe);

    QFETCH(QString, planted);
    QFETCH(QString, logged);

    Installation inst;
    inst.write("a.dll", "installed a");
    if (!installed.isNull())
        inst.write("config/UpdateCfg.xml", installed);
    if (!offered.isNull())
        inst.write("update/UpdateCfg.xml", offered);
    const QString plantedPath = inst.path(planted.section(' ', 0, 0) + "/UpdateCfg.xml");
    if (!planted.isEmpty())
        QVERIFY(QDir().mkpath(QFileInfo(plantedPath).path()));
    if (planted.endsWith(" fifo")) {
#ifdef Q_OS_WIN
        QSKIP("Windows has no fifos in its file system");
#else
        QCOMPARE(::mkfifo(QFile::encodeName(plantedPath).constData(), 0644), 0);
#endif
    }
    if (planted.endsWith(" folder"))
        QVERIFY(QDir().mkpath(plantedPath));
    if (planted.endsWith(" too large")) {
        // A sparse file one byte past the bound.
        QFile big(plantedPath);
        QVERIFY(big.open(QIODevice::WriteOnly));
        big.write("<UpdateCfg>");
        QVERIFY(big.resize(Update::maxConfigBytes + 1));
    }
    const auto before = inst.snapshot({});

    LogCapture log;
    const int boxes = int(presenter.texts().size());
    WorkerRun run;
    run.start();
    const bool finished = run.waitFinished(30000);
    if (!finished && planted.endsWith(" fifo")) {
        // Let a reader blocked on the fifo go, so that the worker thread can end.
        QFile writer(plantedPath);
        writer.open(QIODevice::WriteOnly);
    }
    QVERIFY2(finished, "the run hangs");

    QCOMPARE(run.finishedCount, 1);
    QCOMPARE(run.ok, false);
    QCOMPARE(run.msg, message);
    QCOMPARE(run.mainExe(), mainExe);
    // Only the first check record went out; nothing on disk changed.
    QCOMPARE(run.records.size(), 1);
    QCOMPARE(run.records.first().tip, QStringLiteral("检查更新文件"));
    QCOMPARE(inst.snapshot({}), before);
    QVERIFY(!log.linesStartingWith("current path:").isEmpty());
    const QStringList emptyLines = log.linesStartingWith("read new config is empty:");
    if (message == QStringLiteral("读取更新配置文件为空") && logged.isEmpty()) {
        QCOMPARE(emptyLines.size(), 1);
        QCOMPARE(emptyLines.first(),
                 QStringLiteral("read new config is empty: \"%1\" \"%2\"")
                     .arg(inst.path("update/UpdateCfg.xml"), inst.path("config/UpdateCfg.xml")));
    } else {
        QVERIFY(emptyLines.isEmpty());
    }
    QVERIFY(log.linesStartingWith("download:").isEmpty());
    if (!logged.isEmpty())
        QCOMPARE(log.linesStartingWith(logged).size(), 1);
    // Only a document with an error shows the reader's box.
    const bool malformed = planted.isEmpty() && logged == QStringLiteral("read new config failed:");
    QCOMPARE(presenter.texts().size() - boxes, malformed ? 1 : 0);
}

void tst_Update::progressRecordsForThreeFiles()
{
    Installation inst;
    QTemporaryDir served;
    TestHttpServer server(served.path());
    QVERIFY(server.listen());

    // Map order is by UTF-16 code unit: /B.bin before /a.bin.
    const QStringList paths = {"/B.bin", "/a.bin", "/sub/c.bin"};
    FileEntries offered;
    for (const QString& path : paths) {
        const QByteArray body(40000, char('a' + offered.size()));
        const QString file = served.path() + path;
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(body);
        offered.append({path, md5Of(body)});
        // 40 % of each file comes at once; the rest only when the test has seen that part.
        server.holdAfter(path, 16000);
    }
    inst.write("config/UpdateCfg.xml", configXml("1.0", "app", server.baseUrl(), {}));
    inst.write("update/UpdateCfg.xml", configXml("1.1", "app", server.baseUrl(), offered));

    LogCapture log;
    WorkerRun run;
    // One file after another, so that each record can be matched to its file.
    run.worker->setMaxTransfers(1);
    run.start();
    for (int i = 0; i < paths.size(); ++i) {
        const QString& path = paths.at(i);
        // Step 1: the worker has taken and written all the bytes sent so far.
        const QString writeLine =
            QStringLiteral("write to file \"%1\" ").arg(inst.path("update" + path));
        const auto written = [&] {
            qint64 sum = 0;
            for (const QString& line : log.linesStartingWith(writeLine))
                sum += line.mid(writeLine.size()).toLongLong();
            return sum;
        };
        QVERIFY2(QTest::qWaitFor([&] { return written() == 16000; }, 120000), qPrintable(path));
        // Step 2: Qt reports download progress at most every 100 ms, so the next piece must come
        // later than that after the worker has handled this one to be reported. Round trip to
        // the worker first, so that its handling of the data is over. Only a lower bound: a slower
        // machine waits longer.
        QMetaObject::invokeMethod(
            run.worker, [] {}, Qt::BlockingQueuedConnection);
        QElapsedTimer sincePart;
        sincePart.start();
        QVERIFY(QTest::qWaitFor([&] { return sincePart.hasExpired(150); }, 60000));
        server.sendMore(path, 4000);
        // Step 3: a record shows the file part-way, after the files before it were counted.
        const bool sawPart = QTest::qWaitFor(
            [&] {
                for (const UpdateProgress& record : std::as_const(run.records))
                    if (record.finished == 100 * i && record.current > 40 && record.current < 100)
                        return true;
                return false;
            },
            120000);
        QVERIFY2(sawPart, qPrintable(path));
        QVERIFY(server.isHolding(path));
        server.release(path);
    }
    QVERIFY(run.waitFinished(120000));
    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(server.requestedPaths(), paths);
    QCOMPARE(server.maxConcurrentRequests(), 1);

    const QList<UpdateProgress>& r = run.records;
    QVERIFY(r.size() > 8);
    QCOMPARE(r.at(0).tip, QStringLiteral("检查更新文件"));
    QCOMPARE(r.at(1).tip, QStringLiteral("正在安装文件"));
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(r.at(i).finished, 0);
        QCOMPARE(r.at(i).total, 100);
        QCOMPARE(r.at(i).current, 0);
    }

    // What the window shows, finished + current, never runs ahead of the files really done:
    // each completion moves 100 from current into finished, so the sum never falls either.
    QList<int> completions;
    for (int i = 2; i < r.size(); ++i) {
        const UpdateProgress& now = r.at(i);
        const UpdateProgress& before = r.at(i - 1);
        QCOMPARE(now.tip, QStringLiteral("正在安装文件"));
        QCOMPARE(now.total, 300);
        QVERIFY(now.current >= 0 && now.current <= 100);
        QVERIFY(now.finished % 100 == 0);
        QVERIFY2(now.finished + now.current >= before.finished + before.current,
                 qPrintable(QStringLiteral("record %1").arg(i)));
        if (now.finished != before.finished) {
            QCOMPARE(now.finished, before.finished + 100);
            QCOMPARE(now.current, 0);
            completions.append(i);
        }
    }
    QCOMPARE(completions.size(), 3);
    QCOMPARE(r.last().finished, 300);
    QCOMPARE(r.last().total, 300);
    QCOMPARE(r.last().current, 0);
}

void tst_Update::speedText_data()
{
    QTest::addColumn<qint64>("bytesInOneSecond");
    QTest::addColumn<QString>("speed");
    QTest::newRow("nothing new") << qint64(0) << "0KB/S";
    QTest::newRow("1023 KB") << qint64(1048575) << "1023KB/S";
    QTest::newRow("1024 KB still in KB") << qint64(1049599) << "1024KB/S";
    QTest::newRow("1025 KB shown as MB") << qint64(1049600) << "1MB/S";
    QTest::newRow("2 MB") << qint64(2150629) << "2MB/S";
}

void tst_Update::speedText()
{
    QFETCH(qint64, bytesInOneSecond);
    QFETCH(QString, speed);

    Update update;
    QSignalSpy spy(&update, &Update::sig_progress);
    const qint64 size = 100 * 1024 * 1024;
    update.slot_downloadProgress(1000, size);
    update.slot_timeout();
    update.slot_downloadProgress(1000 + bytesInOneSecond, size);
    update.slot_timeout();
    QCOMPARE(spy.last().first().value<UpdateProgress>().speed, speed);
}

void tst_Update::speedNeedsTwoSamples()
{
    Update update;
    QSignalSpy spy(&update, &Update::sig_progress);
    auto lastSpeed = [&] { return spy.last().first().value<UpdateProgress>().speed; };

    // Every tick emits, but before any data and at the first sample there is no rate yet.
    update.slot_timeout();
    QCOMPARE(spy.size(), 1);
    QVERIFY(lastSpeed().isEmpty());
    update.slot_downloadProgress(5000, 1 << 30);
    update.slot_timeout();
    QVERIFY(lastSpeed().isEmpty());
    update.slot_downloadProgress(5000 + 300 * 1024, 1 << 30);
    update.slot_timeout();
    QCOMPARE(lastSpeed(), QStringLiteral("300KB/S"));
    update.slot_timeout();
    QCOMPARE(lastSpeed(), QStringLiteral("0KB/S"));
}

void tst_Update::currentPercentage_data()
{
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("current");
    QTest::newRow("a quarter") << qint64(50) << qint64(200) << 25;
    QTest::newRow("truncated, not rounded") << qint64(2) << qint64(3) << 66;
    QTest::newRow("complete") << qint64(3) << qint64(3) << 100;
    QTest::newRow("size unknown") << qint64(500) << qint64(-1) << 0;
    QTest::newRow("size zero") << qint64(0) << qint64(0) << 0;
    QTest::newRow("just under complete") << qint64(99999) << qint64(100000) << 99;
    QTest::newRow("more than announced") << qint64(500) << qint64(100) << 100;
    QTest::newRow("huge ratio") << (qint64(1) << 62) << qint64(1) << 100;
    QTest::newRow("beyond 2 GiB") << qint64(3) * 1024 * 1024 * 1024
                                  << qint64(4) * 1024 * 1024 * 1024 << 75;
}

void tst_Update::currentPercentage()
{
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(int, current);
    Update update;
    QSignalSpy spy(&update, &Update::sig_progress);
    update.slot_downloadProgress(received, total);
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.first().first().value<UpdateProgress>().current, current);
}

void tst_Update::noFileLeftEndsRun()
{
    Update update;
    QSignalSpy finished(&update, &Update::sig_finished);
    update.downloadNextFile();
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().at(0).toBool(), true);
    QCOMPARE(finished.first().at(1).toString(), QStringLiteral("no download file"));
}

QTEST_MAIN(tst_Update)
#include "tst_update.moc"
