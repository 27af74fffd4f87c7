#include "config/pathcheck.h"

#include "config/fileform.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

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
    // The release's reserved folder: compressed copies and patches lie there, under names made
    // from the paths of the files they stand for.
    if (segments.first().compare(formsFolder.mid(1), Qt::CaseInsensitive) == 0)
        return false;
    if (segments.size() == 1 &&
        segments.first().compare(QLatin1String("UpdateCfg.xml"), Qt::CaseInsensitive) == 0)
        return false;
    return true;
}

namespace
{

// A path stands for its case-folded text by a hash; equal hashes are confirmed on the
// texts. One pass over a path gives its own hash and that of each folder above it ("/a/b/c" gives
// "/a" and "/a/b"), since a folder's text is a leading part of the path's.
constexpr quint64 hashStart = 14695981039346656037ULL;
constexpr quint64 hashFactor = 1099511628211ULL;

// 32 bits are plenty to tell paths apart before the texts are compared, and keep the table of a
// large release small.
quint32 finished(quint64 state)
{
    state ^= state >> 33;
    state *= 0xff51afd7ed558ccdULL;
    state ^= state >> 33;
    state *= 0xc4ceb3f97a40be6bULL;
    state ^= state >> 33;
    return quint32(state >> 32);
}

// Hashes folded (lowering A-Z on the way when lowerAscii), calling visit(length, hash) for every
// folder above it.
template <typename Visit> quint32 hashFolded(QStringView folded, bool lowerAscii, Visit&& visit)
{
    quint64 state = hashStart;
    for (qsizetype n = 0; n < folded.size(); ++n) {
        char16_t unit = folded.at(n).unicode();
        if (lowerAscii && unit >= u'A' && unit <= u'Z')
            unit = char16_t(unit + (u'a' - u'A'));
        if (unit == u'/' && n > 0)
            visit(n, finished(state));
        state = (state ^ unit) * hashFactor;
    }
    return finished(state);
}

// The hash of path's case-folded text. Plain ASCII folds by lowering A-Z, which spares a copy of
// every path; anything else is folded by Qt.
template <typename Visit> quint32 foldedHash(const QString& path, Visit&& visit)
{
    const bool ascii =
        std::all_of(path.cbegin(), path.cend(), [](QChar c) { return c.unicode() < 0x80; });
    if (ascii)
        return hashFolded(path, true, visit);
    const QString folded = path.toCaseFolded();
    return hashFolded(folded, false, visit);
}

quint32 foldedHash(const QString& path)
{
    return foldedHash(path, [](qsizetype, quint32) {});
}

struct Entry {
    quint32 hash;
    quint32 index;
};

// (hash, index) of every path, in order of hash and then of index.
std::vector<Entry> sortedEntries(const QStringList& paths)
{
    std::vector<Entry> entries;
    entries.reserve(size_t(paths.size()));
    for (qsizetype i = 0; i < paths.size(); ++i)
        entries.push_back({foldedHash(paths.at(i)), quint32(i)});
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.hash != b.hash ? a.hash < b.hash : a.index < b.index;
    });
    return entries;
}

// The entries of the given hash.
std::pair<std::vector<Entry>::const_iterator, std::vector<Entry>::const_iterator>
entriesOf(const std::vector<Entry>& entries, quint32 hash)
{
    const auto first =
        std::lower_bound(entries.cbegin(), entries.cend(), hash,
                         [](const Entry& entry, quint32 value) { return entry.hash < value; });
    auto last = first;
    while (last != entries.cend() && last->hash == hash)
        ++last;
    return {first, last};
}

constexpr qsizetype none = std::numeric_limits<qsizetype>::max();

// The first index of paths whose path equals, in some letter case but not in all, an earlier one.
qsizetype firstSameFolded(const QStringList& paths, const std::vector<Entry>& entries)
{
    qsizetype first = none;
    std::vector<qsizetype> distinct;
    for (auto group = entries.cbegin(); group != entries.cend();) {
        auto end = group + 1;
        while (end != entries.cend() && end->hash == group->hash)
            ++end;
        if (end - group > 1) {
            // Distinct texts of one hash: other letter case of one path, or (rarely) another
            // path whose hash is the same.
            distinct.clear();
            for (auto it = group; it != end && it->index < first; ++it) {
                const QString& path = paths.at(it->index);
                bool known = false;
                for (const qsizetype other : distinct) {
                    const QString& seen = paths.at(other);
                    if (seen == path) {
                        known = true;
                        break;
                    }
                    if (seen.toCaseFolded() == path.toCaseFolded()) {
                        first = it->index;
                        break;
                    }
                }
                if (first == it->index)
                    break;
                if (!known)
                    distinct.push_back(it->index);
            }
        }
        group = end;
    }
    return first;
}

// The smallest index of entries whose folded path is the folder folded.left(length).
qsizetype firstFileAt(const QStringList& paths, const std::vector<Entry>& entries, quint32 hash,
                      const QString& path, qsizetype length)
{
    qsizetype first = none;
    const auto [from, to] = entriesOf(entries, hash);
    if (from == to)
        return first;
    const QString folded = path.toCaseFolded();
    const QStringView folder = QStringView(folded).left(length);
    for (auto it = from; it != to; ++it) {
        if (it->index < first && paths.at(it->index).toCaseFolded() == folder)
            first = it->index;
    }
    return first;
}

} // namespace

QString firstCaseCollision(const QStringList& paths, const QStringList& keptPaths)
{
    // A collision is a pair of distinct texts; the answer is the path whose first appearance
    // completes the earliest such pair, so each pair counts at the later of its two indexes.
    const std::vector<Entry> files = sortedEntries(paths);
    const std::vector<Entry> kept = sortedEntries(keptPaths);
    qsizetype firstPath = firstSameFolded(paths, files);
    qsizetype firstKept = none;
    // A file where a later or earlier path needs a folder, and a kept file where a path needs one.
    for (qsizetype i = 0; i < paths.size() && i < firstPath; ++i) {
        foldedHash(paths.at(i), [&](qsizetype length, quint32 hash) {
            firstPath = std::min(firstPath,
                                 std::max(i, firstFileAt(paths, files, hash, paths.at(i), length)));
            if (!kept.empty())
                firstKept =
                    std::min(firstKept, firstFileAt(keptPaths, kept, hash, paths.at(i), length));
        });
    }
    if (firstPath != none)
        return paths.at(firstPath);
    // A kept file that is a managed file in other letter case would be overwritten on Windows; one
    // where the release needs a folder would be moved aside to make room for it.
    for (qsizetype k = 0; k < keptPaths.size() && k < firstKept; ++k) {
        const QString& path = keptPaths.at(k);
        const quint32 hash = foldedHash(path, [&](qsizetype length, quint32 folderHash) {
            if (firstFileAt(paths, files, folderHash, path, length) != none)
                firstKept = std::min(firstKept, k);
        });
        const auto [from, to] = entriesOf(files, hash);
        for (auto it = from; it != to && firstKept > k; ++it) {
            const QString& other = paths.at(it->index);
            if (other != path && other.toCaseFolded() == path.toCaseFolded())
                firstKept = k;
        }
    }
    return firstKept != none ? keptPaths.at(firstKept) : QString();
}
