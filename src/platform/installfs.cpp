#include "platform/installfs.h"

#include "platform/mappedfile.h"

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>

// What the POSIX and the Windows halves of InstallFs share: the paths' checks and arithmetic,
// the test seams and the errors. The halves are installfs_posix.cpp and installfs_win.cpp, one
// of which the build takes.

namespace
{

std::function<void(const QString&)>& listedHook()
{
    static std::function<void(const QString&)> hook;
    return hook;
}

std::function<int(const QString&, const QString&)>& faultHook()
{
    static std::function<int(const QString&, const QString&)> hook;
    return hook;
}

// Whether segment names one entry in its folder and nothing else: not empty, "." or "..", and
// without a control character (C0, DEL and C1), which would end the name early (NUL) or could
// be read as something else by the system or a log. On Windows, also none of the characters
// that are separators, drive or stream markers or wildcards there, and no final dot or space,
// which Windows drops.
bool isPlainSegment(const QString& segment)
{
    if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String(".."))
        return false;
    for (const QChar c : segment) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u <= 0x9f))
            return false;
#ifdef Q_OS_WIN
        if (u == u'\\' || u == u':' || u == u'*' || u == u'?' || u == u'"' || u == u'<' ||
            u == u'>' || u == u'|')
            return false;
#endif
    }
#ifdef Q_OS_WIN
    if (segment.endsWith(QLatin1Char('.')) || segment.endsWith(QLatin1Char(' ')))
        return false;
#endif
    return true;
}

} // namespace

void InstallFs::setFaultHook(std::function<int(const QString&, const QString&)> hook)
{
    faultHook() = std::move(hook);
}

bool InstallFs::injected(const char* operation, const QString& relative)
{
    if (!faultHook())
        return false;
    const int code = faultHook()(QString::fromLatin1(operation), relative);
    if (code == 0)
        return false;
    fail(code);
    return true;
}

void InstallFs::setListedHook(std::function<void(const QString&)> hook)
{
    listedHook() = std::move(hook);
}

void InstallFs::reportListed(const QString& relative)
{
    if (listedHook())
        listedHook()(relative);
}

bool InstallFs::split(const QString& relative, QStringList* segments)
{
    QString rel = relative;
    if (rel.startsWith(QLatin1Char('/')))
        rel.remove(0, 1);
    if (rel.endsWith(QLatin1Char('/')))
        rel.chop(1);
    segments->clear();
    if (rel.isEmpty())
        return true;
    *segments = rel.split(QLatin1Char('/'));
    for (const QString& segment : *segments) {
        if (!isPlainSegment(segment)) {
            segments->clear();
            return false;
        }
    }
    return true;
}

QString InstallFs::join(const QString& relative, const QString& name)
{
    QString rel = relative;
    if (!rel.startsWith(QLatin1Char('/')))
        rel.prepend(QLatin1Char('/'));
    if (!rel.endsWith(QLatin1Char('/')))
        rel.append(QLatin1Char('/'));
    return rel + name;
}

QString InstallFs::parentOf(const QString& relative)
{
    QString rel = relative;
    if (rel.endsWith(QLatin1Char('/')))
        rel.chop(1);
    const int slash = int(rel.lastIndexOf(QLatin1Char('/')));
    return slash <= 0 ? QString() : rel.left(slash);
}

QString InstallFs::nameOf(const QString& relative)
{
    QString rel = relative;
    if (rel.endsWith(QLatin1Char('/')))
        rel.chop(1);
    return rel.mid(rel.lastIndexOf(QLatin1Char('/')) + 1);
}

bool InstallFs::holds(const QString& relative) const
{
    QStringList segments;
    return !heldDir.isEmpty() && split(relative, &segments) &&
           segments.join(QLatin1Char('/')) == heldDir;
}

void InstallFs::releaseFolderUnder(const QString& relative)
{
    if (heldDir.isEmpty())
        return;
    QStringList segments;
    if (!split(relative, &segments))
        return;
    const QString path = segments.join(QLatin1Char('/'));
    if (path.isEmpty() || heldDir == path || heldDir.startsWith(path + QLatin1Char('/')))
        releaseFolder();
}

QString InstallFs::rootPath() const
{
    return root;
}

QString InstallFs::absolutePath(const QString& relative) const
{
    QString rel = relative;
    if (rel.startsWith(QLatin1Char('/')))
        rel.remove(0, 1);
    return rel.isEmpty() ? root : root + QLatin1Char('/') + rel;
}

int InstallFs::lastError() const
{
    return error;
}

QString InstallFs::errorString() const
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool InstallFs::fail(int code)
{
    error = code ? code : EIO;
    return false;
}

QString InstallFs::linkOnTheWay(const QString& relative)
{
    QStringList segments;
    if (!split(relative, &segments))
        return QString();
    QString path;
    for (int i = 0; i + 1 < segments.size(); ++i) {
        path += QLatin1Char('/') + segments.at(i);
        Entry found;
        if (!entry(path, &found))
            return QString();
        if (found.kind == Kind::Link)
            return path;
        if (found.kind != Kind::Dir)
            return QString();
    }
    return QString();
}

bool InstallFs::makePath(const QString& relative, QStringList* created)
{
    QStringList segments;
    if (!split(relative, &segments))
        return fail(EINVAL);
    QString path;
    for (const QString& segment : segments) {
        path += QLatin1Char('/') + segment;
        Entry found;
        if (!entry(path, &found))
            return false;
        if (found.kind == Kind::Dir)
            continue;
        if (found.kind == Kind::Link)
            return fail(ELOOP);
        if (found.exists())
            return fail(ENOTDIR);
        if (!makeDir(path) && error != EEXIST)
            return false;
        if (created)
            created->append(path);
    }
    return true;
}

bool InstallFs::mapFile(const QString& relative, MappedFile* mapped, Entry* opened)
{
    mapped->unmap();
    const int fd = openFile(relative, false, opened);
    if (fd < 0)
        return false;
    const bool ok = mapped->map(fd);
    const int mapError = errno;
    closeDescriptor(fd);
    return ok || fail(mapError);
}

void InstallFs::closeDescriptor(int fd)
{
#ifdef Q_OS_WIN
    ::_close(fd);
#else
    ::close(fd);
#endif
}

bool InstallFs::checkDeletable(const QString& relative)
{
    if (injected("delete check", relative))
        return false;
    Entry found;
    if (!entry(relative, &found))
        return false;
    return !found.exists() || deletableHere(relative);
}
