// The one sequence by which InstallFs's POSIX half writes a new file: whatever step fails, the
// partial file is gone and the error is the failing step's.

#include "platform/fd.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class tst_Fd : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void writesFlushesAndCloses();
    void failedFillLeavesNothing();
    void failedLookAfterFlushLeavesNothing();
    void existingNameIsLeftAlone();

private:
    QTemporaryDir* dir = nullptr;
    int dirFd = -1;
};

void tst_Fd::init()
{
    dir = new QTemporaryDir;
    QVERIFY(dir->isValid());
    dirFd = ::open(QFile::encodeName(dir->path()).constData(), O_RDONLY | O_DIRECTORY);
    QVERIFY(dirFd >= 0);
}

void tst_Fd::cleanup()
{
    if (dirFd >= 0)
        ::close(dirFd);
    dirFd = -1;
    delete dir;
    dir = nullptr;
}

void tst_Fd::writesFlushesAndCloses()
{
    const QByteArray bytes = "content";
    int filled = -1;
    int looked = -1;
    const bool ok = writeNewFileAt(
        dirFd, "new", 0600,
        [&](int fd) {
            filled = fd;
            return writeAll(fd, bytes.constData(), bytes.size());
        },
        [&](int fd) {
            looked = fd;
            return true;
        });
    QVERIFY(ok);
    QVERIFY(filled >= 0);
    QCOMPARE(looked, filled);
    // The descriptor is closed once the call returns.
    QCOMPARE(::fcntl(filled, F_GETFD), -1);
    QFile file(dir->filePath("new"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), bytes);
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(dir->filePath("new")).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0600);
}

void tst_Fd::failedFillLeavesNothing()
{
    const bool ok = writeNewFileAt(dirFd, "new", 0600, [](int fd) {
        writeAll(fd, "partial", 7);
        errno = EDQUOT;
        return false;
    });
    const int error = errno;
    QVERIFY(!ok);
    QCOMPARE(error, EDQUOT);
    QVERIFY(!QFile::exists(dir->filePath("new")));
}

void tst_Fd::failedLookAfterFlushLeavesNothing()
{
    bool filled = false;
    const bool ok = writeNewFileAt(
        dirFd, "new", 0600,
        [&](int) {
            filled = true;
            return true;
        },
        [](int) {
            errno = EIO;
            return false;
        });
    const int error = errno;
    QVERIFY(!ok);
    QVERIFY(filled);
    QCOMPARE(error, EIO);
    QVERIFY(!QFile::exists(dir->filePath("new")));
}

void tst_Fd::existingNameIsLeftAlone()
{
    QFile existing(dir->filePath("old"));
    QVERIFY(existing.open(QIODevice::WriteOnly));
    existing.write("kept");
    existing.close();
    bool filled = false;
    const bool ok = writeNewFileAt(dirFd, "old", 0600, [&](int) {
        filled = true;
        return true;
    });
    const int error = errno;
    QVERIFY(!ok);
    QCOMPARE(error, EEXIST);
    QVERIFY(!filled);
    QVERIFY(existing.open(QIODevice::ReadOnly));
    QCOMPARE(existing.readAll(), QByteArray("kept"));
}

QTEST_GUILESS_MAIN(tst_Fd)
#include "tst_fd.moc"
