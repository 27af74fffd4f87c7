// File operations below the installation directory: no link is ever followed, whatever is
// planted before or during an operation, and an outside folder stays byte for byte as it was.

#include "platform/installfs.h"
#include "platform/mappedfile.h"
#include "treeof.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class tst_InstallFs : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void linkOnTheWayIsNeverFollowed_data();
    void linkOnTheWayIsNeverFollowed();
    void createIsExclusive();
    void removeTreeRemovesLinksAsLinks();
    void removeTreeSurvivesSwapAfterListing();
    void renameDoesNotReplaceUnlessAsked();
    void copyKeepsBytesAndMode();
    void modesComeFromTheFileSystem();
    void badPathsAreRefused();
    void badSegmentsAreRefusedEverywhere_data();
    void badSegmentsAreRefusedEverywhere();
    void boundedReadTakesRegularFilesOnly();
    void updatersOwnEntries_data();
    void updatersOwnEntries();
    void heldFolderIsLetGoWhenMoved_data();
    void heldFolderIsLetGoWhenMoved();

private:
    void write(const QString& path, const QByteArray& bytes)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(bytes), bytes.size());
    }
    QScopedPointer<QTemporaryDir> base;
    QString root;
    QString outside;
};

void tst_InstallFs::init()
{
    base.reset(new QTemporaryDir);
    QVERIFY(base->isValid());
    root = base->path() + "/inst";
    outside = base->path() + "/victim";
    QDir().mkpath(root);
    write(outside + "/a.txt", "victim a");
    write(outside + "/sub/b.txt", "victim b");
}

void tst_InstallFs::linkOnTheWayIsNeverFollowed_data()
{
    QTest::addColumn<QString>("link");     // planted in the installation, pointing at outside
    QTest::addColumn<QString>("relative"); // the operation's path
    QTest::newRow("parent folder") << "dir"
                                   << "/dir/a.txt";
    QTest::newRow("grandparent folder") << "dir"
                                        << "/dir/sub/b.txt";
    QTest::newRow("deeper folder") << "x/dir"
                                   << "/x/dir/sub/b.txt";
}

void tst_InstallFs::linkOnTheWayIsNeverFollowed()
{
    QFETCH(QString, link);
    QFETCH(QString, relative);
    QDir().mkpath(QFileInfo(root + "/" + link).absolutePath());
    QVERIFY(QFile::link(outside, root + "/" + link));
    write(root + "/elsewhere.txt", "mine");
    const auto before = treeOf(outside);

    InstallFs fs(root);
    QVERIFY(fs.isValid());
    QCOMPARE(fs.linkOnTheWay(relative), "/" + link);
    InstallFs::Entry found;
    QVERIFY(!fs.entry(relative, &found));
    QCOMPARE(fs.lastError(), ELOOP);
    QVERIFY(!fs.removeFile(relative));
    QVERIFY(!fs.removeTree(relative));
    QVERIFY(!fs.rename("/elsewhere.txt", relative));
    QVERIFY(!fs.rename(relative, "/moved.txt"));
    QVERIFY(!fs.setMode(relative, 0777));
    QCOMPARE(fs.createFile(relative + ".new"), -1);
    QVERIFY(!fs.copyFile("/elsewhere.txt", relative + ".new"));
    QVERIFY(!fs.copyFile(relative, "/copy.txt"));
    QVERIFY(!fs.writeFileAtomically(relative, "x"));
    QVERIFY(!fs.appendDurably(relative, "x"));
    QVERIFY(!fs.makePath(relative + ".d/e"));
    QByteArray bytes;
    QVERIFY(!fs.readFile(relative, &bytes));
    MappedFile mapped;
    QVERIFY(!fs.mapFile(relative, &mapped));
    QVERIFY(!mapped.isMapped());

    QCOMPARE(treeOf(outside), before);
    QVERIFY(!QFile::exists(root + "/moved.txt") && !QFile::exists(root + "/copy.txt"));
    QCOMPARE(QFileInfo(outside + "/a.txt").permissions(),
             QFileInfo(outside + "/sub/b.txt").permissions());
}

