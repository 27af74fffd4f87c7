// The built updater killed while a large file is half fetched, then started again: the bytes
// that had arrived are continued, not fetched again, and the file installed is the published one.

#include "testhttpserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class tst_KillResume : public QObject
{
    Q_OBJECT

private slots:
    void killedMidFileContinuesWhereItStopped_data();
    void killedMidFileContinuesWhereItStopped();
    void killedInstallationFinishesFromKeptFiles();
};

namespace
{

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

QString hex(const QByteArray& bytes, QCryptographicHash::Algorithm algorithm)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, algorithm).toHex());
}

QByteArray pattern(qint64 size, quint32 seed = 0)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = 88172645u + seed;
    for (qint64 i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = char(x >> 7);
    }
    return bytes;
}

} // namespace

void tst_KillResume::killedMidFileContinuesWhereItStopped_data()
{
    QTest::addColumn<int>("files");
    QTest::newRow("one file") << 1;
    QTest::newRow("three files side by side") << 3;
}

void tst_KillResume::killedMidFileContinuesWhereItStopped()
{
    QFETCH(int, files);
    qunsetenv("http_proxy");
    qunsetenv("HTTP_PROXY");
    QTemporaryDir served;
    QTemporaryDir installation;
    QVERIFY(served.isValid() && installation.isValid());
    const QString root = installation.path();

    const QByteArray main = readAll(QStringLiteral(FAKEMAIN_PATH));
    QVERIFY(!main.isEmpty());
    QStringList names;
    QList<QByteArray> bodies;
    for (int i = 0; i < files; ++i) {
        names.append(i == 0 ? QStringLiteral("data.bin") : QStringLiteral("data%1.bin").arg(i));
        bodies.append(pattern(4 * 1024 * 1024, quint32(i)));
        QVERIFY(writeAll(served.filePath(names.last()), bodies.last()));
    }

    TestHttpServer server(served.path());
    QVERIFY(server.listen());
    server.setValidators(true);
    const qint64 held = bodies.first().size() / 10 * 6;
    for (const QString& name : std::as_const(names))
        server.holdAfter("/" + name, held);

    auto config = [&](const QString& version, bool withData) {
        QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<update>\n"
                                     "  <info version=\"%1\" main=\"app\" server=\"%2\"/>\n"
                                     "  <file path=\"/app\" md5=\"%3\"/>\n")
                          .arg(version, server.baseUrl(), hex(main, QCryptographicHash::Md5));
        for (int i = 0; withData && i < files; ++i)
            xml += QStringLiteral("  <file path=\"/%1\" md5=\"%2\" sha256=\"%3\" "
                                  "size=\"%4\"/>\n")
                       .arg(names.at(i), hex(bodies.at(i), QCryptographicHash::Md5),
                            hex(bodies.at(i), QCryptographicHash::Sha256))
                       .arg(bodies.at(i).size());
        return (xml + "</update>\n").toUtf8();
    };
    QVERIFY(writeAll(root + "/app", main));
    QVERIFY(QFile::setPermissions(root + "/app",
                                  QFile::permissions(root + "/app") | QFileDevice::ExeOwner));
    QVERIFY(writeAll(root + "/config/UpdateCfg.xml", config("1.0", false)));
    QVERIFY(writeAll(root + "/update/UpdateCfg.xml", config("1.1", true)));
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_PATH), root + "/updater"));
    QVERIFY(QFile::setPermissions(root + "/updater",
                                  QFile::permissions(root + "/updater") | QFileDevice::ExeOwner));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("http_proxy"));
    env.remove(QStringLiteral("HTTP_PROXY"));

    // First start: killed once every byte the server let through is on the disk, for every file
    // in flight.
    const auto partial = [&](int i) { return root + "/update/" + names.at(i) + ".partial"; };
    const auto allHeld = [&] {
        for (int i = 0; i < files; ++i) {
            if (QFileInfo(partial(i)).size() != held)
                return false;
        }
        return true;
    };
    {
        QProcess updater;
        updater.setProcessEnvironment(env);
        updater.setProcessChannelMode(QProcess::ForwardedChannels);
        updater.start(root + "/updater", {});
        QVERIFY(updater.waitForStarted(30000));
        QVERIFY2(QTest::qWaitFor(allHeld, 120000),
                 qPrintable(QString::number(QFileInfo(partial(0)).size())));
        updater.kill();
        QVERIFY(updater.waitForFinished(30000));
        QCOMPARE(updater.exitStatus(), QProcess::CrashExit);
    }
    for (int i = 0; i < files; ++i) {
        QCOMPARE(readAll(partial(i)), bodies.at(i).left(held));
        QVERIFY(QFileInfo::exists(partial(i) + ".info"));
        QVERIFY(!QFileInfo::exists(root + "/update/" + names.at(i)));
        QVERIFY(!QFileInfo::exists(root + "/" + names.at(i)));
    }
    QCOMPARE(readAll(root + "/config/UpdateCfg.xml"), config("1.0", false));

    // Second start: only the rest of each file is sent, and the release is installed.
    server.clearRules();
    const qint64 sentBefore = server.bodyBytesSent();
    const int requestsBefore = int(server.requestedPaths().size());
    QProcess updater;
    updater.setProcessEnvironment(env);
    updater.setProcessChannelMode(QProcess::ForwardedChannels);
    updater.start(root + "/updater", {});
    QVERIFY(updater.waitForStarted(30000));
    QVERIFY(QTest::qWaitFor([&] { return updater.state() == QProcess::NotRunning; }, 120000));
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    const QString log = QString::fromUtf8(readAll(root + "/log/update.log"));
    QVERIFY2(log.contains(QStringLiteral("Controller::slot_updateFinished true \"success\"")),
             qPrintable(log.right(2000)));
    QCOMPARE(server.requestedPaths().size(), requestsBefore + files);
    for (const QString& range : server.requestedRanges().mid(requestsBefore))
        QCOMPARE(range, QStringLiteral("bytes=%1-").arg(held));
    QCOMPARE(server.bodyBytesSent() - sentBefore, files * (bodies.first().size() - held));
    for (int i = 0; i < files; ++i)
        QCOMPARE(readAll(root + "/" + names.at(i)), bodies.at(i));
    QCOMPARE(readAll(root + "/config/UpdateCfg.xml"), config("1.1", true));
    QVERIFY(!QFileInfo::exists(root + "/update"));
}

