// The built updater killed at every step of an installation, then started again twice: once with
// the server down, once with it up. After each start the installation must be wholly the old
// release or wholly the new one (files, modes, configuration, backup/), never a mix, never with
// a copy lost; after the second the new release is installed and the main program was started.
//
// The kill comes from strace: "-e inject=SYSCALL:signal=KILL:when=K" kills the process as it
// enters its K-th call of SYSCALL (counted per thread), before the call does anything. Every K
// that a clean run reaches is tried, for every kind of call the installation makes.

#include "testhttpserver.h"
#include "tmpfsmount.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The calls by which the installation changes the disk, and those that make its records durable.
const QStringList killedCalls{"renameat2", "renameat", "unlinkat", "mkdirat",
                              "fdatasync", "fsync",    "fchmod",   "syncfs"};
// Installations killed and restarted side by side.
const int lanes = 3;

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes, mode_t mode = 0644)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

QString md5(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

// Every entry below root but the program's own working files: content and mode for files,
// "<dir>" for folders, the target for links.
QMap<QString, QByteArray> snapshot(const QString& root)
{
    static const QStringList skipped{"log", "update", "updater", "started.txt", "started.tmp"};
    QMap<QString, QByteArray> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        if (skipped.contains(relative.section(QLatin1Char('/'), 0, 0)))
            continue;
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            continue;
        QByteArray value;
        if (S_ISLNK(st.st_mode))
            value = "<link " + QFile::symLinkTarget(path).toUtf8() + ">";
        else if (S_ISDIR(st.st_mode))
            value = "<dir>";
        else
            value = readAll(path) + " mode " + QByteArray::number(st.st_mode & 07777, 8);
        entries.insert(relative, value);
    }
    return entries;
}

bool copyTree(const QString& from, const QString& to)
{
    QProcess cp;
    cp.start(QStringLiteral("cp"), {"-a", from + "/.", to});
    return cp.waitForFinished(60000) && cp.exitCode() == 0;
}

// One installation going through a kill and two restarts.
struct Job {
    QString call;
    int k = 0;
    QString dir;
    QProcess* process = nullptr;
    bool killed = false;
    QString afterDown; // "old" or "new"
    QString failure;
    // The failure messages of its runs.
    QStringList messages;
    QString lastLog;
};

} // namespace

class tst_KillMatrix : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyStepSurvivesAKill();

private:
    QString makeInstallation(const QString& name);
    QProcess* start(const QString& dir, const QStringList& strace);
    // Waits for the runs to end and notes the message of a failed one.
    void waitAll(QList<Job>& jobs);
    QString state(const QString& dir) const;

    QTemporaryDir work;
    // Where the installations live: a tmpfs of their own when one can be mounted, so that the
    // flushes of the journal do not wait on a disk shared with everything else.
    TmpfsMount installFs;
    QString installRoot;
    QString strace;
    QString served;
    TestHttpServer* server = nullptr;
    quint16 port = 0;
    QString templateDir;
    QByteArray newConfig;
    QMap<QString, QByteArray> oldState;
    QMap<QString, QByteArray> newState;
    QMap<QString, int> callCounts;
    int installations = 0;
};

QString tst_KillMatrix::makeInstallation(const QString& name)
{
    const QString dir = installRoot + QLatin1Char('/') + name;
    if (!QDir().mkpath(dir) || !copyTree(templateDir, dir))
        return QString();
    // The same program file in every installation; no release replaces it.
    if (::link(QFile::encodeName(QStringLiteral(UPDATER_PATH)).constData(),
               QFile::encodeName(dir + "/updater").constData()) != 0 &&
        !QFile::copy(QStringLiteral(UPDATER_PATH), dir + "/updater"))
        return QString();
    ::chmod(QFile::encodeName(dir + "/updater").constData(), 0755);
    return dir;
}

