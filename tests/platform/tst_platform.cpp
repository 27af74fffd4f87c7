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
    void pathStaysInside_data();
    void pathStaysInside();
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

void tst_Platform::pathStaysInside_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("dir");
    QTest::addColumn<int>("flavour");
    QTest::addColumn<bool>("inside");
    const int posix = int(PlatformFlavour::Posix);
    const int windows = int(PlatformFlavour::Windows);
    // The installation directory + "/" + the configuration's main value, as the controller forms
    // it.
    QTest::newRow("plain") << "/opt/app/app.exe"
                           << "/opt/app" << posix << true;
    QTest::newRow("subfolder") << "/opt/app/bin/app"
                               << "/opt/app" << posix << true;
    QTest::newRow("climbs out") << "/opt/app/../evil.exe"
                                << "/opt/app" << posix << false;
    QTest::newRow("climbs out and back") << "/opt/app/../app/a.exe"
                                         << "/opt/app" << posix << true;
    QTest::newRow("sibling with the same prefix") << "/opt/appx/a.exe"
                                                  << "/opt/app" << posix << false;
    QTest::newRow("the directory itself") << "/opt/app/"
                                          << "/opt/app" << posix << false;
    QTest::newRow("the directory itself, dot") << "/opt/app/."
                                               << "/opt/app" << posix << false;
    QTest::newRow("root") << "//app.exe"
                          << "/" << posix << true;
    QTest::newRow("root, subfolder") << "//bin/app"
                                     << "/" << posix << true;
    QTest::newRow("root itself") << "//"
                                 << "/" << posix << false;
    QTest::newRow("posix: backslash is a name") << "/opt/app/..\\evil"
                                                << "/opt/app" << posix << true;
    QTest::newRow("drive root") << "C://app.exe"
                                << "C:/" << windows << true;
    QTest::newRow("drive root, subfolder") << "C://bin/app.exe"
                                           << "C:/" << windows << true;
    QTest::newRow("drive root, other drive") << "D:/app.exe"
                                             << "C:/" << windows << false;
    QTest::newRow("drive folder") << "C:/Program Files/App/app.exe"
                                  << "C:/Program Files/App" << windows << true;
    QTest::newRow("windows: backslashes climb out") << "C:/Program Files/App/..\\..\\evil.exe"
                                                    << "C:/Program Files/App" << windows << false;
    QTest::newRow("windows: case of names") << "C:/Program Files/App/../APP/a.exe"
                                            << "C:/Program Files/App" << windows << true;
    QTest::newRow("windows: sibling with the same prefix")
        << "C:/Program Files/AppX/a.exe"
        << "C:/Program Files/App" << windows << false;
}

void tst_Platform::pathStaysInside()
{
    QFETCH(QString, path);
    QFETCH(QString, dir);
    QFETCH(int, flavour);
    QFETCH(bool, inside);
    // Qt's path cleaning treats "\\" as a separator wherever it is one: a POSIX name holding a
    // backslash exists only on a POSIX build.
    if (PlatformFlavour(flavour) == PlatformFlavour::Posix && path.contains(QLatin1Char('\\')) &&
        currentPlatformFlavour() != PlatformFlavour::Posix)
        QSKIP("a backslash separates names on this system");
    QCOMPARE(::pathStaysInside(path, dir, PlatformFlavour(flavour)), inside);
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
