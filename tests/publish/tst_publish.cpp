#include "config/configreader.h"
#include "config/signature.h"
#include "progressreporter.h"
#include "recordingpresenter.h"
#include "releasepublisher.h"
#include "update/zstddecoder.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace
{

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run runTool(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral(PUBLISH_TOOL), arguments);
    Run run;
    if (!process.waitForFinished(120000))
        return run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
#ifdef Q_OS_WIN
    // The C runtime writes a line end as CR LF to a text stream there.
    run.out.replace("\r\n", "\n");
    run.err.replace("\r\n", "\n");
#endif
    return run;
}

void putFile(const QString& root, const QString& relative, const QByteArray& content)
{
    const QString path = root + QLatin1Char('/') + relative;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(content);
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QString md5(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

// The file elements of a document in document order: path, then md5 and ignore (and size when
// asked for) in brackets.
QStringList fileElements(const QString& xmlPath, bool withSize = false)
{
    QFile file(xmlPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList result;
    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement &&
            xml.name() == QLatin1String("file")) {
            const auto attrs = xml.attributes();
            result.append(attrs.value("path").toString() + " [" + attrs.value("md5").toString() +
                          "," + attrs.value("ignore").toString() +
                          (withSize ? "," + attrs.value("size").toString() : QString()) + "]");
        }
    }
    return result;
}

// Stands for a file whose reading fails after the first chunk, or that grows while read.
class ScriptedDevice : public QIODevice
{
public:
    ScriptedDevice(QByteArray data, bool failAfterFirst) : m_data(data), m_fail(failAfterFirst)
    {
        open(QIODevice::ReadOnly);
    }

protected:
    qint64 readData(char* out, qint64 max) override
    {
        if (m_pos > 0 && m_fail) {
            setErrorString(QStringLiteral("Input/output error"));
            return -1;
        }
        const qint64 count = qMin(max, qint64(m_data.size()) - m_pos);
        memcpy(out, m_data.constData() + m_pos, size_t(count));
        m_pos += count;
        return count;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray m_data;
    bool m_fail;
    qint64 m_pos = 0;
};

const QStringList baseArguments = {"--version", "1.0.4",    "--main",
                                   "app.exe",   "--server", "http://example.org/app"};

} // namespace

class tst_Publish : public QObject
{
    Q_OBJECT

private slots:
    void md5Vectors_data();
    void md5Vectors();
    void roundTrip();
    void classResultReadsBackIdentically();
    void oddNames_data();
    void oddNames();
    void pathOrder();
    void outputLocation_data();
    void outputLocation();
    void ignorePatterns_data();
    void ignorePatterns();
    void refusals_data();
    void refusals();
    void usageErrors_data();
    void usageErrors();
    void readFailures_data();
    void readFailures();
    void helpAndVersion();
    void staleConfigurationLeftOutWithWarning();
    void failedWriteKeepsPreviousOutput();
    void progressCountsEveryByte();
    void progressShownOnlyAfterDelayAndThrottled();
    void progressFormat_data();
    void progressFormat();
    void generatedKeyIsPrivateAndNeverOverwritten();
    void signedOutputVerifiesOverItsExactBytes();
    void formsWrittenAndListed_data();
    void formsWrittenAndListed();
    void formsOfAnEarlierRunAreReplaced();
};

void tst_Publish::md5Vectors_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << QByteArray() << "d41d8cd98f00b204e9800998ecf8427e";
    QTest::newRow("abc") << QByteArray("abc") << "900150983cd24fb0d6963f7d28e17f72";
    QTest::newRow("fox") << QByteArray("The quick brown fox jumps over the lazy dog")
                         << "9e107d9d372bb6826bd81d3542a419d6";
    QTest::newRow("a million a") << QByteArray(1000000, 'a') << "7707d6ae4e027c70eea2a935c2296f21";
    // Several read chunks, with a remainder: the chunks must be fed in order and none twice.
    QByteArray large(3 * 1024 * 1024 + 7, Qt::Uninitialized);
    for (int i = 0; i < large.size(); ++i)
        large[i] = char((i * 7 + i / 1024) & 0xff);
    QTest::newRow("3 MiB + 7") << large << md5(large);
}

void tst_Publish::md5Vectors()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    putFile(dir.path(), "app.exe", content);
    const Run run = runTool(baseArguments + QStringList{dir.path()});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(fileElements(dir.filePath("UpdateCfg.xml")),
             QStringList{"/app.exe [" + expected + ",]"});
}

void tst_Publish::roundTrip()
{
    QTemporaryDir dir;
    const QString rel = dir.filePath("release");
    const QMap<QString, QByteArray> managed = {{"app.exe", "main"},
                                               {"bin/lib.dll", "lib"},
                                               {".hidden", "h"},
                                               {"config/UpdateCfg.xml", "<nested/>"},
                                               {"data/deep/er/x.bin", QByteArray(5000, 'x')}};
    const QMap<QString, QByteArray> ignored = {{"logs/today.log", "l"}, {"cache/a/b", "c"}};
    for (auto it = managed.cbegin(); it != managed.cend(); ++it)
        putFile(rel, it.key(), it.value());
    for (auto it = ignored.cbegin(); it != ignored.cend(); ++it)
        putFile(rel, it.key(), it.value());
    putFile(rel, "UpdateCfg.xml", "stale configuration of an earlier run");
#ifdef Q_OS_UNIX
    QCOMPARE(chmod(QFile::encodeName(rel + "/app.exe").constData(), 0755), 0);
    QCOMPARE(chmod(QFile::encodeName(rel + "/bin/lib.dll").constData(), 0610), 0);
#endif

    const Run run =
        runTool({"--version", "v2.10", "--main", "app.exe", "--server", "https://example.org/a b/",
                 "--ignore", "*.log", "--ignore", "cache", rel});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QByteArray()); // quick runs print no progress
    QVERIFY(run.out.startsWith("wrote "));

    RecordingPresenter presenter;
    const ConfigInfo read = ConfigReader().read(rel + "/UpdateCfg.xml");
    QCOMPARE(presenter.texts(), QStringList());
    QCOMPARE(read.version, QString("2.10"));
    QCOMPARE(read.main, QString("app.exe"));
    QCOMPARE(read.server, QString("https://example.org/a b"));
    QMap<QString, QString> expectedMap;
    for (auto it = managed.cbegin(); it != managed.cend(); ++it)
        expectedMap.insert("/" + it.key(), md5(it.value()));
    QCOMPARE(read.fileMap, expectedMap);
    QCOMPARE(read.fileList, expectedMap.keys());
    QCOMPARE(read.ignoreList, QStringList({"/cache/a/b", "/logs/today.log"}));
    // Every managed file carries its size; exec only those executable by someone.
    QCOMPARE(read.fileAttributes.keys(), expectedMap.keys());
    for (auto it = managed.cbegin(); it != managed.cend(); ++it) {
        const FileAttributes attributes = read.fileAttributes.value("/" + it.key());
        QCOMPARE(attributes.size, qint64(it.value().size()));
        QCOMPARE(attributes.sha256,
                 QString::fromLatin1(
                     QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256).toHex()));
