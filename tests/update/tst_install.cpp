// The local installation at the end of a run: files in place, previous copies in backup/, the
// configuration replaced, update/ removed; and on any failure the installation as it was.

#include "updateharness.h"

#include "logcapture.h"
#include "recordingpresenter.h"
#include "testhttpserver.h"
#include "update/fileops.h"

class tst_Install : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void fullRun();
    void newFilesGetTheirMode();
    void failedInstallationIsUndone_data();
    void failedInstallationIsUndone();
    void removeDirRemovesLinksNotTargets();

private:
    RecordingPresenter presenter;
};

namespace {

const QFileDevice::Permissions mode755 = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                         QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                         QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                         QFileDevice::ExeOther;
const QFileDevice::Permissions mode600 = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// QFile reports the owner's bits twice (as owner and as user); compare the POSIX bits only.
QFileDevice::Permissions posixBits(const QString& path)
{
    return QFile::permissions(path) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser |
                                        QFileDevice::ExeUser);
}

} // namespace

void tst_Install::initTestCase()
{
    // The loopback test server must be reached directly even where a proxy is configured.
    qunsetenv("http_proxy");
    qunsetenv("HTTP_PROXY");
    qunsetenv("all_proxy");
    qunsetenv("ALL_PROXY");
}

void tst_Install::fullRun()
{
    Release release;
    Installation& inst = release.inst;
    inst.write("app.bin", "old app");
    inst.write("lib/core.dll", "old core");
    inst.write("keep.txt", "keep");
    inst.write("gone.txt", "only installed");
    inst.write("backup/lib/core.dll", "ancient core");
    inst.write("backup/data/deep/new.dat", "ancient new");
#ifndef Q_OS_WIN
    QVERIFY(QFile::setPermissions(inst.path("app.bin"), mode755));
    QVERIFY(QFile::setPermissions(inst.path("lib/core.dll"), mode600));
#endif

    release.offer("/app.bin", "new app");
    release.offer("/lib/core.dll", QByteArray(200000, 'C'));
    release.offer("/data/deep/new.dat", "brand new");
    release.files.append(qMakePair(QStringLiteral("/keep.txt"), QStringLiteral("K0")));
    release.writeConfigs({{"/app.bin", "A0"}, {"/lib/core.dll", "C0"}, {"/keep.txt", "K0"},
                          {"/gone.txt", "G0"}});

    // Leftovers in update/: hidden, unlisted, and links to things outside that must survive.
    inst.write("update/.hidden", "h");
    inst.write("update/stray/file.txt", "s");
    QTemporaryDir outside;
    const QString outsideFile = outside.path() + "/precious.txt";
    const QString outsideDir = outside.path() + "/dir";
    QDir().mkpath(outsideDir);
    QFile(outsideDir + "/inner.txt").open(QIODevice::WriteOnly);
    QFile precious(outsideFile);
    QVERIFY(precious.open(QIODevice::WriteOnly));
    precious.write("precious");
    precious.close();
    QVERIFY(QFile::link(outsideFile, inst.path("update/link-to-file")));
    QVERIFY(QFile::link(outsideDir, inst.path("update/stray/link-to-dir")));

    LogCapture log;
    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());
    QCOMPARE(run.finishedCount, 1);
    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(run.msg, QStringLiteral("success"));
    QCOMPARE(run.mainExe(), QStringLiteral("app.bin"));
    QCOMPARE(release.server.requestedPaths(),
             QStringList({"/app.bin", "/data/deep/new.dat", "/lib/core.dll"}));

    // The installation.
    QCOMPARE(inst.read("app.bin"), QByteArray("new app"));
    QCOMPARE(inst.read("lib/core.dll"), QByteArray(200000, 'C'));
    QCOMPARE(inst.read("data/deep/new.dat"), QByteArray("brand new"));
    QCOMPARE(inst.read("keep.txt"), QByteArray("keep"));
    QCOMPARE(inst.read("gone.txt"), QByteArray("only installed"));