void tst_KillResume::killedInstallationFinishesFromKeptFiles()
{
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (strace.isEmpty())
        QSKIP("strace is not installed (scripts/deps.sh installs it)");
    qunsetenv("http_proxy");
    qunsetenv("HTTP_PROXY");
    QTemporaryDir served;
    QTemporaryDir installation;
    QVERIFY(served.isValid() && installation.isValid());
    const QString root = installation.path();
    const QByteArray main = readAll(QStringLiteral(FAKEMAIN_PATH));
    QVERIFY(!main.isEmpty());
    const QByteArray data = pattern(300000);
    QVERIFY(writeAll(served.filePath("data.bin"), data));
    TestHttpServer server(served.path());
    QVERIFY(server.listen());

    auto config = [&](const QString& version, bool withData) {
        QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<update>\n"
                                     "  <info version=\"%1\" main=\"app\" server=\"%2\"/>\n"
                                     "  <file path=\"/app\" md5=\"%3\"/>\n")
                          .arg(version, server.baseUrl(), hex(main, QCryptographicHash::Md5));
        if (withData)
            xml +=
                QStringLiteral("  <file path=\"/data.bin\" md5=\"%1\" sha256=\"%2\"/>\n")
                    .arg(hex(data, QCryptographicHash::Md5), hex(data, QCryptographicHash::Sha256));
        return (xml + "</update>\n").toUtf8();
    };
    QVERIFY(writeAll(root + "/app", main));
    QVERIFY(QFile::setPermissions(root + "/app",
                                  QFile::permissions(root + "/app") | QFileDevice::ExeOwner));
    QVERIFY(writeAll(root + "/config/UpdateCfg.xml", config("1.0", false)));
    const QByteArray offered = config("1.1", true);
    QVERIFY(writeAll(root + "/update/UpdateCfg.xml", offered));
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_PATH), root + "/updater"));
    QVERIFY(QFile::setPermissions(root + "/updater",
                                  QFile::permissions(root + "/updater") | QFileDevice::ExeOwner));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("http_proxy"));
    env.remove(QStringLiteral("HTTP_PROXY"));

    // The first rename that may not replace anything is the installation's first move (the
    // checked download took its name, and the journal its place, with plain renames): the kill
    // stops it before it is made.
    {
        QProcess updater;
        updater.setProcessEnvironment(env);
        updater.setProcessChannelMode(QProcess::ForwardedChannels);
        updater.start(strace, {"-f", "-qq", "-o", "/dev/null", "-e",
                               "inject=renameat2:signal=KILL:when=1", root + "/updater"});
        QVERIFY(updater.waitForStarted(30000));
        QVERIFY(QTest::qWaitFor([&] { return updater.state() == QProcess::NotRunning; }, 120000));
    }
    QCOMPARE(readAll(root + "/update/data.bin"), data);
    QVERIFY(QFileInfo::exists(root + "/backup/.install-journal"));
    QVERIFY(!QFileInfo::exists(root + "/data.bin"));
    QCOMPARE(server.requestedPaths().size(), 1);

    // Next start, with the server gone: the interrupted installation is undone, the checked
    // download is kept, and the release installs without a request.
    server.close();
    QProcess updater;
    updater.setProcessEnvironment(env);
    updater.setProcessChannelMode(QProcess::ForwardedChannels);
    updater.start(root + "/updater", {});
    QVERIFY(updater.waitForStarted(30000));
    QVERIFY(QTest::qWaitFor([&] { return updater.state() == QProcess::NotRunning; }, 120000));
    const QString log = QString::fromUtf8(readAll(root + "/log/update.log"));
    QVERIFY2(log.contains(QStringLiteral("InstallJournal::recover rollback")),
             qPrintable(log.left(2000)));
    QVERIFY2(log.contains(QStringLiteral("download: kept:")), qPrintable(log.right(2000)));
    QVERIFY2(log.contains(QStringLiteral("Controller::slot_updateFinished true \"success\"")),
             qPrintable(log.right(2000)));
    QCOMPARE(server.requestedPaths().size(), 1);
    QCOMPARE(readAll(root + "/data.bin"), data);
    QCOMPARE(readAll(root + "/config/UpdateCfg.xml"), offered);
    QVERIFY(!QFileInfo::exists(root + "/update"));
}

QTEST_GUILESS_MAIN(tst_KillResume)
#include "tst_killresume.moc"