#ifdef Q_OS_UNIX
        QCOMPARE(attributes.executable, it.key() == "app.exe" || it.key() == "bin/lib.dll");
#endif
    }
    // Ignored files are listed with their md5 and size all the same.
    const QStringList elements = fileElements(rel + "/UpdateCfg.xml", true);
    QVERIFY(elements.contains("/logs/today.log [" + md5("l") + ",1,1]"));
    QVERIFY(elements.contains("/data/deep/er/x.bin [" + md5(QByteArray(5000, 'x')) + ",,5000]"));
}

void tst_Publish::classResultReadsBackIdentically()
{
    QTemporaryDir dir;
    putFile(dir.path(), "app.exe", "a");
    putFile(dir.path(), "B/x.dll", "b");
    putFile(dir.path(), "skip.tmp", "t");
    ReleasePublisher publisher({dir.path(), "3.0", "app.exe", "http://h", {"*.tmp"}, {}, {}});
    QVERIFY2(publisher.prepare(), qPrintable(publisher.errorString()));
    QVERIFY2(publisher.write(), qPrintable(publisher.errorString()));
    const ConfigInfo read = ConfigReader().read(publisher.outputPath());
    const ConfigInfo& made = publisher.config();
    QCOMPARE(made.fileMap.size(), 2);
    QCOMPARE(read.version, made.version);
    QCOMPARE(read.main, made.main);
    QCOMPARE(read.server, made.server);
    QCOMPARE(read.ignoreList, made.ignoreList);
    QCOMPARE(read.fileMap, made.fileMap);
    QCOMPARE(read.fileList, made.fileList);
    QCOMPARE(read.fileAttributes.keys(), made.fileAttributes.keys());
    for (auto it = made.fileAttributes.cbegin(); it != made.fileAttributes.cend(); ++it)
        QCOMPARE(read.fileAttributes.value(it.key()), it.value());
}

void tst_Publish::oddNames_data()
{
    QTest::addColumn<QString>("name");
    for (const char* name :
         {"&", "'", "a b  c", "&amp;", "]]", "hash#1.txt", "pct%41.txt", "a%2Fb.txt", "d#1/x",
          "\xe4\xb8\xad\xe6\x96\x87.dll", "dir & \xe7\x9b\xae/it's [x] {y}"})
        QTest::newRow(name) << QString::fromUtf8(name);
}

void tst_Publish::oddNames()
{
    QFETCH(QString, name);
    QTemporaryDir dir;
    putFile(dir.path(), "app.exe", "a");
    putFile(dir.path(), name, name.toUtf8());
    QCOMPARE(runTool(baseArguments + QStringList{"--ignore", "nothing", dir.path()}).exitCode, 0);

    const QByteArray bytes = readAll(dir.filePath("UpdateCfg.xml"));
    QVERIFY(bytes.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"));
    auto decoder = QStringDecoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    QVERIFY(!decoder.hasError());
    RecordingPresenter presenter;
    const ConfigInfo read = ConfigReader().read(dir.filePath("UpdateCfg.xml"));
    QCOMPARE(presenter.texts(), QStringList());
    QCOMPARE(read.fileMap.value("/" + name), md5(name.toUtf8()));
    QCOMPARE(read.fileMap.size(), 2);
}

void tst_Publish::pathOrder()
{
    QTemporaryDir dir;
    for (const char* name :
         {"b.dll", "C.dll", "a.dll", "B/z.dll", "_x", "a/b/c", "Z.dll", "\xc3\xa4.dll", "app.exe"})
        putFile(dir.path(), QString::fromUtf8(name), "x");
    QCOMPARE(runTool(baseArguments + QStringList{dir.path()}).exitCode, 0);
    QStringList paths;
    for (const QString& element : fileElements(dir.filePath("UpdateCfg.xml")))
        paths.append(element.section(' ', 0, 0));
    // By UTF-16 code unit, case-sensitively: capitals first, "." before "/".
    const QStringList expected = {"/B/z.dll", "/C.dll", "/Z.dll",
                                  "/_x",      "/a.dll", "/a/b/c",
                                  "/app.exe", "/b.dll", QString::fromUtf8("/\xc3\xa4.dll")};
    QCOMPARE(paths, expected);
}

void tst_Publish::outputLocation_data()
{
    QTest::addColumn<QString>("output"); // relative to the temporary folder; empty: default
    QTest::addColumn<QString>("written");
    QTest::newRow("default") << QString() << "rel/UpdateCfg.xml";
    QTest::newRow("elsewhere") << "out/new.xml"
                               << "out/new.xml";
    QTest::newRow("inside the release") << "rel/sub/cfg.xml"
                                        << "rel/sub/cfg.xml";
}

void tst_Publish::outputLocation()
{
    QFETCH(QString, output);
    QFETCH(QString, written);
    QTemporaryDir dir;
    putFile(dir.path(), "rel/app.exe", "a");
    putFile(dir.path(), "rel/sub/keep.txt", "k");
    // The release's own configuration, from an earlier run, is never listed either.
    putFile(dir.path(), "rel/UpdateCfg.xml", "stale");
    putFile(dir.path(), written, "old content is replaced");
    QStringList args = baseArguments;
    if (!output.isEmpty())
        args << "--output" << dir.filePath(output);
    QCOMPARE(runTool(args << dir.filePath("rel")).exitCode, 0);
    QCOMPARE(fileElements(dir.filePath(written)),
             QStringList({"/app.exe [" + md5("a") + ",]", "/sub/keep.txt [" + md5("k") + ",]"}));
}

void tst_Publish::ignorePatterns_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("ignored");
    // clang-format off
    QTest::newRow("name at top")            << "*.log"     << "a.log"         << true;
    QTest::newRow("name at depth")          << "*.log"     << "x/y/a.log"     << true;
    QTest::newRow("suffix only")            << "*.log"     << "a.log.txt"     << false;
    QTest::newRow("folder name at depth")   << "cache"     << "x/cache/a"     << true;
    QTest::newRow("not a prefix of a name") << "cache"     << "cachet/a"      << false;
    QTest::newRow("from the top")           << "cache/*"   << "cache/a"       << true;
    QTest::newRow("below a matched folder") << "cache/*"   << "cache/sub/b"   << true;
    QTest::newRow("anchored at the top")    << "cache/*"   << "x/cache/a"     << false;
    QTest::newRow("star stops at slash")    << "bin/*.dll" << "bin/sub/x.dll" << false;
    QTest::newRow("leading slash")          << "/app.cfg"  << "sub/app.cfg"   << false;
    QTest::newRow("trailing slash")         << "data/"     << "data/x"        << true;
    QTest::newRow("question mark")          << "?.txt"     << "ab.txt"        << false;
    QTest::newRow("class")                  << "[ab].txt"  << "b.txt"         << true;
    QTest::newRow("case-sensitive")         << "*.LOG"     << "a.log"         << false;
    // clang-format on
}

