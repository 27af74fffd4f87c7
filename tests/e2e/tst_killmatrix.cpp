// The built updater killed at every step of an installation, then started again twice: once with
// the server down, once with it up. After each start the installation must be wholly the old
// release or wholly the new one (files, modes, configuration, backup/), never a mix, never with
// a copy lost; after the second the new release is installed and the main program was started.
//
// The kill comes from strace: "-e inject=SYSCALL:signal=KILL:when=K" kills the process as it
// enters its K-th call of SYSCALL (counted per thread), before the call does anything. Every K
// that a clean run reaches is tried, for every kind of call the installation makes, and for the
// writes to the journal (killed, or failing as on a bad disk) between a step and its record.
// The start after a kill is itself killed at the steps of its recovery, and a third start must
// then end with one release or the other. With a folder on a file system of its own, a flush of
// a copy that fails must not be taken for a finished copy.

#include "killmatrix.h"

#include <QElapsedTimer>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>
#include <unistd.h>

using namespace killsupport;
using namespace killmatrix;

QString tst_KillMatrix::makeSplitInstallation(const QString& name)
{
    const QString dir = makeInstallation(name);
    const QString lib = dir + "/lib";
    if (dir.isEmpty() || !QDir().rename(lib, dir + "/lib.aside"))
        return QString();
    splitMounts.emplace_back();
    if (!splitMounts.back().mount(lib, 16 * 1024 * 1024, &skipReason) ||
        !copyTree(dir + "/lib.aside", lib) || !QDir(dir + "/lib.aside").removeRecursively())
        return QString();
    return dir;
}

QStringList tst_KillMatrix::straceArgs(const Strike& strike, const QString& dir,
                                       const QString& trace) const
{
    QStringList args{"-f", "-qq", "-y", "-o", trace};
    // Traced only, to count the calls.
    if (strike.effect.isEmpty())
        return args << "-e"
                    << "trace=" + strike.call;
    // Only the calls on the journal are traced, and so counted.
    if (strike.journalOnly)
        args << "-P" << dir + journal;
    const QString effect =
        strike.effect == "KILL" ? QStringLiteral("signal=KILL") : "error=" + strike.effect;
    const QString sleeps = QStringLiteral("nanosleep,clock_nanosleep");
    args << "-e"
         << "trace=" + strike.call + (strike.killInWait ? "," + sleeps : QString()) << "-e"
         << QStringLiteral("inject=%1:%2:when=%3").arg(strike.call, effect).arg(strike.k);
    if (strike.killInWait)
        args << "-e"
             << "inject=" + sleeps + ":signal=KILL:when=1";
    return args;
}

void tst_KillMatrix::runAll(QList<Job>& jobs, const std::function<Strike(const Job&)>& pick)
{
    for (Job& job : jobs) {
        const Strike strike = pick ? pick(job) : Strike();
        job.process =
            start(job.dir, strike.isSet() ? straceArgs(strike, job.dir, job.trace) : QStringList());
    }
    waitAll(jobs);
    for (Job& job : jobs) {
        job.killed = job.process->exitStatus() == QProcess::CrashExit ||
                     job.process->exitCode() == 128 + SIGKILL;
        delete job.process;
        job.process = nullptr;
    }
}

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
        if (job.lastLog.contains(failedRun))
            job.messages.append(job.lastLog.section(failedRun, 1, 1).section('\r', 0, 0));
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
    installRoot = QFileInfo(work.path()).canonicalFilePath() + "/installations";
    QString reason;
    if (!installFs.mount(installRoot, qint64(512) * 1024 * 1024, &reason))
        qInfo().noquote() << reason << "- installations on the disk";
    qunsetenv("http_proxy");
    qunsetenv("HTTP_PROXY");

    // Release 1.1 as served, 1.0 as installed: the main program and a library change (the
    // library has a previous backup and a private mode), a file stays, and a new file in a new
    // folder and a new executable script arrive. 1.1 prunes: a plug-in goes with its folder, and
    // a skin goes from a folder that keeps a user's file.
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
                                     "  <info version=\"%1\" main=\"app\" server=\"%2\"%3/>\n")
                          .arg(version, url, version == "1.0" ? "" : " prune=\"1\"");
        for (const QStringList& f : files)
            xml += QStringLiteral("  <file path=\"%1\" md5=\"%2\"%3/>\n")
                       .arg(f.at(0), f.at(1), f.value(2));
        return (xml + "</update>\n").toUtf8();
    };
    const QByteArray plugin = "plug-in 1.0\n";
    const QByteArray skin = "skin 1.0\n";
    const QByteArray oldConfig = config("1.0", {{"/app", md5(mainOld)},
                                                {"/lib/core.so", md5(coreOld)},
                                                {"/data/readme.txt", md5(readme)},
                                                {"/plugins/sub/old.so", md5(plugin)},
                                                {"/skins/old.css", md5(skin)}});
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
    QVERIFY(writeAll(templateDir + "/plugins/sub/old.so", plugin));
    QVERIFY(writeAll(templateDir + "/skins/old.css", skin));
    QVERIFY(writeAll(templateDir + "/skins/mine.css", "the user's own\n"));
    QVERIFY(writeAll(templateDir + "/config/UpdateCfg.xml", oldConfig));
    QVERIFY(writeAll(templateDir + "/update/UpdateCfg.xml", newConfig));
    oldState = snapshot(templateDir);

    // A clean run, traced: the new release as it must look, and how often each call is made.
    const QString clean = makeInstallation("clean");
    QVERIFY(!clean.isEmpty());
    const QString trace = work.filePath("clean.trace");
    QList<Job> jobs{Job{}};
    jobs[0].dir = clean;
    jobs[0].process = start(
        clean, {"-f", "-qq", "-y", "-o", trace, "-e", "trace=write," + killedCalls.join(',')});
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
    QCOMPARE(readAll(clean + "/backup/plugins/sub/old.so"), plugin);
    QCOMPARE(readAll(clean + "/backup/skins/old.css"), skin);
    QVERIFY(!QFileInfo::exists(clean + "/plugins"));
    QCOMPARE(QDir(clean + "/skins").entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{"mine.css"});
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(clean + "/started.txt"), 30000);

    // The K that can kill: up to the most calls one thread makes of each kind.
    const QList<TracedCall> calls = tracedCalls(readAll(trace));
    for (const QString& name : killedCalls)
        callCounts.insert(name, mostPerThread(calls, name, [](const TracedCall&) { return true; }));
    journalWrites = mostPerThread(calls, QStringLiteral("write"),
                                  [&](const TracedCall& c) { return c.path == clean + journal; });
    QVERIFY2(callCounts.value("renameat2") >= 5,
             qPrintable(QString::number(callCounts.value("renameat2"))));
    QVERIFY2(journalWrites >= 3, qPrintable(QString::number(journalWrites)));
}

