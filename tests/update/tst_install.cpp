// The local installation at the end of a run: files in place, previous copies in backup/, the
// configuration replaced, update/ removed; and on any failure the installation as it was.

#include "updateharness.h"

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
    void recoveryRollsBackOrFinishes_data();
    void recoveryRollsBackOrFinishes();
    void queuedStepsAreRecordedTogether();
    void plantedJournalsChangeNothing_data();
    void plantedJournalsChangeNothing();
    void unfinishableJournalIsTriedOnce_data();
    void beginStartsOnlyAJournalTheNextStartTakes_data();
    void beginStartsOnlyAJournalTheNextStartTakes();
    void unfinishableJournalIsTriedOnce();
    void rollbackLeavesForeignEntriesAlone_data();
    void rollbackLeavesForeignEntriesAlone();

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

// Permission bits as the file system holds them (the caller's access is no guide as root).
bool chmodPath(const QString& path, uint mode)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path);
    Q_UNUSED(mode);
    return true;
#else
    return ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
#endif
}

#ifndef Q_OS_WIN
// Permission bits are checked only where the file system keeps them.
uint modeOf(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? uint(st.st_mode & 07777)
                                                                  : 0xffffffffu;
}
#endif

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

namespace
{

// The records and the step that put the new configuration in place as the updater wrote them
// before it wrote the file itself: the file in update/ renamed over the installed one. A journal
// of that shape is no longer acted on.
void replaceConfigOldShape(InstallFs& fs)
{
    InstallFs::Entry file;
    QVERIFY(fs.entry("/update/UpdateCfg.xml", &file));
    QVERIFY(fs.appendDurably(InstallJournal::journalPath,
                             "config /update/UpdateCfg.xml /config/UpdateCfg.xml " +
                                 QByteArray::number(file.device) + ' ' +
                                 QByteArray::number(file.inode) + "\ncommit\n"));
    QVERIFY(fs.rename("/update/UpdateCfg.xml", "/config/UpdateCfg.xml", true));
}

// The names in backup/ a recovery set the journal aside under (label "rejected" or "failed").
QStringList setAside(const Installation& inst, const QString& label)
{
    return QDir(inst.path("backup"))
        .entryList({".install-journal." + label + "-*"},
                   QDir::AllEntries | QDir::Hidden | QDir::System);
}

} // namespace

void tst_Install::recoveryRollsBackOrFinishes_data()
{
    QTest::addColumn<QString>("stop");
    QTest::newRow("stopped before the new configuration was in place") << "before";
    QTest::newRow("stopped after") << "after";
    QTest::newRow("stopped after, configuration record of the shape no longer written")
        << "after, old shape";
}