void tst_Publish::ignorePatterns()
{
    QFETCH(QString, pattern);
    QFETCH(QString, path);
    QFETCH(bool, ignored);
    QCOMPARE(ReleasePublisher::isIgnored(path, {pattern}), ignored);
}

void tst_Publish::refusals_data()
{
    // "name" regular, "name->target" symlink, "name|" fifo, "name!" unreadable; a "~" in a name
    // stands for the byte 0xE9, which is not UTF-8 on its own.
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QByteArray>("previous"); // content of an OLD.xml; empty: no --previous
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("reason");
    const QStringList app = {"app.exe"};
    auto prev = [](const char* version) {
        return QByteArray("<u><info version=\"") + version +
               "\"/><file path=\"/a\" md5=\"1\"/></u>";
    };
    const QByteArray none;
    const QStringList noArgs;
    // clang-format off
    QTest::newRow("version with text") << app << none << QStringList{"--version", "1.0-beta"} << "cannot be read";
    QTest::newRow("empty version") << app << none << QStringList{"--version="} << "cannot be read";
    QTest::newRow("previous equal") << app << prev("1.0.4") << noArgs << "not newer";
    QTest::newRow("previous newer by component") << app << prev("1.0.10") << noArgs << "not newer";
    QTest::newRow("previous unreadable version") << app << prev("2.0rc") << noArgs << "cannot be read";
    QTest::newRow("previous without info") << app << QByteArray("<u/>") << noArgs << "no version";
    QTest::newRow("previous malformed") << app << prev("1.0").left(30) << noArgs << "not well-formed";
    QTest::newRow("previous missing") << app << none << QStringList{"--previous", "/nonexistent/old.xml"} << "does not exist";
    QTest::newRow("main missing") << app << none << QStringList{"--main", "app2.exe"} << "not among";
    QTest::newRow("main given absolute") << app << none << QStringList{"--main", "/app.exe"} << "not among";
    QTest::newRow("main ignored") << app << none << QStringList{"--ignore", "*.exe"} << "--ignore";
    QTest::newRow("colon") << QStringList{"app.exe", "a:b.dll"} << none << noArgs << "refuses paths";
    QTest::newRow("backslash") << QStringList{"app.exe", "d/a\\b"} << none << noArgs << "refuses paths";
    QTest::newRow("newline") << QStringList{"app.exe", "a\nb"} << none << noArgs << "a\\x0ab";
    QTest::newRow("link to file") << QStringList{"app.exe", "l->app.exe"} << none << noArgs << "symbolic link";
    QTest::newRow("link to folder") << QStringList{"app.exe", "d/f", "e->d"} << none << noArgs << "symbolic link";
    QTest::newRow("dangling link") << QStringList{"app.exe", "x/l->nowhere"} << none << noArgs << "symbolic link";
    QTest::newRow("fifo") << QStringList{"app.exe", "pipe|"} << none << noArgs << "not a regular file";
    QTest::newRow("unreadable file") << QStringList{"app.exe", "secret!"} << none << noArgs << "cannot read";
    QTest::newRow("not http") << app << none << QStringList{"--server", "ftp://h/x"} << "http";
    QTest::newRow("server with query") << app << none << QStringList{"--server", "http://h/x?a=1"} << "query";
    QTest::newRow("server with empty query") << app << none << QStringList{"--server", "http://h/x?"} << "query";
    QTest::newRow("server with fragment") << app << none << QStringList{"--server", "http://h/x#top"} << "fragment";
    QTest::newRow("server with user") << app << none << QStringList{"--server", "http://me@h/x"} << "user name";
    QTest::newRow("server with password") << app << none << QStringList{"--server", "https://me:pw@h/"} << "user name";
    QTest::newRow("file not UTF-8") << QStringList{"app.exe", "caf~.txt"} << none << noArgs << "\"caf\\xe9.txt\" is not valid UTF-8";
    QTest::newRow("deep file not UTF-8") << QStringList{"app.exe", "a/b/~"} << none << noArgs << "\"a/b/\\xe9\" is not valid UTF-8";
    QTest::newRow("folder not UTF-8") << QStringList{"app.exe", "d~/x.txt"} << none << noArgs << "\"d\\xe9\" is not valid UTF-8";
    QTest::newRow("device name") << QStringList{"app.exe", "bin/aux.dll"} << none << noArgs << "reserves";
    QTest::newRow("inside the forms folder") << QStringList{"app.exe", ".forms/a.zst"} << none << noArgs << "\".forms/a.zst\" cannot be published";
    QTest::newRow("inside the forms folder, other case") << QStringList{"app.exe", ".Forms/d/x"} << none << noArgs << "in .forms/ at the top";
    QTest::newRow("ends in a dot") << QStringList{"app.exe", "a."} << none << noArgs << "\"a.\" cannot be published";
    QTest::newRow("folder ends in a space") << QStringList{"app.exe", "d /x"} << none << noArgs << "cannot be published";
    QTest::newRow("question mark") << QStringList{"app.exe", "a?b"} << none << noArgs << "cannot be published";
    QTest::newRow("less-than") << QStringList{"app.exe", "<y>"} << none << noArgs << "cannot be published";
    QTest::newRow("quote") << QStringList{"app.exe", "\"q\""} << none << noArgs << "cannot be published";
    QTest::newRow("letter case") << QStringList{"app.exe", "Read.me", "read.me"} << none << noArgs << "\"read.me\" cannot be published beside";
    QTest::newRow("letter case of a folder") << QStringList{"app.exe", "lib/a", "Lib/a"} << none << noArgs << "\"lib/a\" cannot be published beside";
    QTest::newRow("file and folder in other case") << QStringList{"app.exe", "data", "DATA/x"} << none << noArgs << "\"data\" cannot be published beside";
    QTest::newRow("letter case, one ignored") << QStringList{"app.exe", "x.log", "X.log"} << none << QStringList{"--ignore", "*.log"} << "beside";
    QTest::newRow("empty pattern") << app << none << QStringList{"--ignore", "/"} << "pattern";
    QTest::newRow("release missing") << QStringList() << none << noArgs << "does not exist";
    // clang-format on
}