void tst_InstallFs::heldFolderIsLetGoWhenMoved_data()
{
    QTest::addColumn<QString>("operation");
    QTest::newRow("folder above removed") << "removeTree /a";
    QTest::newRow("held folder removed") << "removeTree /a/b";
    QTest::newRow("folder above renamed") << "rename /a /c";
    QTest::newRow("held folder renamed") << "rename /a/b /a/c";
    QTest::newRow("held folder emptied and removed") << "removeEmptyDir /a/b";
}

void tst_InstallFs::heldFolderIsLetGoWhenMoved()
{
    QFETCH(QString, operation);
#ifdef Q_OS_WIN
    QSKIP("every operation checks its path on Windows: nothing is held");
#endif
    QDir().mkpath(root + "/a/b");
    QVERIFY(QFile::link(outside, root + "/link"));
    InstallFs fs(root);
    // A link on the way is never held.
    QVERIFY(!fs.holdFolder("/link"));
    QCOMPARE(fs.lastError(), ELOOP);
    QVERIFY(!fs.holdFolder("/link/sub"));
    QCOMPARE(fs.lastError(), ELOOP);

    QVERIFY(fs.holdFolder("/a/b"));
    int fd = fs.createFile("/a/b/first");
    QVERIFY(fd >= 0);
    ::close(fd);
    QVERIFY(QFile::exists(root + "/a/b/first"));
    QVERIFY(fs.removeFile("/a/b/first"));

    const QStringList words = operation.split(' ');
    const bool done = words.at(0) == "rename"       ? fs.rename(words.at(1), words.at(2))
                      : words.at(0) == "removeTree" ? fs.removeTree(words.at(1))
                                                    : fs.removeEmptyDir(words.at(1));
    QVERIFY(done);
    // The path no longer reaches the folder that was held: nothing is created in it, wherever it
    // went, and the path is walked again.
    QCOMPARE(fs.createFile("/a/b/second"), -1);
    QCOMPARE(fs.lastError(), ENOENT);
    QDirIterator it(base->path(), QDirIterator::Subdirectories);
    while (it.hasNext())
        QVERIFY2(it.next().section('/', -1) != "second", qPrintable(it.filePath()));
    // Made again, the folder is found again.
    QVERIFY(fs.makePath("/a/b"));
    fd = fs.createFile("/a/b/third");
    QVERIFY(fd >= 0);
    ::close(fd);
    QVERIFY(QFile::exists(root + "/a/b/third"));
}

void tst_InstallFs::createIsExclusive()
{
    QVERIFY(QFile::link(outside + "/a.txt", root + "/link.txt"));
    QVERIFY(QFile::link(outside + "/nothing.txt", root + "/dangling.txt"));
    write(root + "/old.txt", "old");
    const auto before = treeOf(outside);

    InstallFs fs(root);
    QCOMPARE(fs.createFile("/link.txt"), -1);
    QCOMPARE(fs.createFile("/dangling.txt"), -1);
    QCOMPARE(fs.createFile("/old.txt"), -1);
    QCOMPARE(fs.lastError(), EEXIST);
    QVERIFY(!fs.copyFile("/old.txt", "/dangling.txt"));
    QVERIFY(!fs.writeFileAtomically("/link.txt/x", "x"));
    QVERIFY(!fs.appendDurably("/link.txt", "x"));
    QVERIFY(!fs.setMode("/link.txt", 0777));
    QCOMPARE(treeOf(outside), before);
    QVERIFY(!QFile::exists(outside + "/nothing.txt"));

    const int fd = fs.createFile("/fresh.txt", 0640);
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, "abc", 3), ssize_t(3));
    ::close(fd);
    QFile fresh(root + "/fresh.txt");
    QVERIFY(fresh.open(QIODevice::ReadOnly));
    QCOMPARE(fresh.readAll(), QByteArray("abc"));
}

