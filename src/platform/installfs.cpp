#include "platform/installfs.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#ifdef Q_OS_WIN
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
// After windows.h.
#include <aclapi.h>
#include <sddl.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

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

#ifndef Q_OS_WIN

// ---------------------------------------------------------------------------------------------
// POSIX: handles and *at calls.

namespace
{

class Fd
{
public:
    explicit Fd(int fd = -1) : fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd; }
    int release()
    {
        const int f = fd;
        fd = -1;
        return f;
    }
    void reset(int f = -1)
    {
        if (fd >= 0)
            ::close(fd);
        fd = f;
    }

private:
    int fd;
};

const int dirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

int retryOpenAt(int dirFd, const char* name, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::openat(dirFd, name, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool writeAll(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(std::min<qint64>(size, 1 << 30)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

InstallFs::Kind kindOf(mode_t mode)
{
    if (S_ISLNK(mode))
        return InstallFs::Kind::Link;
    if (S_ISDIR(mode))
        return InstallFs::Kind::Dir;
    if (S_ISREG(mode))
        return InstallFs::Kind::File;
    return InstallFs::Kind::Other;
}

void describe(const struct stat& st, InstallFs::Entry* result)
{
    result->kind = kindOf(st.st_mode);
    result->device = quint64(st.st_dev);
    result->inode = quint64(st.st_ino);
    result->size = qint64(st.st_size);
    result->mode = uint(st.st_mode & 07777);
    result->owner = uint(st.st_uid);
    result->links = quint64(st.st_nlink);
}

} // namespace

struct InstallFs::Parent {
    Fd fd;
    // Whether the folder is the root, whose handle the parent does not own.
    bool isRoot = false;
    // The held folder's handle, when the folder is that one; not owned either.
    int held = -1;
    QByteArray name;

    int handle(int rootFd) const
    {
        if (isRoot)
            return rootFd;
        return held >= 0 ? held : fd.get();
    }
};

InstallFs::InstallFs(const QString& rootDir) : root(rootDir)
{
    while (root.size() > 1 && root.endsWith(QLatin1Char('/')))
        root.chop(1);
    rootFd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0)
        error = errno;
}

InstallFs::~InstallFs()
{
    releaseFolder();
    if (rootFd >= 0)
        ::close(rootFd);
}

bool InstallFs::isValid() const
{
    return rootFd >= 0;
}

int InstallFs::openDirAt(int current, const QByteArray& name, bool create)
{
    int next = retryOpenAt(current, name.constData(), dirFlags);
    if (next < 0 && errno == ENOENT && create) {
        if (::mkdirat(current, name.constData(), 0777) != 0 && errno != EEXIST) {
            fail(errno);
            return -1;
        }
        next = retryOpenAt(current, name.constData(), dirFlags);
    }
    if (next < 0) {
        // O_DIRECTORY is checked before O_NOFOLLOW: a link shows as "not a directory".
        const int openError = errno;
        struct stat st;
        if (openError == ENOTDIR &&
            ::fstatat(current, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode))
            fail(ELOOP);
        else
            fail(openError);
    }
    return next;
}

bool InstallFs::openParent(const QString& relative, bool create, Parent* parent)
{
    if (rootFd < 0)
        return fail(EBADF);
    QStringList segments;
    if (!split(relative, &segments) || segments.isEmpty())
        return fail(EINVAL);
    parent->name = QFile::encodeName(segments.last());
    if (heldFd >= 0 && segments.size() > 1) {
        if (segments.mid(0, segments.size() - 1).join(QLatin1Char('/')) == heldDir) {
            parent->held = heldFd;
            return true;
        }
    }
    parent->isRoot = true;
    for (int i = 0; i + 1 < segments.size(); ++i) {
        const int next =
            openDirAt(parent->handle(rootFd), QFile::encodeName(segments.at(i)), create);
        if (next < 0)
            return false;
        parent->isRoot = false;
        parent->fd.reset(next);
    }
    return true;
}

bool InstallFs::holdFolder(const QString& relative)
{
    releaseFolder();
    if (rootFd < 0)
        return fail(EBADF);
    QStringList segments;
    if (!split(relative, &segments) || segments.isEmpty())
        return fail(EINVAL);
    Fd dir;
    for (const QString& segment : segments) {
        const int next =
            openDirAt(dir.get() >= 0 ? dir.get() : rootFd, QFile::encodeName(segment), false);
        if (next < 0)
            return false;
        dir.reset(next);
    }
    heldFd = dir.release();
    heldDir = segments.join(QLatin1Char('/'));
    return true;
}

void InstallFs::releaseFolder()
{
    if (heldFd >= 0)
        ::close(heldFd);
    heldFd = -1;
    heldDir.clear();
}

bool InstallFs::entry(const QString& relative, Entry* result)
{
    *result = Entry();
    QStringList segments;
    if (!split(relative, &segments))
        return fail(EINVAL);
    struct stat st;
    if (segments.isEmpty()) {
        if (::fstat(rootFd, &st) != 0)
            return fail(errno);
    } else {
        Parent parent;
        if (!openParent(relative, false, &parent))
            // No folder there, or a file where one would be: nothing at relative either.
            return error == ENOENT || error == ENOTDIR;
        if (::fstatat(parent.handle(rootFd), parent.name.constData(), &st, AT_SYMLINK_NOFOLLOW) !=
            0) {
            if (errno == ENOENT)
                return true;
            return fail(errno);
        }
    }
    describe(st, result);
    return true;
}

bool InstallFs::makeDir(const QString& relative, uint mode)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    if (::mkdirat(parent.handle(rootFd), parent.name.constData(), mode_t(mode)) != 0)
        return fail(errno);
    return true;
}

bool InstallFs::removeFile(const QString& relative)
{
    if (injected("remove", relative))
        return false;
    releaseFolderUnder(relative);
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    if (::unlinkat(parent.handle(rootFd), parent.name.constData(), 0) != 0)
        return fail(errno);
    return true;
}

bool InstallFs::removeEmptyDir(const QString& relative)
{
    releaseFolderUnder(relative);
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    if (::unlinkat(parent.handle(rootFd), parent.name.constData(), AT_REMOVEDIR) != 0)
        return fail(errno);
    return true;
}

bool InstallFs::removeTree(const QString& relative)
{
    releaseFolderUnder(relative);
    Parent parent;
    if (!openParent(relative, false, &parent))
        return error == ENOENT;
    return removeTreeAt(parent.handle(rootFd), parent.name, relative);
}

bool InstallFs::removeTreeAt(int parentFd, const QByteArray& name, const QString& relative)
{
    Fd dir(retryOpenAt(parentFd, name.constData(), dirFlags));
    if (dir.get() < 0) {
        if (errno == ENOENT)
            return true;
        // A link (to a folder or not) or a file: removed as what it is, never followed.
        if (errno == ELOOP || errno == ENOTDIR) {
            if (::unlinkat(parentFd, name.constData(), 0) == 0 || errno == ENOENT)
                return true;
        }
        return fail(errno);
    }

    std::vector<QByteArray> names;
    {
        const int listFd = ::dup(dir.get());
        if (listFd < 0)
            return fail(errno);
        DIR* listing = ::fdopendir(listFd);
        if (!listing) {
            ::close(listFd);
            return fail(errno);
        }
        while (const dirent* e = ::readdir(listing)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
        }
        ::closedir(listing);
    }
    std::sort(names.begin(), names.end());
    if (listedHook())
        listedHook()(relative);

    for (const QByteArray& entryName : names) {
        struct stat st;
        if (::fstatat(dir.get(), entryName.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            return fail(errno);
        }
        const QString entryRelative = join(relative, QFile::decodeName(entryName));
        bool removed;
        if (S_ISDIR(st.st_mode)) {
            removed = removeTreeAt(dir.get(), entryName, entryRelative);
        } else if (::unlinkat(dir.get(), entryName.constData(), 0) == 0 || errno == ENOENT) {
            removed = true;
        } else if (errno == EISDIR || errno == EPERM) {
            // Swapped for a folder since it was looked at.
            removed = removeTreeAt(dir.get(), entryName, entryRelative);
        } else {
            removed = fail(errno);
        }
        if (!removed)
            return false;
    }
    dir.reset();
    if (::unlinkat(parentFd, name.constData(), AT_REMOVEDIR) == 0 || errno == ENOENT)
        return true;
    if (errno == ENOTDIR && (::unlinkat(parentFd, name.constData(), 0) == 0 || errno == ENOENT))
        return true;
    return fail(errno);
}

bool InstallFs::rename(const QString& from, const QString& to, bool replace)
{
    if (injected("rename", from))
        return false;
    releaseFolderUnder(from);
    releaseFolderUnder(to);
    Parent source;
    Parent target;
    if (!openParent(from, false, &source) || !openParent(to, false, &target))
        return false;
    const int sourceFd = source.handle(rootFd);
    const int targetFd = target.handle(rootFd);
    if (!replace) {
#ifdef SYS_renameat2
        if (::syscall(SYS_renameat2, sourceFd, source.name.constData(), targetFd,
                      target.name.constData(), 1 /* RENAME_NOREPLACE */) == 0)
            return true;
        if (errno != EINVAL && errno != ENOSYS)
            return fail(errno);
#endif
        // Without kernel support: a look first. Only a rename racing this one can slip between.
        struct stat st;
        if (::fstatat(targetFd, target.name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            return fail(EEXIST);
    }
    if (::renameat(sourceFd, source.name.constData(), targetFd, target.name.constData()) != 0)
        return fail(errno);
    return true;
}

bool InstallFs::setMode(const QString& relative, uint mode)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    // Opened without following a link and without blocking on a FIFO, then changed through the
    // handle: a link planted at the path is never followed to its target.
    Fd fd(retryOpenAt(parent.handle(rootFd), parent.name.constData(),
                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0)
        return fail(errno);
    if (::fchmod(fd.get(), mode_t(mode & 07777)) != 0)
        return fail(errno);
    return true;
}

int InstallFs::createFile(const QString& relative, uint mode)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return -1;
    const int fd = retryOpenAt(parent.handle(rootFd), parent.name.constData(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode_t(mode));
    if (fd < 0)
        fail(errno);
    return fd;
}

bool InstallFs::writeNewFile(const QString& relative, const QByteArray& bytes, uint mode,
                             Entry* written)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    const int dirFd = parent.handle(rootFd);
    Fd out(retryOpenAt(dirFd, parent.name.constData(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.get() < 0)
        return fail(errno);
    struct stat st;
    // The mode is set on the descriptor, whatever the process's umask, before any byte is there.
    if (::fchmod(out.get(), mode_t(mode & 07777)) != 0 ||
        !writeAll(out.get(), bytes.constData(), bytes.size()) || ::fsync(out.get()) != 0 ||
        ::fstat(out.get(), &st) != 0 || ::close(out.release()) != 0) {
        const int code = errno;
        out.reset();
        ::unlinkat(dirFd, parent.name.constData(), 0);
        return fail(code);
    }
    if (written)
        describe(st, written);
    return true;
}

bool InstallFs::adoptable(const Entry& file)
{
    return file.kind == Kind::File && file.owner == uint(::geteuid()) && file.links == 1 &&
           (file.mode & 07022) == 0;
}

bool InstallFs::updatersOwn(const QString& relative, Kind kind, QString* reason)
{
    auto refuse = [reason](const char* why) {
        if (reason)
            *reason = QString::fromLatin1(why);
        return false;
    };
    struct stat st;
    if (holds(relative)) {
        if (::fstat(heldFd, &st) != 0)
            return fail(errno) || refuse("cannot be looked at");
    } else {
        Parent parent;
        if (!openParent(relative, false, &parent))
            return refuse(error == ELOOP ? "link on the way" : "cannot be looked at");
        if (::fstatat(parent.handle(rootFd), parent.name.constData(), &st, AT_SYMLINK_NOFOLLOW) !=
            0) {
            const int code = errno;
            fail(code);
            return refuse(code == ENOENT ? "missing" : "cannot be looked at");
        }
    }
    if (S_ISLNK(st.st_mode))
        return refuse("a link");
    if (kind == Kind::Dir && !S_ISDIR(st.st_mode))
        return refuse("not a folder");
    if (kind != Kind::Dir && !S_ISREG(st.st_mode))
        return refuse("not a regular file");
    if (st.st_uid != ::geteuid())
        return refuse("owned by another user");
    if (st.st_mode & 0022)
        return refuse("writable by others");
    if (kind != Kind::Dir && (st.st_mode & 06000))
        return refuse("set-id");
    if (kind != Kind::Dir && st.st_nlink != 1)
        return refuse("more than one name");
    return true;
}

bool InstallFs::closeToOthers(const QString& relative)
{
    Entry found;
    if (!entry(relative, &found))
        return false;
    if (found.kind != Kind::Dir && found.kind != Kind::File)
        return fail(found.kind == Kind::Link ? ELOOP : EINVAL);
    return setMode(relative, found.mode & ~0022u);
}

int InstallFs::openFile(const QString& relative, bool writable, Entry* opened)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return -1;
    // Non-blocking, so that a fifo planted there cannot hold the open; a regular file ignores it.
    Fd fd(retryOpenAt(parent.handle(rootFd), parent.name.constData(),
                      (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        fail(errno);
        return -1;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        fail(errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
        return -1;
    }
    if (opened)
        describe(st, opened);
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        fail(errno);
        return -1;
    }
    return fd.release();
}

bool InstallFs::copyFile(const QString& from, const QString& to)
{
    Parent source;
    if (!openParent(from, false, &source))
        return false;
    Fd in(retryOpenAt(source.handle(rootFd), source.name.constData(),
                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (in.get() < 0)
        return fail(errno);
    struct stat st;
    if (::fstat(in.get(), &st) != 0)
        return fail(errno);
    if (!S_ISREG(st.st_mode))
        return fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);

    Parent target;
    if (!openParent(to, false, &target))
        return false;
    const int targetDir = target.handle(rootFd);
    Fd out(retryOpenAt(targetDir, target.name.constData(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.get() < 0)
        return fail(errno);

    auto abandon = [&](int code) {
        out.reset();
        ::unlinkat(targetDir, target.name.constData(), 0);
        return fail(code);
    };

    std::vector<char> buffer(1 << 20);
    qint64 copied = 0;
    while (true) {
        const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return abandon(errno);
        if (n == 0)
            break;
        if (!writeAll(out.get(), buffer.data(), n))
            return abandon(errno);
        copied += n;
    }
    // A source that changed size under the copy, or a write the system took only in part, is no
    // copy of it.
    struct stat written;
    if (copied != qint64(st.st_size) || ::fstat(out.get(), &written) != 0 ||
        written.st_size != st.st_size)
        return abandon(EIO);
    if (::fchmod(out.get(), st.st_mode & 07777) != 0)
        return abandon(errno);
    if (::fsync(out.get()) != 0)
        return abandon(errno);
    if (::close(out.release()) != 0) {
        const int code = errno;
        ::unlinkat(targetDir, target.name.constData(), 0);
        return fail(code);
    }
    return true;
}

bool InstallFs::writeFileAtomically(const QString& relative, const QByteArray& bytes)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    const int dirFd = parent.handle(rootFd);
    const QByteArray temp = parent.name + ".tmp";
    ::unlinkat(dirFd, temp.constData(), 0);
    Fd out(retryOpenAt(dirFd, temp.constData(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (out.get() < 0)
        return fail(errno);
    if (!writeAll(out.get(), bytes.constData(), bytes.size()) || ::fsync(out.get()) != 0 ||
        ::close(out.release()) != 0) {
        const int code = errno;
        out.reset();
        ::unlinkat(dirFd, temp.constData(), 0);
        return fail(code);
    }
    if (::renameat(dirFd, temp.constData(), dirFd, parent.name.constData()) != 0) {
        const int code = errno;
        ::unlinkat(dirFd, temp.constData(), 0);
        return fail(code);
    }
    if (::fsync(dirFd) != 0)
        return fail(errno);
    return true;
}

bool InstallFs::appendDurably(const QString& relative, const QByteArray& bytes)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    Fd out(retryOpenAt(parent.handle(rootFd), parent.name.constData(),
                       O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
    if (out.get() < 0)
        return fail(errno);
    if (!writeAll(out.get(), bytes.constData(), bytes.size()) || ::fdatasync(out.get()) != 0)
        return fail(errno);
    if (::close(out.release()) != 0)
        return fail(errno);
    return true;
}

bool InstallFs::readFile(const QString& relative, QByteArray* bytes, qint64 limit)
{
    bytes->clear();
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    // Non-blocking, so that a fifo planted there cannot hold the open; only a regular file is
    // read, so nothing can feed it without end.
    Fd in(retryOpenAt(parent.handle(rootFd), parent.name.constData(),
                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (in.get() < 0)
        return fail(errno);
    struct stat st;
    if (::fstat(in.get(), &st) != 0)
        return fail(errno);
    if (!S_ISREG(st.st_mode))
        return fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    if (limit >= 0 && st.st_size > limit)
        return fail(EFBIG);
    bytes->reserve(qsizetype(st.st_size));
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(errno);
        if (n == 0)
            return true;
        // A file that grows while it is read is held to the same bound.
        if (limit >= 0 && bytes->size() + n > limit) {
            bytes->clear();
            return fail(EFBIG);
        }
        bytes->append(buffer, n);
    }
}

bool InstallFs::syncDir(const QString& relative)
{
    QStringList segments;
    if (!split(relative, &segments))
        return fail(EINVAL);
    if (segments.isEmpty())
        return ::fsync(rootFd) == 0 || fail(errno);
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    Fd dir(retryOpenAt(parent.handle(rootFd), parent.name.constData(), dirFlags));
    if (dir.get() < 0)
        return fail(errno);
    return ::fsync(dir.get()) == 0 || fail(errno);
}

bool InstallFs::syncAll()
{
#ifdef Q_OS_LINUX
    return ::syncfs(rootFd) == 0 || fail(errno);
#else
    ::sync();
    return true;
#endif
}

#else // Q_OS_WIN

// ---------------------------------------------------------------------------------------------
// Windows: paths, with every segment below the installation checked not to be a link or a
// junction before it is used. The checks and the use are separate steps, so a race between them
// is possible here; the installation folder's access control is what keeps others out.

struct InstallFs::Parent {
    QString dir;
    QString name;
};

namespace
{

bool isReparse(const QFileInfo& info)
{
    return info.isSymLink() || info.isJunction() || info.isShortcut();
}

// Whether the entry at path, asked for by its last segment asked, exists under another name.
// Windows reaches a file by its 8.3 short name too ("UPDATE~1.XML" is "UpdateCfg.xml") and trims
// a final dot or space, so two different release paths could name one file; only the name the
// entry really has is accepted. Letter case alone does not count: Windows ignores it.
bool reachedUnderAnotherName(const QString& path, const QString& asked)
{
    // A pattern would match other names, and no entry on Windows holds these characters.
    if (asked.contains(QLatin1Char('*')) || asked.contains(QLatin1Char('?')))
        return true;
    WIN32_FIND_DATAW found;
    const QString native = QDir::toNativeSeparators(path);
    const HANDLE handle =
        ::FindFirstFileExW(reinterpret_cast<const wchar_t*>(native.utf16()), FindExInfoBasic,
                           &found, FindExSearchNameMatch, nullptr, 0);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    ::FindClose(handle);
    return ::CompareStringOrdinal(found.cFileName, -1,
                                  reinterpret_cast<const wchar_t*>(asked.utf16()),
                                  int(asked.size()), TRUE) != CSTR_EQUAL;
}

} // namespace

InstallFs::InstallFs(const QString& rootDir) : root(QDir::fromNativeSeparators(rootDir))
{
    while (root.size() > 3 && root.endsWith(QLatin1Char('/')))
        root.chop(1);
    rootFd = QFileInfo(root).isDir() ? 0 : -1;
    if (rootFd < 0)
        error = ENOENT;
}

InstallFs::~InstallFs() = default;

bool InstallFs::holdFolder(const QString& relative)
{
    // Nothing is held here, but the answer is the same: whether relative is a folder reached
    // without a link or junction on the way.
    releaseFolder();
    Entry found;
    QStringList segments;
    if (!split(relative, &segments) || segments.isEmpty())
        return fail(EINVAL);
    if (!entry(relative, &found))
        return false;
    if (found.kind == Kind::Dir) {
        heldDir = segments.join(QLatin1Char('/'));
        return true;
    }
    return fail(found.kind == Kind::Missing ? ENOENT : found.kind == Kind::Link ? ELOOP : ENOTDIR);
}

void InstallFs::releaseFolder()
{
    heldDir.clear();
}

bool InstallFs::isValid() const
{
    return rootFd >= 0;
}

bool InstallFs::openParent(const QString& relative, bool create, Parent* parent)
{
    QStringList segments;
    if (!split(relative, &segments) || segments.isEmpty())
        return fail(EINVAL);
    QString dir = root;
    for (int i = 0; i + 1 < segments.size(); ++i) {
        dir += QLatin1Char('/') + segments.at(i);
        const QFileInfo info(dir);
        if (isReparse(info))
            return fail(ELOOP);
        if (!info.exists()) {
            if (!create || !QDir().mkdir(dir))
                return fail(ENOENT);
        } else if (reachedUnderAnotherName(dir, segments.at(i))) {
            return fail(EINVAL);
        } else if (!info.isDir()) {
            return fail(ENOTDIR);
        }
    }
    if (reachedUnderAnotherName(dir + QLatin1Char('/') + segments.last(), segments.last()))
        return fail(EINVAL);
    parent->dir = dir;
    parent->name = segments.last();
    return true;
}

bool InstallFs::entry(const QString& relative, Entry* result)
{
    *result = Entry();
    QString path = root;
    QStringList segments;
    if (!split(relative, &segments))
        return fail(EINVAL);
    if (!segments.isEmpty()) {
        Parent parent;
        if (!openParent(relative, false, &parent))
            return error == ENOENT || error == ENOTDIR;
        path = parent.dir + QLatin1Char('/') + parent.name;
    }
    const QFileInfo info(path);
    if (isReparse(info))
        result->kind = Kind::Link;
    else if (!info.exists())
        return true;
    else if (info.isDir())
        result->kind = Kind::Dir;
    else
        result->kind = Kind::File;
    struct _stat64 st;
    if (result->kind != Kind::Link &&
        _wstat64(reinterpret_cast<const wchar_t*>(path.utf16()), &st) == 0) {
        result->device = quint64(st.st_dev);
        result->inode = quint64(info.fileTime(QFileDevice::FileBirthTime).toMSecsSinceEpoch());
        result->size = qint64(st.st_size);
        result->mode = uint(st.st_mode & 0777);
    }
    return true;
}

bool InstallFs::makeDir(const QString& relative, uint)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    const QString path = parent.dir + QLatin1Char('/') + parent.name;
    if (QFileInfo::exists(path) || isReparse(QFileInfo(path)))
        return fail(EEXIST);
    return QDir().mkdir(path) || fail(EACCES);
}

bool InstallFs::removeFile(const QString& relative)
{
    if (injected("remove", relative))
        return false;
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    const QString path = parent.dir + QLatin1Char('/') + parent.name;
    const QFileInfo info(path);
    if (isReparse(info))
        return QFile::remove(path) || QDir().rmdir(path) || fail(EACCES);
    if (info.isDir())
        return fail(EISDIR);
    return QFile::remove(path) || fail(info.exists() ? EACCES : ENOENT);
}

bool InstallFs::removeEmptyDir(const QString& relative)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    const QString path = parent.dir + QLatin1Char('/') + parent.name;
    if (isReparse(QFileInfo(path)))
        return fail(ENOTDIR);
    return QDir().rmdir(path) || fail(QFileInfo::exists(path) ? ENOTEMPTY : ENOENT);
}

bool InstallFs::removeTree(const QString& relative)
{
    Entry found;
    if (!entry(relative, &found))
        return error == ENOENT;
    if (found.kind == Kind::Missing)
        return true;
    if (found.kind != Kind::Dir)
        return removeFile(relative);
    const QDir dir(absolutePath(relative));
    const QStringList names = dir.entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    if (listedHook())
        listedHook()(relative);
    for (const QString& name : names) {
        if (!removeTree(join(relative, name)))
            return false;
    }
    return removeEmptyDir(relative);
}

bool InstallFs::rename(const QString& from, const QString& to, bool replace)
{
    if (injected("rename", from))
        return false;
    Parent source;
    Parent target;
    if (!openParent(from, false, &source) || !openParent(to, false, &target))
        return false;
    const QString sourcePath =
        QDir::toNativeSeparators(source.dir + QLatin1Char('/') + source.name);
    const QString targetPath =
        QDir::toNativeSeparators(target.dir + QLatin1Char('/') + target.name);
    // One call that replaces the target in place (or refuses when it exists) and never copies:
    // another volume fails as EXDEV does on POSIX.
    DWORD flags = MOVEFILE_WRITE_THROUGH;
    if (replace)
        flags |= MOVEFILE_REPLACE_EXISTING;
    if (::MoveFileExW(reinterpret_cast<const wchar_t*>(sourcePath.utf16()),
                      reinterpret_cast<const wchar_t*>(targetPath.utf16()), flags))
        return true;
    switch (::GetLastError()) {
    case ERROR_NOT_SAME_DEVICE:
        return fail(EXDEV);
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        return fail(EEXIST);
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return fail(ENOENT);
    default:
        return fail(EACCES);
    }
}

bool InstallFs::setMode(const QString&, uint)
{
    return true;
}

int InstallFs::createFile(const QString& relative, uint)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return -1;
    const QString path = parent.dir + QLatin1Char('/') + parent.name;
    const int fd = _wopen(reinterpret_cast<const wchar_t*>(path.utf16()),
                          _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        fail(errno);
    return fd;
}

bool InstallFs::adoptable(const Entry& file)
{
    return file.kind == Kind::File;
}

namespace
{

// The accounts trusted with the updater's own entries: Administrators, SYSTEM, TrustedInstaller
// (the owner of Program Files, whose access there is inherited) and the default owner of what
// this process creates (Administrators for an elevated process; the user when it is not
// elevated, which is what the user id is on POSIX). A user's own SID is not trusted as such: an
// administrator's programs that are not elevated run as that user too.
struct TrustedSids {
    std::vector<QByteArray> sids;

    void add(PSID sid)
    {
        if (sid && ::IsValidSid(sid))
            sids.emplace_back(reinterpret_cast<const char*>(sid), int(::GetLengthSid(sid)));
    }
    bool contains(PSID sid) const
    {
        for (const QByteArray& known : sids) {
            if (::EqualSid(sid, PSID(known.constData())))
                return true;
        }
        return false;
    }
};

const TrustedSids& trustedSids()
{
    static const TrustedSids trusted = [] {
        TrustedSids t;
        // OWNER RIGHTS: what the owner, itself one of these, is granted.
        for (const WELL_KNOWN_SID_TYPE type :
             {WinBuiltinAdministratorsSid, WinLocalSystemSid, WinCreatorOwnerRightsSid}) {
            BYTE buffer[SECURITY_MAX_SID_SIZE];
            DWORD size = sizeof buffer;
            if (::CreateWellKnownSid(type, nullptr, buffer, &size))
                t.add(PSID(buffer));
        }
        PSID installer = nullptr;
        if (::ConvertStringSidToSidW(
                L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &installer)) {
            t.add(installer);
            ::LocalFree(installer);
        }
        HANDLE token = nullptr;
        if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
            DWORD size = 0;
            ::GetTokenInformation(token, TokenOwner, nullptr, 0, &size);
            std::vector<BYTE> info(size);
            if (size > 0 && ::GetTokenInformation(token, TokenOwner, info.data(), size, &size))
                t.add(reinterpret_cast<TOKEN_OWNER*>(info.data())->Owner);
            ::CloseHandle(token);
        }
        return t;
    }();
    return trusted;
}

// Whether an access control list lets anyone but the trusted accounts change the entry: write
// or append data, attributes, extended attributes, delete it or its children, change its
// access or owner. A missing list grants everything; an allowing entry of a kind not judged
// here counts as granting.
bool othersMayWrite(PACL dacl)
{
    if (!dacl)
        return true;
    ACL_SIZE_INFORMATION info;
    if (!::GetAclInformation(dacl, &info, sizeof info, AclSizeInformation))
        return true;
    const ACCESS_MASK writes = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                               FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                               WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;
    for (DWORD i = 0; i < info.AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace))
            return true;
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceFlags & INHERIT_ONLY_ACE)
            continue; // applies to what is created inside, not to the entry
        switch (header->AceType) {
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
            continue;
        case ACCESS_ALLOWED_ACE_TYPE: {
            const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
            if ((allowed->Mask & writes) &&
                !trustedSids().contains(PSID(const_cast<DWORD*>(&allowed->SidStart))))
                return true;
            continue;
        }
        default:
            return true;
        }
    }
    return false;
}

} // namespace

bool InstallFs::updatersOwn(const QString& relative, Kind kind, QString* reason)
{
    auto refuse = [reason](const char* why) {
        if (reason)
            *reason = QString::fromLatin1(why);
        return false;
    };
    Parent parent;
    if (!openParent(relative, false, &parent))
        return refuse(error == ELOOP ? "link on the way" : "cannot be looked at");
    const QString path = QDir::toNativeSeparators(parent.dir + QLatin1Char('/') + parent.name);
    // One handle for every question, on the entry itself, never on a link's target.
    const HANDLE handle = ::CreateFileW(
        reinterpret_cast<const wchar_t*>(path.utf16()), READ_CONTROL | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        fail(ENOENT);
        return refuse("cannot be looked at");
    }
    BY_HANDLE_FILE_INFORMATION info;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const bool described =
        ::GetFileInformationByHandle(handle, &info) &&
        ::GetSecurityInfo(handle, SE_FILE_OBJECT,
                          OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                          &dacl, nullptr, &descriptor) == ERROR_SUCCESS;
    ::CloseHandle(handle);
    const char* why = nullptr;
    if (!described)
        why = "cannot be looked at";
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        why = "a link";
    else if (kind == Kind::Dir && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        why = "not a folder";
    else if (kind != Kind::Dir && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        why = "not a regular file";
    else if (kind != Kind::Dir && info.nNumberOfLinks != 1)
        why = "more than one name";
    else if (!owner || !trustedSids().contains(owner))
        why = "owned by another user";
    else if (othersMayWrite(dacl))
        why = "writable by others";
    if (descriptor)
        ::LocalFree(descriptor);
    if (why) {
        fail(EACCES);
        return refuse(why);
    }
    return true;
}

bool InstallFs::closeToOthers(const QString& relative)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    const QString path = QDir::toNativeSeparators(parent.dir + QLatin1Char('/') + parent.name);
    if (isReparse(QFileInfo(path)))
        return fail(ELOOP);
    // Full control for Administrators, SYSTEM and the owner, reading for the users; inherited by
    // what is made inside, nothing inherited from above.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FA;;;OW)(A;OICI;GRGX;;;BU)",
            SDDL_REVISION_1, &descriptor, nullptr))
        return fail(EACCES);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    DWORD result = ERROR_INVALID_ACL;
    if (::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present)
        result = ::SetNamedSecurityInfoW(
            const_cast<wchar_t*>(reinterpret_cast<const wchar_t*>(path.utf16())), SE_FILE_OBJECT,
            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
            nullptr);
    ::LocalFree(descriptor);
    return result == ERROR_SUCCESS || fail(EACCES);
}

bool InstallFs::writeNewFile(const QString& relative, const QByteArray& bytes, uint, Entry* written)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    const QString path = parent.dir + QLatin1Char('/') + parent.name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return fail(QFileInfo::exists(path) ? EEXIST : EACCES);
    if (file.write(bytes) != bytes.size() || !file.flush() || _commit(file.handle()) != 0) {
        file.close();
        QFile::remove(path);
        return fail(EIO);
    }
    file.close();
    return !written || entry(relative, written);
}

int InstallFs::openFile(const QString& relative, bool writable, Entry* opened)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return -1;
    const QString path = parent.dir + QLatin1Char('/') + parent.name;
    const QFileInfo info(path);
    if (isReparse(info)) {
        fail(ELOOP);
        return -1;
    }
    if (!info.isFile()) {
        fail(info.exists() ? EISDIR : ENOENT);
        return -1;
    }
    const int fd = _wopen(reinterpret_cast<const wchar_t*>(path.utf16()),
                          (writable ? _O_RDWR : _O_RDONLY) | _O_BINARY);
    if (fd < 0) {
        fail(errno);
        return -1;
    }
    if (opened) {
        *opened = Entry();
        opened->kind = Kind::File;
        opened->size = info.size();
    }
    return fd;
}

bool InstallFs::copyFile(const QString& from, const QString& to)
{
    Parent source;
    Parent target;
    if (!openParent(from, false, &source) || !openParent(to, false, &target))
        return false;
    const QString sourcePath = source.dir + QLatin1Char('/') + source.name;
    const QString targetPath = target.dir + QLatin1Char('/') + target.name;
    if (isReparse(QFileInfo(sourcePath)))
        return fail(ELOOP);
    QFile in(sourcePath);
    QFile out(targetPath);
    if (QFileInfo::exists(targetPath))
        return fail(EEXIST);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return fail(EACCES);
    qint64 copied = 0;
    while (!in.atEnd()) {
        const QByteArray chunk = in.read(1 << 20);
        if (chunk.isEmpty() || out.write(chunk) != chunk.size()) {
            out.close();
            QFile::remove(targetPath);
            return fail(ENOSPC);
        }
        copied += chunk.size();
    }
    // flush() only empties Qt's buffer: _commit() puts the bytes on the disk.
    if (copied != in.size() || !out.flush() || out.size() != copied || _commit(out.handle()) != 0) {
        out.close();
        QFile::remove(targetPath);
        return fail(EIO);
    }
    out.close();
    return out.error() == QFileDevice::NoError || fail(EIO);
}

bool InstallFs::writeFileAtomically(const QString& relative, const QByteArray& bytes)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    QSaveFile file(parent.dir + QLatin1Char('/') + parent.name);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return fail(EIO);
    return file.commit() || fail(EIO);
}

bool InstallFs::appendDurably(const QString& relative, const QByteArray& bytes)
{
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    const QString path = parent.dir + QLatin1Char('/') + parent.name;
    if (isReparse(QFileInfo(path)))
        return fail(ELOOP);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::ExistingOnly))
        return fail(EACCES);
    if (file.write(bytes) != bytes.size() || !file.flush())
        return fail(EIO);
    _commit(file.handle());
    return true;
}

bool InstallFs::readFile(const QString& relative, QByteArray* bytes, qint64 limit)
{
    bytes->clear();
    Parent parent;
    if (!openParent(relative, false, &parent))
        return false;
    const QString path = parent.dir + QLatin1Char('/') + parent.name;
    const QFileInfo info(path);
    if (isReparse(info))
        return fail(ELOOP);
    if (!info.isFile())
        return fail(info.exists() ? EISDIR : ENOENT);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(ENOENT);
    if (limit >= 0 && file.size() > limit)
        return fail(EFBIG);
    // One byte past the bound tells a file that grew while it was read.
    *bytes = limit >= 0 ? file.read(limit + 1) : file.readAll();
    if (limit >= 0 && bytes->size() > limit) {
        bytes->clear();
        return fail(EFBIG);
    }
    return true;
}

bool InstallFs::syncDir(const QString&)
{
    return true;
}

bool InstallFs::syncAll()
{
    return true;
}

#endif
