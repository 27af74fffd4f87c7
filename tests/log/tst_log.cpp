#include "config/configinfo.h"
#include "log/loghandler.h"
#include "log/logquoted.h"
#include "log/logvalues.h"
#include "log/scopedloghandler.h"
#include "platform/logfilesetup.h"
#include "platform/messagepresenter.h"
#include "platform/platform.h"
#include "update/fileops.h"

#include "logcapture.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

class tst_Log : public QObject
{
    Q_OBJECT

private slots:
    void lineFormat_data();
    void lineFormat();
    void chineseIsKeptAsUtf8();
    void logFileHeaders();
    void appendsOneLinePerMessage();
    void unopenableLogDropsLines();
    void missingLogDirectoryDropsLines();
    void threadsNeverInterleave();
    void stampsNeverGoBackwards();
    void handlerLogsQtWarningsLikeDebug();
    void prepareRecreatesLog();
    void handlerIsRemovedAtTheEndOfItsScope();
    void quotedTextsAreNotEscaped_data();
    void quotedTextsAreNotEscaped();
    void loggedTextsOfTheProgramAreNotEscaped();
};

void tst_Log::lineFormat_data()
{
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("afternoon") << QDateTime(QDate(2031, 3, 7), QTime(13, 5, 0))
                               << QStringLiteral("Controller::start")
                               << QByteArray("[31-03-07 13:05:00] Controller::start\r\n");
    QTest::newRow("midnight, two-digit year")
        << QDateTime(QDate(2009, 12, 31), QTime(0, 0, 9)) << QStringLiteral("x")
        << QByteArray("[09-12-31 00:00:09] x\r\n");
    QTest::newRow("empty message") << QDateTime(QDate(2026, 1, 2), QTime(23, 59, 59)) << QString()
                                   << QByteArray("[26-01-02 23:59:59] \r\n");
}

void tst_Log::lineFormat()
{
    QFETCH(QDateTime, when);
    QFETCH(QString, message);
    QFETCH(QByteArray, expected);
    QCOMPARE(formatLogLine(when, message), expected);
}

void tst_Log::chineseIsKeptAsUtf8()
{
    // A Western Windows' code page has no Chinese: written in it, every outcome message would
    // read "?". The log is UTF-8 everywhere, marked as such on Windows.
    QTemporaryDir dir;
    prepareLogFile(dir.path());
    const QString message =
        QStringLiteral("Controller::slot_updateFinished false \"网络出现错误:连接被拒绝\"");
    const QByteArray utf8("Controller::slot_updateFinished false \"网络出现错误:连接被拒绝\"");
    appendLogLine(logFilePath, QDateTime(QDate(2031, 3, 7), QTime(13, 5)), message);
    const QtMessageHandler previous = qInstallMessageHandler(logMessageHandler);
    qDebug().noquote() << message;
    qInstallMessageHandler(previous);

    QFile file(logFilePath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    const QByteArray header = logFileHeader(currentPlatformFlavour());
    QVERIFY(bytes.startsWith(header));
    const QList<QByteArray> lines = bytes.mid(header.size()).split('\n');
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines.at(0), "[31-03-07 13:05:00] " + utf8 + "\r");
    QVERIFY2(lines.at(1).endsWith("] " + utf8 + "\r"), lines.at(1).constData());
    QCOMPARE(lines.at(2), QByteArray());
}

void tst_Log::logFileHeaders()
{
    // Only one header, at the start of the file: a mark between lines would be read as text.
    QCOMPARE(logFileHeader(PlatformFlavour::Posix), QByteArray());
    const QByteArray windowsLog =
        logFileHeader(PlatformFlavour::Windows) +
        formatLogLine(QDateTime(QDate(2031, 3, 7), QTime(13, 5)), QStringLiteral("消息"));
    // A reader that goes by the byte order mark decodes the file as UTF-8.
    QCOMPARE(QStringConverter::encodingForData(windowsLog).value_or(QStringConverter::System),
             QStringConverter::Utf8);
    QStringDecoder decoder(QStringConverter::Utf8);
    const QString text = decoder(windowsLog);
    QVERIFY(!decoder.hasError());
    QCOMPARE(text, QStringLiteral("[31-03-07 13:05:00] 消息\r\n"));
}

void tst_Log::appendsOneLinePerMessage()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("update.log");
    const QDateTime when(QDate(2030, 1, 1), QTime(1, 2, 3));
    appendLogLine(path, when, "first");
    appendLogLine(path, when, "second");
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(),
             QByteArray("[30-01-01 01:02:03] first\r\n[30-01-01 01:02:03] second\r\n"));
}