QProcess* tst_KillMatrix::start(const QString& dir, const QStringList& straceArgs)
{
    // The log of the previous start must not be taken for this one's.
    QFile::remove(dir + "/log/update.log");
    auto* process = new QProcess(this);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (const char* proxy : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
        env.remove(QString::fromLatin1(proxy));
    process->setProcessEnvironment(env);
    process->setWorkingDirectory(work.path());
    process->setProcessChannelMode(QProcess::MergedChannels);
    if (straceArgs.isEmpty()) {
        process->start(dir + "/updater", {});
    } else {
        process->start(strace, straceArgs + QStringList{dir + "/updater"});
    }
    return process;
}

void tst_KillMatrix::waitAll(QList<Job>& jobs)
{
    for (Job& job : jobs) {
        QProcess* p = job.process;
        // The server runs in this thread: wait with its events going. Without a display a
        // failed run's message goes to the log instead of a box, and the run ends by itself.
        QVERIFY2(QTest::qWaitFor([&] { return p->state() == QProcess::NotRunning; }, 120000),
                 qPrintable("the updater did not end in " + job.dir));
        job.lastLog = QString::fromUtf8(readAll(job.dir + "/log/update.log"));
        const QString failed = QStringLiteral("Controller::slot_updateFinished false ");
        if (job.lastLog.contains(failed))
            job.messages.append(job.lastLog.section(failed, 1, 1).section('\r', 0, 0));
    }
}

QString tst_KillMatrix::state(const QString& dir) const
{
    const auto now = snapshot(dir);
    if (now == newState)
        return QStringLiteral("new");
    if (now == oldState)
        return QStringLiteral("old");
    QStringList differences;
    const auto& closest =
        now.value("config/UpdateCfg.xml") == newState.value("config/UpdateCfg.xml") ? newState
                                                                                    : oldState;
    for (auto it = closest.cbegin(); it != closest.cend(); ++it)
        if (now.value(it.key()) != it.value())
            differences << it.key() + (now.contains(it.key()) ? " differs" : " missing");
    for (auto it = now.cbegin(); it != now.cend(); ++it)
        if (!closest.contains(it.key()))
            differences << it.key() + " unexpected";
    return QStringLiteral("mixed: ") + differences.join(QStringLiteral(", "));
}

void tst_KillMatrix::initTestCase()
{
    strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (strace.isEmpty())
        QSKIP("strace is not installed (scripts/deps.sh installs it)");
    {
        QProcess probe;
        probe.start(strace, {"-qq", "-o", "/dev/null", "-e", "trace=getpid", "true"});
        if (!probe.waitForFinished(30000) || probe.exitCode() != 0)
            QSKIP("strace cannot trace here");
    }
    QVERIFY(work.isValid());
    installRoot = work.filePath("installations");
    QString reason;
    if (!installFs.mount(installRoot, qint64(512) * 1024 * 1024, &reason))
        qInfo().noquote() << reason << "- installations on the disk";
    qunsetenv("http_proxy");
    qunsetenv("HTTP_PROXY");

    // Release 1.1 as served, 1.0 as installed: the main program and a library change (the
    // library has a previous backup and a private mode), a file stays, and a new file in a new
    // folder and a new executable script arrive.
    served = work.filePath("served");
    const QByteArray mainOld = readAll(QStringLiteral(FAKEMAIN_PATH));
    QVERIFY(!mainOld.isEmpty());
    const QByteArray mainNew = mainOld + "\nrelease 1.1\n";
    const QByteArray coreOld = "core 1.0\n";
    const QByteArray coreNew = "core 1.1\n" + QByteArray(20000, 'c');
    const QByteArray readme = "readme\n";
    const QByteArray added = "new in 1.1\n";
    const QByteArray script = "#!/bin/sh\necho 1.1\n";
    QVERIFY(writeAll(served + "/app", mainNew));
    QVERIFY(writeAll(served + "/lib/core.so", coreNew));
    QVERIFY(writeAll(served + "/data/readme.txt", readme));
    QVERIFY(writeAll(served + "/newdir/sub/new.txt", added));
    QVERIFY(writeAll(served + "/tools/run.sh", script));

    server = new TestHttpServer(served, this);
    QVERIFY(server->listen());
    port = server->port();
    const QString url = QStringLiteral("http://127.0.0.1:%1").arg(port);

    auto config = [&](const QString& version, const QList<QStringList>& files) {
        QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<update>\n"
                                     "  <info version=\"%1\" main=\"app\" server=\"%2\"/>\n")
                          .arg(version, url);
        for (const QStringList& f : files)
            xml += QStringLiteral("  <file path=\"%1\" md5=\"%2\"%3/>\n")
                       .arg(f.at(0), f.at(1), f.value(2));
        return (xml + "</update>\n").toUtf8();
    };
    const QByteArray oldConfig = config("1.0", {{"/app", md5(mainOld)},
                                                {"/lib/core.so", md5(coreOld)},
                                                {"/data/readme.txt", md5(readme)}});
    newConfig = config("1.1", {{"/app", md5(mainNew)},
                               {"/lib/core.so", md5(coreNew)},
                               {"/data/readme.txt", md5(readme)},
                               {"/newdir/sub/new.txt", md5(added)},
                               {"/tools/run.sh", md5(script), " exec=\"1\""}});

    templateDir = work.filePath("template");
    QVERIFY(writeAll(templateDir + "/app", mainOld, 0755));
    QVERIFY(writeAll(templateDir + "/lib/core.so", coreOld, 0640));
    QVERIFY(writeAll(templateDir + "/data/readme.txt", readme));
    QVERIFY(writeAll(templateDir + "/backup/lib/core.so", "core 0.9\n", 0640));
    QVERIFY(writeAll(templateDir + "/config/UpdateCfg.xml", oldConfig));
    QVERIFY(writeAll(templateDir + "/update/UpdateCfg.xml", newConfig));
    oldState = snapshot(templateDir);

    // A clean run, traced: the new release as it must look, and how often each call is made.
    const QString clean = makeInstallation("clean");
    QVERIFY(!clean.isEmpty());
    const QString trace = work.filePath("clean.trace");
    QList<Job> jobs{Job{}};
    jobs[0].dir = clean;
    jobs[0].process =
        start(clean, {"-f", "-qq", "-o", trace, "-e", "trace=" + killedCalls.join(',')});
    waitAll(jobs);
    QVERIFY2(jobs[0].messages.isEmpty(), qPrintable(jobs[0].messages.join(';')));
    QCOMPARE(jobs[0].process->exitCode(), 0);
    newState = snapshot(clean);
    QCOMPARE(readAll(clean + "/app"), mainNew);
    QCOMPARE(readAll(clean + "/config/UpdateCfg.xml"), newConfig);
    QCOMPARE(readAll(clean + "/backup/lib/core.so"), coreOld);
    QCOMPARE(newState.value("tools/run.sh"), script + " mode 755");
    QCOMPARE(newState.value("lib/core.so"), coreNew + " mode 640");
    QVERIFY(!QFileInfo::exists(clean + "/update"));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(clean + "/started.txt"), 30000);

    // The K that can kill: up to the most calls one thread makes of each kind.
    QHash<QString, QHash<QString, int>> perThread;
    const QRegularExpression call(QStringLiteral("^(\\d+)\\s+(\\w+)\\("));
    for (const QByteArray& line : readAll(trace).split('\n')) {
        const auto m = call.match(QString::fromUtf8(line));
        if (m.hasMatch())
            ++perThread[m.captured(2)][m.captured(1)];
    }
    for (const QString& name : killedCalls) {
        int most = 0;
        for (const int n : perThread.value(name))
            most = qMax(most, n);
        callCounts.insert(name, most);
    }
    QVERIFY2(callCounts.value("renameat2") >= 5,
             qPrintable(QString::number(callCounts.value("renameat2"))));
}

