// The start after a kill killed in turn, at the steps of its recovery, and a third start that
// must end with one release or the other.

#include "killmatrix.h"

#include <QElapsedTimer>
#include <QSet>
#include <QtTest>

#include <algorithm>

using namespace killsupport;
using namespace killmatrix;

namespace
{

// Recovery steps killed when every step of every recovery would cost too long; see below.
const int recoveryBudget = 75;

// The steps of the recovery in an "strace -f" log of a start, in order: the calls its main thread
// makes before any other thread makes one (the worker begins once the recovery is over), each as
// the strike that kills the start there.
QList<Strike> recoverySteps(const QByteArray& trace)
{
    QList<Strike> steps;
    QHash<QString, int> seen;
    QString mainThread;
    for (const TracedCall& call : tracedCalls(trace)) {
        if (mainThread.isEmpty()) {
            if (call.name == "execve")
                mainThread = call.thread;
        } else if (call.thread != mainThread) {
            break;
        } else if (killedCalls.contains(call.name)) {
            steps.append({call.name, ++seen[call.name]});
        }
    }
    return steps;
}

} // namespace

void tst_KillMatrix::killedRecoveryIsTakenUpAgain()
{
    QElapsedTimer timer;
    timer.start();
    QList<Job> firsts;
    for (const QString& name : killedCalls)
        for (int k = 1; k <= callCounts.value(name); ++k) {
            Job job;
            job.first = {name, k};
            firsts.append(job);
        }

    // Each kill of a first run that leaves a journal, and what its recovery does: the start
    // after it traced, with the server down.
    QList<QList<Job>> recoveries;
    QSet<QString> seen;
    const Strike count{"execve," + killedCalls.join(','), 0, QString()};
    for (int first = 0; first < firsts.size(); first += lanes) {
        QList<Job> batch = firsts.mid(first, lanes);
        for (Job& job : batch) {
            job.dir =
                makeInstallation(QStringLiteral("r-%1-%2").arg(job.first.call).arg(job.first.k));
            QVERIFY(!job.dir.isEmpty());
            job.trace = job.dir + ".trace";
        }
        runAll(batch, [](const Job& job) { return job.first; });
        QList<Job> recovering;
        for (const Job& job : batch) {
            if (job.killed && QFileInfo::exists(job.dir + journal))
                recovering.append(job);
            else
                QDir(job.dir).removeRecursively();
        }
        server->close();
        runAll(recovering, [&](const Job&) { return count; });
        QVERIFY(server->listen(port));
        for (const Job& job : recovering) {
            const QList<Strike> steps = recoverySteps(readAll(job.trace));
            QStringList signature;
            for (const Strike& step : steps)
                signature << step.label();
            // Kills whose recoveries make the same steps leave the installation in the same
            // shape as far as the recovery is concerned: one of them stands for all.
            if (!steps.isEmpty() && !seen.contains(signature.join(','))) {
                seen.insert(signature.join(','));
                QList<Job> pairs;
                for (const Strike& step : steps) {
                    Job pair;
                    pair.first = job.first;
                    pair.second = step;
                    pairs.append(pair);
                }
                recoveries.append(pairs);
            }
            QDir(job.dir).removeRecursively();
        }
    }
    QVERIFY(!recoveries.isEmpty());

    // Every step of every recovery would be a few hundred installations of three runs. The
    // longest recovery is killed at each of its steps; every other one on a diagonal, at every
    // n-th step, starting one step later for each recovery, so that every position in a
    // recovery (early undos, late ones, the removal of the journal) is struck somewhere.
    std::stable_sort(recoveries.begin(), recoveries.end(),
                     [](const QList<Job>& a, const QList<Job>& b) { return a.size() > b.size(); });
    int counted = 0;
    for (const QList<Job>& pairs : recoveries)
        counted += int(pairs.size());
    const int rest = counted - int(recoveries.first().size());
    const int room = qMax(1, recoveryBudget - int(recoveries.first().size()));
    const int stride = qMax(1, (rest + room - 1) / room);
    QList<Job> pairs = recoveries.first();
    for (int i = 1; i < recoveries.size(); ++i)
        for (int r = 0; r < recoveries.at(i).size(); ++r)
            if ((i + r) % stride == 0)
                pairs.append(recoveries.at(i).at(r));

    // The first kill, the recovery killed at one of its steps (the server down), and a third
    // start that must end with one release or the other.
    QStringList failures;
    QMap<QString, int> outcomes;
    for (int first = 0; first < pairs.size(); first += lanes) {
        QList<Job> batch = pairs.mid(first, lanes);
        for (int i = 0; i < batch.size(); ++i) {
            batch[i].dir = makeInstallation(QStringLiteral("rr-%1").arg(first + i));
            QVERIFY(!batch[i].dir.isEmpty());
        }
        runAll(batch, [](const Job& job) { return job.first; });
        for (Job& job : batch)
            job.firstKilled = job.killed;
        server->close();
        runAll(batch, [](const Job& job) { return job.second; });
        for (Job& job : batch) {
            // The same kill leaves the same journal, whose recovery makes the same calls.
            if (!job.firstKilled || !job.killed)
                job.failure = job.firstKilled ? "the recovery was not killed"
                                              : "the first run was not killed";
            QFile::remove(job.dir + "/started.txt");
        }
        runAll(batch, {});
        QVERIFY(server->listen(port));
        for (Job& job : batch) {
            const QString after = state(job.dir);
            if (!job.failure.isEmpty()) {
                // Reported as it is.
            } else if (after != "new" && after != "old") {
                job.failure = "after the third start: " + after;
            } else if (QFileInfo::exists(job.dir + journal)) {
                job.failure = "the journal is still there after the third start";
            } else if (after == "old" && readAll(job.dir + "/update/UpdateCfg.xml") != newConfig) {
                job.failure = "the offered configuration is gone after a rollback";
            }
            if (!job.failure.isEmpty())
                failures << QStringLiteral("%1, recovery %2: %3\n%4")
                                .arg(job.first.label(), job.second.label(), job.failure,
                                     failures.isEmpty() ? job.lastLog.right(1500) : QString());
            ++outcomes[after.left(5)];
            QDir(job.dir).removeRecursively();
        }
    }
    QStringList summary;
    for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it)
        summary << QStringLiteral("%1: %2").arg(it.key()).arg(it.value());
    qInfo().noquote() << QStringLiteral("%1 recovery kill points after %2 kills (%3 different "
                                        "recoveries), %4 tried, %5 s; after the third start %6")
                             .arg(counted)
                             .arg(firsts.size())
                             .arg(recoveries.size())
                             .arg(pairs.size())
                             .arg(timer.elapsed() / 1000.0, 0, 'f', 1)
                             .arg(summary.join(", "));
    if (!failures.isEmpty())
        qInfo().noquote() << QStringLiteral("%1 of %2 installations broken; first: %3")
                                 .arg(failures.size())
                                 .arg(pairs.size())
                                 .arg(failures.first().section('\n', 0, 0));
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));
}
