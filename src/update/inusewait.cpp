#include "update/inusewait.h"

#include "log/logquoted.h"
#include "platform/installfs.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QElapsedTimer>
#include <QThread>

#include <cerrno>

namespace
{

// The path in quotes as logQuoted() writes it, the comma after it in the same item.
QString quotedWithComma(const QString& path)
{
    return QLatin1Char('"') + path + QLatin1String("\",");
}

// The thread's owner asks it to end (the window is closed): no more waiting.
bool stopRequested()
{
    return QThread::currentThread()->isInterruptionRequested();
}

} // namespace

InUseWait::InUseWait(int limitMs) : limit(qMax(0, limitMs))
{
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    now = [clock] { return clock->elapsed(); };
    pause = [](int ms) {
        // In short steps, so that a window closed meanwhile is not kept waiting.
        const QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired() && !stopRequested())
            QThread::msleep(ulong(qMin<qint64>(50, qMax<qint64>(1, deadline.remainingTime()))));
    };
}

void InUseWait::setClock(std::function<qint64()> nowMs, std::function<void(int)> pauseMs)
{
    now = std::move(nowMs);
    pause = std::move(pauseMs);
}

void InUseWait::setNotify(std::function<void(bool)> notifyWaiting)
{
    notify = std::move(notifyWaiting);
}

bool InUseWait::inUse(int error)
{
    return error == EBUSY || error == ETXTBSY;
}

bool InUseWait::attempt(InstallFs& fs, const QString& relative, const std::function<bool()>& step)
{
    givenUp.clear();
    int next = firstPauseMs;
    qint64 waitedHere = 0;
    for (;;) {
        if (step()) {
            if (waitedHere > 0) {
                qDebug() << "install: no longer in use:" << logQuoted(fs.absolutePath(relative))
                         << "after" << waitedHere << "ms";
                if (notify)
                    notify(false);
            }
            return true;
        }
        if (!inUse(fs.lastError()))
            return false;
        const qint64 left = limit - spent;
        if (left <= 0 || stopRequested()) {
            qDebug().noquote() << "install: still in use:"
                               << quotedWithComma(fs.absolutePath(relative)) << "given up after"
                               << spent << "ms of waiting in all";
            givenUp = relative;
            return false;
        }
        const int ms = int(qMin<qint64>(next, left));
        qDebug().noquote() << "install: in use:" << quotedWithComma(fs.absolutePath(relative))
                           << "waiting" << ms << "ms";
        if (notify)
            notify(true);
        const qint64 before = now();
        pause(ms);
        // What the clock says, not what was asked: a pause may end late (a loaded machine) and
        // the bound is on the time the user waits. Never less than asked, so that a clock that
        // does not move still ends the wait.
        const qint64 took = qMax<qint64>(now() - before, ms);
        spent += took;
        waitedHere += took;
        next = qMin(next * 2, longestPauseMs);
    }
}

qint64 InUseWait::waited() const
{
    return spent;
}

QString InUseWait::stillInUse() const
{
    return givenUp;
}
