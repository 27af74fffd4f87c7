#include "nginx.h"
#include "platform/platform.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

class tst_E2e : public QObject
{
    Q_OBJECT

private slots:
    void wholeUpdateRun();
    void oddNamesWithLoggingRulesOff();
    void unattendedRunEndsByItself_data();
    void unattendedRunEndsByItself();
};

static QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

static bool writeAll(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Copies the built updater into the installation folder install with what it needs to run: on
// Windows the DLLs, qt.conf and plugin folders placed beside the built one. Returns the copy's
// path, or an empty string when a copy failed.
static QString installUpdater(const QString& install)
{
    const QFileInfo built(QStringLiteral(UPDATER_PATH));
#ifdef Q_OS_WIN
    const QString updater = install + QStringLiteral("/updater.exe");
    const QDir from = built.absoluteDir();
    for (const QFileInfo& file : from.entryInfoList({"*.dll", "qt.conf"}, QDir::Files)) {
        if (!QFile::copy(file.filePath(), install + "/" + file.fileName()))
            return QString();
    }
    for (const QString& plugins : {QStringLiteral("platforms"), QStringLiteral("styles")}) {
        const QDir dir(from.filePath(plugins));
        for (const QFileInfo& file : dir.entryInfoList({"*.dll"}, QDir::Files)) {
            if (!QDir().mkpath(install + "/" + plugins) ||
                !QFile::copy(file.filePath(), install + "/" + plugins + "/" + file.fileName()))
                return QString();
        }
    }
#else
    const QString updater = install + QStringLiteral("/updater");
#endif
    if (!QFile::copy(built.filePath(), updater) ||
        !QFile::setPermissions(updater, QFile::permissions(built.filePath())))
        return QString();
    return updater;
}

static QString md5(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

static QByteArray configXml(const QString& version, const QString& mainExe, const QString& server,
                            const QMap<QString, QByteArray>& files, const QStringList& ignored)
{
    QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<update>\n"
                                 "  <info version=\"%1\" main=\"%2\" server=\"%3\"/>\n")
                      .arg(version, mainExe, server);
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        xml += QStringLiteral("  <file path=\"%1\" md5=\"%2\"/>\n").arg(it.key(), md5(it.value()));
    for (const QString& path : ignored)
        xml += QStringLiteral("  <file path=\"%1\" md5=\"0\" ignore=\"1\"/>\n").arg(path);
    return (xml + QStringLiteral("</update>\n")).toUtf8();
}

void tst_E2e::wholeUpdateRun()
{
    if (Nginx::executable().isEmpty())
        QSKIP(Nginx::missingReason());

#ifdef Q_OS_WIN
    const QString mainName = QStringLiteral("app.exe");
#else
    const QString mainName = QStringLiteral("app");
#endif
    const QString mainPath = "/" + mainName;

    // Release 1.0.0 as installed, and release 1.0.1 as served: the main program and a library
    // change, a data file is added, one file stays as it is and the user's settings are ignored.
    const QByteArray mainOld = readAll(QStringLiteral(FAKEMAIN_PATH));
    QVERIFY(!mainOld.isEmpty());
    const QByteArray mainNew = mainOld + "\nrelease 1.0.1\n"; // still runs; another md5
    const QByteArray coreOld = "core library 1.0.0\n";
    const QByteArray coreNew = "core library 1.0.1\n" + QByteArray(300000, 'c');
    const QByteArray readme = "readme, unchanged\n";
    const QByteArray added = "new in 1.0.1\n";
    const QByteArray settings = "volume=2 (the user's)\n";

    QTemporaryDir served;
    QTemporaryDir base;
    QVERIFY(served.isValid() && base.isValid());
    QVERIFY(writeAll(served.path() + mainPath, mainNew));
    QVERIFY(writeAll(served.filePath("lib/core.so"), coreNew));
    QVERIFY(writeAll(served.filePath("data/readme.txt"), readme));
    QVERIFY(writeAll(served.filePath("data/new file.txt"), added));

    Nginx nginx;
    QString error;
    QVERIFY2(nginx.start(served.path(), &error), qPrintable(error));

    // A fresh installation, in a path with a space, holding its own copy of the updater.
    const QString install = base.filePath("install dir");
    QVERIFY(QDir().mkpath(install));
    const QString updater = installUpdater(install);
    QVERIFY(!updater.isEmpty());
    QVERIFY(writeAll(install + mainPath, mainOld));
    QVERIFY(QFile::setPermissions(install + mainPath,
                                  QFile::permissions(QStringLiteral(FAKEMAIN_PATH))));
    QVERIFY(writeAll(install + "/lib/core.so", coreOld));
    QVERIFY(writeAll(install + "/data/readme.txt", readme));
    QVERIFY(writeAll(install + "/user/settings.ini", settings));

    const QStringList ignored{QStringLiteral("/user/settings.ini")};
    const QByteArray oldConfig = configXml(
        "1.0.0", mainName, nginx.url(),
        {{mainPath, mainOld}, {"/lib/core.so", coreOld}, {"/data/readme.txt", readme}}, ignored);
    const QByteArray newConfig = configXml("1.0.1", mainName, nginx.url(),
                                           {{mainPath, mainNew},
                                            {"/lib/core.so", coreNew},
                                            {"/data/readme.txt", readme},
                                            {"/data/new file.txt", added}},
                                           ignored);
    QVERIFY(writeAll(install + "/config/UpdateCfg.xml", oldConfig));
    QVERIFY(writeAll(install + "/update/UpdateCfg.xml", newConfig));

    // Started from another directory: the updater works in its own.
    QProcess run;
    run.setProgram(updater);
    run.setWorkingDirectory(base.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    run.setProcessEnvironment(env);
    run.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    run.start();
    QVERIFY(run.waitForStarted(30000));
    QVERIFY2(run.waitForFinished(180000), "the updater did not end");
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.exitCode(), 0);

    // The installed tree is release 1.0.1; what was replaced is in backup/.
    QCOMPARE(readAll(install + mainPath), mainNew);
    QCOMPARE(readAll(install + "/lib/core.so"), coreNew);
    QCOMPARE(readAll(install + "/data/readme.txt"), readme);
    QCOMPARE(readAll(install + "/data/new file.txt"), added);
    QCOMPARE(readAll(install + "/user/settings.ini"), settings);
    QCOMPARE(readAll(install + "/backup" + mainPath), mainOld);
    QCOMPARE(readAll(install + "/backup/lib/core.so"), coreOld);
    QVERIFY(!QFile::exists(install + "/backup/data/readme.txt"));
    QCOMPARE(readAll(install + "/config/UpdateCfg.xml"), newConfig);
    QVERIFY(!QFileInfo::exists(install + "/update"));

    // The new main program was started, detached, in the installation directory, without
    // arguments.
    const QString marker = install + "/started.txt";
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 60000);
    const QList<QByteArray> started = readAll(marker).split('\n');
    QCOMPARE(QDir(QString::fromLocal8Bit(started.value(0))).canonicalPath(),
             QDir(install).canonicalPath());
    QCOMPARE(started.value(1), QByteArray("0"));

    // The log runs from "Controller::start" to "start main:", then the window's end.
    // The log is UTF-8 behind the platform's header.
    const QByteArray logBytes = readAll(install + "/log/update.log");
    const QByteArray header = logFileHeader(currentPlatformFlavour());
    QVERIFY(logBytes.startsWith(header));
    const QString log = QString::fromUtf8(logBytes.mid(header.size()));
    QVERIFY(log.endsWith(QLatin1String("\r\n")));
    QStringList lines = log.split(QStringLiteral("\r\n"));
    lines.removeLast();
    QStringList messages;
    const QRegularExpression stamp(
        QStringLiteral("^\\[\\d\\d-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\] "));
    for (const QString& line : lines) {
        QVERIFY2(stamp.match(line).hasMatch(), qPrintable(line));
        messages.append(line.mid(20));
    }
    QVERIFY(messages.size() >= 4);
    QCOMPARE(messages.first(), QStringLiteral("Controller::start"));
    QVERIFY(!log.contains(QLatin1String("current dir is:")));
    const QString startMain = QStringLiteral("start main: \"%1\"").arg(install + mainPath);
    QCOMPARE(messages.count(startMain), 1);
    const int startIndex = messages.indexOf(startMain);
    QCOMPARE(messages.at(startIndex - 1),
             QStringLiteral("Controller::slot_updateFinished true \"success\""));
    QCOMPARE(messages.mid(startIndex + 1),
             QStringList{QStringLiteral("BasicMessageDialog::~BasicMessageDialog")});
    QVERIFY(messages.contains(
        QStringLiteral("download: \"%1/data/new%20file.txt\" \"%2/update/data/new file.txt\"")
            .arg(nginx.url(), install)));
    // Three files to fetch; the window saw the bar full.
    QVERIFY(!messages.filter(QRegularExpression(QStringLiteral("^progress: 300 300 "))).isEmpty());
    // At each file's end the window is told that file is done and nothing of the next one is in
    // flight yet.
    for (const char* line : {"progress: 100 300 0", "progress: 200 300 0", "progress: 300 300 0"})
        QVERIFY2(messages.contains(QLatin1String(line)), line);
}

