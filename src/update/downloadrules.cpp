#include "update/downloadrules.h"

#include <QStringList>

QUrl downloadUrl(const QString& server, const QString& path)
{
    QString encoded;
    const QStringList segments = path.split(QLatin1Char('/'));
    for (qsizetype i = 0; i < segments.size(); ++i) {
        if (i > 0)
            encoded += QLatin1Char('/');
        encoded += QString::fromLatin1(QUrl::toPercentEncoding(segments.at(i)));
    }
    // Tolerant parsing takes the server as a person wrote it (a space becomes %20); the encoded
    // path holds nothing it would reinterpret.
    return QUrl(server + encoded, QUrl::TolerantMode);
}

qint64 unknownLengthLimit(qint64 bytesAvailable)
{
    constexpr qint64 ceiling = qint64(4) << 30;
    if (bytesAvailable < 0)
        return ceiling;
    return qMin(ceiling, bytesAvailable / 2);
}
