#include "platform/installfs.h"

#include "platform/fd.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// The POSIX half of InstallFs: handles and *at calls, each folder below the installation opened
// without following a link. What both halves share is in installfs.cpp.

namespace
{

const int dirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

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
    reportListed(relative);

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

bool InstallFs::deletableHere(const QString&)
{
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
    struct stat st;
    // The mode is set on the descriptor, whatever the process's umask, before any byte is there.
    const auto fill = [&](int fd) {
        return ::fchmod(fd, mode_t(mode & 07777)) == 0 &&
               writeAll(fd, bytes.constData(), bytes.size());
    };
    const auto flushed = [&](int fd) { return ::fstat(fd, &st) == 0; };
    if (!writeNewFileAt(parent.handle(rootFd), parent.name.constData(), 0600, fill, flushed))
        return fail(errno);
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
    Entry source;
    Fd in(openFile(from, false, &source));
    if (in.get() < 0)
        return false;

    Parent target;
    if (!openParent(to, false, &target))
        return false;
    // Allocated once the new file is there, and freed when the copy is over, as ever.
    std::vector<char> buffer;
    const auto fill = [&](int out) {
        buffer.resize(1 << 20);
        qint64 copied = 0;
        while (true) {
            const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return false;
            if (n == 0)
                break;
            if (!writeAll(out, buffer.data(), n))
                return false;
            copied += n;
        }
        // A source that changed size under the copy, or a write the system took only in part, is
        // no copy of it.
        struct stat written;
        if (copied != source.size || ::fstat(out, &written) != 0 ||
            qint64(written.st_size) != source.size) {
            errno = EIO;
            return false;
        }
        return ::fchmod(out, mode_t(source.mode)) == 0;
    };
    if (!writeNewFileAt(target.handle(rootFd), target.name.constData(), 0600, fill))
        return fail(errno);
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
    const auto fill = [&](int fd) { return writeAll(fd, bytes.constData(), bytes.size()); };
    if (!writeNewFileAt(dirFd, temp.constData(), 0644, fill))
        return fail(errno);
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
    // A regular file only, so that nothing can feed it without end, and no fifo holds the open.
    Entry file;
    Fd in(openFile(relative, false, &file));
    if (in.get() < 0)
        return false;
    if (limit >= 0 && file.size > limit)
        return fail(EFBIG);
    bytes->reserve(qsizetype(file.size));
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
