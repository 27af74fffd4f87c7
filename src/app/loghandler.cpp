#include "app/loghandler.h"

#include "app/globals.h"

#include <QDir>
#include <QFile>
#include <QMutexLocker>

QByteArray formatLogLine(const QDateTime& when, const QString& message)
{
    const QString line =
        when.toString(QStringLiteral("[yy-MM-dd hh:mm:ss] ")) + message + QStringLiteral("\r\n");
    return line.toLocal8Bit();
}

void appendLogLine(const QString& path, const QDateTime& when, const QString& message)
{
    // Nothing in here may log: the mutex is not recursive and a nested message would wait for
    // the lock its own thread holds.
    QMutexLocker locker(&logMutex);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    file.write(formatLogLine(when, message));
    file.close();
}

void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    Q_UNUSED(type);
    Q_UNUSED(context);
    appendLogLine(logFilePath, QDateTime::currentDateTime(), message);
}

QString prepareLogFile(const QString& appDir)
{
    logFilePath = appDir + QStringLiteral("/log/") + logFileName;
    QDir dir;
    const QString logDir = appDir + QStringLiteral("/log/");
    if (!dir.exists(logDir))
        dir.mkdir(logDir);
    if (QFile::exists(logFilePath))
        QFile::remove(logFilePath);
    return logFilePath;
}