void tst_KillMatrix::everyStepSurvivesAKill()
{
    QList<Job> all;
    auto add = [&](const Strike& strike) {
        Job job;
        job.first = strike;
        all.append(job);
    };
    for (const QString& name : killedCalls)
        for (int k = 1; k <= callCounts.value(name); ++k)
            add({name, k});
    // Between a step and its record: killed as the record is written, or the record refused.
    for (int k = 1; k <= journalWrites; ++k) {
        add({QStringLiteral("write"), k, QStringLiteral("KILL"), true});
        add({QStringLiteral("write"), k, QStringLiteral("EIO"), true});
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
            job.dir = makeInstallation(QStringLiteral("k-%1-%2-%3-%4")
                                           .arg(job.first.call)
                                           .arg(job.first.k)
                                           .arg(job.first.effect)
                                           .arg(job.first.journalOnly));
            QVERIFY(!job.dir.isEmpty());
        }
        runAll(batch, [](const Job& job) { return job.first; });
        for (Job& job : batch) {
            job.firstKilled = job.killed;
            QFile::remove(job.dir + "/started.txt");
            if (job.killed)
                continue;
            // A run that ends by itself leaves one release or the other: the old one, and no
            // update/, when it failed. The application then offers the release again.
            const QString after = state(job.dir);
            const bool failed = job.lastLog.contains(failedRun);
            if (after != (failed ? "old" : "new"))
                job.failure = QStringLiteral("after the run itself (%1): %2")
                                  .arg(failed ? "failed" : "succeeded", after);
            else if (failed && !writeAll(job.dir + "/update/UpdateCfg.xml", newConfig))
                job.failure = "cannot offer the release again";
        }

        // First start after the kill, the server down.
        server->close();
        runAll(batch, {});
        for (Job& job : batch) {
            job.afterDown = state(job.dir);
            QFile::remove(job.dir + "/started.txt");
            if (!job.failure.isEmpty())
                continue;
            if (job.afterDown != "new" && job.afterDown != "old")
                job.failure = "after the restart with the server down: " + job.afterDown;
            else if (job.afterDown == "old" &&
                     readAll(job.dir + "/update/UpdateCfg.xml") != newConfig)
                job.failure = "the offered configuration is gone after a rollback";
        }

        // Second start, the server up: the update goes through.
        QVERIFY(server->listen(port));
        runAll(batch, {});
        for (Job& job : batch) {
            const QString after = state(job.dir);
            if (job.failure.isEmpty() && after != "new")
                job.failure = "after the restart with the server up: " + after;
            // Started detached, the main program may write its mark after the updater ended.
            if (job.failure.isEmpty() &&
                !QTest::qWaitFor([&] { return QFileInfo::exists(job.dir + "/started.txt"); },
                                 30000))
                job.failure = "the main program was not started";
            if (!job.failure.isEmpty())
                failures << QStringLiteral("%1 (%2): %3\n%4")
                                .arg(job.first.label(), job.firstKilled ? "killed" : "not killed",
                                     job.failure,
                                     failures.isEmpty() ? job.lastLog.right(1500) : QString());
            ++outcomes[QStringLiteral("%1 then %2")
                           .arg(job.firstKilled ? "killed" : "ran through", job.afterDown)];
            messages += int(job.messages.size());
            ++installations;
            QDir(job.dir).removeRecursively();
        }
    }
    QStringList counts;
    for (const QString& name : killedCalls)
        counts << QStringLiteral("%1 %2").arg(name).arg(callCounts.value(name));
    counts << QStringLiteral("write to the journal %1, killed and failing").arg(journalWrites);
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

