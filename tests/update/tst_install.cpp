// The local installation at the end of a run: files in place, previous copies in backup/, the
// configuration replaced, update/ removed; and on any failure the installation as it was.

#include "updateharness.h"

#include "filemodes.h"
#include "logcapture.h"
#include "platform/installfs.h"
#include "recordingpresenter.h"
#include "testhttpserver.h"
#include "tmpfsmount.h"
#include "update/fileops.h"
#include "update/installjournal.h"

#include <atomic>
#include <cerrno>
#include <optional>
#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

class tst_Install : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void fullRun();
    void newFilesGetTheirMode();
    void failedInstallationIsUndone_data();
    void failedInstallationIsUndone();
    void fileAndFolderTradePlaces();
    void modesComeFromTheFileSystem();
    void staleBackupOfNewFileIsSkipped();
    void copyAcrossFileSystems();
    void failedRollbackKeepsTheOldCopies();
    void removeDirRemovesLinksNotTargets();
    void copyFileNeverLeavesAPartialTarget();
    void queuedStepsAreRecordedTogether();

private:
    RecordingPresenter presenter;
};

namespace
{

const QFileDevice::Permissions mode755 =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
    QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
const QFileDevice::Permissions mode600 = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// QFile reports the owner's bits twice (as owner and as user); compare the POSIX bits only.
QFileDevice::Permissions posixBits(const QString& path)
{
    return QFile::permissions(path) &
           ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
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
    release.writeConfigs(
        {{"/app.bin", "A0"}, {"/lib/core.dll", "C0"}, {"/keep.txt", "K0"}, {"/gone.txt", "G0"}});

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
    // Each changed file once, fetched side by side in no fixed order.
    QStringList requested = release.server.requestedPaths();
    requested.sort();
    QCOMPARE(requested, QStringList({"/app.bin", "/data/deep/new.dat", "/lib/core.dll"}));

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
    QVERIFY(copies.contains(
        QStringLiteral("CopyFileW \"%1/app.bin\" to \"%1/backup/app.bin\" success").arg(cur)));
    QVERIFY(copies.contains(
        QStringLiteral("CopyFileW \"%1/update/app.bin\" to \"%1/app.bin\" success").arg(cur)));
    QVERIFY(copies.contains(
        QStringLiteral(
            "CopyFileW \"%1/update/UpdateCfg.xml\" to \"%1/config/UpdateCfg.xml\" success")
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

namespace
{

// Whether an operation is the rename that puts the new configuration in place.
bool installsConfig(const QString& operation, const QString& path)
{
    return operation == QLatin1String("rename") &&
           path.startsWith(QLatin1String("/config/.UpdateCfg.xml.~"));
}

// Makes the move of the new configuration into place fail, as a file held open elsewhere does.
void failConfigMove()
{
    InstallFs::setFaultHook([](const QString& operation, const QString& path) {
        return installsConfig(operation, path) ? EACCES : 0;
    });
}

} // namespace

void tst_Install::failedInstallationIsUndone_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("message");
    QTest::newRow("new configuration cannot be moved in")
        << "config move" << QStringLiteral("安装文件失败:/config/UpdateCfg.xml");
    QTest::newRow("installed configuration on a full disk")
        << "config full" << QStringLiteral("安装文件失败:/config/UpdateCfg.xml");
    QTest::newRow("copy to another file system hits a full disk")
        << "copy full" << QStringLiteral("安装文件失败:/big/e.dll");
    QTest::newRow("backup slot of a replaced file busy")
        << "slot busy" << QStringLiteral("备份文件失败:/b.dll");
}

void tst_Install::failedInstallationIsUndone()
{
    QFETCH(QString, fault);
    QFETCH(QString, message);

    Release release;
    Installation& inst = release.inst;
    inst.write("a.dll", "old a");
    inst.write("b.dll", "old b");
    inst.write("c.dll", "old c");
    inst.write("r.dll", "read-only");
    inst.write("backup/a.dll", "older a");
    inst.write("gone/old.txt", "a folder the release turns into a file");
    inst.write("f", "a file the release turns into a folder");
    QVERIFY(QFile::setPermissions(inst.path("a.dll"), mode755));
    QVERIFY(QFile::setPermissions(inst.path("b.dll"), mode600));
    QVERIFY(chmodPath(inst.path("r.dll"), 0444));

    TmpfsMount mount;
    QString reason;
    const QByteArray bigNew(64 * 1024, 'E');
    if (fault == "config full") {
        if (!mount.mount(inst.path("config"), 64 * 1024, &reason))
            QSKIP(qPrintable(reason));
    } else if (fault == "copy full") {
        if (!mount.mount(inst.path("big"), 48 * 1024, &reason))
            QSKIP(qPrintable(reason));
        inst.write("big/e.dll", "old e");
    } else if (fault == "slot busy") {
        if (!mount.mount(inst.path("backup/b.dll"), 4096, &reason))
            QSKIP(qPrintable(reason));
    }

    release.offer("/a.dll", "new a");
    release.offer("/b.dll", "new b");
    release.offer("/c.dll", "new c");
    release.offer("/r.dll", "new r");
    release.offer("/n/new.dll", "new n");
    release.offer("/gone", "now a file");
    release.offer("/f/inner.txt", "now in a folder");
    if (fault == "copy full")
        release.offer("/big/e.dll", bigNew);
    release.writeConfigs({{"/a.dll", "A0"}, {"/b.dll", "B0"}, {"/c.dll", "C0"}, {"/r.dll", "R0"}});
    if (fault == "config full") {
        QVERIFY(mount.fill());
        QVERIFY(QFile::remove(inst.path("config/.filler")));
        inst.write("config/.filler", QByteArray(60 * 1024, 'x'));
        inst.write("config/UpdateCfg.xml", release.installedConfig);
        QVERIFY(mount.fill(".filler2"));
    }
    const auto before = inst.snapshot();

    FaultHookReset reset;
    if (fault == "config move")
        failConfigMove();
    LogCapture log;
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
    QVERIFY(!inst.exists("backup/.install-journal"));
    // The rollback's own moves show as such in the log.
    QVERIFY(!log.linesStartingWith("InstallJournal::rollback \"").isEmpty());
}

void tst_Install::fileAndFolderTradePlaces()
{
    // /f was a file and holds a file now; /gone held files and is a file now.
    Release release;
    Installation& inst = release.inst;
    inst.write("f", "old f");
    inst.write("gone/old.txt", "old inner");
    inst.write("gone/user.txt", "the user's");
    inst.write("backup/f", "older f");
    release.offer("/f/inner.txt", "new inner");
    release.offer("/gone", "new gone");
    release.writeConfigs({{"/f", "F0"}, {"/gone/old.txt", "G0"}});

    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());
    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(inst.read("f/inner.txt"), QByteArray("new inner"));
    QCOMPARE(inst.read("gone"), QByteArray("new gone"));
    QCOMPARE(inst.read("backup/f"), QByteArray("old f"));
    QCOMPARE(inst.read("backup/gone/old.txt"), QByteArray("old inner"));
    QCOMPARE(inst.read("backup/gone/user.txt"), QByteArray("the user's"));
    QCOMPARE(inst.read("config/UpdateCfg.xml"), release.offeredConfig);
    QVERIFY(!inst.exists("update"));
    const QStringList stash =
        QDir(inst.path("backup")).entryList(QDir::Hidden | QDir::AllEntries | QDir::NoDotAndDotDot);
    QCOMPARE(stash, QStringList({"f", "gone"}));
}

void tst_Install::modesComeFromTheFileSystem()
{
#ifdef Q_OS_WIN
    QSKIP("POSIX permission bits");
#else
    Release release;
    Installation& inst = release.inst;
    inst.write("ro.txt", "old ro");
    inst.write("x.bin", "old x");
    QVERIFY(chmodPath(inst.path("ro.txt"), 0444));
    QVERIFY(chmodPath(inst.path("x.bin"), 0500));
    QVERIFY(QFile::link(inst.path("nowhere"), inst.path("dangling.txt")));
    release.offer("/ro.txt", "new ro");
    release.offer("/x.bin", "new x");
    release.offer("/dangling.txt", "new d");
    release.writeConfigs();

    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());
    QVERIFY2(run.ok, qPrintable(run.msg));

    QCOMPARE(modeOf(inst.path("ro.txt")), 0444u);
    QCOMPARE(modeOf(inst.path("x.bin")), 0500u);
    // A link's mode is never taken: the new file has the mode any new file gets.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    QVERIFY(!QFileInfo(inst.path("dangling.txt")).isSymLink());
    QCOMPARE(modeOf(inst.path("dangling.txt")), uint(0666 & ~mask));
    QCOMPARE(inst.read("dangling.txt"), QByteArray("new d"));
    QVERIFY(QFileInfo(inst.path("backup/dangling.txt")).isSymLink());
#endif
}

void tst_Install::staleBackupOfNewFileIsSkipped()
{
    Release release;
    Installation& inst = release.inst;
    TmpfsMount busy;
    QString reason;
    if (!busy.mount(inst.path("backup/n.dat"), 4096, &reason))
        QSKIP(qPrintable(reason));
    release.offer("/n.dat", "new n");
    release.writeConfigs();

    LogCapture log;
    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());
    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(inst.read("n.dat"), QByteArray("new n"));
    QCOMPARE(log.linesStartingWith("InstallJournal::stash failed").size(), 1);
}

