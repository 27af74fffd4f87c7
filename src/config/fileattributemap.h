#pragma once

// The attributes of the managed files that carry any (size, exec, sha256), by path, in path
// order, with the reading interface of a QMap. Entries lie in one flat array, the paths shared
// with the configuration's file map; copies are cheap, the array being implicitly shared.

#include "config/fileattributes.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

class FileAttributeMap
{
public:
    // One entry as held; public only for the container's type information.
    struct Entry {
        QString path;
        FileAttributes attributes;
    };

    template <typename List, typename Value> class Iterator
    {
    public:
        Iterator() = default;
        const QString& key() const { return (*list)[index].path; }
        Value& value() const { return (*list)[index].attributes; }
        Value& operator*() const { return value(); }
        Value* operator->() const { return &value(); }
        Iterator& operator++()
        {
            ++index;
            return *this;
        }
        Iterator operator++(int)
        {
            Iterator was = *this;
            ++index;
            return was;
        }
        bool operator==(const Iterator& other) const { return index == other.index; }
        bool operator!=(const Iterator& other) const { return index != other.index; }

    private:
        friend class FileAttributeMap;
        Iterator(List* list, qsizetype index) : list(list), index(index) {}
        List* list = nullptr;
        qsizetype index = 0;
    };
    using const_iterator = Iterator<const QList<Entry>, const FileAttributes>;
    using iterator = Iterator<QList<Entry>, FileAttributes>;

    FileAttributeMap() = default;
    FileAttributeMap(const QMap<QString, FileAttributes>& map);

    qsizetype size() const { return entries.size(); }
    bool isEmpty() const { return entries.isEmpty(); }
    void clear() { entries.clear(); }
    void reserve(qsizetype size) { entries.reserve(size); }

    const_iterator cbegin() const { return const_iterator(&entries, 0); }
    const_iterator cend() const { return const_iterator(&entries, entries.size()); }
    const_iterator begin() const { return cbegin(); }
    const_iterator end() const { return cend(); }
    iterator begin() { return iterator(&entries, 0); }
    iterator end() { return iterator(&entries, entries.size()); }

    const_iterator find(const QString& path) const;
    const_iterator constFind(const QString& path) const { return find(path); }
    bool contains(const QString& path) const { return find(path) != cend(); }
    // The attributes of path; default ones (size -1, not executable, no sha256) when it has none.
    FileAttributes value(const QString& path) const;
    QStringList keys() const;

    // Sets the attributes of path, adding the entry in its place when it is new.
    void insert(const QString& path, const FileAttributes& attributes);
    // The same; the entry is expected just before hint (at the end when filled in path order).
    void insert(const_iterator hint, const QString& path, const FileAttributes& attributes);
    iterator erase(iterator it);

    // For a reader that takes entries in document order: appended as they come, then put in path
    // order once with arrange(), where the entry appended i-th goes to places[i], or is dropped
    // when that is -1. The places kept must be 0, 1, 2 ... in some order.
    void append(const QString& path, const FileAttributes& attributes);
    void arrange(QList<qint32> places);

    bool operator==(const FileAttributeMap& other) const;
    bool operator!=(const FileAttributeMap& other) const { return !(*this == other); }

private:
    qsizetype lowerBound(QStringView path) const;

    QList<Entry> entries;
};

Q_DECLARE_TYPEINFO(FileAttributeMap::Entry, Q_RELOCATABLE_TYPE);