void tst_KillMatrix::failedFlushOfACopyIsNoSuccess()
{
    // A clean run, traced with the paths of the descriptors: which flushes are those of a copy
    // (a temporary ".<name>.~<n>" beside its target) and where each stands among the flushes
    // of its thread.
    const QString clean = makeSplitInstallation(QStringLiteral("split-clean"));
    if (clean.isEmpty() && !skipReason.isEmpty())
        QSKIP(qPrintable(skipReason));
    QVERIFY(!clean.isEmpty());
    QList<Job> jobs{Job{}};
    jobs[0].dir = clean;
    jobs[0].trace = work.filePath("split-clean.trace");
    jobs[0].process = start(clean, {"-f", "-qq", "-y", "-o", jobs[0].trace, "-e", "trace=fsync"});
    waitAll(jobs);
    delete jobs[0].process;
    QVERIFY2(jobs[0].messages.isEmpty(), qPrintable(jobs[0].messages.join(';')));
    QCOMPARE(state(clean), QStringLiteral("new"));

    const QRegularExpression copyName(QStringLiteral("/\\.[^/]+\\.~\\d+$"));
    QHash<QString, int> perThread;
    QList<Job> all;
    for (const TracedCall& call : tracedCalls(readAll(jobs[0].trace))) {
        if (call.name != "fsync")
            continue;
        const int k = ++perThread[call.thread];
        if (!copyName.match(call.path).hasMatch())
            continue;
        Job job;
        job.first = {QStringLiteral("fsync"), k, QStringLiteral("EIO")};
        job.note = call.path.mid(clean.size());
        all.append(job);
    }
    // Out of lib/ into backup/, and into lib/ from update/.
    QVERIFY2(all.size() >= 2, qPrintable(QString::number(all.size())));

    QStringList failures;
    for (int first = 0; first < all.size(); first += lanes) {
        QList<Job> batch = all.mid(first, lanes);
        for (Job& job : batch) {
            job.dir = makeSplitInstallation(QStringLiteral("split-%1").arg(job.first.k));
            QVERIFY(!job.dir.isEmpty());
            job.trace = job.dir + ".trace";
        }
        runAll(batch, [](const Job& job) { return job.first; });
        for (Job& job : batch) {
            const QString& copy = job.note;
            const QString now = state(job.dir);
            const QByteArray trace = readAll(job.trace);
            QString problem;
            if (!trace.contains("(INJECTED)")) {
                problem = "the flush was not reached";
            } else if (job.lastLog.contains(failedRun)) {
                if (now != "old")
                    problem = "failed, and left " + now;
            } else {
                // Success only with the copy made again: a later flush of a copy to the same
                // target that went through.
                const QByteArray after = trace.mid(trace.indexOf("(INJECTED)"));
                const QString stem = job.dir + copy.left(copy.lastIndexOf(QLatin1String(".~")));
                const bool remade =
                    QRegularExpression("fsync\\(\\d+<" + QRegularExpression::escape(stem) +
                                       "\\.~\\d+>\\)\\s+= 0")
                        .match(QString::fromUtf8(after))
                        .hasMatch();
                if (!remade || now != "new")
                    problem = "reported success though the copy was never flushed; " + now;
            }
            if (!problem.isEmpty())
                failures << QStringLiteral("%1 (%2): %3\n%4")
                                .arg(job.first.label(), copy, problem,
                                     failures.isEmpty() ? job.lastLog.right(1500) : QString());
        }
    }
    qInfo().noquote() << QStringLiteral("flushes of copies failed: %1").arg(all.size());
    QStringList broken;
    for (const QString& failure : failures)
        broken << failure.section('\n', 0, 0);
    if (!broken.isEmpty())
        qInfo().noquote() << QStringLiteral("%1 of %2 broken: %3")
                                 .arg(broken.size())
                                 .arg(all.size())
                                 .arg(broken.join("; "));
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));
}

QTEST_GUILESS_MAIN(tst_KillMatrix)
