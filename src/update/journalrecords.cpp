#include "update/journalrecords.h"

#include "config/pathcheck.h"
#include "platform/installfs.h"

#include <QDate>
#include <QSet>
#include <QTime>
#include <QUrl>

#include <cstring>
#include <limits>

namespace journal
{

const char header[] = "updater-install-journal 1";
const char installedConfig[] = "/config/UpdateCfg.xml";

namespace
{

const QString backupDir = QStringLiteral("/backup");
const QString updateDir = QStringLiteral("/update");
const QString journalFile = QStringLiteral("/backup/.install-journal");
const QString stashPrefix = QStringLiteral("/backup/.install-stash-");
const QString configTempPrefix = QStringLiteral("/config/.UpdateCfg.xml.~");

// Both foldings: Qt's case folding, and upper case as Windows compares names ("ı" is "I" there).
bool equalsIgnoringCase(const QString& path, const QString& name)
{
    // Either folding makes at most three characters of one, and never fewer than one.
    if (path.size() > 3 * name.size() || name.size() > 3 * path.size())
        return false;
    return path.toCaseFolded() == name.toCaseFolded() || path.toUpper() == name.toUpper();
}

bool startsWithIgnoringCase(const QString& path, const QString& prefix)
{
    return path.size() > prefix.size() && equalsIgnoringCase(path.left(prefix.size()), prefix);
}

// The journal itself and the names it is written or set aside under.
bool isJournalFile(const QString& path)
{
    return equalsIgnoringCase(path, journalFile) ||
           startsWithIgnoringCase(path, journalFile + QLatin1Char('.'));
}

bool isStashLike(const QString& path)
{
    return startsWithIgnoringCase(path, stashPrefix);
}

// A path a release may list, or a folder of one, that the journal may move, make or copy.
bool isInstallPath(const QString& path)
{
    return isSafeFilePath(path) && !namesInstalledConfig(path) &&
           !equalsIgnoringCase(path, backupDir) && !isJournalFile(path) && !isStashLike(path);
}

// /backup<p>: where a previous copy of p is kept.
bool isBackupPath(const QString& path)
{
    return path.startsWith(backupDir + QLatin1Char('/')) &&
           isSafeFilePath(path.mid(backupDir.size())) && !isJournalFile(path) && !isStashLike(path);
}

// A number as the writer prints it: decimal digits, no sign, no leading zero. max bounds it.
bool plainNumber(const char* text, qsizetype size, quint64 max, quint64* value)
{
    if (size < 1 || size > 20 || (size > 1 && text[0] == '0'))
        return false;
    quint64 result = 0;
    for (qsizetype i = 0; i < size; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        const quint64 digit = quint64(text[i] - '0');
        if (result > (max - digit) / 10)
            return false;
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

bool plainNumber(const QString& text, quint64 max, quint64* value = nullptr)
{
    const QByteArray latin = text.toLatin1();
    quint64 ignored = 0;
    return text.size() == latin.size() &&
           plainNumber(latin.constData(), latin.size(), max, value ? value : &ignored);
}

bool allDigits(const QString& text, qsizetype count)
{
    if (text.size() != count)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

// /backup/.install-stash-<yyyyMMdd-hhmmsszzz>[-N], N from 1 to 99.
bool isStashName(const QString& path)
{
    if (!path.startsWith(stashPrefix))
        return false;
    const QString rest = path.mid(stashPrefix.size());
    if (rest.size() < 18 || rest.at(8) != QLatin1Char('-'))
        return false;
    const QString date = rest.left(8);
    const QString time = rest.mid(9, 9);
    if (!allDigits(date, 8) || !allDigits(time, 9) ||
        !QDate::fromString(date, QStringLiteral("yyyyMMdd")).isValid() ||
        !QTime::fromString(time, QStringLiteral("hhmmsszzz")).isValid())
        return false;
    if (rest.size() == 18)
        return true;
    quint64 attempt = 0;
    return rest.at(18) == QLatin1Char('-') && plainNumber(rest.mid(19), 99, &attempt) &&
           attempt >= 1;
}

// What the records before the current one declared.
struct Seen {
    QSet<QString> stashes;
    QSet<QString> temps;
    bool config = false;
    bool commit = false;
};

// <stash>/<N> with the stash declared before.
bool isStashEntry(const QString& path, const Seen& seen)
{
    const QString parent = InstallFs::parentOf(path);
    return seen.stashes.contains(parent) &&
           plainNumber(InstallFs::nameOf(path), quint64(std::numeric_limits<int>::max()));
}

// A target a move or a copy may have.
bool isMoveTarget(const QString& path, const Seen& seen)
{
    return isInstallPath(path) || isBackupPath(path) || isStashEntry(path, seen);
}

// One of the three counterpart shapes of a move (and of a copy).
bool isMoveShape(const QString& from, const QString& to, const Seen& seen)
{
    if (to == backupDir + from && isInstallPath(from))
        return true;
    if (from == updateDir + to && isInstallPath(to))
        return true;
    return isStashEntry(to, seen) && (isInstallPath(from) || isBackupPath(from));
}

// <dir>/.<name>.~<N> beside a target a move may have, or the new configuration's temporary file.
bool isTempShape(const QString& path, const Seen& seen)
{
    const QString name = InstallFs::nameOf(path);
    const qsizetype tilde = name.lastIndexOf(QLatin1String(".~"));
    if (!name.startsWith(QLatin1Char('.')) || tilde < 2 ||
        !plainNumber(name.mid(tilde + 2), quint64(std::numeric_limits<int>::max())) ||
        name.mid(tilde + 2) == QLatin1String("0"))
        return false;
    if (path.startsWith(configTempPrefix) && path.size() > configTempPrefix.size() &&
        InstallFs::parentOf(path) == QLatin1String("/config"))
        return true;
    const QString target = InstallFs::join(InstallFs::parentOf(path), name.mid(1, tilde - 1));
    return isMoveTarget(target, seen);
}

// A path field: the writer's encoding of a path that splits cleanly.
// How many paths and numbers a record of kind holds.
void fieldsOf(Kind kind, int* paths, int* numbers)
{
    switch (kind) {
    case Kind::MakeDir:
    case Kind::Stash:
    case Kind::Temp:
        *paths = 1;
        break;
    case Kind::Move:
    case Kind::Config:
        *paths = 2;
        *numbers = 2;
        break;
    case Kind::Copied:
        *paths = 2;
        *numbers = 4;
        break;
    case Kind::Commit:
        break;
    }
}

bool decodePath(const char* text, qsizetype size, QString* path)
{
    const QByteArray field(text, size);
    if (!field.startsWith('/') || field.endsWith('/'))
        return false;
    *path = QUrl::fromPercentEncoding(field);
    QStringList segments;
    return encodePath(*path) == field && InstallFs::split(*path, &segments) && !segments.isEmpty();
}

struct Field {
    const char* text;
    qsizetype size;
};

// Checks one line and turns it into a record; why says what is wrong.
bool take(const char* text, qsizetype size, int index, Seen* seen, Record* r, const char** why)
{
    Field fields[8];
    int count = 0;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= size; ++i) {
        if (i < size && text[i] != ' ')
            continue;
        if (count == 8) {
            *why = "too many fields";
            return false;
        }
        fields[count++] = Field{text + start, i - start};
        start = i + 1;
    }
    if (!kindOf(QByteArray(fields[0].text, fields[0].size), &r->kind)) {
        *why = "unknown kind of record";
        return false;
    }
    int paths = 0;
    int numbers = 0;
    fieldsOf(r->kind, &paths, &numbers);
    if (count != 1 + paths + numbers) {
        *why = "wrong number of fields";
        return false;
    }
    if ((paths > 0 && !decodePath(fields[1].text, fields[1].size, &r->from)) ||
        (paths > 1 && !decodePath(fields[2].text, fields[2].size, &r->to))) {
        *why = "not a path of the installation";
        return false;
    }
    for (int n = 0; n < numbers; ++n) {
        const Field& f = fields[1 + paths + n];
        if (!plainNumber(f.text, f.size, std::numeric_limits<quint64>::max(), &r->numbers[n])) {
            *why = "not a number";
            return false;
        }
    }
    if (seen->commit) {
        *why = "a record after commit";
        return false;
    }
    if (seen->config && r->kind != Kind::Commit) {
        *why = "a record after config other than commit";
        return false;
    }

    switch (r->kind) {
    case Kind::MakeDir:
        if (r->from == backupDir ? index == 0
                                 : isInstallPath(r->from) || r->from == QLatin1String("/config") ||
                                       isBackupPath(r->from) || seen->stashes.contains(r->from))
            return true;
        *why = "mkdir of a folder the updater does not make";
        return false;
    case Kind::Stash:
        if (!isStashName(r->from)) {
            *why = "stash not named as the updater names it";
            return false;
        }
        seen->stashes.insert(r->from);
        return true;
    case Kind::Temp:
        if (!isTempShape(r->from, *seen)) {
            *why = "temp not named as the updater names it";
            return false;
        }
        seen->temps.insert(r->from);
        return true;
    case Kind::Move:
    case Kind::Copied:
        if (isMoveShape(r->from, r->to, *seen))
            return true;
        *why = "move between paths that are not counterparts";
        return false;
    case Kind::Config:
        if (r->to != QLatin1String(installedConfig) || !r->from.startsWith(configTempPrefix) ||
            !seen->temps.contains(r->from)) {
            *why = "config from anything but its temp record's file";
            return false;
        }
        seen->config = true;
        return true;
    case Kind::Commit:
        if (!seen->config) {
            *why = "commit without config";
            return false;
        }
        seen->commit = true;
        return true;
    }
    return false;
}

} // namespace

bool namesInstalledConfig(const QString& path)
{
    const QString config = QString::fromLatin1(installedConfig);
    return equalsIgnoringCase(path, QStringLiteral("/config")) ||
           equalsIgnoringCase(path, config) ||
           startsWithIgnoringCase(path, config + QLatin1Char('/'));
}

QByteArray kindWord(Kind kind)
{
    switch (kind) {
    case Kind::MakeDir:
        return QByteArrayLiteral("mkdir");
    case Kind::Stash:
        return QByteArrayLiteral("stash");
    case Kind::Move:
        return QByteArrayLiteral("move");
    case Kind::Temp:
        return QByteArrayLiteral("temp");
    case Kind::Copied:
        return QByteArrayLiteral("copied");
    case Kind::Config:
        return QByteArrayLiteral("config");
    case Kind::Commit:
        return QByteArrayLiteral("commit");
    }
    return QByteArray();
}

bool kindOf(const QByteArray& word, Kind* kind)
{
    for (const Kind k : {Kind::MakeDir, Kind::Stash, Kind::Move, Kind::Temp, Kind::Copied,
                         Kind::Config, Kind::Commit}) {
        if (word == kindWord(k)) {
            *kind = k;
            return true;
        }
    }
    return false;
}

QByteArray encodePath(const QString& path)
{
    return QUrl::toPercentEncoding(path, "/");
}

bool makeRecord(const QString& kind, const QStringList& paths, const QList<quint64>& numbers,
                Record* record)
{
    if (!kindOf(kind.toLatin1(), &record->kind) || paths.size() > 2 || numbers.size() > 4)
        return false;
    record->from = paths.value(0);
    record->to = paths.value(1);
    for (int n = 0; n < 4; ++n)
        record->numbers[n] = numbers.value(n);
    return true;
}

QByteArray line(const Record& record)
{
    QByteArray text = kindWord(record.kind);
    int paths = 0;
    int numbers = 0;
    fieldsOf(record.kind, &paths, &numbers);
    if (paths > 0)
        text += ' ' + encodePath(record.from);
    if (paths > 1)
        text += ' ' + encodePath(record.to);
    for (int n = 0; n < numbers; ++n)
        text += ' ' + QByteArray::number(record.numbers[n]);
    return text + '\n';
}

bool parse(const QByteArray& text, QList<Record>* records, QString* reason)
{
    records->clear();
    int lineNumber = 0;
    auto reject = [&](const char* why) {
        records->clear();
        if (reason)
            *reason = QStringLiteral("line %1: %2").arg(lineNumber).arg(QLatin1String(why));
        return false;
    };
    const char* data = text.constData();
    // A line cut short by a kill has no line end: it was never complete, so never acted upon.
    const qsizetype end = text.lastIndexOf('\n') + 1;
    const qsizetype headerSize = qsizetype(std::strlen(header));
    lineNumber = 1;
    if (end < headerSize + 1 || std::memcmp(data, header, size_t(headerSize)) != 0 ||
        data[headerSize] != '\n')
        return reject("not a journal of the updater");
    Seen seen;
    for (qsizetype pos = headerSize + 1; pos < end;) {
        const char* nl = static_cast<const char*>(std::memchr(data + pos, '\n', size_t(end - pos)));
        const qsizetype size = nl - (data + pos);
        ++lineNumber;
        Record r;
        const char* why = nullptr;
        if (!take(data + pos, size, int(records->size()), &seen, &r, &why))
            return reject(why);
        records->append(r);
        pos += size + 1;
    }
    return true;
}

} // namespace journal
