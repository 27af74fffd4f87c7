#pragma once

// The kill matrix's test class, its strikes and its jobs: one program, its functions in
// tst_killmatrix.cpp (the matrix of the first run, the failed flush of a copy) and
// killrecovery.cpp (the recovery killed in turn).

#include "killsupport.h"
#include "testhttpserver.h"
#include "tmpfsmount.h"

#include <QMap>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <list>

namespace killmatrix
{

// The calls by which the installation changes the disk, and those that make its records durable.
inline const QStringList killedCalls{"renameat2", "renameat", "unlinkat", "mkdirat",
                                     "fdatasync", "fsync",    "fchmod",   "syncfs"};
// Installations killed and restarted side by side.
inline const int lanes = 3;
inline const QString journal = QStringLiteral("/backup/.install-journal");
inline const QString failedRun = QStringLiteral("Controller::slot_updateFinished false ");

// Where strace strikes a run: as it enters the k-th call (in one thread) of a kind, with a kill or
// an error. journalOnly counts only the calls on the installation's journal.
struct Strike {
    QString call;
    int k = 0;
    QString effect = QStringLiteral("KILL"); // or an errno name
    bool journalOnly = false;
    // Also killed as any thread first pauses: the wait for a file in use begins.
    bool killInWait = false;

    bool isSet() const { return !call.isEmpty(); }
    QString label() const
    {
        return QStringLiteral("%1%2 #%3%4")
            .arg(call, journalOnly ? " to the journal" : "")
            .arg(k)
            .arg((effect == "KILL" ? QString() : " (" + effect + ")") +
                 (killInWait ? " killed in the wait" : ""));
    }
};

// One installation going through a strike and the starts after it.
struct Job {
    Strike first;
    // The strike on the start after the first (its recovery), when there is one.
    Strike second;
    QString dir;
    QString trace = QStringLiteral("/dev/null");
    QProcess* process = nullptr;
    // Whether the latest run, and the first, were killed.
    bool killed = false;
    bool firstKilled = false;
    QString afterDown; // "old" or "new"
    QString failure;
    // The failure messages of its runs.
    QStringList messages;
    QString lastLog;
    // What the strike hits, for the report.
    QString note;
};

} // namespace killmatrix

using killmatrix::Job;
using killmatrix::Strike;

class tst_KillMatrix : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyStepSurvivesAKill();
    void failedFlushOfACopyIsNoSuccess();
    void killedRecoveryIsTakenUpAgain();
    void killedWhileWaitingForAFileInUse();

private:
    QString makeInstallation(const QString& name);
    // An installation whose lib/ is a file system of its own, so that every move into or out of
    // it is a copy; empty (with skipReason set when mounting is refused) on failure.
    QString makeSplitInstallation(const QString& name);
    QProcess* start(const QString& dir, const QStringList& strace);
    QStringList straceArgs(const Strike& strike, const QString& dir, const QString& trace) const;
    // Starts every job, under strace where pick gives a strike, waits for every one to end and
    // notes whether it was killed.
    void runAll(QList<Job>& jobs, const std::function<Strike(const Job&)>& pick);
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
    int journalWrites = 0;
    int installations = 0;
    std::list<TmpfsMount> splitMounts;
    QString skipReason;
};
