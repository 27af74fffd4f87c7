#pragma once

// The log handler: every message of every thread becomes one timestamped line in the log file.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

// Formats one log line: "[yy-MM-dd hh:mm:ss] " + message + "\r\n", in UTF-8 on every system.
// The system code page of a Western Windows has no Chinese: the outcome messages would be lost.
QByteArray formatLogLine(const QDateTime& when, const QString& message);

// Appends one line to the file at path under logMutex: open, write, close. A file that cannot
// be opened drops the line silently.
void appendLogLine(const QString& path, const QDateTime& when, const QString& message);

// Qt message handler writing to logFilePath with the current local time. The message type is
// not written: debug, warning, critical and fatal messages all look alike.
void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

// Where the handler takes the current time from, in seconds since the epoch; read while the log
// lock is held. setLogClock replaces it (null: the system clock) and returns the previous one.
using LogClock = qint64 (*)();
LogClock setLogClock(LogClock clock);
