// Links planted while a run is under way, after its checks: between the check phase and the
// installation, the folders the installation moves files into and out of are swapped for links
// to an outside victim folder. Nothing outside may change, whatever the run then does.

#include "updateharness.h"

#include "recordingpresenter.h"
#include "testhttpserver.h"

namespace
{

// Every entry below root: folders as "<dir>", files as their content, links as their target.
QMap<QString, QByteArray> tree(const QString& root)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString relative = QDir(root).relativeFilePath(info.absoluteFilePath());
        if (info.isSymLink()) {
            entries.insert(relative, "<link " + info.symLinkTarget().toUtf8() + '>');
        } else if (info.isDir()) {
            entries.insert(relative, "<dir>");
        } else {
            QFile file(info.absoluteFilePath());
            entries.insert(relative, file.open(QIODevice::ReadOnly) ? file.readAll() : "<?>");
        }
    }
    return entries;
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

class tst_LinkRace : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void linkPlantedDuringDownloadIsNeverFollowed_data();
    void linkPlantedDuringDownloadIsNeverFollowed();

private:
    RecordingPresenter presenter;
};

void tst_LinkRace::initTestCase()
{
#ifdef Q_OS_WIN
    // QFile::link makes a shortcut file there, which the file system does not follow: nothing
    // would be planted. Junctions and links on Windows are met by InstallFs's reparse checks.
    QSKIP("QFile::link plants no link on Windows");
#endif
    qunsetenv("http_proxy");
    qunsetenv("HTTP_PROXY");
    qunsetenv("all_proxy");
    qunsetenv("ALL_PROXY");
}

void tst_LinkRace::linkPlantedDuringDownloadIsNeverFollowed_data()
{
    QTest::addColumn<QString>("link");   // in the installation
    QTest::addColumn<QString>("target"); // in the victim folder
    QTest::addColumn<QString>("message");
    const QString refused = QStringLiteral("文件路径中有链接:");
    QTest::newRow("backup/") << "backup"
                             << "." << refused + "/backup";
    QTest::newRow("backup/<folder>") << "backup/lib"
                                     << "lib" << refused + "/backup/lib";
    QTest::newRow("a managed file's folder") << "lib"
                                             << "lib" << refused + "/lib";
    // The run's own folder: the link is taken for what it is, and the checked download cannot
    // take its own name in it (<inst> is the installation folder).
    QTest::newRow("a download's folder in update/")
        << "update/lib"
        << "lib" << QStringLiteral("写入本地文件失败:<inst>/update/lib/z.bin");
}

void tst_LinkRace::linkPlantedDuringDownloadIsNeverFollowed()
{
    QFETCH(QString, link);
    QFETCH(QString, target);
    QFETCH(QString, message);

    QTemporaryDir outside;
    QVERIFY(outside.isValid());
    const QString victim = outside.filePath("victim");
    // Outside files with the names the release uses.
    writeFile(victim + "/app.bin", "victim app");
    writeFile(victim + "/lib/core.bin", "victim core");
    writeFile(victim + "/lib/z.bin", "victim z");

    Release release;
    release.offer("/app.bin", "new app");
    release.offer("/lib/core.bin", "new core");
    release.offer("/lib/z.bin", QByteArray(5000, 'z'));
    release.writeConfigs({{"/app.bin", "old"}, {"/lib/core.bin", "old"}, {"/lib/z.bin", "old"}});
    release.inst.write("app.bin", "old app");
    release.inst.write("lib/core.bin", "old core");
    release.inst.write("lib/z.bin", "old z");
    release.inst.write("backup/keep.txt", "an earlier backup");
    // The last file is held half-way: by then update/lib exists, and the checks are long done.
    release.server.holdAfter("/lib/z.bin", 1000);
    const auto before = tree(victim);

    WorkerRun run;
    run.start();
    QVERIFY(QTest::qWaitFor([&] { return release.server.isHolding("/lib/z.bin"); }, 60000));
    // The other files are fetched side by side with it: they are checked and in update/ first.
    QVERIFY(QTest::qWaitFor(
        [&] {
            return release.inst.read("update/app.bin") == "new app" &&
                   release.inst.read("update/lib/core.bin") == "new core";
        },
        60000));
    QVERIFY(release.inst.exists(link) || link == "backup/lib");
    // The folder goes aside (its files stay in the installation's reach for the test) and a
    // link to the victim takes its place.
    const QString planted = release.inst.path(link);
    if (QFileInfo::exists(planted))
        QVERIFY(QDir().rename(planted, release.inst.path("moved-aside")));
    QVERIFY(QFile::link(QDir::cleanPath(victim + "/" + target), planted));
    release.server.release("/lib/z.bin");
    QVERIFY(run.waitFinished());
    QCOMPARE(run.finishedCount, 1);
    QCOMPARE(run.ok, false);
    QCOMPARE(run.msg, QString(message).replace("<inst>", release.inst.root));

    // Outside: byte for byte, nothing added or removed.
    QCOMPARE(tree(victim), before);
    // Nothing went through the link, which is still one or was removed as one.
    QVERIFY(!QFileInfo::exists(planted) || QFileInfo(planted).isSymLink());
    // Nothing of the release is installed; the earlier backup stays (aside, when backup/ itself
    // was swapped).
    QCOMPARE(release.inst.read("app.bin"), QByteArray("old app"));
    QCOMPARE(release.inst.read("config/UpdateCfg.xml"), release.installedConfig);
    QCOMPARE(release.inst.read(link == "backup" ? "moved-aside/keep.txt" : "backup/keep.txt"),
             QByteArray("an earlier backup"));
}

QTEST_MAIN(tst_LinkRace)
#include "tst_linkrace.moc"
