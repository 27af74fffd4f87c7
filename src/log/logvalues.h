#pragma once

// Process-wide values of the log, shared by start-up, the log handler and the tests.

#include <QMutex>
#include <QString>

// File name of the log inside log/.
extern const QString logFileName;
// Absolute path of the log file; written once at start-up before the handler is installed.
extern QString logFilePath;
// Held by the log handler for one open-write-close of the log file. Not recursive.
extern QMutex logMutex;