void tst_E2e::oddNamesWithLoggingRulesOff()
{
    if (Nginx::executable().isEmpty())
        QSKIP(Nginx::missingReason());

    // Names a URL reads as fragment, query or escape, each with content of its own so that a
    // file fetched from a neighbour's URL shows; sizes given, and without them for one.
    const QStringList names = {"/hash#1.txt",
                               "/pct%41.txt",
                               "/pctA.txt",
                               "/a%2Fb.txt",
                               "/d#1/in.txt",
                               "/with space+plus.txt",
                               QStringLiteral("/\u76ee\u5f55/caf\u00e9.txt")};
    QTemporaryDir served;
    QTemporaryDir base;
    QVERIFY(served.isValid() && base.isValid());
    const QString install = base.filePath("install");
    QVERIFY(QDir().mkpath(install));
    const QString updater = installUpdater(install);
    QVERIFY(!updater.isEmpty());
    // A main program that starts and ends at once, so that nothing waits on a box.
    const QString mainName = QStringLiteral("app");
    QVERIFY(QFile::copy(QStringLiteral(FAKEMAIN_PATH), install + "/" + mainName));
    QVERIFY(QFile::setPermissions(install + "/" + mainName,
                                  QFile::permissions(QStringLiteral(FAKEMAIN_PATH))));

    Nginx nginx;
    QString error;
    QVERIFY2(nginx.start(served.path(), &error), qPrintable(error));
    QString files;
    for (const QString& name : names) {
        const QByteArray content = "content of " + name.toUtf8() + "\n";
        QVERIFY(writeAll(served.path() + name, content));
        files +=
            QStringLiteral("  <file path=\"%1\" md5=\"%2\"%3/>\n")
                .arg(name.toHtmlEscaped(), md5(content),
                     name.startsWith("/pctA") ? QString()
                                              : QStringLiteral(" size=\"%1\"").arg(content.size()));
    }
    const auto config = [&](const char* version, const QString& fileElements) {
        return (QStringLiteral("<update>\n  <info version=\"%1\" main=\"%2\" server=\"%3\"/>\n")
                    .arg(QLatin1String(version), mainName, nginx.url()) +
                fileElements + QStringLiteral("</update>\n"))
            .toUtf8();
    };
    QVERIFY(writeAll(install + "/config/UpdateCfg.xml", config("1.0", QString())));
    const QByteArray newConfig = config("1.1", files);
    QVERIFY(writeAll(install + "/update/UpdateCfg.xml", newConfig));

    // Logging turned off every way Qt offers: the log must be written all the same.
    QTemporaryDir xdg;
    QVERIFY(writeAll(xdg.filePath("QtProject/qtlogging.ini"), "[Rules]\n*.debug=false\n"));
    QProcess run;
    run.setProgram(updater);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false;default=false"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), xdg.path());
    env.insert(QStringLiteral("XDG_CONFIG_DIRS"), xdg.path());
    run.setProcessEnvironment(env);
    run.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    run.start();
    QVERIFY(run.waitForStarted(30000));
    QVERIFY2(run.waitForFinished(180000), "the updater did not end");
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);

    const QString log = QString::fromLocal8Bit(readAll(install + "/log/update.log"));
    QVERIFY2(log.contains(QLatin1String("Controller::slot_updateFinished true \"success\"")),
             qPrintable(log.right(2000)));
    for (const QString& name : names)
        QCOMPARE(readAll(install + name), "content of " + name.toUtf8() + "\n");
    QCOMPARE(readAll(install + "/config/UpdateCfg.xml"), newConfig);
    QVERIFY(log.contains(QStringLiteral("download: \"%1/hash%231.txt\"").arg(nginx.url())));
}