void tst_Install::copyAcrossFileSystems()
{
    // lib/ is a file system of its own: renames into and out of it are refused, and the file is
    // copied instead.
    Release release;
    Installation& inst = release.inst;
    TmpfsMount lib;
    QString reason;
    if (!lib.mount(inst.path("lib"), 4 * 1024 * 1024, &reason))
        QSKIP(qPrintable(reason));
    QByteArray oldCore(150000, 'o');
    QByteArray newCore(300001, 'n');
    for (int i = 0; i < newCore.size(); i += 997)
        newCore[i] = char(i * 7);
    inst.write("lib/core.dll", oldCore);
    inst.write("backup/lib/core.dll", "older core");
    QVERIFY(chmodPath(inst.path("lib/core.dll"), 0640));
    release.offer("/lib/core.dll", newCore);
    release.offer("/lib/sub/added.dll", "added");
    release.writeConfigs({{"/lib/core.dll", "C0"}});

    LogCapture log;
    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());
    QVERIFY2(run.ok, qPrintable(run.msg));
    QCOMPARE(inst.read("lib/core.dll"), newCore);
    QCOMPARE(inst.read("lib/sub/added.dll"), QByteArray("added"));
    QCOMPARE(inst.read("backup/lib/core.dll"), oldCore);
#ifndef Q_OS_WIN
    QCOMPARE(modeOf(inst.path("lib/core.dll")), 0640u);
