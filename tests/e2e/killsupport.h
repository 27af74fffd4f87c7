#pragma once

// Pieces of the kill matrix: installations compared entry by entry, and strace logs read for how
// often each thread makes each call, so that the kill points follow the code as it is.

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <sys/stat.h>

namespace killsupport
{

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeAll(const QString& path, const QByteArray& bytes, mode_t mode = 0644)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

inline QString md5(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

// Every entry below root but the program's own working files: content and mode for files,
// "<dir>" for folders, the target for links.
inline QMap<QString, QByteArray> snapshot(const QString& root)
{
    static const QStringList skipped{"log", "update", "updater", "started.txt", "started.tmp"};
    QMap<QString, QByteArray> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        if (skipped.contains(relative.section(QLatin1Char('/'), 0, 0)))
            continue;
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            continue;
        QByteArray value;
        if (S_ISLNK(st.st_mode))
            value = "<link " + QFile::symLinkTarget(path).toUtf8() + ">";
        else if (S_ISDIR(st.st_mode))
            value = "<dir>";
        else
            value = readAll(path) + " mode " + QByteArray::number(st.st_mode & 07777, 8);
        entries.insert(relative, value);
    }
    return entries;
}

inline bool copyTree(const QString& from, const QString& to)
{
    QProcess cp;
    cp.start(QStringLiteral("cp"), {"-a", from + "/.", to});
    return cp.waitForFinished(60000) && cp.exitCode() == 0;
}

// One call of an "strace -f" log: the thread that made it, its name, and, under "strace -y", the
// path of its first argument when that is a descriptor.
struct TracedCall {
    QString thread;
    QString name;
    QString path;
};

inline QList<TracedCall> tracedCalls(const QByteArray& trace)
{
    static const QRegularExpression call(
        QStringLiteral("^(\\d+)\\s+(\\w+)\\((?:-?\\d+<([^>]*)>)?"));
    QList<TracedCall> calls;
    for (const QByteArray& line : trace.split('\n')) {
        const auto m = call.match(QString::fromUtf8(line));
        if (m.hasMatch())
            calls.append({m.captured(1), m.captured(2), m.captured(3)});
    }
    return calls;
}

// strace counts the calls that "inject=...:when=K" waits for per thread: the K that can strike
// are those up to the most calls one thread makes. accept picks the calls that count.
template <typename Accept>
int mostPerThread(const QList<TracedCall>& calls, const QString& name, Accept accept)
{
    QHash<QString, int> perThread;
    int most = 0;
    for (const TracedCall& c : calls) {
        if (c.name == name && accept(c))
            most = qMax(most, ++perThread[c.thread]);
    }
    return most;
}

} // namespace killsupport
