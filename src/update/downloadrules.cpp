#include "update/downloadrules.h"

#include <QStringList>

#include <algorithm>

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

bool notedBeforeBody(qint64 expectedSize)
{
    return expectedSize < 0 || expectedSize >= qint64(1) << 20;
}

QString partialPath(const QString& path)
{
    return path + QLatin1String(".partial");
}

QString partialInfoPath(const QString& path)
{
    return path + QLatin1String(".partial.info");
}

QStringList partialLookalikes(const QStringList& paths)
{
    QStringList found;
    for (const QString& path : paths) {
        if (path.contains(QLatin1String(".partial"), Qt::CaseInsensitive))
            found.append(path.toCaseFolded());
    }
    found.sort();
    return found;
}

bool partialNamesTaken(const QStringList& lookalikes, const QString& path)
{
    if (lookalikes.isEmpty())
        return false;
    // Both names begin with path + ".partial": any path of the release with that beginning is a
    // file or a folder in the way.
    const QString prefix = partialPath(path).toCaseFolded();
    const auto it = std::lower_bound(lookalikes.cbegin(), lookalikes.cend(), prefix);
    return it != lookalikes.cend() && it->startsWith(prefix);
}

bool parseContentRange(const QByteArray& value, ContentRange* range)
{
    *range = ContentRange();
    const QByteArray text = value.trimmed();
    if (!text.startsWith("bytes "))
        return false;
    const QByteArray bounds = text.mid(6).trimmed();
    const qsizetype dash = bounds.indexOf('-');
    const qsizetype slash = bounds.indexOf('/');
    if (dash <= 0 || slash <= dash + 1)
        return false;
    auto number = [](const QByteArray& digits, qint64* out) {
        if (digits.isEmpty() || digits.size() > 18)
            return false;
        for (char c : digits) {
            if (c < '0' || c > '9')
                return false;
        }
        *out = digits.toLongLong();
        return true;
    };
    ContentRange parsed;
    if (!number(bounds.left(dash), &parsed.first) ||
        !number(bounds.mid(dash + 1, slash - dash - 1), &parsed.last) ||
        !number(bounds.mid(slash + 1), &parsed.total))
        return false;
    if (parsed.last < parsed.first || parsed.last >= parsed.total)
        return false;
    *range = parsed;
    return true;
}

QByteArray rangeValidator(const QByteArray& etag, const QByteArray& lastModified)
{
    const QByteArray tag = etag.trimmed();
    if (tag.size() >= 2 && tag.startsWith('"') && tag.endsWith('"'))
        return tag;
    return lastModified.trimmed();
}