#endif
    QCOMPARE(
        QDir(inst.path("lib")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList({"core.dll", "sub"}));
    QVERIFY(log.lines().contains(
        QStringLiteral("CopyFileW \"%1\" to \"%2\" success")
            .arg(inst.path("update/lib/core.dll"), inst.path("lib/core.dll"))));
}

void tst_Install::failedRollbackKeepsTheOldCopies()
{
    Release release;
    Installation& inst = release.inst;
    inst.write("a.dll", "old a");
    inst.write("b.dll", "old b");
    inst.write("backup/a.dll", "older a");
    release.offer("/a.dll", "new a");
    release.offer("/b.dll", "new b");
    release.writeConfigs({{"/a.dll", "A0"}, {"/b.dll", "B0"}});

    // The configuration cannot be moved in, and the new a.dll, once in place, can be neither
    // moved nor removed (held open by another program).
    FaultHookReset reset;
    std::atomic<bool> rollingBack{false};
    InstallFs::setFaultHook([&rollingBack](const QString& operation, const QString& path) {
        if (installsConfig(operation, path)) {
            rollingBack = true;
            return EACCES;
        }
        return rollingBack && path == QLatin1String("/a.dll") ? EBUSY : 0;
    });
    LogCapture log;
    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());
    InstallFs::setFaultHook(nullptr);

    QCOMPARE(run.ok, false);
    const QStringList kept =
        QDir(inst.path("backup")).entryList({".unrestored-*"}, QDir::Dirs | QDir::Hidden);
    QCOMPARE(kept.size(), 1);
    const QString keptDir = inst.path("backup/" + kept.first());
    QVERIFY2(run.msg.contains(QStringLiteral("安装可能不完整")), qPrintable(run.msg));
    QVERIFY2(run.msg.endsWith(keptDir), qPrintable(run.msg));
    // The only old copy of a.dll is kept where the next update cannot overwrite it; b.dll and
    // the older backup of a.dll are back; the configuration was never touched.
    QCOMPARE(inst.read("backup/" + kept.first() + "/a.dll"), QByteArray("old a"));
    QCOMPARE(inst.read("a.dll"), QByteArray("new a"));
    QCOMPARE(inst.read("b.dll"), QByteArray("old b"));
    QCOMPARE(inst.read("backup/a.dll"), QByteArray("older a"));
    QVERIFY(!inst.exists("backup/b.dll"));
    QCOMPARE(inst.read("config/UpdateCfg.xml"), release.installedConfig);
    QCOMPARE(log.linesStartingWith("InstallJournal::unrestored"),
             QStringList{QStringLiteral("InstallJournal::unrestored \"%1\" \"%2\"")
                             .arg(inst.path("a.dll"), keptDir + "/a.dll")});
}

