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

#include <zstd.h>

class tst_KillResume : public QObject
{
    Q_OBJECT

private slots:
    void killedMidFileContinuesWhereItStopped_data();
    void killedMidFileContinuesWhereItStopped();
    void killedInstallationFinishesFromKeptFiles();
    void killedPatchedUpdateEndsOldOrNew_data();
    void killedPatchedUpdateEndsOldOrNew();
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

// One zstd frame of content made against base, with a checksum, as the publisher makes a patch.
QByteArray patchFrame(const QByteArray& content, const QByteArray& base)
{
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, 19);
    ZSTD_CCtx_refPrefix(context, base.constData(), size_t(base.size()));
    QByteArray out(int(ZSTD_compressBound(size_t(content.size()))), Qt::Uninitialized);
    const size_t size = ZSTD_compress2(context, out.data(), size_t(out.size()), content.constData(),
                                       size_t(content.size()));
    ZSTD_freeCCtx(context);
    if (ZSTD_isError(size))
        return QByteArray();
    out.resize(int(size));
    return out;
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

void tst_KillResume::killedPatchedUpdateEndsOldOrNew_data()
{
    // Where strace kills the first run, and how many requests for the patch the second run adds.
    QTest::addColumn<QString>("strike");
    QTest::addColumn<int>("patchRequestsAfter");
    // What the kill left: 0 the fetched patch's partial file, 1 the patch and the decoded
    // partial file, 2 the journal of the installation.
    QTest::addColumn<int>("step");
    // The fetched patch about to take its name: its bytes are fetched again.
    QTest::newRow("patch takes its name") << "renameat:when=1" << 1 << 0;
    // The decoded file about to take its name: the kept patch is decoded again.
    QTest::newRow("decoded file takes its name") << "renameat:when=2" << 0 << 1;
    // The installation's first move: rolled back, the checked file installed without a request.
    QTest::newRow("installation's first move") << "renameat2:when=1" << 0 << 2;
}

void tst_KillResume::killedPatchedUpdateEndsOldOrNew()
{
    QFETCH(QString, strike);
    QFETCH(int, patchRequestsAfter);
    QFETCH(int, step);
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
    const QByteArray old = pattern(300000, 5);
    QByteArray next = old;
    next.replace(1000, 64, pattern(200, 6));
    next.insert(200000, pattern(5000, 7));
    const QByteArray patch = patchFrame(next, old);
    QVERIFY(!patch.isEmpty());
    const QString patchPath = "/.forms/data.bin." + hex(old, QCryptographicHash::Sha256) + ".patch";
    QVERIFY(writeAll(served.path() + "/data.bin", next));
    QVERIFY(writeAll(served.path() + patchPath, patch));
    TestHttpServer server(served.path());
    QVERIFY(server.listen());

    auto config = [&](const QString& version, const QByteArray& data, bool withPatch) {
        QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<update>\n"
                                     "  <info version=\"%1\" main=\"app\" server=\"%2\"/>\n"
                                     "  <file path=\"/app\" md5=\"%3\"/>\n")
                          .arg(version, server.baseUrl(), hex(main, QCryptographicHash::Md5));
        xml += QStringLiteral("  <file path=\"/data.bin\" md5=\"%1\" sha256=\"%2\" size=\"%3\">")
                   .arg(hex(data, QCryptographicHash::Md5), hex(data, QCryptographicHash::Sha256))
                   .arg(data.size());
        if (withPatch)
            xml += QStringLiteral("<patch base=\"%1\" size=\"%2\" sha256=\"%3\"/>")
                       .arg(hex(old, QCryptographicHash::Sha256))
                       .arg(patch.size())
                       .arg(hex(patch, QCryptographicHash::Sha256));
        return (xml + "</file>\n</update>\n").toUtf8();
    };
    QVERIFY(writeAll(root + "/app", main));
    QVERIFY(QFile::setPermissions(root + "/app",
                                  QFile::permissions(root + "/app") | QFileDevice::ExeOwner));
    QVERIFY(writeAll(root + "/data.bin", old));
    const QByteArray installed = config("1.0", old, false);
    QVERIFY(writeAll(root + "/config/UpdateCfg.xml", installed));
    const QByteArray offered = config("1.1", next, true);
    QVERIFY(writeAll(root + "/update/UpdateCfg.xml", offered));
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_PATH), root + "/updater"));
    QVERIFY(QFile::setPermissions(root + "/updater",
                                  QFile::permissions(root + "/updater") | QFileDevice::ExeOwner));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("http_proxy"));
    env.remove(QStringLiteral("HTTP_PROXY"));
    const auto runUpdater = [&](const QStringList& traced) {
        QProcess updater;
        updater.setProcessEnvironment(env);
        updater.setProcessChannelMode(QProcess::ForwardedChannels);
        if (traced.isEmpty())
            updater.start(root + "/updater", {});
        else
            updater.start(strace, traced + QStringList{root + "/updater"});
        QVERIFY(updater.waitForStarted(30000));
        QVERIFY(QTest::qWaitFor([&] { return updater.state() == QProcess::NotRunning; }, 120000));
    };

    const QString call = strike.section(':', 0, 0);
    runUpdater({"-f", "-qq", "-o", "/dev/null", "-e",
                "inject=" + call + ":signal=KILL:" + strike.section(':', 1)});
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(server.requestedPaths(), QStringList{patchPath});
    // Killed: the installed copy is the old one or (after a rollback) the old one again, and
    // nothing unchecked lies under the file's own name in update/.
    QCOMPARE(readAll(root + "/data.bin"), old);
    QCOMPARE(readAll(root + "/config/UpdateCfg.xml"), installed);
    if (QFileInfo::exists(root + "/update/data.bin"))
        QCOMPARE(readAll(root + "/update/data.bin"), next);
    // Where the kill struck: the fetched patch, the decoded file or the installation.
    const QString form = root + "/update" + patchPath;
    QCOMPARE(QFileInfo::exists(form + ".partial"), step == 0);
    QCOMPARE(QFileInfo::exists(form), step == 1);
    if (step == 1)
        QCOMPARE(readAll(root + "/update/data.bin.partial"), next);
    QCOMPARE(QFileInfo::exists(root + "/backup/.install-journal"), step == 2);

    runUpdater({});
    const QString log = QString::fromUtf8(readAll(root + "/log/update.log"));
    QVERIFY2(log.contains(QStringLiteral("Controller::slot_updateFinished true \"success\"")),
             qPrintable(log.right(3000)));
    QCOMPARE(server.requestedPaths(),
             QStringList(QList<QString>(1 + patchRequestsAfter, patchPath)));
    QVERIFY(!server.requestedPaths().contains("/data.bin"));
    QCOMPARE(readAll(root + "/data.bin"), next);
    QCOMPARE(readAll(root + "/config/UpdateCfg.xml"), offered);
    QVERIFY(!QFileInfo::exists(root + "/update"));
}

QTEST_GUILESS_MAIN(tst_KillResume)
#include "tst_killresume.moc"
