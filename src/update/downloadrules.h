#pragma once

// Where a file of a release is fetched from, and how many bytes its download may bring.

#include <QByteArray>
#include <QString>
#include <QStringList>
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

// A download cut short keeps its bytes under update/ at partialPath(path), never under the
// file's own name, and beside them the note of the answer they came from (PartialInfo) at
// partialInfoPath(path). path is the file's local path ("/update/dir/name").
QString partialPath(const QString& path);
QString partialInfoPath(const QString& path);
// Whether a file of expectedSize bytes (-1 when unknown) has its note written before the first
// byte of its body, so that even a kill leaves bytes the next run can continue: files of 1 MiB
// and more, and those of unknown size. A smaller file has its note written only when its
// download stops short with the program still running (a network error, the window closed);
// after a kill it is fetched whole again, which costs less than a note created and removed for
// each of thousands of small files.
bool notedBeforeBody(qint64 expectedSize);

// The paths of a release whose names could be taken for the partial file, or its note, of
// another path: those containing ".partial" in any letter case, case-folded and sorted. Usually
// empty.
QStringList partialLookalikes(const QStringList& paths);
// Whether a file of the release (given by partialLookalikes()) lies where path's partial file or
// its note would go, in any letter case: path is then fetched without keeping partial bytes.
bool partialNamesTaken(const QStringList& lookalikes, const QString& path);

// The byte range a 206 answer says it carries, from "bytes <first>-<last>/<total>". A total of
// "*" or anything malformed does not parse.
struct ContentRange {
    qint64 first = -1;
    qint64 last = -1;
    qint64 total = -1;
};
bool parseContentRange(const QByteArray& value, ContentRange* range);

// What an If-Range header may carry for an answer: its entity tag when that is strong, otherwise
// its Last-Modified date; empty when it gives neither (a weak tag cannot ask for a range).
QByteArray rangeValidator(const QByteArray& etag, const QByteArray& lastModified);