void tst_Log::unopenableLogDropsLines()
{
    // Tests run as root, which ignores permissions: a directory where the file should be makes
    // the open fail.
    QTemporaryDir dir;
    const QString path = dir.filePath("update.log");
    QVERIFY(QDir().mkdir(path));
    appendLogLine(path, QDateTime::currentDateTime(), "lost");
    QVERIFY(QFileInfo(path).isDir());
    // The lock was released: a following line to a good file still gets through.
    const QString good = dir.filePath("good.log");
    appendLogLine(good, QDateTime::currentDateTime(), "kept");
    QVERIFY(QFileInfo(good).size() > 0);
}

void tst_Log::missingLogDirectoryDropsLines()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("missing/update.log");
    appendLogLine(path, QDateTime::currentDateTime(), "lost");
    QVERIFY(!QFile::exists(path));
}

namespace
{
class Writer : public QThread
{
public:
    Writer(QChar letter, int count) : letter(letter), count(count) {}
    void run() override
    {
        const QString text = QString(200, letter);
        for (int i = 0; i < count; ++i)
            qDebug().noquote() << text;
    }
    QChar letter;
    int count;
};
} // namespace

void tst_Log::threadsNeverInterleave()
{
    QTemporaryDir dir;
    logFilePath = dir.filePath("update.log");
    const QtMessageHandler previous = qInstallMessageHandler(logMessageHandler);
    Writer a(QLatin1Char('a'), 400);
    Writer b(QLatin1Char('b'), 400);
    a.start();
    b.start();
    QVERIFY(a.wait(60000));
    QVERIFY(b.wait(60000));
    qInstallMessageHandler(previous);

    QFile file(logFilePath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.size(), 801); // 800 lines and the empty rest after the last "\n"
    int as = 0;
    int bs = 0;
    const QRegularExpression shape(
        QStringLiteral("^\\[\\d\\d-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\] (a{200}|b{200})\\r$"));
    for (int i = 0; i < 800; ++i) {
        const QString line = QString::fromLocal8Bit(lines.at(i));
        QVERIFY2(shape.match(line).hasMatch(), qPrintable(line));
        (line.contains(QLatin1Char('a')) ? as : bs)++;
    }
    QCOMPARE(as, 400);
    QCOMPARE(bs, 400);
}

namespace
{
// A clock that moves on one second at every reading and counts the readings made while the log
// lock was free.
QAtomicInteger<qint64> clockReadings;
QAtomicInt readingsOutsideLock;
const qint64 clockStart = QDateTime(QDate(2030, 5, 1), QTime(8, 0)).toSecsSinceEpoch();

qint64 steppingClock()
{
    if (logMutex.tryLock()) {
        logMutex.unlock();
        readingsOutsideLock.fetchAndAddOrdered(1);
    }
    return clockStart + clockReadings.fetchAndAddOrdered(1);
}
} // namespace

void tst_Log::stampsNeverGoBackwards()
{
    QTemporaryDir dir;
    logFilePath = dir.filePath("update.log");
    clockReadings.storeRelaxed(0);
    readingsOutsideLock.storeRelaxed(0);
    const LogClock previousClock = setLogClock(&steppingClock);
    const QtMessageHandler previous = qInstallMessageHandler(logMessageHandler);
    Writer a(QLatin1Char('a'), 300);
    Writer b(QLatin1Char('b'), 300);
    Writer c(QLatin1Char('c'), 300);
    a.start();
    b.start();
    c.start();
    QVERIFY(a.wait(60000) && b.wait(60000) && c.wait(60000));
    qInstallMessageHandler(previous);
    setLogClock(previousClock);

    QCOMPARE(readingsOutsideLock.loadRelaxed(), 0);
    QFile file(logFilePath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.size(), 901);
    QDateTime last;
    for (int i = 0; i < 900; ++i) {
        QDateTime stamp = QDateTime::fromString(QString::fromLatin1(lines.at(i).mid(1, 17)),
                                                QStringLiteral("yy-MM-dd hh:mm:ss"));
        stamp = stamp.addYears(100); // two-digit years parse into the 1900s
        QVERIFY2(stamp.isValid(), lines.at(i).constData());
        QVERIFY2(!last.isValid() || stamp > last, lines.at(i).left(20).constData());
        last = stamp;
    }
}

void tst_Log::handlerLogsQtWarningsLikeDebug()
{
    QTemporaryDir dir;
    logFilePath = dir.filePath("update.log");
    const QtMessageHandler previous = qInstallMessageHandler(logMessageHandler);
    qDebug() << "Controller::slot_updateFinished" << true << QStringLiteral("success");
    qWarning("a warning of Qt's own");
    qInstallMessageHandler(previous);
    QFile file(logFilePath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines.at(0).endsWith("] Controller::slot_updateFinished true \"success\"\r"));
    QVERIFY(lines.at(1).endsWith("] a warning of Qt's own\r"));
}

