#include "config/fileattributemap.h"

#include <utility>

#include <algorithm>

FileAttributeMap::FileAttributeMap(const QMap<QString, FileAttributes>& map)
{
    entries.reserve(map.size());
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        entries.append(Entry{it.key(), it.value()});
}

qsizetype FileAttributeMap::lowerBound(QStringView path) const
{
    const auto it = std::lower_bound(entries.cbegin(), entries.cend(), path,
                                     [](const Entry& e, QStringView p) { return e.path < p; });
    return it - entries.cbegin();
}

FileAttributeMap::const_iterator FileAttributeMap::find(const QString& path) const
{
    const qsizetype at = lowerBound(path);
    if (at < entries.size() && entries.at(at).path == path)
        return const_iterator(&entries, at);
    return cend();
}

FileAttributes FileAttributeMap::value(const QString& path) const
{
    const const_iterator it = find(path);
    return it == cend() ? FileAttributes() : it.value();
}

QStringList FileAttributeMap::keys() const
{
    QStringList list;
    list.reserve(entries.size());
    for (const Entry& entry : entries)
        list.append(entry.path);
    return list;
}

void FileAttributeMap::insert(const QString& path, const FileAttributes& attributes)
{
    insert(cend(), path, attributes);
}

void FileAttributeMap::insert(const_iterator hint, const QString& path,
                              const FileAttributes& attributes)
{
    qsizetype at = hint.index;
    if ((at > 0 && !(entries.at(at - 1).path < path)) ||
        (at < entries.size() && entries.at(at).path < path))
        at = lowerBound(path);
    if (at < entries.size() && entries.at(at).path == path) {
        entries[at].attributes = attributes;
        return;
    }
    entries.insert(at, Entry{path, attributes});
}

void FileAttributeMap::append(const QString& path, const FileAttributes& attributes)
{
    entries.append(Entry{path, attributes});
}

void FileAttributeMap::arrange(QList<qint32> places)
{
    qsizetype kept = 0;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (places.at(i) < 0)
            continue;
        if (kept != i) {
            entries[kept] = std::move(entries[i]);
            places[kept] = places.at(i);
        }
        ++kept;
    }
    entries.resize(kept);
    // In place, one cycle of the permutation after another: an entry moves straight to its
    // place, and the one found there is taken next.
    for (qsizetype i = 0; i < kept; ++i) {
        while (places.at(i) != i) {
            const qint32 to = places.at(i);
            std::swap(entries[i], entries[to]);
            std::swap(places[i], places[to]);
        }
    }
}

FileAttributeMap::iterator FileAttributeMap::erase(iterator it)
{
    entries.remove(it.index);
    return iterator(&entries, it.index);
}

bool FileAttributeMap::operator==(const FileAttributeMap& other) const
{
    if (entries.size() != other.entries.size())
        return false;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (entries.at(i).path != other.entries.at(i).path ||
            entries.at(i).attributes != other.entries.at(i).attributes)
            return false;
    }
    return true;
}