void tst_Publish::refusals()
{
    QFETCH(QStringList, files);
    QFETCH(QByteArray, previous);
    QFETCH(QStringList, arguments);
    QFETCH(QString, reason);
#ifdef Q_OS_WIN
    // What Windows cannot hold cannot be planted there to be refused: it refuses the name
    // itself, keeps it as another name (no trailing dot or space, one of two names differing in
    // case), opens a device for it, or makes a shortcut where a link was asked for. The path
    // check refuses these names on every system, and its own tests show it.
    static const QStringList notOnWindows = {"colon",
                                             "backslash",
                                             "newline",
                                             "link to file",
                                             "link to folder",
                                             "dangling link",
                                             "device name",
                                             "ends in a dot",
                                             "folder ends in a space",
                                             "question mark",
                                             "less-than",
                                             "quote",
                                             "letter case",
                                             "letter case of a folder",
                                             "file and folder in other case",
                                             "letter case, one ignored"};
    if (notOnWindows.contains(QString::fromUtf8(QTest::currentDataTag())))
        QSKIP("a name or kind of file Windows cannot hold");
#endif
    QTemporaryDir dir;
    const QString rel = dir.filePath("rel");
    for (const QString& entry : files) {
        if (entry.contains("->")) {
            QDir().mkpath(QFileInfo(rel + "/" + entry.section("->", 0, 0)).absolutePath());
            QVERIFY(QFile::link(entry.section("->", 1), rel + "/" + entry.section("->", 0, 0)));
        } else if (entry.endsWith('|') || entry.endsWith('!')) {
#ifdef Q_OS_UNIX
            if (entry.endsWith('!') && geteuid() == 0)
                QSKIP("root reads every file; the read failure is tested through the class");
            const QByteArray path = QFile::encodeName(rel + "/" + entry.chopped(1));
            if (entry.endsWith('|')) {
                QCOMPARE(mkfifo(path.constData(), 0600), 0);
            } else {
                putFile(rel, entry.chopped(1), "s");
                QCOMPARE(chmod(path.constData(), 0), 0);
            }
#else
            QSKIP("POSIX only");
#endif
        } else if (entry.contains('~')) {
#ifdef Q_OS_UNIX
            QByteArray path = QFile::encodeName(rel);
            const QList<QByteArray> segments = entry.toUtf8().replace('~', '\xe9').split('/');
            for (int i = 0; i < segments.size(); ++i) {
                path += '/' + segments.at(i);
                if (i + 1 < segments.size()) {
                    QVERIFY(::mkdir(path.constData(), 0755) == 0 || errno == EEXIST);
                } else {
                    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
                    QVERIFY(fd >= 0);
                    ::close(fd);
                }
            }
#else
            QSKIP("POSIX only");
#endif
        } else {
            putFile(rel, entry, "content");
        }
    }
    QStringList args = baseArguments;
    if (!previous.isEmpty()) {
        putFile(dir.path(), "old.xml", previous);
        args << "--previous" << dir.filePath("old.xml");
    }
    putFile(dir.path(), "out.xml", "keep me");
    args << arguments << "--output" << dir.filePath("out.xml") << rel;

    const Run run = runTool(args);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QByteArray());
    QVERIFY2(run.err.startsWith("updater-publish: error: "), run.err.constData());
    QCOMPARE(run.err.count('\n'), 1);
    QVERIFY2(QString::fromUtf8(run.err).contains(reason), run.err.constData());
    QCOMPARE(readAll(dir.filePath("out.xml")), QByteArray("keep me"));
    QVERIFY(!QFile::exists(rel + "/UpdateCfg.xml"));
    // Names that are not UTF-8 are beyond QTemporaryDir's clean-up.
    QProcess::execute("rm", {"-rf", rel});
}

