#pragma once

// Process-wide values shared by start-up, the log handler and the worker.

#include <QMutex>
#include <QString>

// File name of both configuration files, config/UpdateCfg.xml and update/UpdateCfg.xml.
extern const QString configFileName;
// File name of the log inside log/.
extern const QString logFileName;
// Absolute path of the log file; written once at start-up before the handler is installed.
extern QString logFilePath;
// Held by the log handler for one open-write-close of the log file. Not recursive.
extern QMutex logMutex;
