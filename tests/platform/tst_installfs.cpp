// File operations below the installation directory: no link is ever followed, whatever is
// planted before or during an operation, and an outside folder stays byte for byte as it was.

#include "platform/installfs.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
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
    // Every entry below dir: content for files, "<dir>" for folders, the target for links.
    static QMap<QString, QByteArray> tree(const QString& dir)
    {
        QMap<QString, QByteArray> result;
        QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            QByteArray value;
            if (info.isSymLink()) {
                value = "<link " + info.symLinkTarget().toUtf8() + ">";
            } else if (info.isDir()) {
                value = "<dir>";
            } else {
                QFile file(info.filePath());
                file.open(QIODevice::ReadOnly);
                value = file.readAll();
            }
            result.insert(QDir(dir).relativeFilePath(info.filePath()), value);
        }
        return result;
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
    const auto before = tree(outside);

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

    QCOMPARE(tree(outside), before);
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
    const auto before = tree(outside);

    InstallFs fs(root);
    QCOMPARE(fs.createFile("/link.txt"), -1);
    QCOMPARE(fs.createFile("/dangling.txt"), -1);
    QCOMPARE(fs.createFile("/old.txt"), -1);
    QCOMPARE(fs.lastError(), EEXIST);
    QVERIFY(!fs.copyFile("/old.txt", "/dangling.txt"));
    QVERIFY(!fs.writeFileAtomically("/link.txt/x", "x"));
    QVERIFY(!fs.appendDurably("/link.txt", "x"));
    QVERIFY(!fs.setMode("/link.txt", 0777));
    QCOMPARE(tree(outside), before);
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
    const auto before = tree(outside);

    InstallFs fs(root);
    QVERIFY(fs.removeTree("/update"));
    QVERIFY(!QFileInfo::exists(root + "/update"));
    QVERIFY(fs.removeTree("/update"));         // gone counts as removed
    QVERIFY(fs.removeTree("/missing/deeper")); // so does a missing parent
    QVERIFY(fs.removeTree("/linkroot"));
    QVERIFY(!QFileInfo(root + "/linkroot").isSymLink());
    QCOMPARE(tree(outside), before);
}

void tst_InstallFs::removeTreeSurvivesSwapAfterListing()
{
    // Between the listing of update/ and the removal of its entries, a folder in it is swapped
    // for a link to the victim, and a file for a link to a victim file.
    write(root + "/update/sub/inner.txt", "inner");
    write(root + "/update/z.txt", "z");
    const auto before = tree(outside);
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
    QCOMPARE(tree(outside), before);
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

QTEST_GUILESS_MAIN(tst_InstallFs)
#include "tst_installfs.moc"