void tst_InstallFs::removeTreeRemovesLinksAsLinks()
{
    write(root + "/update/sub/deeper/f", "f");
    write(root + "/update/.hidden", "h");
    QVERIFY(QFile::link(outside, root + "/update/sub/linkdir"));
    QVERIFY(QFile::link(outside + "/a.txt", root + "/update/linkfile"));
    QVERIFY(QFile::link(outside + "/none", root + "/update/dangling"));
    QVERIFY(QFile::link(outside, root + "/linkroot"));
    const auto before = treeOf(outside);

    InstallFs fs(root);
    QVERIFY(fs.removeTree("/update"));
    QVERIFY(!QFileInfo::exists(root + "/update"));
    QVERIFY(fs.removeTree("/update"));         // gone counts as removed
    QVERIFY(fs.removeTree("/missing/deeper")); // so does a missing parent
    QVERIFY(fs.removeTree("/linkroot"));
    QVERIFY(!QFileInfo(root + "/linkroot").isSymLink());
    QCOMPARE(treeOf(outside), before);
}

void tst_InstallFs::removeTreeSurvivesSwapAfterListing()
{
    // Between the listing of update/ and the removal of its entries, a folder in it is swapped
    // for a link to the victim, and a file for a link to a victim file.
    write(root + "/update/sub/inner.txt", "inner");
    write(root + "/update/z.txt", "z");
    const auto before = treeOf(outside);
    bool swapped = false;
    const QString stolen = base->path() + "/stolen";
    InstallFs::setListedHook([&](const QString& listed) {
        if (listed != QLatin1String("/update") || swapped)
            return;
        swapped = true;
        QVERIFY(QDir().rename(root + "/update/sub", stolen));
        QVERIFY(QFile::link(outside, root + "/update/sub"));
        QVERIFY(QFile::remove(root + "/update/z.txt"));
        QVERIFY(QFile::link(outside + "/a.txt", root + "/update/z.txt"));
    });
    InstallFs fs(root);
    const bool removed = fs.removeTree("/update");
    InstallFs::setListedHook(nullptr);
    QVERIFY(swapped);
    QVERIFY(removed);
    QVERIFY(!QFileInfo::exists(root + "/update"));
    QVERIFY(!QFileInfo(root + "/update").isSymLink());
    QCOMPARE(treeOf(outside), before);
    QVERIFY(QFile::exists(stolen + "/inner.txt"));
}

void tst_InstallFs::renameDoesNotReplaceUnlessAsked()
{
    write(root + "/a", "a");
    write(root + "/b", "b");
    InstallFs fs(root);
    QVERIFY(!fs.rename("/a", "/b"));
    QCOMPARE(fs.lastError(), EEXIST);
    InstallFs::Entry a;
    QVERIFY(fs.entry("/a", &a));
    QVERIFY(fs.rename("/a", "/b", true));
    InstallFs::Entry b;
    QVERIFY(fs.entry("/b", &b));
    QVERIFY(b.sameIdentity(a.device, a.inode));
    QVERIFY(fs.makePath("/c/d"));
    QVERIFY(fs.rename("/b", "/c/d/e"));
    QFile moved(root + "/c/d/e");
    QVERIFY(moved.open(QIODevice::ReadOnly));
    QCOMPARE(moved.readAll(), QByteArray("a"));
}

void tst_InstallFs::copyKeepsBytesAndMode()
{
    QByteArray big(3 * 1024 * 1024 + 17, 'x');
    for (int i = 0; i < big.size(); i += 4097)
        big[i] = char(i);
    write(root + "/src.bin", big);
    QVERIFY(::chmod(QFile::encodeName(root + "/src.bin").constData(), 0751) == 0);
    InstallFs fs(root);
    QVERIFY(fs.copyFile("/src.bin", "/dst.bin"));
    QFile copy(root + "/dst.bin");
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), big);
    InstallFs::Entry source;
    InstallFs::Entry target;
    QVERIFY(fs.entry("/src.bin", &source) && fs.entry("/dst.bin", &target));
    QCOMPARE(target.mode, 0751u);
    QVERIFY(!target.sameIdentity(source.device, source.inode));
    // Never over an existing file, never from a folder.
    QVERIFY(!fs.copyFile("/src.bin", "/dst.bin"));
    QDir().mkpath(root + "/folder");
    QVERIFY(!fs.copyFile("/folder", "/dst2.bin"));
    QVERIFY(!QFile::exists(root + "/dst2.bin"));
}

