// Links planted in an installation by someone who can write it: the built updater, run as a
// separate process, never writes, moves, creates or removes anything in the outside "victim"
// folder the links point to, whose files carry the release's names.

#include "testhttpserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace
{

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes, mode_t mode = 0644)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
    file.close();
    QVERIFY(::chmod(QFile::encodeName(path).constData(), mode) == 0);
}

QString md5(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

// Names, contents, modes and times of every entry below root.
QMap<QString, QByteArray> tree(const QString& root)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
            entries.insert(QDir(root).relativeFilePath(path), "<gone while listed>");
            continue;
        }
        QByteArray value = QByteArray::number(st.st_mode, 8) + ' ' +
                           QByteArray::number(qint64(st.st_mtim.tv_sec)) + '.' +
                           QByteArray::number(qint64(st.st_mtim.tv_nsec));
        if (S_ISREG(st.st_mode))
            value += ' ' + readAll(path);
        entries.insert(QDir(root).relativeFilePath(path), value);
    }
    return entries;
}

} // namespace

class tst_Links : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void plantedLinkIsNeverFollowed_data();
    void plantedLinkIsNeverFollowed();

private:
    QTemporaryDir work;
    TestHttpServer* server = nullptr;
    QByteArray mainOld;
    QByteArray mainNew;
};

void tst_Links::initTestCase()
{
    QVERIFY(work.isValid());
    qunsetenv("http_proxy");
    qunsetenv("HTTP_PROXY");
    mainOld = readAll(QStringLiteral(FAKEMAIN_PATH));
    QVERIFY(!mainOld.isEmpty());
    mainNew = mainOld + "\nrelease 1.1\n";
    const QString served = work.filePath("served");
    writeAll(served + "/app", mainNew);
    writeAll(served + "/lib/core.so", "core 1.1");
    writeAll(served + "/lib/sub/new.txt", "new 1.1");
    server = new TestHttpServer(served, this);
    QVERIFY(server->listen());
}

void tst_Links::plantedLinkIsNeverFollowed_data()
{
    QTest::addColumn<QString>("link");    // planted in the installation
    QTest::addColumn<QString>("target");  // relative to the victim folder
    QTest::addColumn<QString>("refused"); // the path named by the refusal, or empty: installs
    QTest::newRow("backup/ a link") << "backup"
                                    << "."
                                    << "/backup";
    QTest::newRow("backup/<folder> a link") << "backup/lib"
                                            << "lib"
                                            << "/backup/lib";
    QTest::newRow("update/<file> a link") << "update/lib/core.so"
                                          << "lib/core.so"
                                          << "";
    QTest::newRow("update/<folder> a link") << "update/lib"
                                            << "lib"
                                            << "";
    QTest::newRow("log/update.log a dangling link") << "log/update.log"
                                                    << "made.log"
                                                    << "";
    QTest::newRow("log/update.log a link") << "log/update.log"
                                           << "lib/core.so"
                                           << "";
    QTest::newRow("log/ a link") << "log"
                                 << "."
                                 << "";
    QTest::newRow("a managed file's folder a link") << "lib"
                                                    << "lib"
                                                    << "/lib";
    QTest::newRow("a new file's folder a link") << "lib/sub"
                                                << "lib"
                                                << "/lib/sub";
    QTest::newRow("config/ a link") << "config"
                                    << "."
                                    << "/config";
    QTest::newRow("a dropped file's folder a link") << "plugins"
                                                    << "plugins"
                                                    << "/plugins";
    QTest::newRow("backup/<dropped file's folder> a link") << "backup/plugins"
                                                           << "plugins"
                                                           << "/backup/plugins";
    QTest::newRow("a dropped file a link") << "plugins/old.so"
                                           << "plugins/old.so"
                                           << "";
}

