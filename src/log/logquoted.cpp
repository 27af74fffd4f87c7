#include "log/logquoted.h"

QDebug operator<<(QDebug debug, const LogQuoted& item)
{
    // Restores the stream's quoting afterwards; the spacing is that of a plain string item.
    QDebugStateSaver saver(debug);
    debug.noquote() << (QLatin1Char('"') + item.text + QLatin1Char('"'));
    return debug;
}