void tst_InstallFs::modesComeFromTheFileSystem()
{
    // As root, access checks pass whatever the bits say: the bits must come from stat.
    for (const uint mode : {0444u, 0500u, 0000u, 04755u}) {
        write(root + "/m", "m");
        QVERIFY(::chmod(QFile::encodeName(root + "/m").constData(), mode) == 0);
        InstallFs fs(root);
        InstallFs::Entry found;
        QVERIFY(fs.entry("/m", &found));
        QCOMPARE(found.mode, mode);
        QVERIFY(fs.setMode("/m", 0640));
        QVERIFY(fs.entry("/m", &found));
        QCOMPARE(found.mode, 0640u);
        QVERIFY(fs.removeFile("/m"));
    }
}

void tst_InstallFs::badPathsAreRefused()
{
    write(base->path() + "/outsider.txt", "outside");
    InstallFs fs(root);
    for (const char* bad : {"/../outsider.txt", "/a/./b", "//x", "/a/../../outsider.txt"}) {
        InstallFs::Entry found;
        QVERIFY2(!fs.entry(QString::fromLatin1(bad), &found), bad);
        QCOMPARE(fs.lastError(), EINVAL);
        QVERIFY(!fs.removeFile(QString::fromLatin1(bad)));
    }
    QVERIFY(QFile::exists(base->path() + "/outsider.txt"));
    QVERIFY(!fs.removeTree(""));
}

void tst_InstallFs::badSegmentsAreRefusedEverywhere_data()
{
    // A segment that decodes from a journal's "..%00" ends at the NUL as a C string: ".." would
    // climb out of the installation, where the victim folder lies beside it.
    QTest::addColumn<QString>("bad"); // the bad segment; %1 is its place in the path
    QTest::addColumn<QString>("path");
    const QString nul = QString(QChar(0));
    QTest::newRow("dot dot NUL") << QString("..") + nul << "/%1/victim/a.txt";
    QTest::newRow("dot dot NUL deeper") << QString("..") + nul << "/inner/%1/%1/victim/a.txt";
    QTest::newRow("dot dot NUL last") << QString("..") + nul << "/%1";
    QTest::newRow("NUL alone") << nul << "/%1/a.txt";
    QTest::newRow("NUL inside a name") << QString("a.txt") + nul + "x"
                                       << "/%1";
    QTest::newRow("line feed") << QString("a\nb") << "/%1";
    QTest::newRow("tab") << QString("a\tb") << "/%1";
    QTest::newRow("escape") << QString("a\x1b[0m") << "/%1";
    QTest::newRow("delete") << QString("a") + QChar(0x7f) << "/%1";
    QTest::newRow("C1 next line") << QString("a") + QChar(0x85) << "/%1";
    QTest::newRow("C1 single shift") << QString("a") + QChar(0x9f) << "/%1";
}