void tst_Install::recoveryRollsBackOrFinishes()
{
    QFETCH(QString, stop);
    const bool committed = stop.startsWith("after");
    // An installation stopped half-way (as by a kill): the journal is left behind.
    Installation inst;
    inst.write("a.dll", "old a");
    inst.write("backup/a.dll", "older a");
    inst.write("config/UpdateCfg.xml", "old config");
    inst.write("update/a.dll", "new a");
    inst.write("update/n/new.dll", "new n");
    inst.write("update/UpdateCfg.xml", "new config");
    const auto before = inst.snapshot({});
    {
        InstallFs fs(inst.root);
        InstallJournal journal(fs);
        QVERIFY(journal.begin());
        QVERIFY(journal.setAside("/backup/a.dll"));
        QVERIFY(journal.move("/a.dll", "/backup/a.dll"));
        QVERIFY(journal.move("/update/a.dll", "/a.dll"));
        QVERIFY(journal.makePath("/n"));
        QVERIFY(journal.move("/update/n/new.dll", "/n/new.dll"));
        if (stop == "after")
            QVERIFY(journal.commit("/update/UpdateCfg.xml", "new config", "/config/UpdateCfg.xml"));
        else if (committed)
            replaceConfigOldShape(fs);
    }
    QVERIFY(inst.exists("backup/.install-journal"));

    LogCapture log;
    InstallFs fs(inst.root);
    QVERIFY(InstallJournal::recover(fs));
    const QString journal = inst.path("backup/.install-journal");
    if (stop.endsWith("old shape")) {
        QVERIFY2(
            log.lines().first().startsWith(
                QStringLiteral("InstallJournal::recover rejected \"%1\" \"line ").arg(journal)),
            qPrintable(log.lines().first()));
        QVERIFY(log.lines().first().endsWith("config from anything but its temp record's file\""));
        // Nothing done from it: update/ is still there, the stash too.
        QCOMPARE(inst.read("a.dll"), QByteArray("new a"));
        QVERIFY(inst.exists("update"));
        QCOMPARE(setAside(inst, "rejected").size(), 1);
    } else if (committed) {
        QCOMPARE(log.lines().first(),
                 QStringLiteral("InstallJournal::recover finish \"%1\"").arg(journal));
        QCOMPARE(inst.read("a.dll"), QByteArray("new a"));
        QCOMPARE(inst.read("n/new.dll"), QByteArray("new n"));
        QCOMPARE(inst.read("backup/a.dll"), QByteArray("old a"));
        QCOMPARE(inst.read("config/UpdateCfg.xml"), QByteArray("new config"));
        QVERIFY(!inst.exists("update"));
        QCOMPARE(QDir(inst.path("backup"))
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"a.dll"});
    } else {
        QCOMPARE(log.lines().first(),
                 QStringLiteral("InstallJournal::recover rollback \"%1\"").arg(journal));
        // Everything as before, update/ included: the release is offered again.
        QCOMPARE(inst.snapshot({}), before);
        QVERIFY(
            log.lines().contains(QStringLiteral("InstallJournal::rollback \"%1\" to \"%2\" success")
                                     .arg(inst.path("a.dll"), inst.path("update/a.dll"))));
        QVERIFY(log.lines().contains(
            QStringLiteral("InstallJournal::rollback removed \"%1\"").arg(inst.path("n"))));
    }
    QVERIFY(!inst.exists("backup/.install-journal"));
    // Nothing left to do the next time.
    QVERIFY(!InstallJournal::recover(fs));
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

namespace
{

#ifndef Q_OS_WIN
// Every entry below dir: content for files, "<dir>" for folders, the target for links.
QMap<QString, QByteArray> treeOf(const QString& dir)
{
    QMap<QString, QByteArray> result;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        QByteArray value;
        if (info.isSymLink()) {
            value = "<link " + info.symLinkTarget().toUtf8() + ">";
        } else if (info.isDir()) {
            value = "<dir>";
        } else {
            QFile file(info.filePath());
            value = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
        }
        result.insert(QDir(dir).relativeFilePath(info.filePath()), value);
    }
    return result;
}

