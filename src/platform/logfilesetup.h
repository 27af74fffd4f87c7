#pragma once

// Makes the log's place at start-up. It works through the installation's file layer, which the
// log itself must not depend on, so it lives here and not with the log handler.

#include <QString>

// Start-up steps for the log: logFilePath = appDir + "/log/" + logFileName, the log directory
// created when missing (one level), an old log removed and the new one begun with the platform's
// log file header (see logFileHeader). Returns the path set.
QString prepareLogFile(const QString& appDir);
