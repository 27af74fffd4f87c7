// Fuzzes the path checks and the download URL with lists of paths, one per line (UTF-8): the
// managed paths, then after a line "====" the ignored ones. Whether a path is safe is checked
// against the rules written another way (a pattern per rule); the first collision against a
// comparison of every pair; and for every safe path the URL must name exactly that path.

#include "fuzzsupport.h"

#include "config/pathcheck.h"
#include "update/downloadrules.h"

#include <QRegularExpression>
#include <QSet>
#include <QStringList>

namespace
{

bool safeByRule(const QString& path)
{
    // Nothing Windows forbids in a name, no control character, no empty, "." or ".." segment, no
    // segment ending in a dot or a space.
    static const QRegularExpression shape(
        QStringLiteral("^(/[^/\\\\:<>\"|?*\\p{Cc}]*[^/\\\\:<>\"|?*\\p{Cc}. ])+\\z"));
    // A device name, then perhaps blanks and an extension (compared in upper case).
    static const QRegularExpression device(
        QStringLiteral("(^|/)(CON|PRN|AUX|NUL|CONIN\\$|CONOUT\\$|(COM|LPT)[0-9\\x{b9}\\x{b2}"
                       "\\x{b3}]) *(\\.[^/]*)?(/|\\z)"));
    static const QRegularExpression ownFiles(
        QStringLiteral("^/(UPDATE(/|\\z)|UPDATECFG\\.XML\\z)"));
    if (!shape.match(path).hasMatch())
        return false;
    QString upper;
    for (const QString& segment : path.split(QLatin1Char('/')))
        upper +=
            (upper.isNull() ? QString(QLatin1String("")) : QStringLiteral("/")) + segment.toUpper();
    return !device.match(upper).hasMatch() && !ownFiles.match(upper).hasMatch();
}

void checkPath(const QString& path)
{
    const bool safe = isSafeFilePath(path);
    fuzz::check(safe == safeByRule(path), safe ? "unsafe path taken" : "safe path refused", path);
    if (!safe)
        return;
    // Whatever the name, the request asks for exactly that path below the server's.
    for (const QString& server : {QStringLiteral("http://h"), QStringLiteral("https://h:8080/r")}) {
        const QUrl url = downloadUrl(server, path);
        fuzz::check(url.isValid() && !url.hasQuery() && !url.hasFragment(), "bad download URL",
                    path);
        fuzz::check(url.path(QUrl::FullyDecoded) == QUrl(server).path() + path,
                    "download URL names another file",
                    path + " -> " + url.toString(QUrl::FullyEncoded));
    }
}

// Whether folded path lies below folded path folder.
bool below(const QString& path, const QString& folder)
{
    return !folder.isEmpty() && path.startsWith(folder + QLatin1Char('/'));
}

// Whether a and b cannot both be files of one installation on a file system that ignores case.
bool clash(const QString& a, const QString& b)
{
    const QString x = a.toCaseFolded();
    const QString y = b.toCaseFolded();
    return a != b && (x == y || below(x, y) || below(y, x));
}

// The first collision found by comparing every pair: the first managed path clashing with an
// earlier one, else the first ignored path clashing with a managed one.
QString firstClash(const QStringList& managed, const QStringList& ignored)
{
    for (qsizetype i = 0; i < managed.size(); ++i) {
        for (qsizetype j = 0; j < i; ++j) {
            if (clash(managed.at(i), managed.at(j)))
                return managed.at(i);
        }
    }
    for (const QString& path : ignored) {
        for (const QString& other : managed) {
            if (clash(path, other))
                return path;
        }
    }
    return QString();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QList<QByteArray> parts = fuzz::sections(fuzz::bytesOf(data, size));
    const QStringList managed = QString::fromUtf8(parts.at(0)).split(QLatin1Char('\n'));
    const QStringList ignored =
        parts.size() > 1 ? QString::fromUtf8(parts.at(1)).split(QLatin1Char('\n')) : QStringList();
    // The pairwise comparison is quadratic: long lists are left to the sanitizers alone.
    for (const QString& path : managed + ignored)
        checkPath(path);
    const QString collision = firstCaseCollision(managed, ignored);
    if (managed.size() + ignored.size() <= 200)
        fuzz::check(collision == firstClash(managed, ignored), "collision differs",
                    collision + " | " + firstClash(managed, ignored));
    return 0;
}
