#include "app/loghandler.h"

#include "app/globals.h"
#include "platform/installfs.h"
#include "platform/platform.h"

#include <QDir>
#include <QFile>
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

QString prepareLogFile(const QString& appDir)
{
    logFilePath = appDir + QStringLiteral("/log/") + logFileName;
    // The log's folder and file are the program's own: a link planted there is removed as a
    // link, never followed, so nothing outside the installation is created or deleted.
    InstallFs fs(appDir);
    const QString logDir = QStringLiteral("/log");
    InstallFs::Entry dir;
    if (fs.entry(logDir, &dir) && dir.kind == InstallFs::Kind::Link)
        fs.removeFile(logDir);
    if (fs.entry(logDir, &dir) && !dir.exists())
        fs.makeDir(logDir);
    InstallFs::Entry log;
    const QString logFile = logDir + QLatin1Char('/') + logFileName;
    if (fs.entry(logFile, &log) && log.exists() && log.kind != InstallFs::Kind::Dir)
        fs.removeFile(logFile);
    // A new log begins with the platform's header; an old one that could not be removed gets
    // no second header between its lines.
    const QByteArray header = logFileHeader(currentPlatformFlavour());
    if (!header.isEmpty() && fs.entry(logFile, &log) && !log.exists())
        appendToFile(logFilePath, header);
    return logFilePath;
}