// Bytes this process has read through read() and the like (Linux): whether a file was read.
qint64 bytesReadSoFar()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : io.readAll().split('\n')) {
        if (line.startsWith("rchar:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return -1;
}

bool setOwner(const QString& path, uint user)
{
    return ::lchown(QFile::encodeName(path).constData(), uid_t(user), gid_t(user)) == 0;
}
#endif

} // namespace

void tst_Install::plantedJournalsChangeNothing_data()
{
    // Records after the header line. {V} is the victim folder outside the installation, beside
    // it, as a journal reaches it ("/..%00/{V}": ".." once the NUL ends the name); {id:PATH} is
    // the device and inode of PATH (relative to the installation, {V} resolved first).
    QTest::addColumn<QString>("records");
    // How the journal or backup/ is planted: "", "journal MODE", "journal nobody",
    // "journal hardlink", "backup MODE", "backup nobody", "backup link", "fifo", "big".
    QTest::addColumn<QString>("plant");
    // The reason in the rejection line.
    QTest::addColumn<QString>("reason");

    const QString outsidePath = "line 2: not a path of the installation";
    QTest::newRow("stash outside, then commit") << "stash /..%00/{V}\ncommit\n"
                                                << "" << outsidePath;
    QTest::newRow("temp outside") << "temp /..%00/{V}/file.txt\n"
                                  << "" << outsidePath;
    QTest::newRow("temp deeper outside") << "temp /user/..%00/..%00/{V}/.file.txt.~1\n"
                                         << "" << outsidePath;
    QTest::newRow("move out of the installation")
        << "move /..%00/{V}/taken.txt /user/settings.ini {id:user/settings.ini}\n"
        << "" << outsidePath;
    QTest::newRow("move into the installation")
        << "move /brought.txt /..%00/{V}/file.txt {id:../{V}/file.txt}\n"
        << "" << outsidePath;
    QTest::newRow("path with a line feed")
        << "move /user%0A/x /user/settings.ini {id:user/settings.ini}\n"
        << "" << outsidePath;
    QTest::newRow("path with a C1 control character")
        << "move /user%C2%85/x /user/settings.ini {id:user/settings.ini}\n"
        << "" << outsidePath;
    QTest::newRow("path not encoded as the updater encodes it")
        << "move /user/settings%2Eini /backup/user/settings.ini {id:user/settings.ini}\n"
        << "" << outsidePath;
    QTest::newRow("stash of the user's folder, then commit")
        << "stash /user\ncommit\n"
        << ""
        << "line 2: stash not named as the updater names it";
    QTest::newRow("stash of everything, then commit") << "stash /\ncommit\n"
                                                      << "" << outsidePath;
    QTest::newRow("commit alone: update/ would go") << "commit\n"
                                                    << ""
                                                    << "line 2: commit without config";
    QTest::newRow("temp of a user's file") << "temp /user/settings.ini\n"
                                           << ""
                                           << "line 2: temp not named as the updater names it";
    QTest::newRow("temp of the installed configuration")
        << "temp /config/UpdateCfg.xml\n"
        << ""
        << "line 2: temp not named as the updater names it";
    QTest::newRow("temp beside the installed configuration in other letter case")
        << "temp /CONFIG/.UpdateCfg.xml.~1\n"
        << ""
        << "line 2: temp not named as the updater names it";
    QTest::newRow("installed configuration moved to update/")
        << "move /update/config/UpdateCfg.xml /config/UpdateCfg.xml {id:config/UpdateCfg.xml}\n"
        << ""
        << "line 2: move between paths that are not counterparts";
    QTest::newRow("configuration folder moved to backup/")
        << "move /config /backup/config {id:config}\n"
        << ""
        << "line 2: move between paths that are not counterparts";
    QTest::newRow("configuration from a planted file")
        << "config /user/evil.xml /config/UpdateCfg.xml {id:user/evil.xml}\ncommit\n"
        << ""
        << "line 2: config from anything but its temp record's file";
    QTest::newRow("configuration of the shape no longer written, then commit")
        << "config /update/UpdateCfg.xml /config/UpdateCfg.xml {id:update/UpdateCfg.xml}\n"
           "commit\n"
        << ""
        << "line 2: config from anything but its temp record's file";
    QTest::newRow("user's folder set aside into a stash never declared")
        << "move /user /backup/.install-stash-20240101-000000000/0 {id:user}\n"
        << ""
        << "line 2: move between paths that are not counterparts";
    QTest::newRow("stash named for another day")
        << "stash /backup/.install-stash-20241301-000000000\n"
        << ""
        << "line 2: stash not named as the updater names it";
    QTest::newRow("move with a number too many") << "move /app.bin /backup/app.bin {id:app.bin} 7\n"
                                                 << ""
                                                 << "line 2: wrong number of fields";
    QTest::newRow("move with a number written otherwise") << "move /app.bin /backup/app.bin 01 2\n"
                                                          << ""
                                                          << "line 2: not a number";
    QTest::newRow("unknown kind of record") << "chmod /app.bin 4755\n"
                                            << ""
                                            << "line 2: unknown kind of record";
    QTest::newRow("empty line") << "\n"
                                << ""
                                << "line 2: unknown kind of record";
    QTest::newRow("second header") << "updater-install-journal 1\n"
                                   << ""
                                   << "line 2: unknown kind of record";
    QTest::newRow("mkdir of backup/ later on")
        << "mkdir /n\nmkdir /backup\n"
        << ""
        << "line 3: mkdir of a folder the updater does not make";

    // A planted file moved onto the main program: through a path that is no counterpart of it
    // (refused by its shape), or through its own backup/ counterpart (the shape the updater
    // writes: refused because nobody else may write the journal and backup/).
    QTest::newRow("main program swapped for a planted file")
        << "move /app.bin /user/evil.bin {id:user/evil.bin}\n"
           "move /update/app.bin /app.bin {id:app.bin}\n"
        << ""
        << "line 2: move between paths that are not counterparts";
    const QString swap = "move /app.bin /backup/app.bin {id:backup/app.bin}\n"
                         "move /update/app.bin /app.bin {id:app.bin}\n";
    QTest::newRow("swap, journal of another user") << swap << "journal nobody"
                                                   << "owned by another user";
    QTest::newRow("swap, group-writable journal") << swap << "journal 0664"
                                                  << "writable by others";
    QTest::newRow("swap, world-writable journal") << swap << "journal 0646"
                                                  << "writable by others";
    QTest::newRow("swap, set-uid journal") << swap << "journal 04644"
                                           << "set-id";
    QTest::newRow("swap, hard-linked journal") << swap << "journal hardlink"
                                               << "more than one name";
    QTest::newRow("swap, backup/ of another user") << swap << "backup nobody"
                                                   << "backup/: owned by another user";
    QTest::newRow("swap, world-writable backup/") << swap << "backup 0777"
                                                  << "backup/: writable by others";
    QTest::newRow("swap, group-writable backup/") << swap << "backup 0775"
                                                  << "backup/: writable by others";
    QTest::newRow("swap, backup/ a link") << swap << "backup link"
                                          << "backup/ is a link";
    QTest::newRow("journal a FIFO") << ""
                                    << "fifo"
                                    << "not a regular file";
    QTest::newRow("journal of 200 MB") << swap << "big"
                                       << "longer than 67108864 bytes";
}

void tst_Install::plantedJournalsChangeNothing()
{
#ifdef Q_OS_WIN
    QSKIP("POSIX owners, modes, FIFOs and the NUL of a decoded segment");
#else
    QFETCH(QString, records);
    QFETCH(QString, plant);
    QFETCH(QString, reason);
    const QStringList words = plant.split(' ', Qt::SkipEmptyParts);
    if ((words.contains("nobody")) && ::geteuid() != 0)
        QSKIP("only root gives a file to another user");

    Installation inst;
    inst.write("app.bin", "real app");
    inst.write("config/UpdateCfg.xml", "installed config");
    inst.write("update/UpdateCfg.xml", "new release");
    inst.write("update/app.bin", "new app");
    inst.write("user/settings.ini", "user settings");
    inst.write("user/data/notes.txt", "user notes");
    inst.write("user/evil.bin", "evil app");
    inst.write("user/evil.xml", "evil config");
    inst.write("backup/app.bin", "evil app in backup");
    // The victim, outside the installation and beside it.
    QTemporaryDir victim;
    QVERIFY(victim.isValid());
    const QString victimPath = QDir(victim.path()).canonicalPath();
    QCOMPARE(QFileInfo(victimPath).path(), QFileInfo(inst.root).path());
    const QString v = QFileInfo(victimPath).fileName();
    for (const auto& [name, bytes] : {std::pair<QString, QByteArray>{"file.txt", "victim file"},
                                      {"sub/deep.txt", "victim deep"}}) {
        QDir().mkpath(QFileInfo(victimPath + "/" + name).path());
        QFile file(victimPath + "/" + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    // The records, with their placeholders filled in.
    QString text = records;
    text.replace("{V}", v);
    static const QRegularExpression id(QStringLiteral("\\{id:([^}]*)\\}"));
    for (QRegularExpressionMatch m = id.match(text); m.hasMatch(); m = id.match(text)) {
        struct stat st;
        QVERIFY2(::lstat(QFile::encodeName(inst.path(m.captured(1))).constData(), &st) == 0,
                 qPrintable(m.captured(1)));
        text.replace(m.capturedStart(), m.capturedLength(),
                     QStringLiteral("%1 %2").arg(quint64(st.st_dev)).arg(quint64(st.st_ino)));
    }
    const QByteArray journalText = "updater-install-journal 1\n" + text.toUtf8();
    const QString journal = inst.path("backup/.install-journal");
    const QByteArray backupNative = QFile::encodeName(inst.path("backup"));
    const QByteArray journalNative = QFile::encodeName(journal);
    QVERIFY(::chmod(backupNative.constData(), 0755) == 0);
    if (plant == "fifo") {
        QVERIFY(::mkfifo(journalNative.constData(), 0644) == 0);
    } else if (plant == "backup link") {
        // backup/ is a link to a folder of the user's holding the journal.
        inst.write("user/fake/.install-journal", journalText);
        inst.write("user/fake/app.bin", "evil app in backup");
        QVERIFY(QDir(inst.path("backup")).removeRecursively());
        QVERIFY(QFile::link(inst.path("user/fake"), inst.path("backup")));
    } else {
        inst.write("backup/.install-journal", journalText);
        QVERIFY(::chmod(journalNative.constData(), 0644) == 0);
        if (plant == "big") {
            // Sparse: the size is there, the blocks are not.
            QFile file(journal);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.resize(qint64(200) * 1024 * 1024));
        }
    }
    if (words.value(0) == "journal" || words.value(0) == "backup") {
        const QByteArray& target = words.value(0) == "journal" ? journalNative : backupNative;
        if (words.value(1) == "nobody")
            QVERIFY(setOwner(QFile::decodeName(target), 65534));
        else if (words.value(1) == "hardlink")
            QVERIFY(::link(target.constData(),
                           QFile::encodeName(inst.path("user/journal")).constData()) == 0);
        else if (words.value(1) != "link")
            QVERIFY(::chmod(target.constData(), mode_t(words.value(1).toUInt(nullptr, 8))) == 0);
    }

    const auto installationBefore = inst.snapshot({"backup"});
    const auto victimBefore = treeOf(victimPath);
    const QByteArray backupCopy = inst.read("backup/app.bin");

    LogCapture log;
    InstallFs fs(inst.root);
    const qint64 readBefore = bytesReadSoFar();
    QVERIFY(InstallJournal::recover(fs));
    const qint64 readDuring = bytesReadSoFar() - readBefore;

    // One line says why, nothing else is done.
    QCOMPARE(
        log.linesStartingWith("InstallJournal::recover rejected"),
        QStringList{
            QStringLiteral("InstallJournal::recover rejected \"%1\" \"%2\"").arg(journal, reason)});
    QVERIFY(log.linesStartingWith("InstallJournal::recover finish").isEmpty());
    QVERIFY(log.linesStartingWith("InstallJournal::recover rollback").isEmpty());
    QVERIFY(log.linesStartingWith("InstallJournal::rollback").isEmpty());
    QCOMPARE(treeOf(victimPath), victimBefore);
    QCOMPARE(inst.snapshot({"backup"}), installationBefore);
    QCOMPARE(inst.read("app.bin"), QByteArray("real app"));
    QCOMPARE(inst.read("update/UpdateCfg.xml"), QByteArray("new release"));
    QCOMPARE(inst.read("config/UpdateCfg.xml"), QByteArray("installed config"));
    QCOMPARE(inst.read("user/settings.ini"), QByteArray("user settings"));
    QCOMPARE(inst.read("backup/app.bin"), backupCopy);
    if (plant == "big") {
        // Refused by its size: not read, so not held in memory either.
        QVERIFY2(readBefore >= 0, "no /proc/self/io");
        QVERIFY2(readDuring < 1024 * 1024, qPrintable(QString::number(readDuring)));
    }

    if (plant == "backup link") {
        // Nothing behind the link is touched, the journal there included.
        QCOMPARE(inst.read("user/fake/.install-journal"), journalText);
        return;
    }
    // Set aside, so that the next start does not see it again.
    QVERIFY(!QFileInfo::exists(journal) && !QFileInfo(journal).isSymLink());
    const QStringList aside = setAside(inst, "rejected");
    QCOMPARE(aside.size(), 1);
    QCOMPARE(log.linesStartingWith("InstallJournal::recover set aside"),
             QStringList{QStringLiteral("InstallJournal::recover set aside \"%1\" \"%2\"")
                             .arg(journal, inst.path("backup/" + aside.first()))});
    log.clear();
    QVERIFY(!InstallJournal::recover(fs));
    QCOMPARE(log.lines(), QStringList());
    QCOMPARE(inst.read("update/UpdateCfg.xml"), QByteArray("new release"));
#endif
}

void tst_Install::unfinishableJournalIsTriedOnce_data()
{
    QTest::addColumn<bool>("committed");
    QTest::newRow("rollback that cannot put a file back") << false;
    QTest::newRow("finish that cannot remove the stash") << true;
}

void tst_Install::unfinishableJournalIsTriedOnce()
{
    QFETCH(bool, committed);
    // A journal the updater wrote, stopped by a kill.
    Installation inst;
    inst.write("a.dll", "old a");
    inst.write("backup/a.dll", "older a");
    inst.write("config/UpdateCfg.xml", "old config");
    inst.write("update/a.dll", "new a");
    inst.write("update/UpdateCfg.xml", "new config");
    QString stash;
    {
        InstallFs fs(inst.root);
        InstallJournal journal(fs);
        QVERIFY(journal.begin());
        QVERIFY(journal.setAside("/backup/a.dll"));
        QVERIFY(journal.move("/a.dll", "/backup/a.dll"));
        QVERIFY(journal.move("/update/a.dll", "/a.dll"));
        if (committed)
            QVERIFY(journal.commit("/update/UpdateCfg.xml", "new config", "/config/UpdateCfg.xml"));
        stash = QDir(inst.path("backup"))
                    .entryList({".install-stash-*"}, QDir::Dirs | QDir::Hidden)
                    .value(0);
        QVERIFY(!stash.isEmpty());
    }

    FaultHookReset reset;
    TmpfsMount busy;
    if (committed) {
        // A file system mounted on the stash: it cannot be removed.
        QString why;
        if (!busy.mount(inst.path("backup/" + stash), 64 * 1024, &why))
            QSKIP(qPrintable(why));
    } else {
        // The new a.dll is held open by another program: it can be neither moved nor removed.
        InstallFs::setFaultHook([](const QString&, const QString& path) {
            return path == QLatin1String("/a.dll") ? EBUSY : 0;
        });
    }
    LogCapture log;
    InstallFs fs(inst.root);
    QVERIFY(InstallJournal::recover(fs));
    InstallFs::setFaultHook(nullptr);
    const QString journal = inst.path("backup/.install-journal");
    QCOMPARE(log.linesStartingWith("InstallJournal::recover failed"),
             QStringList{QStringLiteral("InstallJournal::recover failed \"%1\"").arg(journal)});
    const QStringList aside = setAside(inst, "failed");
    QCOMPARE(aside.size(), 1);
    QVERIFY(log.lines().contains(QStringLiteral("InstallJournal::recover set aside \"%1\" \"%2\"")
                                     .arg(journal, inst.path("backup/" + aside.first()))));
    QVERIFY(!inst.exists("backup/.install-journal"));
    if (committed) {
        // The journal reached its commit: the run is decided, update/ goes.
        QVERIFY(log.lines().contains(
            QStringLiteral("InstallJournal::recover finish \"%1\"").arg(journal)));
        QCOMPARE(inst.read("config/UpdateCfg.xml"), QByteArray("new config"));
        QVERIFY(!inst.exists("update"));
    } else {
        // Rolled back as far as it goes; the release stays in update/ for the next run.
        QVERIFY(log.lines().contains(
            QStringLiteral("InstallJournal::recover rollback \"%1\"").arg(journal)));
        QCOMPARE(inst.read("update/UpdateCfg.xml"), QByteArray("new config"));
        QCOMPARE(inst.read("config/UpdateCfg.xml"), QByteArray("old config"));
    }
    // Tried once: the next start finds nothing to do.
    log.clear();
    QVERIFY(!InstallJournal::recover(fs));
    QCOMPARE(log.lines(), QStringList());
}

void tst_Install::beginStartsOnlyAJournalTheNextStartTakes_data()
{
    QTest::addColumn<QString>("backup"); // what backup/ is before begin()
    QTest::addColumn<bool>("begins");
    QTest::addColumn<QString>("mode"); // backup/'s mode afterwards (octal), when it begins
    QTest::newRow("missing") << "" << true << "755";
    QTest::newRow("missing, under a umask of 0") << "umask" << true << "755";
    QTest::newRow("folder of ours") << "0700" << true << "700";
    QTest::newRow("group-writable folder of ours") << "0775" << true << "755";
    QTest::newRow("world-writable folder of ours") << "0777" << true << "755";
    QTest::newRow("folder of another user") << "nobody" << false << "";
    QTest::newRow("link to a folder") << "link" << false << "";
    QTest::newRow("file") << "file" << false << "";
}

void tst_Install::beginStartsOnlyAJournalTheNextStartTakes()
{
#ifdef Q_OS_WIN
    QSKIP("POSIX owners and modes");
#else
    QFETCH(QString, backup);
    QFETCH(bool, begins);
    QFETCH(QString, mode);
    if (backup == "nobody" && ::geteuid() != 0)
        QSKIP("only root gives a folder to another user");
    Installation inst;
    inst.write("a.dll", "old a");
    inst.write("update/a.dll", "new a");
    inst.write("sub/b.dll", "old b");
    if (backup == "link") {
        QDir().mkpath(inst.path("elsewhere"));
        QVERIFY(QFile::link(inst.path("elsewhere"), inst.path("backup")));
    } else if (backup == "file") {
        inst.write("backup", "a file");
    } else if (!backup.isEmpty() && backup != "umask") {
        QDir().mkpath(inst.path("backup"));
        if (backup == "nobody")
            QVERIFY(setOwner(inst.path("backup"), 65534));
        else
            QVERIFY(chmodPath(inst.path("backup"), backup.toUInt(nullptr, 8)));
    }
    const mode_t previousMask = ::umask(backup == "umask" ? 0 : 022);
    InstallFs fs(inst.root);
    InstallJournal journal(fs);
    LogCapture log;
    const bool begun = journal.begin();
    // A folder made in backup/ for a kept copy is closed to others under any umask too.
    const bool keptBelow =
        begun && journal.makePath("/backup/sub") && journal.move("/sub/b.dll", "/backup/sub/b.dll");
    ::umask(previousMask);
    QCOMPARE(begun, begins);
    if (!begins) {
        QVERIFY(!inst.exists("backup/.install-journal"));
        QCOMPARE(log.linesStartingWith("InstallJournal::begin refused").size(), 1);
        QCOMPARE(inst.read("a.dll"), QByteArray("old a"));
        return;
    }
    QCOMPARE(QString::number(modeOf(inst.path("backup")), 8), mode);
    QVERIFY(keptBelow);
    QCOMPARE(QString::number(modeOf(inst.path("backup/sub")), 8), QStringLiteral("755"));
    QString reason;
    QVERIFY2(fs.updatersOwn("/backup/.install-journal", InstallFs::Kind::File, &reason),
             qPrintable(reason));
    // Stopped here: the next start takes the journal and rolls the move back.
    QVERIFY(journal.move("/a.dll", "/backup/a.dll"));
    QVERIFY(journal.move("/update/a.dll", "/a.dll"));
    log.clear();
    QVERIFY(InstallJournal::recover(fs));
    QVERIFY(log.linesStartingWith("InstallJournal::recover rejected").isEmpty());
    QCOMPARE(inst.read("update/a.dll"), QByteArray("new a"));
    QCOMPARE(inst.read("a.dll"), QByteArray("old a"));
    QCOMPARE(inst.read("sub/b.dll"), QByteArray("old b"));
#endif
}

void tst_Install::rollbackLeavesForeignEntriesAlone_data()
{
    // Which moved entry someone else replaced after the run stopped, and by what.
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("folder");
    QTest::addColumn<bool>("split");
    QTest::newRow("file where the new file went") << "lib/a.dll" << false << false;
    QTest::newRow("folder where the new file went") << "lib/a.dll" << true << false;
    QTest::newRow("file where the old copy went") << "backup/lib/a.dll" << false << false;
    QTest::newRow("file where a copy across file systems went") << "lib/a.dll" << false << true;
}

// A move is undone only when the entry at its target is the one it moved (same device and
// inode): anything else there came from someone else, and a recovery that runs a second time
// finds its own restored files there. Taking it back would install or discard a stranger's file.
void tst_Install::rollbackLeavesForeignEntriesAlone()
{
    QFETCH(QString, target);
    QFETCH(bool, folder);
    QFETCH(bool, split);

    Installation inst;
    TmpfsMount lib;
    QString reason;
    if (split && !lib.mount(inst.path("lib"), 1024 * 1024, &reason))
        QSKIP(qPrintable(reason));
    inst.write("lib/a.dll", "old a");
    inst.write("config/UpdateCfg.xml", "old config");
    inst.write("update/lib/a.dll", "new a");
    inst.write("update/UpdateCfg.xml", "new config");
    {
        // Stopped after the moves, as by a kill: the journal stays.
        InstallFs fs(inst.root);
        InstallJournal journal(fs);
        QVERIFY(journal.begin());
        QVERIFY(journal.makePath("/backup/lib"));
        QVERIFY(journal.move("/lib/a.dll", "/backup/lib/a.dll"));
        QVERIFY(journal.move("/update/lib/a.dll", "/lib/a.dll"));
    }
    // Made while the moved entry still exists, so that it cannot get its inode number again.
    const QString made = target + ".made";
    inst.write(folder ? made + "/inner.txt" : made, "someone else's");
    QVERIFY(QFile::remove(inst.path(target)));
    QVERIFY(QDir().rename(inst.path(made), inst.path(target)));
    const QString foreign = folder ? target + "/inner.txt" : target;

    InstallFs fs(inst.root);
    QVERIFY(InstallJournal::recover(fs));
    QVERIFY(!inst.exists("backup/.install-journal"));
    // The stranger's entry is where it was put, and nowhere else.
    QCOMPARE(inst.read(foreign), QByteArray("someone else's"));
    QStringList holders;
    QDirIterator it(inst.root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (inst.read(QDir(inst.root).relativeFilePath(path)) == "someone else's")
            holders << QDir(inst.root).relativeFilePath(path);
    }
    QCOMPARE(holders, QStringList{foreign});
    // What the run moved and is still itself went back, or, with its place taken, is kept apart.
    if (target.startsWith("backup/")) {
        QCOMPARE(inst.read("update/lib/a.dll"), QByteArray("new a"));
    } else {
        const QStringList kept =
            QDir(inst.path("backup")).entryList({".unrestored-*"}, QDir::Dirs | QDir::Hidden);
        QCOMPARE(kept.size(), 1);
        QCOMPARE(inst.read("backup/" + kept.first() + "/lib/a.dll"), QByteArray("old a"));
    }
    QCOMPARE(inst.read("config/UpdateCfg.xml"), QByteArray("old config"));
}

QTEST_MAIN(tst_Install)
#include "tst_install.moc"
