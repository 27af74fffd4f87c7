#pragma once

// The managed files of a configuration: path -> md5 text, one entry per path, in path order
// (plain QString ordering), with the reading interface of a QMap.
//
// A release may list hundreds of thousands of files, so the entries lie in one flat array instead
// of a node each, and an md5 text that is a digest in lower-case hex (what the publisher writes)
// is kept as its 16 bytes; any other text is kept as written. Paths are QStrings shared with
// whoever else holds them (the file list, the other configuration, the difference). Copies are
// cheap: the array is implicitly shared.

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <array>

class FileMap
{
public:
    // One entry as held; public only for the container's type information.
    struct Entry {
        QString path;
        // The digest when other is -1; otherwise other indexes otherTexts.
        std::array<quint8, 16> digest{};
        qint32 other = -1;
        // While appending: the place at which the entry was appended (it fills what would be
        // padding).
        qint32 appended = 0;
    };

    class const_iterator
    {
    public:
        const_iterator() = default;
        const QString& key() const { return map->entries.at(index).path; }
        QString value() const { return map->md5At(index); }
        QString operator*() const { return value(); }
        // Whether this entry's md5 text equals other's, without building either text.
        bool sameValue(const const_iterator& other) const;

        const_iterator& operator++()
        {
            ++index;
            return *this;
        }
        const_iterator operator++(int)
        {
            const_iterator was = *this;
            ++index;
            return was;
        }
        const_iterator& operator--()
        {
            --index;
            return *this;
        }
        bool operator==(const const_iterator& other) const { return index == other.index; }
        bool operator!=(const const_iterator& other) const { return index != other.index; }

    private:
        friend class FileMap;
        const_iterator(const FileMap* map, qsizetype index) : map(map), index(index) {}
        const FileMap* map = nullptr;
        qsizetype index = 0;
    };
    using iterator = const_iterator;

    FileMap() = default;
    FileMap(const QMap<QString, QString>& map);
    FileMap(std::initializer_list<std::pair<QString, QString>> list);

    qsizetype size() const { return entries.size(); }
    qsizetype count() const { return entries.size(); }
    bool isEmpty() const { return entries.isEmpty(); }
    void clear();

    const_iterator cbegin() const { return const_iterator(this, 0); }
    const_iterator cend() const { return const_iterator(this, entries.size()); }
    const_iterator begin() const { return cbegin(); }
    const_iterator end() const { return cend(); }
    const_iterator constBegin() const { return cbegin(); }
    const_iterator constEnd() const { return cend(); }

    const_iterator find(QStringView path) const;
    const_iterator find(const QString& path) const { return find(QStringView(path)); }
    const_iterator constFind(const QString& path) const { return find(QStringView(path)); }
    bool contains(const QString& path) const { return find(QStringView(path)) != cend(); }
    QString value(const QString& path, const QString& fallback = QString()) const;
    QStringList keys() const;
    QStringList values() const;

    // Sets the md5 text of path, adding the entry in its place when it is new.
    void insert(const QString& path, const QString& md5);
    // The same; the entry is expected just before hint (at the end when filled in path order).
    void insert(const_iterator hint, const QString& path, const QString& md5);
    void remove(const QString& path);

    // For a reader that takes entries in document order: appended as they come, then put in path
    // order once with finishAppending(), where the last entry of a path wins. order, when given,
    // gets for each remaining entry the position at which it was appended.
    void append(const QString& path, QStringView md5);
    void finishAppending(QList<qint32>* order = nullptr);

    bool isSharedWith(const FileMap& other) const;
    bool operator==(const FileMap& other) const;
    bool operator!=(const FileMap& other) const { return !(*this == other); }
    bool operator==(const QMap<QString, QString>& other) const;
    bool operator!=(const QMap<QString, QString>& other) const { return !(*this == other); }

private:
    Entry makeEntry(const QString& path, QStringView md5);
    void setMd5(Entry& entry, QStringView md5);
    QString md5At(qsizetype index) const;
    bool sameMd5(qsizetype index, const FileMap& other, qsizetype otherIndex) const;
    qsizetype lowerBound(QStringView path) const;

    QList<Entry> entries;
    // md5 texts that are not lower-case hex digests, as written.
    QStringList otherTexts;
};

// Moved as bytes when the array grows: large arrays then grow in place.
Q_DECLARE_TYPEINFO(FileMap::Entry, Q_RELOCATABLE_TYPE);
