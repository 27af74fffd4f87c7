// The Windows flavour of the file operations below the installation directory: every file is
// reached by the one name it has. A short (8.3) name or a name Windows trims reaches another
// file's data and is refused; a difference in letter case alone is not.

#include "platform/installfs.h"
#include "platform/mappedfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <io.h>
#include <windows.h>

class tst_InstallFsWin : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void shortNamesAreRefused_data();
    void shortNamesAreRefused();
    void trimmedNamesAreRefused();
    void letterCaseAloneIsAccepted();
    void fileHeldOpenIsInUse_data();
    void fileHeldOpenIsInUse();
    void mapsRegularFilesOnly();

private:
    void write(const QString& path, const QByteArray& bytes)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(bytes), bytes.size());
    }
    QByteArray read(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    // The last segment of the short name Windows gives path; empty when it gives none.
    static QString shortName(const QString& path)
    {
        const QString native = QDir::toNativeSeparators(path);
        wchar_t buffer[MAX_PATH];
        const DWORD size =
            ::GetShortPathNameW(reinterpret_cast<const wchar_t*>(native.utf16()), buffer, MAX_PATH);
        if (size == 0 || size >= MAX_PATH)
            return QString();
        const QString name =
            QFileInfo(QDir::fromNativeSeparators(QString::fromWCharArray(buffer, int(size))))
                .fileName();
        return name.compare(QFileInfo(path).fileName(), Qt::CaseInsensitive) == 0 ? QString()
                                                                                  : name;
    }

    QScopedPointer<QTemporaryDir> base;
    QString root;
};

void tst_InstallFsWin::init()
{
    base.reset(new QTemporaryDir);
    QVERIFY(base->isValid());
    root = base->path() + "/inst";
    write(root + "/config/UpdateCfg.xml", "installed configuration");
    write(root + "/Long Folder Name/data file.txt", "data");
    write(root + "/update/config/placeholder", "");
}

void tst_InstallFsWin::shortNamesAreRefused_data()
{
    // The long entry whose short name is asked for, and the path asked with it in place of the
    // entry's last segment (%1).
    QTest::addColumn<QString>("longEntry");
    QTest::addColumn<QString>("asked");
    QTest::newRow("file") << "/config/UpdateCfg.xml"
                          << "/config/%1";
    QTest::newRow("folder on the way") << "/Long Folder Name"
                                       << "/%1/data file.txt";
    QTest::newRow("folder itself") << "/Long Folder Name"
                                   << "/%1";
}

void tst_InstallFsWin::shortNamesAreRefused()
{
    QFETCH(QString, longEntry);
    QFETCH(QString, asked);
    const QString alias = shortName(root + longEntry);
    if (alias.isEmpty())
        QSKIP("this file system gives no short names");
    const QString path = asked.arg(alias);
    // The system itself reaches the entry through the short name.
    QVERIFY2(QFileInfo::exists(root + path), qPrintable(path));

    InstallFs fs(root);
    InstallFs::Entry found;
    QVERIFY2(!fs.entry(path, &found), qPrintable(path));
    QCOMPARE(fs.lastError(), EINVAL);
    QByteArray bytes;
    QVERIFY(!fs.readFile(path, &bytes));
    QVERIFY(!fs.removeFile(path));
    QVERIFY(!fs.removeTree(path));
    QVERIFY(!fs.appendDurably(path, "appended"));
    QVERIFY(!fs.writeFileAtomically(path, "replaced"));
    QVERIFY(!fs.rename(path, "/moved"));
    QVERIFY(!fs.copyFile(path, "/copied"));
    QCOMPARE(fs.createFile(path), -1);
    // A move onto the short name would replace the long entry.
    QVERIFY(!fs.rename("/update/config/placeholder", path, true));

    QCOMPARE(read(root + "/config/UpdateCfg.xml"), QByteArray("installed configuration"));
    QCOMPARE(read(root + "/Long Folder Name/data file.txt"), QByteArray("data"));
    QVERIFY(QFile::exists(root + "/update/config/placeholder"));
    QVERIFY(!QFile::exists(root + "/moved"));
    QVERIFY(!QFile::exists(root + "/copied"));

    // The real names still work.
    QVERIFY(fs.entry(longEntry, &found));
    QVERIFY(found.exists());
}