void tst_Publish::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no main") << QStringList{"--version", "1.0", "--server", "http://h", "d"}
                             << "--main";
    QTest::newRow("no server") << QStringList{"--version", "1.0", "--main", "a", "d"} << "--server";
    QTest::newRow("no folder") << baseArguments << "RELEASE_DIR";
    QTest::newRow("two folders") << baseArguments + QStringList{"d", "e"} << "one RELEASE_DIR";
    QTest::newRow("unknown option") << baseArguments + QStringList{"--force", "d"} << "force";
}

void tst_Publish::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, reason);
    const Run run = runTool(arguments);
    QCOMPARE(run.exitCode, 2);
    const QString first = QString::fromUtf8(run.err).section('\n', 0, 0);
    QVERIFY2(first.startsWith("updater-publish: error: ") && first.contains(reason),
             run.err.constData());
}

void tst_Publish::readFailures_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("open fails") << 0 << "cannot read \"lib.dll\"";
    QTest::newRow("read fails midway") << 1 << "cannot read \"lib.dll\": Input/output error";
    QTest::newRow("grows while read") << 2 << "changed while it was read";
}

void tst_Publish::readFailures()
{
    QFETCH(int, kind);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    putFile(dir.path(), "app.exe", "a");
    putFile(dir.path(), "lib.dll", QByteArray(3 << 20, 'l'));
    ReleasePublisher publisher({dir.path(), "1.1", "app.exe", "http://h", {}, {}, {}});
    publisher.setDeviceOpener([kind](const QString& path) -> std::unique_ptr<QIODevice> {
        if (!path.endsWith("lib.dll"))
            return std::make_unique<ScriptedDevice>("a", false);
        if (kind == 0)
            return std::make_unique<QFile>(path); // never opened
        return std::make_unique<ScriptedDevice>(QByteArray((3 << 20) + kind, 'l'), kind == 1);
    });
    QVERIFY(!publisher.prepare());
    QVERIFY2(publisher.errorString().contains(reason), qPrintable(publisher.errorString()));
    QVERIFY(!publisher.write());
    QVERIFY(!QFile::exists(dir.filePath("UpdateCfg.xml")));
}

void tst_Publish::staleConfigurationLeftOutWithWarning()
{
    QTemporaryDir dir;
    const QString rel = dir.filePath("rel");
    putFile(rel, "app.exe", "a");
    putFile(rel, "UpdateCfg.xml", "stale");
    putFile(rel, "sub/UpdateCfg.xml", "a file like any other below the top");

    // Written elsewhere, the release's own UpdateCfg.xml is a file the updater cannot take.
    const Run run = runTool(baseArguments + QStringList{"--output", dir.filePath("out.xml"), rel});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(QString::fromUtf8(run.err),
             QStringLiteral("updater-publish: warning: \"UpdateCfg.xml\" in the release folder is "
                            "left out: it is not the output, and the updater keeps its own "
                            "configuration under that name\n"));
    RecordingPresenter presenter;
    const ConfigInfo read = ConfigReader().read(dir.filePath("out.xml"));
    QCOMPARE(read.fileList, (QStringList{"/app.exe", "/sub/UpdateCfg.xml"}));

    // Written over it, it is the output and nothing is said.
    const Run again = runTool(baseArguments + QStringList{rel});
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(again.err, QByteArray());
}

void tst_Publish::failedWriteKeepsPreviousOutput()
{
#ifdef Q_OS_LINUX
    if (geteuid() != 0)
        QSKIP("mounting a small tmpfs needs root");
    QTemporaryDir dir;
    const QString mountPoint = dir.filePath("full");
    QVERIFY(QDir().mkpath(mountPoint));
    QProcess mount;
    mount.start("mount", {"-t", "tmpfs", "-o", "size=64k", "tmpfs", mountPoint});
    if (!mount.waitForFinished(30000) || mount.exitStatus() != QProcess::NormalExit ||
        mount.exitCode() != 0)
        QSKIP(qPrintable("cannot mount a tmpfs here: " +
                         QString::fromLocal8Bit(mount.readAllStandardError()).trimmed()));
    struct Unmount {
        QString path;
        ~Unmount() { QProcess::execute("umount", {path}); }
    } unmount{mountPoint};

    // The previous output, then a filler that leaves no room for a new one.
    const QString output = mountPoint + "/UpdateCfg.xml";
    const QByteArray previous = "<update><info version=\"1.0.3\"/>previous output</update>\n";
    putFile(mountPoint, "UpdateCfg.xml", previous);
    {
        QFile filler(mountPoint + "/filler");
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
    }

    const QString rel = dir.filePath("rel");
    putFile(rel, "app.exe", "a");
    for (int i = 0; i < 50; ++i)
        putFile(rel, QStringLiteral("data/file%1.bin").arg(i), QByteArray::number(i));
    const Run run = runTool(baseArguments + QStringList{"--output", output, rel});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.startsWith("updater-publish: error: cannot write"), run.err.constData());
    QCOMPARE(run.err.count('\n'), 1);
    QCOMPARE(run.out, QByteArray());
    // The previous output is whole, and no temporary file is left beside it.
    QCOMPARE(readAll(output), previous);
    QStringList left =
        QDir(mountPoint).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    left.sort();
    QCOMPARE(left, (QStringList{"UpdateCfg.xml", "filler"}));
#else
    QSKIP("needs a Linux tmpfs");
#endif
}

void tst_Publish::helpAndVersion()
{
    const Run help = runTool({"--help"});
    QCOMPARE(help.exitCode, 0);
    for (const char* word : {"Usage:", "RELEASE_DIR", "--ignore", "--previous", "--output"})
        QVERIFY2(help.out.contains(word), word);
    const Run version = runTool({"--version"});
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(version.out, QByteArray("updater-publish " UPDATER_VERSION "\n"));
}

