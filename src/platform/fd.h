#pragma once

// A POSIX descriptor closed by its owner, and the calls on descriptors that InstallFs's POSIX
// half makes in many places: one way to open, one to write, one to write a new file. Each
// operation of InstallFs makes a known sequence of system calls (the fault tests count them), so
// the sequence is written once here and every writer follows it.

#include <QtGlobal>

#include <functional>
#include <sys/types.h>

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
    void reset(int f = -1);

private:
    int fd;
};

// openat, tried again when a signal interrupts it.
int retryOpenAt(int dirFd, const char* name, int flags, mode_t mode = 0);

// Writes all of data, in as many writes as the system needs; false with errno set (ENOSPC when
// the system takes nothing) otherwise.
bool writeAll(int fd, const char* data, qint64 size);

// Creates name in dirFd exclusively and never through a link, with mode (as the umask leaves
// it); fill(fd) writes the content and returns false, with errno set, when a step fails. Then the
// data is flushed to the disk, flushed(fd) (when given) looks at the file, and the descriptor is
// closed. A failure after the creation closes the descriptor and removes the partial file, so
// nothing is left under that name. False, with errno set to the failing step's error, otherwise.
bool writeNewFileAt(int dirFd, const char* name, mode_t mode, const std::function<bool(int)>& fill,
                    const std::function<bool(int)>& flushed = nullptr);
