#include "config/pathcheck.h"

#include <QStringList>

bool isSafeFilePath(const QString& path)
{
    if (!path.startsWith(QLatin1Char('/')))
        return false;
    for (const QChar c : path) {
        if (c == QLatin1Char('\\') || c == QLatin1Char(':') || c.category() == QChar::Other_Control)
            return false;
    }
    const QStringList segments = path.mid(1).split(QLatin1Char('/'));
    for (const QString& segment : segments) {
        if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String(".."))
            return false;
    }
    // Compared without case: Windows file names are case-insensitive. "/UpdateCfg.xml" would land
    // on the new configuration inside update/.
    if (segments.first().compare(QLatin1String("update"), Qt::CaseInsensitive) == 0)
        return false;
    if (segments.size() == 1 &&
        segments.first().compare(QLatin1String("UpdateCfg.xml"), Qt::CaseInsensitive) == 0)
        return false;
    return true;
}
