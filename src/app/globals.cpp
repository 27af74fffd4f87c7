#include "app/globals.h"

const QString configFileName = QStringLiteral("UpdateCfg.xml");
const QString logFileName = QStringLiteral("update.log");
QString logFilePath;
QMutex logMutex;