void tst_Install::removeDirRemovesLinksNotTargets()
{
    QTemporaryDir base;
    const QString tree = base.path() + "/tree";
    const QString outside = base.path() + "/outside";
    QDir().mkpath(tree + "/sub/deeper");
    QDir().mkpath(outside + "/dir");
    for (const QString& file :
         {tree + "/sub/deeper/f", tree + "/.hidden", outside + "/dir/keep", outside + "/file"}) {
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

void tst_Install::copyFileNeverLeavesAPartialTarget()
{
    Installation inst;
    inst.write("src.txt", "source");
    inst.write("dst.txt", "old target");
    LogCapture log;
    // A copy replaces the target, keeps the source, and logs its line.
    QVERIFY(copyFile(inst.path("src.txt"), inst.path("deep/er/dst.txt"), false));
    QCOMPARE(inst.read("deep/er/dst.txt"), QByteArray("source"));
    QCOMPARE(inst.read("src.txt"), QByteArray("source"));
    QVERIFY(copyFile(inst.path("src.txt"), inst.path("dst.txt"), true));
    QCOMPARE(inst.read("dst.txt"), QByteArray("source"));
    QVERIFY(!inst.exists("src.txt"));
    QCOMPARE(log.linesStartingWith("CopyFileW").last(),
             QStringLiteral("CopyFileW \"%1\" to \"%2\" success")
                 .arg(inst.path("src.txt"), inst.path("dst.txt")));
    // A missing source fails with its error code and leaves the target alone.
    QVERIFY(!copyFile(inst.path("src.txt"), inst.path("dst.txt"), false));
    QCOMPARE(inst.read("dst.txt"), QByteArray("source"));
    QVERIFY(log.linesStartingWith("CopyFileW")
                .last()
                .endsWith(QStringLiteral(" %1").arg(int(QFileDevice::OpenError))));

    // On a full disk the copy fails and nothing partial is left.
    TmpfsMount full;
    QString reason;
    if (!full.mount(inst.path("full"), 16 * 1024, &reason))
        QSKIP(qPrintable(reason));
    inst.write("big.bin", QByteArray(64 * 1024, 'b'));
    QVERIFY(!copyFile(inst.path("big.bin"), inst.path("full/big.bin"), true));
    QVERIFY(inst.exists("big.bin"));
    QCOMPARE(
        QDir(inst.path("full")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList());
}

void tst_Install::queuedStepsAreRecordedTogether()
{
    Installation inst;
    inst.write("a.dll", "old a");
    inst.write("b.dll", "old b");
    inst.write("config/UpdateCfg.xml", "old config");
    inst.write("update/n/c.dll", "new c");
    inst.write("update/UpdateCfg.xml", "new config");
    const auto before = inst.snapshot({});

    InstallFs fs(inst.root);
    std::optional<InstallJournal> journal(std::in_place, fs);
    QVERIFY(journal->begin());
    const QByteArray begun = inst.read("backup/.install-journal");
    QVERIFY(journal->queueWayTo("/backup/a.dll", "a"));
    QVERIFY(journal->queueMove("/a.dll", "/backup/a.dll", "a"));
    QVERIFY(journal->queueWayTo("/backup/b.dll", "b"));
    QVERIFY(journal->queueMove("/b.dll", "/backup/b.dll", "b"));
    // Two folders to make, for a file that is not there: only its log line is queued.
    QVERIFY(journal->queueWayTo("/backup/n/deep/x.dll", QString()));
    journal->queueMissing("/n/deep/x.dll", "/backup/n/deep/x.dll");
    QVERIFY(journal->queueWayTo("/n/c.dll", "c"));
    QVERIFY(journal->queueMove("/update/n/c.dll", "/n/c.dll", "c"));
    // What a queued move takes or makes is in the way until the queue is taken, though the disk
    // does not show it yet.
    QVERIFY(!journal->queueWayTo("/backup/a.dll", "x"));
    QVERIFY(!journal->queueWayTo("/backup/b.dll/inner", "x"));
    QVERIFY(!journal->queueWayTo("/update/n/c.dll", "x"));
    // Nothing recorded, nothing changed.
    QCOMPARE(inst.read("backup/.install-journal"), begun);
    QVERIFY(inst.exists("a.dll"));
    QVERIFY(!inst.exists("n"));

    // The second move fails, as on a file another program holds. By its time the records of the
    // whole batch are on the disk, and the first move has been made.
    QByteArray atFailure;
    FaultHookReset reset;
    InstallFs::setFaultHook([&](const QString& operation, const QString& path) {
        if (operation != QLatin1String("rename") || path != QLatin1String("/b.dll"))
            return 0;
        atFailure = inst.read("backup/.install-journal");
        return EACCES;
    });
    {
        LogCapture log;
        QVERIFY(!journal->performQueued());
        QCOMPARE(journal->failure(), QStringLiteral("b"));
        QCOMPARE(log.lines(), QStringList({QStringLiteral("CopyFileW \"%1\" to \"%2\" success")
                                               .arg(inst.path("a.dll"), inst.path("backup/a.dll")),
                                           QStringLiteral("CopyFileW \"%1\" to \"%2\" %3")
                                               .arg(inst.path("b.dll"), inst.path("backup/b.dll"))
                                               .arg(int(QFileDevice::RenameError))}));
    }
    QStringList records = QString::fromLatin1(atFailure.mid(begun.size())).split('\n');
    QCOMPARE(records.takeLast(), QString());
    for (QString& record : records)
        record = record.section(' ', 0, 2);
    QCOMPARE(records, QStringList({"move /a.dll /backup/a.dll", "move /b.dll /backup/b.dll",
                                   "mkdir /backup/n", "mkdir /backup/n/deep", "mkdir /n",
                                   "move /update/n/c.dll /n/c.dll"}));
    QCOMPARE(inst.read("backup/a.dll"), QByteArray("old a"));
    QVERIFY(!inst.exists("backup/n"));
    QVERIFY(!inst.exists("n"));

    // Stopped here, as by a kill: the records of the steps never taken do no harm.
    journal.reset();
    InstallFs::setFaultHook(nullptr);
    QVERIFY(InstallJournal::recover(fs));
    QCOMPARE(inst.snapshot({}), before);
}

QTEST_MAIN(tst_Install)
#include "tst_install.moc"