void tst_InstallFs::badSegmentsAreRefusedEverywhere()
{
    QFETCH(QString, bad);
    QFETCH(QString, path);
    const QString relative = path.arg(bad);
    QDir().mkpath(root + "/inner");
    write(root + "/mine.txt", "mine");
    const auto outsideBefore = treeOf(outside);
    const auto insideBefore = treeOf(root);

    InstallFs fs(root);
    QVERIFY(fs.isValid());
    QStringList segments{"left over"};
    QVERIFY(!InstallFs::split(relative, &segments));
    QVERIFY(segments.isEmpty());

    auto refused = [&](bool failed, const char* operation) {
        QVERIFY2(failed, operation);
        QVERIFY2(fs.lastError() == EINVAL, operation);
    };
    InstallFs::Entry found;
    refused(!fs.entry(relative, &found), "entry");
    QCOMPARE(found.kind, InstallFs::Kind::Missing);
    QCOMPARE(fs.linkOnTheWay(relative), QString());
    refused(!fs.makeDir(relative), "makeDir");
    refused(!fs.makePath(relative), "makePath");
    refused(!fs.makePath(relative + "/deeper"), "makePath below");
    refused(!fs.removeFile(relative), "removeFile");
    refused(!fs.removeEmptyDir(relative), "removeEmptyDir");
    QVERIFY(!fs.removeTree(relative));
    refused(!fs.rename("/mine.txt", relative), "rename to");
    refused(!fs.rename(relative, "/moved.txt"), "rename from");
    refused(!fs.rename(relative, "/moved.txt", true), "rename replacing");
    refused(!fs.setMode(relative, 0777), "setMode");
    QCOMPARE(fs.createFile(relative), -1);
    QCOMPARE(fs.lastError(), EINVAL);
    QCOMPARE(fs.openFile(relative), -1);
    QCOMPARE(fs.lastError(), EINVAL);
    QCOMPARE(fs.openFile(relative, true), -1);
    refused(!fs.copyFile("/mine.txt", relative), "copyFile to");
    refused(!fs.copyFile(relative, "/copy.txt"), "copyFile from");
    refused(!fs.writeFileAtomically(relative, "x"), "writeFileAtomically");
    refused(!fs.appendDurably(relative, "x"), "appendDurably");
    QByteArray bytes;
    refused(!fs.readFile(relative, &bytes), "readFile");
    refused(!fs.readFile(relative, &bytes, 1024), "readFile bounded");
    refused(!fs.syncDir(relative), "syncDir");
    refused(!fs.holdFolder(relative), "holdFolder");
    QVERIFY(!fs.holds(relative));
    QString reason;
    QVERIFY(!fs.updatersOwn(relative, InstallFs::Kind::File, &reason));
    QVERIFY(!fs.updatersOwn(relative, InstallFs::Kind::Dir, &reason));

    QCOMPARE(treeOf(outside), outsideBefore);
    QCOMPARE(treeOf(root), insideBefore);
}

void tst_InstallFs::boundedReadTakesRegularFilesOnly()
{
    write(root + "/hundred", QByteArray(100, 'h'));
    QDir().mkpath(root + "/folder");
    QVERIFY(::mkfifo(QFile::encodeName(root + "/fifo").constData(), 0600) == 0);
    InstallFs fs(root);
    QByteArray bytes("stale");
    QVERIFY(fs.readFile("/hundred", &bytes, 100));
    QCOMPARE(bytes, QByteArray(100, 'h'));
    QVERIFY(!fs.readFile("/hundred", &bytes, 99));
    QCOMPARE(fs.lastError(), EFBIG);
    QVERIFY(bytes.isEmpty());
    QVERIFY(fs.readFile("/hundred", &bytes));
    QCOMPARE(bytes.size(), 100);
    // Neither a FIFO nor a folder is read, and nothing waits for a writer.
    QVERIFY(!fs.readFile("/fifo", &bytes, 1 << 20));
    QCOMPARE(fs.lastError(), EINVAL);
    QVERIFY(!fs.readFile("/folder", &bytes, 1 << 20));
    QCOMPARE(fs.lastError(), EISDIR);
    // Mapped (a patch's base) by the same rules: a regular file reached without a link.
    MappedFile mapped;
    InstallFs::Entry opened;
    QVERIFY(fs.mapFile("/hundred", &mapped, &opened));
    QCOMPARE(QByteArray(mapped.data(), int(mapped.size())), QByteArray(100, 'h'));
    QCOMPARE(opened.size, qint64(100));
    write(root + "/empty", QByteArray());
    QVERIFY(fs.mapFile("/empty", &mapped));
    QVERIFY(mapped.isMapped() && mapped.size() == 0);
    QVERIFY(QFile::link(root + "/hundred", root + "/link"));
    for (const auto& [path, error] :
         {std::pair{"/fifo", EINVAL}, std::pair{"/folder", EISDIR}, std::pair{"/link", ELOOP}}) {
        QVERIFY2(!fs.mapFile(path, &mapped), path);
        QCOMPARE(fs.lastError(), error);
        QVERIFY(!mapped.isMapped());
    }
    // A sparse file far past the bound is refused by its size, before a byte of it is read.
    const QString big = root + "/big";
    {
        QFile file(big);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(qint64(200) * 1024 * 1024));
    }
    QVERIFY(!fs.readFile("/big", &bytes, 64 * 1024 * 1024));
    QCOMPARE(fs.lastError(), EFBIG);
}

