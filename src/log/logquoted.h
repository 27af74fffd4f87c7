#pragma once

// Log items that are texts are written inside double quotes exactly as they stand: a quote, a
// backslash or a line break inside the text is not escaped, so the log shows paths, digests and
// error strings as they are. Qt's debug stream escapes quoted strings; stream logQuoted(text)
// instead of the QString itself:
//
//     qDebug() << "download:" << logQuoted(url) << logQuoted(localPath);

#include <QDebug>
#include <QString>

class LogQuoted
{
public:
    explicit LogQuoted(const QString& text) : text(text) {}

    QString text;
};

inline LogQuoted logQuoted(const QString& text)
{
    return LogQuoted(text);
}

// Writes '"' + text + '"' as one item: the stream's spacing stays as for any other item.
QDebug operator<<(QDebug debug, const LogQuoted& item);