#ifndef Q_OS_WIN
    QCOMPARE(posixBits(inst.path("app.bin")), mode755);
    QCOMPARE(posixBits(inst.path("lib/core.dll")), mode600);
#endif
    // backup/: the previous copies, an older one replaced, none for a new file.
    QCOMPARE(inst.read("backup/app.bin"), QByteArray("old app"));
    QCOMPARE(inst.read("backup/lib/core.dll"), QByteArray("old core"));
    QVERIFY(!inst.exists("backup/data/deep/new.dat"));
    QVERIFY(!inst.exists("backup/keep.txt"));
    // The new configuration, update/ gone, nothing outside touched.
    QCOMPARE(inst.read("config/UpdateCfg.xml"), release.offeredConfig);
    QVERIFY(!inst.exists("update"));
    QCOMPARE(inst.read(outsideFile), QByteArray("<missing>")); // relative to the installation
    QFile check(outsideFile);
    QVERIFY(check.open(QIODevice::ReadOnly));
    QCOMPARE(check.readAll(), QByteArray("precious"));
    QVERIFY(QFileInfo::exists(outsideDir + "/inner.txt"));

    // The log tells the story.
    const QString cur = inst.root;
    QCOMPARE(log.linesStartingWith("current path:"),
             QStringList{QStringLiteral("current path: \"%1\"").arg(cur)});
    QCOMPARE(log.linesStartingWith("download:").first(),
             QStringLiteral("download: \"%1/app.bin\" \"%2/update/app.bin\"")
                 .arg(release.server.baseUrl(), cur));
    QCOMPARE(log.linesStartingWith("download:").size(), 3);
    QVERIFY(!log.linesStartingWith("write to file \"" + cur + "/update/lib/core.dll\"").isEmpty());
    QVERIFY(!log.linesStartingWith("Update::slot_readyRead").isEmpty());
    QVERIFY(!log.linesStartingWith("Update::slot_downloadProgress").isEmpty());
    QCOMPARE(log.linesStartingWith("Update::backup"), QStringList{"Update::backup"});
    QCOMPARE(log.linesStartingWith("Update::copyUpdateFiles"),
             QStringList{"Update::copyUpdateFiles 3"});
    const QStringList copies = log.linesStartingWith("CopyFileW");
    QVERIFY(copies.contains(QStringLiteral("CopyFileW \"%1/app.bin\" to \"%1/backup/app.bin\" success")
                                .arg(cur)));
    QVERIFY(copies.contains(QStringLiteral("CopyFileW \"%1/update/app.bin\" to \"%1/app.bin\" success")
                                .arg(cur)));
    QVERIFY(copies.contains(
        QStringLiteral("CopyFileW \"%1/update/UpdateCfg.xml\" to \"%1/config/UpdateCfg.xml\" success")
            .arg(cur)));
    // The file new in this release has no installed copy: its backup attempt logs an error code.
    const QString failedBackup =
        QStringLiteral("CopyFileW \"%1/data/deep/new.dat\" to \"%1/backup/data/deep/new.dat\" ")
            .arg(cur);
    const QStringList failed = log.linesStartingWith(failedBackup);
    QCOMPARE(failed.size(), 1);
    bool numeric = false;
    QVERIFY(failed.first().mid(failedBackup.size()).toInt(&numeric) > 0 && numeric);
}

void tst_Install::newFilesGetTheirMode()
{
#ifdef Q_OS_WIN
    QSKIP("POSIX permission bits");
#endif
    Release release;
    release.offer("/bin/tool", "#!/bin/sh\n");
    release.offer("/readme.txt", "read me");
    release.writeConfigs({}, "bin/tool");

    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());
    QVERIFY2(run.ok, qPrintable(run.msg));

    // What any freshly created file gets here.
    const QString probe = release.inst.path("probe");
    QFile probeFile(probe);
    QVERIFY(probeFile.open(QIODevice::WriteOnly));
    probeFile.close();
    const QFileDevice::Permissions fresh = posixBits(probe);

    QCOMPARE(posixBits(release.inst.path("readme.txt")), fresh);
    QVERIFY(!(posixBits(release.inst.path("readme.txt")) & QFileDevice::ExeOwner));
    QCOMPARE(posixBits(release.inst.path("bin/tool")),
             fresh | QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther);
}

