#pragma once

// Where a file of a release is fetched from, and how many bytes its download may bring.

#include <QString>
#include <QUrl>

// The URL of the file at path (a configuration path, "/dir/name") on server. The server part is
// used as given; every segment of path is percent-encoded whole, so that "#", "?", "%" and the
// like in a file name stay part of that name ("/d#1/a%2Fb.txt" is fetched as
// "<server>/d%231/a%252Fb.txt") and non-ASCII names travel as UTF-8.
QUrl downloadUrl(const QString& server, const QString& path);

// Most bytes a download whose length nobody told us (no size attribute, no Content-Length) may
// bring: 4 GiB, or half of the space free for update/ when that is less. A file that big is far
// beyond what an application release ships as one file without saying its size, and the half
// keeps an endless body from filling the disk the installation and the system live on.
// bytesAvailable below 0 means unknown.
qint64 unknownLengthLimit(qint64 bytesAvailable);
