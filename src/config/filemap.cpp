#include "config/filemap.h"

#include <algorithm>

namespace
{

int hexValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    return -1;
}

// A digest in lower-case hex, 32 digits: its 16 bytes. Anything else (upper case included, which
// compares as another text) is not one.
bool toDigest(QStringView text, std::array<quint8, 16>* digest)
{
    if (text.size() != 32)
        return false;
    const QChar* data = text.constData();
    for (int i = 0; i < 16; ++i) {
        const int high = hexValue(data[2 * i].unicode());
        const int low = hexValue(data[2 * i + 1].unicode());
        if (high < 0 || low < 0)
            return false;
        (*digest)[i] = quint8(high << 4 | low);
    }
    return true;
}

} // namespace

bool FileMap::const_iterator::sameValue(const const_iterator& other) const
{
    return map->sameMd5(index, *other.map, other.index);
}

FileMap::FileMap(const QMap<QString, QString>& map)
{
    entries.reserve(map.size());
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        entries.append(makeEntry(it.key(), it.value()));
}

void FileMap::clear()
{
    entries.clear();
    otherTexts.clear();
}

FileMap::Entry FileMap::makeEntry(const QString& path, QStringView md5)
{
    Entry entry;
    entry.path = path;
    setMd5(entry, md5);
    return entry;
}

void FileMap::setMd5(Entry& entry, QStringView md5)
{
    if (toDigest(md5, &entry.digest)) {
        entry.other = -1;
        return;
    }
    entry.digest = {};
    entry.other = qint32(otherTexts.size());
    otherTexts.append(md5.toString());
}

QString FileMap::md5At(qsizetype index) const
{
    const Entry& entry = entries.at(index);
    if (entry.other >= 0)
        return otherTexts.at(entry.other);
    static const char digits[] = "0123456789abcdef";
    QString text(32, Qt::Uninitialized);
    QChar* out = text.data();
    for (int i = 0; i < 16; ++i) {
        out[2 * i] = QLatin1Char(digits[entry.digest[i] >> 4]);
        out[2 * i + 1] = QLatin1Char(digits[entry.digest[i] & 15]);
    }
    return text;
}

bool FileMap::sameMd5(qsizetype index, const FileMap& other, qsizetype otherIndex) const
{
    const Entry& a = entries.at(index);
    const Entry& b = other.entries.at(otherIndex);
    // A digest and another text never spell the same: a text that reads as a digest is one.
    if (a.other < 0 && b.other < 0)
        return a.digest == b.digest;
    if (a.other < 0 || b.other < 0)
        return false;
    return otherTexts.at(a.other) == other.otherTexts.at(b.other);
}

qsizetype FileMap::lowerBound(QStringView path) const
{
    const auto it = std::lower_bound(entries.cbegin(), entries.cend(), path,
                                     [](const Entry& e, QStringView p) { return e.path < p; });
    return it - entries.cbegin();
}

FileMap::const_iterator FileMap::find(QStringView path) const
{
    const qsizetype at = lowerBound(path);
    if (at < entries.size() && entries.at(at).path == path)
        return const_iterator(this, at);
    return cend();
}

QString FileMap::value(const QString& path, const QString& fallback) const
{
    const const_iterator it = find(QStringView(path));
    return it == cend() ? fallback : it.value();
}

QStringList FileMap::keys() const
{
    QStringList list;
    list.reserve(entries.size());
    for (const Entry& entry : entries)
        list.append(entry.path);
    return list;
}

QStringList FileMap::values() const
{
    QStringList list;
    list.reserve(entries.size());
    for (qsizetype i = 0; i < entries.size(); ++i)
        list.append(md5At(i));
    return list;
}

void FileMap::insert(const QString& path, const QString& md5)
{
    insert(cend(), path, md5);
}

void FileMap::insert(const_iterator hint, const QString& path, const QString& md5)
{
    qsizetype at = hint.index;
    // The hint holds when the entry before it sorts below path and the one at it does not.
    if ((at > 0 && !(entries.at(at - 1).path < path)) ||
        (at < entries.size() && entries.at(at).path < path))
        at = lowerBound(path);
    if (at < entries.size() && entries.at(at).path == path) {
        setMd5(entries[at], md5);
        return;
    }
    entries.insert(at, makeEntry(path, md5));
}

void FileMap::append(const QString& path, QStringView md5)
{
    Entry entry = makeEntry(path, md5);
    entry.appended = qint32(entries.size());
    entries.append(entry);
}

void FileMap::finishAppending(QList<qint32>* order)
{
    bool ordered = true;
    for (qsizetype i = 1; ordered && i < entries.size(); ++i)
        ordered = entries.at(i - 1).path < entries.at(i).path;
    if (!ordered) {
        // In place: of the entries for one path the one appended last comes last and is kept.
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
            const int byPath = a.path.compare(b.path);
            return byPath < 0 || (byPath == 0 && a.appended < b.appended);
        });
        qsizetype kept = 0;
        for (qsizetype i = 0; i < entries.size(); ++i) {
            if (i + 1 < entries.size() && entries.at(i).path == entries.at(i + 1).path)
                continue;
            if (kept != i)
                entries[kept] = std::move(entries[i]);
            ++kept;
        }
        entries.resize(kept);
    }
    if (order) {
        order->resize(entries.size());
        for (qsizetype i = 0; i < entries.size(); ++i)
            (*order)[i] = entries.at(i).appended;
    }
}

bool FileMap::isSharedWith(const FileMap& other) const
{
    return entries.isSharedWith(other.entries);
}

bool FileMap::operator==(const FileMap& other) const
{
    if (entries.size() != other.entries.size())
        return false;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (entries.at(i).path != other.entries.at(i).path || !sameMd5(i, other, i))
            return false;
    }
    return true;
}

bool FileMap::operator==(const QMap<QString, QString>& other) const
{
    if (entries.size() != other.size())
        return false;
    qsizetype i = 0;
    for (auto it = other.cbegin(); it != other.cend(); ++it, ++i) {
        if (entries.at(i).path != it.key() || md5At(i) != it.value())
            return false;
    }
    return true;
}