void tst_Publish::progressCountsEveryByte()
{
    QTemporaryDir dir;
    putFile(dir.path(), "app.exe", QByteArray(2500000, 'a'));
    putFile(dir.path(), "b", "bb");
    putFile(dir.path(), "c.log", "ccc");
    ReleasePublisher publisher({dir.path(), "1", "app.exe", "http://h", {"*.log"}, {}, {}});
    QList<HashProgress> seen;
    publisher.setProgressFunction([&seen](const HashProgress& p) { seen.append(p); });
    QVERIFY(publisher.prepare());
    QVERIFY(seen.size() >= 5); // three chunks of the large file, one per file
    for (int i = 1; i < seen.size(); ++i)
        QVERIFY(seen[i].bytesDone >= seen[i - 1].bytesDone &&
                seen[i].filesDone >= seen[i - 1].filesDone);
    QCOMPARE(seen.last().filesDone, 3);
    QCOMPARE(seen.last().fileCount, 3);
    QCOMPARE(seen.last().bytesDone, 2500005);
    QCOMPARE(seen.last().totalBytes, 2500005);
}

void tst_Publish::progressShownOnlyAfterDelayAndThrottled()
{
    qint64 now = 0;
    QStringList lines;
    ProgressReporter reporter(
        [&now] { return now; },
        [&lines](const QString& line, bool last) { lines.append(line + (last ? " (last)" : "")); });
    auto at = [&](qint64 ms, int files) {
        now = ms;
        reporter.update({files, 9, files, 9});
    };
    at(0, 1);
    at(999, 2);
    QCOMPARE(lines, QStringList());
    at(1000, 3);
    at(1100, 4);
    at(1249, 5);
    at(1250, 6);
    at(1300, 7);
    reporter.finish();
    QCOMPARE(lines, QStringList({"hashing: 3/9 files, 3 B/9 B", "hashing: 6/9 files, 6 B/9 B",
                                 "hashing: 7/9 files, 7 B/9 B (last)"}));

    ProgressReporter quick([] { return 10; }, [&lines](const QString&, bool) { lines.clear(); });
    quick.update({1, 1, 1, 1});
    quick.finish();
    QCOMPARE(lines.size(), 3); // nothing shown for a run shorter than the delay
}

void tst_Publish::progressFormat_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << qint64(0) << "0 B";
    QTest::newRow("below a KiB") << qint64(1023) << "1023 B";
    QTest::newRow("one KiB") << qint64(1024) << "1.0 KiB";
    QTest::newRow("one and a half MiB") << qint64(1536) * 1024 << "1.5 MiB";
    QTest::newRow("1.2 GiB") << qint64(1288490189) << "1.2 GiB";
    QTest::newRow("5 TiB") << (qint64(5) << 40) << "5.0 TiB";
}

void tst_Publish::progressFormat()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(ProgressReporter::formatBytes(bytes), text);
}

