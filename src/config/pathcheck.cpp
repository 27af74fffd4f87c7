#include "config/pathcheck.h"

#include <QSet>

namespace
{

bool isForbiddenCharacter(QChar c)
{
    switch (c.unicode()) {
    case '\\':
    case ':':
    case '<':
    case '>':
    case '"':
    case '|':
    case '?':
    case '*':
        return true;
    default:
        return c.category() == QChar::Other_Control;
    }
}

// Windows opens the device, not a file, for these names, with any extension and with blanks
// before the extension ("nul .txt").
bool isReservedDeviceName(const QString& segment)
{
    QString base = segment.section(QLatin1Char('.'), 0, 0);
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    base = base.toUpper();
    static const QStringList plain = {QStringLiteral("CON"),    QStringLiteral("PRN"),
                                      QStringLiteral("AUX"),    QStringLiteral("NUL"),
                                      QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    if (plain.contains(base))
        return true;
    if (base.size() != 4 ||
        !(base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT"))))
        return false;
    const QChar last = base.at(3);
    // Superscript one, two and three count as digits there too.
    return (last >= QLatin1Char('0') && last <= QLatin1Char('9')) || last == QChar(0x00b9) ||
           last == QChar(0x00b2) || last == QChar(0x00b3);
}

} // namespace

bool isSafeFilePath(const QString& path)
{
    if (!path.startsWith(QLatin1Char('/')))
        return false;
    for (const QChar c : path) {
        if (isForbiddenCharacter(c))
            return false;
    }
    const QStringList segments = path.mid(1).split(QLatin1Char('/'));
    for (const QString& segment : segments) {
        if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String(".."))
            return false;
        if (segment.endsWith(QLatin1Char('.')) || segment.endsWith(QLatin1Char(' ')))
            return false;
        if (isReservedDeviceName(segment))
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

namespace
{

// The folders above a folded path: "/a/b/c" gives "/a" and "/a/b".
QStringList foldersOf(const QString& folded)
{
    QStringList folders;
    for (qsizetype slash = folded.indexOf(QLatin1Char('/'), 1); slash > 0;
         slash = folded.indexOf(QLatin1Char('/'), slash + 1))
        folders.append(folded.left(slash));
    return folders;
}

} // namespace

QString firstCaseCollision(const QStringList& paths, const QStringList& keptPaths)
{
    // Every path once, folded, and every folder above a path, folded.
    QSet<QString> seenFiles;
    QSet<QString> foldedFiles;
    QSet<QString> foldedFolders;
    const auto collides = [&](const QString& folded, const QStringList& folders) {
        if (foldedFiles.contains(folded) || foldedFolders.contains(folded))
            return true;
        for (const QString& folder : folders) {
            if (foldedFiles.contains(folder))
                return true;
        }
        return false;
    };
    for (const QString& path : paths) {
        if (seenFiles.contains(path))
            continue;
        seenFiles.insert(path);
        const QString folded = path.toCaseFolded();
        const QStringList folders = foldersOf(folded);
        if (collides(folded, folders))
            return path;
        foldedFiles.insert(folded);
        for (const QString& folder : folders)
            foldedFolders.insert(folder);
    }
    // A kept file where the release needs a folder would be moved aside to make room for it; one
    // that is a managed file in other letter case would be overwritten on Windows.
    for (const QString& path : keptPaths) {
        if (seenFiles.contains(path))
            continue;
        const QString folded = path.toCaseFolded();
        if (collides(folded, foldersOf(folded)))
            return path;
    }
    return QString();
}