void tst_InstallFsWin::trimmedNamesAreRefused()
{
    InstallFs fs(root);
    for (const char* asked : {"/config/UpdateCfg.xml.", "/config/UpdateCfg.xml ",
                              "/config./UpdateCfg.xml", "/config/UpdateCfg.x?l", "/config/*.xml"}) {
        InstallFs::Entry found;
        QVERIFY2(!fs.entry(QString::fromLatin1(asked), &found), asked);
        QCOMPARE(fs.lastError(), EINVAL);
        QVERIFY2(!fs.removeFile(QString::fromLatin1(asked)), asked);
    }
    QCOMPARE(read(root + "/config/UpdateCfg.xml"), QByteArray("installed configuration"));
}

void tst_InstallFsWin::letterCaseAloneIsAccepted()
{
    InstallFs fs(root);
    InstallFs::Entry found;
    QVERIFY(fs.entry("/CONFIG/updatecfg.XML", &found));
    QCOMPARE(found.kind, InstallFs::Kind::File);
    QByteArray bytes;
    QVERIFY(fs.readFile("/long folder name/DATA FILE.TXT", &bytes));
    QCOMPARE(bytes, QByteArray("data"));
    // A name not there yet is created as asked.
    const int fd = fs.createFile("/config/New Name.txt");
    QVERIFY(fd >= 0);
    ::_close(fd);
    QVERIFY(QDir(root + "/config").entryList(QDir::Files).contains("New Name.txt"));
}

void tst_InstallFsWin::fileHeldOpenIsInUse_data()
{
    QTest::addColumn<DWORD>("sharing");
    QTest::addColumn<bool>("inUse");
    // How a running application holds its libraries: nobody may rename or delete them.
    QTest::newRow("read sharing only") << DWORD(FILE_SHARE_READ) << true;
    QTest::newRow("no sharing") << DWORD(0) << true;
    // Held, but open to a rename: nothing to wait for.
    QTest::newRow("delete sharing")
        << DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE) << false;
}

void tst_InstallFsWin::fileHeldOpenIsInUse()
{
    QFETCH(DWORD, sharing);
    QFETCH(bool, inUse);

    write(root + "/lib/core.dll", "core");
    const QString native = QDir::toNativeSeparators(root + "/lib/core.dll");
    HANDLE held = ::CreateFileW(reinterpret_cast<const wchar_t*>(native.utf16()), GENERIC_READ,
                                sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    QVERIFY(held != INVALID_HANDLE_VALUE);
    InstallFs fs(root);
    QCOMPARE(fs.checkDeletable("/lib/core.dll"), !inUse);
    const bool moved = fs.rename("/lib/core.dll", "/lib/core.old");
    QCOMPARE(moved, !inUse);
    if (inUse) {
        // Both as EBUSY, which the installation waits for; once let go, both go through.
        QCOMPARE(fs.lastError(), EBUSY);
        QVERIFY(!fs.checkDeletable("/lib/core.dll"));
        QCOMPARE(fs.lastError(), EBUSY);
        ::CloseHandle(held);
        held = INVALID_HANDLE_VALUE;
        QVERIFY(fs.checkDeletable("/lib/core.dll"));
        QVERIFY(fs.rename("/lib/core.dll", "/lib/core.old"));
    }
    if (held != INVALID_HANDLE_VALUE)
        ::CloseHandle(held);
    QCOMPARE(read(root + "/lib/core.old"), QByteArray("core"));
}

void tst_InstallFsWin::mapsRegularFilesOnly()
{
    // A patch's base is the installed copy, mapped through the file layer's own open.
    const QByteArray bytes = QByteArray(70000, 'm') + "end";
    write(root + "/Long Folder Name/base.bin", bytes);
    write(root + "/empty.bin", QByteArray());
    InstallFs fs(root);
    MappedFile mapped;
    QVERIFY(fs.mapFile("/Long Folder Name/base.bin", &mapped));
    QVERIFY(QByteArray(mapped.data(), int(mapped.size())) == bytes);
    QVERIFY(fs.mapFile("/empty.bin", &mapped));
    QVERIFY(mapped.isMapped() && mapped.size() == 0);
    QVERIFY(!fs.mapFile("/Long Folder Name", &mapped));
    QVERIFY(!mapped.isMapped());
    QVERIFY(!fs.mapFile("/missing.bin", &mapped));
}

QTEST_GUILESS_MAIN(tst_InstallFsWin)
#include "tst_installfswin.moc"