void tst_Publish::generatedKeyIsPrivateAndNeverOverwritten()
{
    if (!Signature::available())
        QSKIP("this build cannot sign");
    QTemporaryDir dir;
    const QString keyPath = dir.filePath("release.key");
    const Run made = runTool({"--generate-key", keyPath});
    QCOMPARE(made.exitCode, 0);
    // One line, the public half of the key in the file.
    QCOMPARE(made.out.count('\n'), 1);
    const QString publicKey = QString::fromLatin1(made.out.trimmed());
    QVERIFY(Signature::isPublicKey(publicKey));
    const QByteArray pem = readAll(keyPath);
    QString error;
    QCOMPARE(Signature::publicKeyOf(pem, &error), publicKey);
#ifdef Q_OS_UNIX
    struct stat st;
    QCOMPARE(stat(QFile::encodeName(keyPath).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0600);
    // Through a link planted at the name nothing is created either.
    const QString target = dir.filePath("elsewhere");
    QVERIFY(QFile::link(target, dir.filePath("planted.key")));
    QCOMPARE(runTool({"--generate-key", dir.filePath("planted.key")}).exitCode, 2);
    QVERIFY(!QFileInfo::exists(target));
#endif

    // An existing key is never replaced: losing it would lock out every signed installation.
    const Run again = runTool({"--generate-key", keyPath});
    QCOMPARE(again.exitCode, 2);
    QVERIFY(again.err.contains("cannot create"));
    QCOMPARE(readAll(keyPath), pem);
    // Given with anything else it is a usage error.
    QCOMPARE(runTool({"--generate-key", dir.filePath("other.key"), dir.path()}).exitCode, 2);
    QVERIFY(!QFileInfo::exists(dir.filePath("other.key")));
}

void tst_Publish::signedOutputVerifiesOverItsExactBytes()
{
    if (!Signature::available())
        QSKIP("this build cannot sign");
    QTemporaryDir dir;
    const QString rel = dir.filePath("release");
    putFile(rel, "app.exe", "main");
    putFile(rel, "lib.dll", "lib");
    // Left by an earlier signed run in the release folder: neither listed nor kept.
    putFile(rel, "UpdateCfg.xml.sig", "stale");
    const QString keyPath = dir.filePath("release.key");
    const QString publicKey =
        QString::fromLatin1(runTool({"--generate-key", keyPath}).out.trimmed());
    const QStringList common = {"--version", "1.0",      "--main",
                                "app.exe",   "--server", "http://127.0.0.1/r"};

    const Run run = runTool(common + QStringList{"--sign-key", keyPath, rel});
    QCOMPARE(run.exitCode, 0);
    const QByteArray xml = readAll(rel + "/UpdateCfg.xml");
    const QByteArray signature = readAll(rel + "/UpdateCfg.xml.sig");
    QCOMPARE(signature.count('\n'), 1);
    QCOMPARE(Signature::verify(publicKey, xml, signature), Signature::Check::Valid);
    const ConfigInfo read = ConfigReader().read(rel + "/UpdateCfg.xml");
    QCOMPARE(read.publicKey, publicKey);
    QCOMPARE(read.fileList, QStringList({"/app.exe", "/lib.dll"}));
    for (const QString& path : read.fileList)
        QVERIFY(Signature::isSha256Hex(read.fileAttributes.value(path).sha256));

    // Handing on a new key: signed by the trusted key, naming the new one.
    const QString nextPath = dir.filePath("next.key");
    const QString nextKey =
        QString::fromLatin1(runTool({"--generate-key", nextPath}).out.trimmed());
    QCOMPARE(runTool(common + QStringList{"--rotate-to", nextPath, rel}).exitCode, 2);
    QCOMPARE(readAll(rel + "/UpdateCfg.xml"), xml);
    QCOMPARE(
        runTool(common + QStringList{"--sign-key", keyPath, "--rotate-to", nextPath, rel}).exitCode,
        0);
    const QByteArray rotated = readAll(rel + "/UpdateCfg.xml");
    QCOMPARE(ConfigReader().read(rel + "/UpdateCfg.xml").publicKey, nextKey);
    QCOMPARE(Signature::verify(publicKey, rotated, readAll(rel + "/UpdateCfg.xml.sig"), nextKey),
             Signature::Check::Valid);

    // Unsigned again: the configuration names no key and the old signature is gone.
    const Run plain = runTool(common + QStringList{rel});
    QCOMPARE(plain.exitCode, 0);
    QVERIFY(plain.err.contains("removed the signature"));
    QVERIFY(!QFileInfo::exists(rel + "/UpdateCfg.xml.sig"));
    QVERIFY(ConfigReader().read(rel + "/UpdateCfg.xml").publicKey.isEmpty());

    // A file that is not a private key stops the run before anything is written.
    const QByteArray before = readAll(rel + "/UpdateCfg.xml");
    const Run refused = runTool(common + QStringList{"--sign-key", rel + "/lib.dll", rel});
    QCOMPARE(refused.exitCode, 2);
    QVERIFY(refused.err.contains("cannot sign"));
    QCOMPARE(readAll(rel + "/UpdateCfg.xml"), before);
    QVERIFY(!QFileInfo::exists(rel + "/UpdateCfg.xml.sig"));
}

namespace
{

QString sha256Text(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

// Bytes that compress well and change in places from one version to the next.
QByteArray versionOf(int size, int version)
{
    QByteArray data;
    data.reserve(size);
    for (int line = 0; data.size() < size; ++line)
        data += "line " + QByteArray::number(line) +
                (line % 997 == 0 ? " v" + QByteArray::number(version) : QByteArray()) + "\n";
    data.resize(size);
    return data;
}

// The form as the updater will have it: decoded (against base for a patch) and checked.
QByteArray decodeForm(const QString& formFile, const FileForm& form, const QByteArray& base)
{
    const QByteArray encoded = readAll(formFile);
    if (encoded.size() != form.size || sha256Text(encoded) != sha256Hex(form.sha256))
        return "<form differs from its record>";
    QByteArray decoded;
    ZstdDecoder decoder([&decoded](const char* data, qint64 size) {
        decoded.append(data, size);
        return true;
    });
    if (form.kind == FileForm::Kind::Patch)
        decoder.setPrefix(base.constData(), base.size());
    if (!decoder.feed(encoded.constData(), encoded.size()) || !decoder.finish())
        return "<" + decoder.errorString().toUtf8() + ">";
    return decoded;
}

// "zst" and "patch from N" (N the earlier versions whose bytes are its base) of one file.
QStringList formsOf(const FileAttributes& attributes, const QMap<QString, QByteArray>& earlier)
{
    QStringList described;
    for (const FileForm& form : attributes.forms) {
        if (form.kind == FileForm::Kind::Compressed) {
            described.append("zst");
            continue;
        }
        QStringList from;
        for (auto it = earlier.cbegin(); it != earlier.cend(); ++it) {
            if (sha256Text(it.value()) == sha256Hex(form.base))
                from.append(it.key());
        }
        described.append("patch from " + from.join('+'));
    }
    return described;
}

} // namespace

using FormTable = QMap<QString, QStringList>;

void tst_Publish::formsWrittenAndListed_data()
{
    // Releases 1.0 and 1.1 lie beside each other; 1.2 is published with --previous of those
    // named. Each row: the forms of each file of 1.2.
    QTest::addColumn<QStringList>("previous");
    QTest::addColumn<QStringList>("noForms"); // an argument that writes none
    QTest::addColumn<FormTable>("forms");
    const QStringList zst = {"zst"};
    QTest::newRow("no earlier release")
        << QStringList() << QStringList()
        << FormTable{{"/app.exe", {}},  {"/big.txt", zst},  {"/changed.txt", zst},
                                      {"/new.txt", zst}, {"/same.txt", zst}, {"/tiny", {}}};
    QTest::newRow("one earlier release")
        << QStringList{"1.1"} << QStringList()
        << FormTable{
               {"/app.exe", {}},  {"/big.txt", zst},  {"/changed.txt", {"zst", "patch from 1.1"}},
               {"/new.txt", zst}, {"/same.txt", zst}, {"/tiny", {}}};
    // same.txt changed from 1.0 to 1.1 only; changed.txt is the same in 1.0 and 1.1: one patch.
    QTest::newRow("two earlier releases")
        << QStringList{"1.0", "1.1"} << QStringList()
        << FormTable{{"/app.exe", {}},
                                      {"/big.txt", zst},
                                      {"/changed.txt", {"zst", "patch from 1.0+1.1"}},
                                      {"/new.txt", zst},
                                      {"/same.txt", {"zst", "patch from 1.0"}},
                                      {"/tiny", {}}};
    QTest::newRow("no forms at all")
        << QStringList{"1.1"} << QStringList{"--no-forms"}
        << FormTable{{"/app.exe", {}}, {"/big.txt", {}},  {"/changed.txt", {}},
                                      {"/new.txt", {}}, {"/same.txt", {}}, {"/tiny", {}}};
}

void tst_Publish::formsWrittenAndListed()
{
    QFETCH(QStringList, previous);
    QFETCH(QStringList, noForms);
    QFETCH(FormTable, forms);

    QTemporaryDir dir;
    // big.txt is past the largest window: a compressed copy, never a patch.
    const qint64 window = qint64(1) << ZstdDecoder::defaultWindowLog;
    const QMap<QString, QMap<QString, QByteArray>> releases = {
        {"1.0",
         {{"app.exe", "a"},
          {"changed.txt", versionOf(200000, 1)},
          {"same.txt", versionOf(50000, 0)},
          {"big.txt", QByteArray(int(window), 'b') + "1"}}},
        {"1.1",
         {{"app.exe", "a"},
          {"changed.txt", versionOf(200000, 1)},
          {"same.txt", versionOf(50000, 2)},
          {"big.txt", QByteArray(int(window), 'b') + "2"}}},
        {"1.2",
         {{"app.exe", "a"},
          {"changed.txt", versionOf(210000, 3)},
          {"same.txt", versionOf(50000, 2)},
          {"big.txt", QByteArray(int(window), 'b') + "3"},
          {"new.txt", versionOf(30000, 3)},
          {"tiny", "t"},
          {"user.log", versionOf(30000, 3)}}}};
    for (auto release = releases.cbegin(); release != releases.cend(); ++release) {
        for (auto file = release->cbegin(); file != release->cend(); ++file)
            putFile(dir.filePath(release.key()), file.key(), file.value());
    }
    for (const QString version : {"1.0", "1.1"}) {
        const Run run =
            runTool(QStringList{"--version", version, "--main", "app.exe", "--server",
                                "http://h/" + version, "--no-forms", dir.filePath(version)});
        QCOMPARE(run.exitCode, 0);
    }
    QStringList args = {"--version", "1.2",          "--main",   "app.exe",
                        "--server",  "http://h/1.2", "--ignore", "*.log"};
    for (const QString& version : previous)
        args << "--previous" << dir.filePath(version + "/UpdateCfg.xml");
    const Run run = runTool(args + noForms + QStringList{dir.filePath("1.2")});
    QCOMPARE(run.exitCode, 0);

    const QString rel = dir.filePath("1.2");
    RecordingPresenter presenter;
    const ConfigInfo read = ConfigReader().read(rel + "/UpdateCfg.xml");
    QCOMPARE(presenter.texts(), QStringList());
    FormTable found;
    QStringList listedForms;
    for (const QString& path : read.fileList) {
        const FileAttributes attributes = read.fileAttributes.value(path);
        QMap<QString, QByteArray> bases;
        for (const QString& version : previous)
            bases.insert(version, releases[version].value(path.mid(1)));
        found.insert(path, formsOf(attributes, bases));
        // Every form decodes to the file, against the bytes its base names.
        const QByteArray content = releases["1.2"].value(path.mid(1));
        for (const FileForm& form : attributes.forms) {
            QByteArray base;
            for (const QByteArray& candidate : std::as_const(bases)) {
                if (sha256Text(candidate) == sha256Hex(form.base))
                    base = candidate;
            }
            const QString file = rel + formPath(path, form);
            listedForms.append(formPath(path, form).mid(1));
            QVERIFY2(decodeForm(file, form, base) == content, qPrintable(file));
            QVERIFY(form.size < content.size());
        }
    }
    QCOMPARE(found, forms);
    // The ignored file has none, and the folder holds what is listed and the marker only.
    QVERIFY(read.ignoreList == QStringList{"/user.log"});
    QStringList onDisk;
    QDirIterator it(rel + "/.forms", QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        onDisk.append(it.next().mid(rel.size() + 1));
    if (!listedForms.isEmpty() || noForms.isEmpty())
        listedForms.append(".forms/.written-by-updater-publish");
    onDisk.sort();
    listedForms.sort();
    QCOMPARE(onDisk, listedForms);
}

void tst_Publish::formsOfAnEarlierRunAreReplaced()
{
    // Published again on the same folder: the earlier forms are output, not files of the
    // release; those no longer listed go. A folder that is not the tool's own is refused.
    QTemporaryDir dir;
    putFile(dir.filePath("1.0"), "app.exe", versionOf(40000, 1));
    putFile(dir.filePath("1.1"), "app.exe", versionOf(40000, 2));
    QCOMPARE(runTool(QStringList{"--version", "1.0", "--main", "app.exe", "--server", "http://h",
                                 dir.filePath("1.0")})
                 .exitCode,
             0);
    const QString rel = dir.filePath("1.1");
    const QStringList args = {"--version", "1.1", "--main", "app.exe", "--server", "http://h"};
    const Run first =
        runTool(args + QStringList{"--previous", dir.filePath("1.0/UpdateCfg.xml"), rel});
    QCOMPARE(first.exitCode, 0);
    const FileAttributes withPatch =
        ConfigReader().read(rel + "/UpdateCfg.xml").fileAttributes.value("/app.exe");
    QCOMPARE(withPatch.forms.size(), 2);
    const QString patchFile = rel + formPath("/app.exe", withPatch.forms.at(1));
    QVERIFY(QFile::exists(patchFile));
    putFile(rel, ".forms/left/by/a/killed/run.zst.XyZ123", "partial");

    const Run again = runTool(args + QStringList{rel});
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(again.err, QByteArray());
    const ConfigInfo read = ConfigReader().read(rel + "/UpdateCfg.xml");
    QCOMPARE(read.fileList, QStringList{"/app.exe"});
    QCOMPARE(read.fileAttributes.value("/app.exe").forms.size(), 1);
    QVERIFY(!QFile::exists(patchFile));
    QVERIFY(!QFileInfo::exists(rel + "/.forms/left"));
    QVERIFY(QFile::exists(rel + "/.forms/app.exe.zst"));

    // Without the marker the folder is not the tool's: its files would be paths of the release.
    QVERIFY(QFile::remove(rel + "/.forms/.written-by-updater-publish"));
    const Run refused = runTool(args + QStringList{rel});
    QCOMPARE(refused.exitCode, 2);
    QVERIFY2(refused.err.contains("\".forms/app.exe.zst\" cannot be published"),
             refused.err.constData());
}

QTEST_GUILESS_MAIN(tst_Publish)
#include "tst_publish.moc"