void tst_Log::prepareRecreatesLog()
{
    QTemporaryDir dir;
    // First run: no log directory yet.
    QCOMPARE(prepareLogFile(dir.path()), dir.path() + "/log/update.log");
    QVERIFY(QFileInfo(dir.path() + "/log").isDir());
    appendLogLine(logFilePath, QDateTime::currentDateTime(), "first run");
    QVERIFY(QFile::exists(logFilePath));
    // Second run: nothing of the old log remains; a new one holds at most the platform's header.
    prepareLogFile(dir.path());
    {
        QFile fresh(logFilePath);
        const QByteArray header = logFileHeader(currentPlatformFlavour());
        if (header.isEmpty()) {
            QVERIFY(!fresh.exists());
        } else {
            QVERIFY(fresh.open(QIODevice::ReadOnly));
            QCOMPARE(fresh.readAll(), header);
        }
    }
    appendLogLine(logFilePath, QDateTime::currentDateTime(), "second run");
    QFile file(logFilePath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    QVERIFY(!content.contains("first run"));
    QVERIFY(content.startsWith(logFileHeader(currentPlatformFlavour()) + "["));
    QVERIFY(content.endsWith("] second run\r\n"));
}

void tst_Log::quotedTextsAreNotEscaped_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << QStringLiteral("success")
                           << QStringLiteral("label \"success\" 7 true \"x\"");
    QTest::newRow("quote and backslash")
        << QStringLiteral("a\"b\\c") << QStringLiteral("label \"a\"b\\c\" 7 true \"x\"");
    QTest::newRow("Windows path") << QStringLiteral("C:\\Program Files\\app.exe")
                                  << QStringLiteral(
                                         "label \"C:\\Program Files\\app.exe\" 7 true \"x\"");
    QTest::newRow("line break and tab") << QStringLiteral("one\ntwo\tthree")
                                        << QStringLiteral("label \"one\ntwo\tthree\" 7 true \"x\"");
    QTest::newRow("Chinese") << QStringLiteral("网络出现错误")
                             << QStringLiteral("label \"网络出现错误\" 7 true \"x\"");
    QTest::newRow("empty") << QString() << QStringLiteral("label \"\" 7 true \"x\"");
}

void tst_Log::quotedTextsAreNotEscaped()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    LogCapture log;
    // The items after the quoted one keep the stream's spacing and quoting.
    qDebug() << "label" << logQuoted(text) << 7 << true << logQuoted(QStringLiteral("x"));
    QCOMPARE(log.lines(), QStringList{expected});
}

void tst_Log::loggedTextsOfTheProgramAreNotEscaped()
{
    QTemporaryDir dir;
    LogCapture log;

    ConfigInfo info;
    info.version = QStringLiteral("1.0\"beta\"");
    info.main = QStringLiteral("bin\\app.exe");
    info.fileMap.insert(QStringLiteral("/a\\b.dll"), QStringLiteral("md5\"x"));
    info.print();

    // Names both systems hold: the backslash is part of the name here and a separator on
    // Windows (where the folder "say hi" holds the file); either way it is logged as given.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("say hi")));
    const QString source = dir.filePath(QStringLiteral("say hi\\in.txt"));
    QFile file(source);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const QString target = dir.filePath(QStringLiteral("out\\put.txt"));
    QVERIFY(copyFile(source, target, false));

    MessagePresenter* const previous = MessagePresenter::install(nullptr);
    MessagePresenter::present(QStringLiteral("无法找到文件:C:\\\"x\""));
    MessagePresenter::install(previous);

    const QStringList expected{
        QStringLiteral("ConfigInfo::print"),
        QStringLiteral("\"1.0\"beta\"\" \"bin\\app.exe\""),
        QStringLiteral("file count: 1"),
        QStringLiteral("\"md5\"x\" : \"/a\\b.dll\""),
        QStringLiteral("CopyFileW \"") + source + QStringLiteral("\" to \"") + target +
            QStringLiteral("\" success"),
        QStringLiteral("message: \"无法找到文件:C:\\\"x\"\""),
    };
    QCOMPARE(log.lines(), expected);
}

void tst_Log::handlerIsRemovedAtTheEndOfItsScope()
{
    QTemporaryDir dir;
    logFilePath = dir.filePath("update.log");
    LogCapture before;
    {
        ScopedLogHandler notInstalled;
    }
    qDebug() << "still captured";
    {
        ScopedLogHandler handler;
        handler.install();
        qDebug() << "to the file";
    }
    qDebug() << "captured again";

    QCOMPARE(before.lines(), (QStringList{"still captured", "captured again"}));
    QFile file(logFilePath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    QVERIFY(content.endsWith("] to the file\r\n"));
    QCOMPARE(content.count('\n'), 1);
}

QTEST_GUILESS_MAIN(tst_Log)
#include "tst_log.moc"
