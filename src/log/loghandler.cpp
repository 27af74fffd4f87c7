#include "log/loghandler.h"

#include "log/appendtofile.h"
#include "log/logvalues.h"

#include <QMutexLocker>

namespace
{

const QString timestampFormat = QStringLiteral("[yy-MM-dd hh:mm:ss] ");

// The timestamp changes once a second while a download logs thousands of lines: it is formatted
// once per second. Guarded by logMutex.
qint64 stampSecond = -1;
QByteArray stampBytes;

qint64 systemClock()
{
    return QDateTime::currentSecsSinceEpoch();
}

LogClock logClock = &systemClock;

} // namespace

QByteArray formatLogLine(const QDateTime& when, const QString& message)
{
    const QString line = when.toString(timestampFormat) + message + QStringLiteral("\r\n");
    return line.toUtf8();
}

void appendLogLine(const QString& path, const QDateTime& when, const QString& message)
{
    // Nothing in here may log: the mutex is not recursive and a nested message would wait for
    // the lock its own thread holds.
    QMutexLocker locker(&logMutex);
    appendToFile(path, formatLogLine(when, message));
}

void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    Q_UNUSED(type);
    Q_UNUSED(context);
    // Encoded apart from the timestamp, which is plain ASCII.
    const QByteArray text = (message + QStringLiteral("\r\n")).toUtf8();

    QMutexLocker locker(&logMutex);
    // Read under the lock: a thread that waited for it across a second boundary must not write
    // an earlier stamp after a later one.
    const qint64 second = logClock();
    if (second != stampSecond) {
        stampSecond = second;
        stampBytes = QDateTime::fromSecsSinceEpoch(second).toString(timestampFormat).toUtf8();
    }
    // One write per line: each line is with the system once the message returns.
    appendToFile(logFilePath, stampBytes + text);
}

LogClock setLogClock(LogClock clock)
{
    QMutexLocker locker(&logMutex);
    const LogClock previous = logClock;
    logClock = clock ? clock : &systemClock;
    stampSecond = -1;
    return previous;
}