void tst_Install::failedInstallationIsUndone_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<bool>("extraFile");
    QTest::addColumn<QString>("message");
    QTest::newRow("installed copy cannot go to backup/")
        << "backup/b.dll/x" << false << QStringLiteral("备份文件失败:/b.dll");
    QTest::newRow("directory where a downloaded file goes")
        << "c.dll/x" << false << QStringLiteral("安装文件失败:/c.dll");
    QTest::newRow("file where a new file's directory goes")
        << "sub" << true << QStringLiteral("安装文件失败:/sub/d.dll");
}

void tst_Install::failedInstallationIsUndone()
{
    QFETCH(QString, obstacle);
    QFETCH(bool, extraFile);
    QFETCH(QString, message);

    Release release;
    Installation& inst = release.inst;
    inst.write("a.dll", "old a");
    inst.write("b.dll", "old b");
    inst.write("c.dll", "old c");
    inst.write("backup/a.dll", "older a");
#ifndef Q_OS_WIN
    QVERIFY(QFile::setPermissions(inst.path("a.dll"), mode755));
    QVERIFY(QFile::setPermissions(inst.path("b.dll"), mode600));
#endif
    if (obstacle.startsWith("c.dll/"))
        QVERIFY(QFile::remove(inst.path("c.dll")));
    inst.write(obstacle, "in the way");

    release.offer("/a.dll", "new a");
    release.offer("/b.dll", "new b");
    release.offer("/c.dll", "new c");
    release.offer("/n/new.dll", "new n");
    if (extraFile)
        release.offer("/sub/d.dll", "new d");
    release.writeConfigs({{"/a.dll", "A0"}, {"/b.dll", "B0"}, {"/c.dll", "C0"}});
    const auto before = inst.snapshot();

    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());

    QCOMPARE(run.finishedCount, 1);
    QCOMPARE(run.ok, false);
    QCOMPARE(run.msg, message);
    // Every file was downloaded: the failure is the installation's.
    QCOMPARE(run.records.last().finished, run.records.last().total);
    // Byte for byte (and mode for mode) as before, the configuration included; update/ gone.
    QCOMPARE(inst.snapshot(), before);
    QVERIFY(!inst.exists("update"));
}

void tst_Install::removeDirRemovesLinksNotTargets()
{
    QTemporaryDir base;
    const QString tree = base.path() + "/tree";
    const QString outside = base.path() + "/outside";
    QDir().mkpath(tree + "/sub/deeper");
    QDir().mkpath(outside + "/dir");
    for (const QString& file : {tree + "/sub/deeper/f", tree + "/.hidden", outside + "/dir/keep",
                                outside + "/file"}) {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("x");
    }
    QVERIFY(QFile::link(outside + "/dir", tree + "/sub/linkdir"));
    QVERIFY(QFile::link(outside + "/file", tree + "/linkfile"));
    QVERIFY(QFile::link(base.path() + "/nothing", tree + "/dangling"));

    QVERIFY(removeDir(tree));
    QVERIFY(!QFileInfo::exists(tree));
    QVERIFY(QFileInfo::exists(outside + "/dir/keep"));
    QVERIFY(QFileInfo::exists(outside + "/file"));
    // A missing directory counts as removed; a link given as the tree itself goes as a link.
    QVERIFY(removeDir(tree));
    QVERIFY(QFile::link(outside + "/dir", base.path() + "/linkroot"));
    QVERIFY(removeDir(base.path() + "/linkroot"));
    QVERIFY(!QFileInfo(base.path() + "/linkroot").isSymLink());
    QVERIFY(QFileInfo::exists(outside + "/dir/keep"));
}

QTEST_MAIN(tst_Install)
#include "tst_install.moc"
