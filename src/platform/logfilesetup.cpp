#include "platform/logfilesetup.h"

#include "log/appendtofile.h"
#include "log/logvalues.h"
#include "platform/installfs.h"
#include "platform/platform.h"

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