void tst_InstallFs::updatersOwnEntries_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("folder");
    QTest::addColumn<QString>("reason"); // empty: the updater's own
    QTest::newRow("file of ours") << "file 0644" << false << "";
    QTest::newRow("read-only file of ours") << "file 0400" << false << "";
    QTest::newRow("group-writable file") << "file 0664" << false << "writable by others";
    QTest::newRow("world-writable file") << "file 0646" << false << "writable by others";
    QTest::newRow("set-uid file") << "file 04644" << false << "set-id";
    QTest::newRow("set-gid file") << "file 02644" << false << "set-id";
    QTest::newRow("file of another user") << "file 0644 nobody" << false << "owned by another user";
    QTest::newRow("file with a second name")
        << "file 0644 hardlink" << false << "more than one name";
    QTest::newRow("link to a file of ours") << "link" << false << "a link";
    QTest::newRow("FIFO") << "fifo" << false << "not a regular file";
    QTest::newRow("folder asked as a file") << "dir 0755" << false << "not a regular file";
    QTest::newRow("folder of ours") << "dir 0755" << true << "";
    QTest::newRow("set-gid folder of ours") << "dir 02755" << true << "";
    QTest::newRow("group-writable folder") << "dir 0775" << true << "writable by others";
    QTest::newRow("sticky world-writable folder") << "dir 01777" << true << "writable by others";
    QTest::newRow("folder of another user") << "dir 0755 nobody" << true << "owned by another user";
    QTest::newRow("file asked as a folder") << "file 0644" << true << "not a folder";
    QTest::newRow("link to a folder of ours") << "dirlink" << true << "a link";
    QTest::newRow("missing") << "" << false << "missing";
}

void tst_InstallFs::updatersOwnEntries()
{
    QFETCH(QString, setup);
    QFETCH(bool, folder);
    QFETCH(QString, reason);
    const QStringList words = setup.split(' ', Qt::SkipEmptyParts);
    const QString path = root + "/entry";
    const QByteArray native = QFile::encodeName(path);
    if (words.value(0) == "file") {
        write(path, "x");
    } else if (words.value(0) == "dir") {
        QVERIFY(QDir().mkdir(path));
    } else if (words.value(0) == "link") {
        write(root + "/target", "x");
        QVERIFY(QFile::link(root + "/target", path));
    } else if (words.value(0) == "dirlink") {
        QVERIFY(QDir().mkdir(root + "/target"));
        QVERIFY(QFile::link(root + "/target", path));
    } else if (words.value(0) == "fifo") {
        QVERIFY(::mkfifo(native.constData(), 0600) == 0);
    }
    if (words.size() > 1)
        QVERIFY(::chmod(native.constData(), mode_t(words.at(1).toUInt(nullptr, 8))) == 0);
    if (words.contains("nobody")) {
        if (::geteuid() != 0)
            QSKIP("only root gives a file to another user");
        QVERIFY(::chown(native.constData(), 65534, 65534) == 0);
    }
    if (words.contains("hardlink"))
        QVERIFY(::link(native.constData(), QFile::encodeName(root + "/second").constData()) == 0);

    InstallFs fs(root);
    const InstallFs::Kind kind = folder ? InstallFs::Kind::Dir : InstallFs::Kind::File;
    QString why;
    QCOMPARE(fs.updatersOwn("/entry", kind, &why), reason.isEmpty());
    QCOMPARE(why, reason);
    // A held folder is judged through its handle, with the same answer.
    if (folder && fs.holdFolder("/entry")) {
        why.clear();
        QCOMPARE(fs.updatersOwn("/entry", kind, &why), reason.isEmpty());
        QCOMPARE(why, reason);
    }
}

QTEST_GUILESS_MAIN(tst_InstallFs)
#include "tst_installfs.moc"
