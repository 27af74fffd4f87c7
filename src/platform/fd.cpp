#include "platform/fd.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

void Fd::reset(int f)
{
    if (fd >= 0)
        ::close(fd);
    fd = f;
}

int retryOpenAt(int dirFd, const char* name, int flags, mode_t mode)
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

bool writeNewFileAt(int dirFd, const char* name, mode_t mode, const std::function<bool(int)>& fill,
                    const std::function<bool(int)>& flushed)
{
    Fd out(retryOpenAt(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (out.get() < 0)
        return false;
    if (fill(out.get()) && ::fsync(out.get()) == 0 && (!flushed || flushed(out.get())) &&
        ::close(out.release()) == 0)
        return true;
    // The error is the failing step's, not the clean-up's.
    const int code = errno;
    out.reset();
    ::unlinkat(dirFd, name, 0);
    errno = code;
    return false;
}
