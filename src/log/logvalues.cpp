#include "log/logvalues.h"

const QString logFileName = QStringLiteral("update.log");
QString logFilePath;
QMutex logMutex;
