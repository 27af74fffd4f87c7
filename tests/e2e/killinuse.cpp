// The updater killed while it waits for a file another program holds: each rename of a clean run
// is refused once as a file in use (EBUSY); where the installation waits for it, the run is killed
// as its first pause begins. The starts after it must give one release or the other, then the new.

#include "killmatrix.h"

#include <QtTest>

using namespace killsupport;
using namespace killmatrix;

void tst_KillMatrix::killedWhileWaitingForAFileInUse()
{
    QList<Job> all;
    for (int k = 1; k <= callCounts.value("renameat2"); ++k) {
        Job job;
        job.first = {QStringLiteral("renameat2"), k, QStringLiteral("EBUSY")};
        job.first.killInWait = true;
        all.append(job);
    }
    QVERIFY(!all.isEmpty());

    QStringList failures;
    int killedWaiting = 0;
    for (int first = 0; first < all.size(); first += lanes) {
        QList<Job> batch = all.mid(first, lanes);
        for (Job& job : batch) {
            job.dir = makeInstallation(QStringLiteral("w-%1").arg(job.first.k));
            QVERIFY(!job.dir.isEmpty());
        }
        runAll(batch, [](const Job& job) { return job.first; });
        for (Job& job : batch) {
            job.firstKilled = job.killed;
            QFile::remove(job.dir + "/started.txt");
            const bool waited = job.lastLog.contains(QLatin1String("install: in use: "));
            if (job.killed) {
                // Nothing else pauses: a kill anywhere but in the wait is not what is tested.
                if (!waited)
                    job.failure = QStringLiteral("killed, but not in a wait");
                ++killedWaiting;
                continue;
            }
            // A refused rename that is not waited for (the journal's own, the configuration's)
            // fails the run, which leaves the old release and offers nothing.
            const bool failed = job.lastLog.contains(failedRun);
            const QString after = state(job.dir);
            if (after != (failed ? "old" : "new"))
                job.failure = QStringLiteral("after the run itself: ") + after;
            else if (failed && !writeAll(job.dir + "/update/UpdateCfg.xml", newConfig))
                job.failure = QStringLiteral("cannot offer the release again");
        }

        server->close();
        runAll(batch, {});
        for (Job& job : batch) {
            job.afterDown = state(job.dir);
            QFile::remove(job.dir + "/started.txt");
            if (job.failure.isEmpty() && job.afterDown != "old" && job.afterDown != "new")
                job.failure = "after the restart with the server down: " + job.afterDown;
        }
        QVERIFY(server->listen(port));
        runAll(batch, {});
        for (Job& job : batch) {
            const QString after = state(job.dir);
            if (job.failure.isEmpty() && after != "new")
                job.failure = "after the restart with the server up: " + after;
            if (!job.failure.isEmpty())
                failures << QStringLiteral("%1 (%2): %3\n%4")
                                .arg(job.first.label(), job.firstKilled ? "killed" : "not killed",
                                     job.failure, job.lastLog.right(1500));
            QDir(job.dir).removeRecursively();
        }
    }
    qInfo().noquote() << QStringLiteral("renames refused as in use: %1, killed in the wait: %2")
                             .arg(all.size())
                             .arg(killedWaiting);
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));
    // At least a move to backup/ and one into place were waited for.
    QVERIFY2(killedWaiting >= 2, qPrintable(QString::number(killedWaiting)));
}
