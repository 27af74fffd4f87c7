#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class tst_Platform : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void acceptableMainExe_data();
    void acceptableMainExe();
    void startsDetachedInWorkingDirectory();
    void missingProgramIsNotStarted();

private:
    QTemporaryDir dir;
};

static const QFile::Permissions readable = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser;
static const QFile::Permissions runnable = readable | QFile::ExeOwner | QFile::ExeUser;

static void makeFile(const QString& path, QFile::Permissions permissions)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\n");
    file.close();
    QVERIFY(QFile::setPermissions(path, permissions));
}

void tst_Platform::initTestCase()
{
    QVERIFY(dir.isValid());
    makeFile(dir.filePath("app.exe"), readable);
    makeFile(dir.filePath("APP.EXE"), readable);
    makeFile(dir.filePath("app"), runnable);
    makeFile(dir.filePath("notes.txt"), readable);
    makeFile(dir.filePath("tool.exe.bak"), readable);
    makeFile(dir.filePath("with space/run me"), runnable);
    QVERIFY(QDir().mkpath(dir.filePath("folder.exe")));
}

void tst_Platform::acceptableMainExe_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("windows");
    QTest::addColumn<bool>("posix");
    // Windows: exists and contains ".exe" (case-sensitive). Posix: an executable regular file.
    QTest::newRow("app.exe, not executable") << "app.exe" << true << false;
    QTest::newRow("capital APP.EXE") << "APP.EXE" << false << false;
    QTest::newRow("executable without extension") << "app" << false << true;
    QTest::newRow("plain text file") << "notes.txt" << false << false;
    QTest::newRow(".exe in the middle") << "tool.exe.bak" << true << false;
    QTest::newRow("missing") << "missing.exe" << false << false;
    QTest::newRow("directory") << "folder.exe" << true << false;
    QTest::newRow("spaces in the path") << "with space/run me" << false << true;
}

void tst_Platform::acceptableMainExe()
{
    QFETCH(QString, name);
    QFETCH(bool, windows);
    QFETCH(bool, posix);
    const QString path = dir.path() + "/" + name;
    QCOMPARE(isAcceptableMainExe(path, PlatformFlavour::Windows), windows);
    // The POSIX rule reads the file's mode bits. Windows has none: Qt calls a file executable
    // there by its suffix, and "APP.EXE" is the same file as "app.exe". The rule is checked
    // where the modes the cases set up are real.
    if (currentPlatformFlavour() == PlatformFlavour::Posix)
        QCOMPARE(isAcceptableMainExe(path, PlatformFlavour::Posix), posix);
}

void tst_Platform::startsDetachedInWorkingDirectory()
{
#ifdef Q_OS_WIN
    QSKIP("uses a shell script as the program");
#endif
    QTemporaryDir work(QDir::tempPath() + "/platform test XXXXXX");
    QVERIFY(work.isValid());
    const QString program = work.path() + "/main program";
    QFile script(program);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\npwd > started.tmp && echo \"$#\" >> started.tmp && "
                 "mv started.tmp started.txt\n");
    script.close();
    QVERIFY(QFile::setPermissions(program, runnable));

    QVERIFY(startDetachedProgram(program, work.path()));
    const QString marker = work.path() + "/started.txt";
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 60000);
    QFile file(marker);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(QDir(QString::fromLocal8Bit(lines.value(0))).canonicalPath(),
             QDir(work.path()).canonicalPath());
    QCOMPARE(lines.value(1), QByteArray("0")); // no arguments
}

void tst_Platform::missingProgramIsNotStarted()
{
    QVERIFY(!startDetachedProgram(dir.path() + "/does not exist", dir.path()));
}

QTEST_GUILESS_MAIN(tst_Platform)
#include "tst_platform.moc"