void tst_E2e::unattendedRunEndsByItself_data()
{
    QTest::addColumn<bool>("withConfigs");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<bool>("mainStarted");
    QTest::newRow("server refuses the download")
        << true << QStringList{QStringLiteral("网络出现错误:")} << true;
    QTest::newRow("no configuration files")
        << false
        << QStringList{QStringLiteral("读取更新配置文件为空"), QStringLiteral("无法找到文件:")}
        << false;
}

void tst_E2e::unattendedRunEndsByItself()
{
    // Offscreen nobody can answer a box: the run must end by itself, with the box's text on
    // standard error and in the log, and go on as if it had been answered.
    QFETCH(bool, withConfigs);
    QFETCH(QStringList, messages);
    QFETCH(bool, mainStarted);

#ifdef Q_OS_WIN
    const QString mainName = QStringLiteral("app.exe");
#else
    const QString mainName = QStringLiteral("app");
#endif
    QTemporaryDir base;
    QVERIFY(base.isValid());
    const QString install = base.filePath("install");
    QVERIFY(QDir().mkpath(install));
    const QString updater = installUpdater(install);
    QVERIFY(!updater.isEmpty());
    const QByteArray mainBytes = readAll(QStringLiteral(FAKEMAIN_PATH));
    QVERIFY(writeAll(install + "/" + mainName, mainBytes));
    QVERIFY(QFile::setPermissions(install + "/" + mainName,
                                  QFile::permissions(QStringLiteral(FAKEMAIN_PATH))));
    const QByteArray data = "data 1.0\n";
    QVERIFY(writeAll(install + "/data.bin", data));

    if (withConfigs) {
        // A port that was listened on and closed again: every connection is refused.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const QString server = QStringLiteral("http://127.0.0.1:%1").arg(probe.serverPort());
        probe.close();
        QVERIFY(writeAll(install + "/config/UpdateCfg.xml",
                         configXml("1.0", mainName, server, {{"/data.bin", data}}, {})));
        QVERIFY(writeAll(install + "/update/UpdateCfg.xml",
                         configXml("1.1", mainName, server, {{"/data.bin", "data 1.1\n"}}, {})));
    }

    QProcess run;
    run.setProgram(updater);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
#ifdef Q_OS_WIN
    // Qt sends a window program's own output to the debugger there unless told otherwise.
    env.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
#endif
    run.setProcessEnvironment(env);
    run.start();
    QVERIFY(run.waitForStarted(30000));
    // A box waiting for an answer would hold the run until killed here.
    const bool ended = run.waitForFinished(120000);
    if (!ended)
        run.kill();
    QVERIFY2(ended, "the updater waited for an answer nobody can give");
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.exitCode(), 0);

    const QString err = QString::fromUtf8(run.readAllStandardError());
    const QString log = QString::fromUtf8(readAll(install + "/log/update.log"));
    for (const QString& message : messages) {
        QVERIFY2(err.contains(QStringLiteral("message: ") + message), qPrintable(err));
        QVERIFY2(log.contains(QStringLiteral("] message: \"") + message), qPrintable(log));
    }
    // Only the start-up line is meant for standard error; Qt has nothing to warn about.
    QVERIFY2(!err.contains(QLatin1String("XDG_RUNTIME_DIR")), qPrintable(err));
    QVERIFY(err.contains(QLatin1String("current dir is:")));
    QVERIFY2(!log.contains(QLatin1String("propagateSizeHints")), qPrintable(log));
    QVERIFY(log.contains(QLatin1String("BasicMessageDialog::~BasicMessageDialog")));

    const QString marker = install + "/started.txt";
    if (mainStarted) {
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 60000);
        QVERIFY(log.contains(QStringLiteral("start main: \"%1/%2\"").arg(install, mainName)));
    } else {
        QVERIFY(!log.contains(QLatin1String("start main:")));
        QVERIFY(!QFile::exists(marker));
    }
    // Nothing was installed.
    QCOMPARE(readAll(install + "/data.bin"), data);
    QVERIFY(!QFileInfo::exists(install + "/backup"));
}

QTEST_GUILESS_MAIN(tst_E2e)
#include "tst_e2e.moc"