void tst_Links::plantedLinkIsNeverFollowed()
{
    QFETCH(QString, link);
    QFETCH(QString, target);
    QFETCH(QString, refused);

    QTemporaryDir base;
    const QString victim = base.filePath("victim");
    const QString inst = base.filePath("inst");
    // Outside files with the names the release and the program use.
    writeAll(victim + "/app", "victim app", 0755);
    writeAll(victim + "/lib/core.so", "victim core");
    writeAll(victim + "/lib/sub/new.txt", "victim new");
    writeAll(victim + "/update.log", "victim log");
    writeAll(victim + "/plugins/old.so", "victim plug-in");

    const QString url = server->baseUrl();
    // 1.1 prunes: the plug-in of 1.0 goes.
    auto config = [&](const QString& version, const QByteArray& app, bool withNew) {
        QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<update>\n"
                                     "  <info version=\"%1\" main=\"app\" server=\"%2\"%5/>\n"
                                     "  <file path=\"/app\" md5=\"%3\"/>\n"
                                     "  <file path=\"/lib/core.so\" md5=\"%4\"/>\n")
                          .arg(version, url, md5(app), md5(withNew ? "core 1.1" : "core 1.0"),
                               withNew ? " prune=\"1\"" : "");
        if (withNew)
            xml += QStringLiteral("  <file path=\"/lib/sub/new.txt\" md5=\"%1\"/>\n")
                       .arg(md5("new 1.1"));
        else
            xml += QStringLiteral("  <file path=\"/plugins/old.so\" md5=\"%1\"/>\n")
                       .arg(md5("plug-in 1.0"));
        return (xml + "</update>\n").toUtf8();
    };
    const QByteArray newConfig = config("1.1", mainNew, true);
    // Read through a link to config/, this one would let the run go on to its installation.
    writeAll(victim + "/UpdateCfg.xml", config("1.0", mainOld, false));
    writeAll(inst + "/app", mainOld, 0755);
    writeAll(inst + "/lib/core.so", "core 1.0");
    writeAll(inst + "/plugins/old.so", "plug-in 1.0");
    writeAll(inst + "/config/UpdateCfg.xml", config("1.0", mainOld, false));
    writeAll(inst + "/update/UpdateCfg.xml", newConfig);
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_PATH), inst + "/updater"));
    QVERIFY(::chmod(QFile::encodeName(inst + "/updater").constData(), 0755) == 0);

    // The link, in place of whatever was there.
    const QString linkPath = inst + "/" + link;
    if (QFileInfo(linkPath).isDir())
        QVERIFY(QDir(linkPath).removeRecursively());
    else
        QFile::remove(linkPath);
    QDir().mkpath(QFileInfo(linkPath).absolutePath());
    QVERIFY(QFile::link(QDir::cleanPath(victim + "/" + target), linkPath));
    const auto before = tree(victim);

    QProcess run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("http_proxy"));
    run.setProcessEnvironment(env);
    run.setProcessChannelMode(QProcess::MergedChannels);
    run.start(inst + "/updater", {});
    QVERIFY(run.waitForStarted(30000));
    // Without a display a refused run's message goes to the log, and the run ends by itself.
    const QString log = inst + "/log/update.log";
    QVERIFY(QTest::qWaitFor([&] { return run.state() == QProcess::NotRunning; }, 120000));
    const QString logText = QString::fromUtf8(readAll(log));

    // Outside: byte for byte, mode for mode, time for time, nothing added or removed.
    QCOMPARE(tree(victim), before);
    // The log is a file of the installation's own.
    QVERIFY(!QFileInfo(log).isSymLink() && QFileInfo(log).isFile());
    QVERIFY(!QFileInfo(inst + "/log").isSymLink());

    if (refused.isEmpty()) {
        QVERIFY2(logText.contains("Controller::slot_updateFinished true \"success\""),
                 qPrintable(logText.right(2000)));
        QCOMPARE(readAll(inst + "/app"), mainNew);
        QCOMPARE(readAll(inst + "/lib/core.so"), QByteArray("core 1.1"));
        QVERIFY(!QFileInfo(inst + "/lib/core.so").isSymLink());
        QCOMPARE(readAll(inst + "/lib/sub/new.txt"), QByteArray("new 1.1"));
        QCOMPARE(readAll(inst + "/backup/app"), mainOld);
        QCOMPARE(readAll(inst + "/config/UpdateCfg.xml"), newConfig);
        QVERIFY(!QFileInfo::exists(inst + "/update"));
        // The dropped plug-in is in backup/ with its folder gone; a link in its place stays.
        if (link == QLatin1String("plugins/old.so")) {
            QVERIFY(QFileInfo(linkPath).isSymLink());
            QVERIFY(!QFileInfo::exists(inst + "/backup/plugins/old.so"));
        } else {
            QCOMPARE(readAll(inst + "/backup/plugins/old.so"), QByteArray("plug-in 1.0"));
            QVERIFY(!QFileInfo::exists(inst + "/plugins"));
        }
    } else {
        QVERIFY2(logText.contains(QStringLiteral("link in path: \"%1%2\"").arg(inst, refused)),
                 qPrintable(logText.right(2000)));
        QVERIFY(logText.contains(
            QStringLiteral("Controller::slot_updateFinished false \"文件路径中有链接:%1\"")
                .arg(refused)));
        // Refused before anything changed.
        QCOMPARE(readAll(inst + "/app"), mainOld);
        QVERIFY(QFileInfo(linkPath).isSymLink());
        QVERIFY(QFileInfo::exists(inst + "/plugins/old.so"));
        QCOMPARE(readAll(inst + "/update/UpdateCfg.xml"), newConfig);
        QVERIFY(!logText.contains("download:"));
    }
}

QTEST_GUILESS_MAIN(tst_Links)
#include "tst_links.moc"