void tst_KillMatrix::everyStepSurvivesAKill()
{
    QList<Job> all;
    for (const QString& name : killedCalls)
        for (int k = 1; k <= callCounts.value(name); ++k) {
            Job job;
            job.call = name;
            job.k = k;
            all.append(job);
        }
    QVERIFY(!all.isEmpty());

    QElapsedTimer timer;
    timer.start();
    QStringList failures;
    QMap<QString, int> outcomes;
    int messages = 0;
    for (int first = 0; first < all.size(); first += lanes) {
        QList<Job> batch = all.mid(first, lanes);
        for (Job& job : batch) {
            job.dir = makeInstallation(QStringLiteral("k-%1-%2").arg(job.call).arg(job.k));
            QVERIFY(!job.dir.isEmpty());
            job.process =
                start(job.dir,
                      {"-f", "-qq", "-o", "/dev/null", "-e", "trace=" + job.call, "-e",
                       QStringLiteral("inject=%1:signal=KILL:when=%2").arg(job.call).arg(job.k)});
        }
        waitAll(batch);
        for (Job& job : batch) {
            job.killed = job.process->exitStatus() == QProcess::CrashExit ||
                         job.process->exitCode() == 128 + SIGKILL;
            delete job.process;
            QFile::remove(job.dir + "/started.txt");
        }

        // First start after the kill, the server down.
        server->close();
        for (Job& job : batch)
            job.process = start(job.dir, {});
        waitAll(batch);
        for (Job& job : batch) {
            delete job.process;
            job.afterDown = state(job.dir);
            if (job.afterDown != "new" && job.afterDown != "old")
                job.failure = "after the restart with the server down: " + job.afterDown;
            else if (job.afterDown == "old" &&
                     readAll(job.dir + "/update/UpdateCfg.xml") != newConfig)
                job.failure = "the offered configuration is gone after a rollback";
            QFile::remove(job.dir + "/started.txt");
        }

        // Second start, the server up: the update goes through.
        QVERIFY(server->listen(port));
        for (Job& job : batch)
            job.process = start(job.dir, {});
        waitAll(batch);
        for (Job& job : batch) {
            delete job.process;
            const QString after = state(job.dir);
            if (job.failure.isEmpty() && after != "new")
                job.failure = "after the restart with the server up: " + after;
            // Started detached, the main program may write its mark after the updater ended.
            if (job.failure.isEmpty() &&
                !QTest::qWaitFor([&] { return QFileInfo::exists(job.dir + "/started.txt"); },
                                 30000))
                job.failure = "the main program was not started";
            if (!job.failure.isEmpty())
                failures << QStringLiteral("%1 #%2 (%3): %4\n%5")
                                .arg(job.call)
                                .arg(job.k)
                                .arg(job.killed ? "killed" : "not killed", job.failure,
                                     failures.isEmpty() ? job.lastLog.right(1500) : QString());
            ++outcomes[QStringLiteral("%1 then %2")
                           .arg(job.killed ? "killed" : "ran through", job.afterDown)];
            messages += int(job.messages.size());
            ++installations;
            QDir(job.dir).removeRecursively();
        }
    }
    QStringList counts;
    for (const QString& name : killedCalls)
        counts << QStringLiteral("%1 %2").arg(name).arg(callCounts.value(name));
    QStringList summary;
    for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it)
        summary << QStringLiteral("%1: %2").arg(it.key()).arg(it.value());
    qInfo().noquote() << "kill points per call:" << counts.join(", ");
    qInfo().noquote() << QStringLiteral(
                             "%1 installations, %2 runs, %3 s; %4; runs ending with a message: %5")
                             .arg(installations)
                             .arg(installations * 3)
                             .arg(timer.elapsed() / 1000.0, 0, 'f', 1)
                             .arg(summary.join(", "))
                             .arg(messages);
    if (!failures.isEmpty())
        qInfo().noquote() << QStringLiteral("%1 of %2 installations broken; first: %3")
                                 .arg(failures.size())
                                 .arg(installations)
                                 .arg(failures.first().section('\n', 0, 0));
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));
}

QTEST_GUILESS_MAIN(tst_KillMatrix)
#include "tst_killmatrix.moc"
