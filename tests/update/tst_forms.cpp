// Releases published with compressed copies and patches by the real publisher, updated by the
// worker against the loopback server: the cheapest form that fits is fetched and decoded, a form
// that fails gives way to the next, and the installation ends byte for byte as published.

#include "updateharness.h"

#include "logcapture.h"
#include "testhttpserver.h"

#include "update/partialinfo.h"

#include <QProcess>

#include <zstd.h>

class tst_Forms : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cheapestFormThatFits_data();
    void cheapestFormThatFits();
    void cutPatchContinuesWithTheRest();
};

namespace
{

// Text that compresses well and differs from seed to seed.
QByteArray text(int lines, int seed)
{
    QByteArray bytes;
    for (int i = 0; i < lines; ++i)
        bytes += "line " + QByteArray::number(i) + ": value " +
                 QByteArray::number((i * 7919 + seed) % 1009) + " of the release\n";
    return bytes;
}

const QByteArray mainBody = text(50, 1);
const QByteArray oldData = text(6000, 2);
// The next release's copy: a few lines changed and a block of new bytes, as a release changes
// a file.
const QByteArray newData = [] {
    QByteArray changed = oldData;
    changed.replace(1000, 40, "changed in the next release\n");
    changed.insert(100000, pattern(8000, 3));
    changed.chop(500);
    return changed;
}();
const QByteArray userData = oldData + "edited by the user\n";
const QByteArray freshData = text(2000, 4);

// One zstd frame of content, with a checksum: a well-formed compressed copy.
QByteArray frame(const QByteArray& content)
{
    QByteArray out(int(ZSTD_compressBound(size_t(content.size()))), Qt::Uninitialized);
    const size_t size = ZSTD_compress(out.data(), size_t(out.size()), content.constData(),
                                      size_t(content.size()), 3);
    out.resize(ZSTD_isError(size) ? 0 : int(size));
    return out;
}

// The publisher, made absolute while the current folder is not yet an installation's: a path
// from the root would be taken on the installation's drive on Windows.
QString& publishTool()
{
    static QString tool;
    return tool;
}

QString runPublisher(const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(publishTool(), arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return QStringLiteral("publisher did not finish");
    if (process.exitCode() != 0)
        return QString::fromUtf8(process.readAll());
    return QString();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Release 1.0 (app.bin, lib/data.txt) installed; 1.1 (data.txt changed, new.txt added) served,
// published with 1.0 as its earlier release.
struct Published {
    Release release;
    QTemporaryDir old;
    QString patchPath;
    QString zstPath;

    // installed: "old", "changed" (by the user) or "missing".
    void make(const QString& installed)
    {
        const QString served = release.served.path();
        writeFile(old.path() + "/app.bin", mainBody);
        writeFile(old.path() + "/lib/data.txt", oldData);
        writeFile(served + "/app.bin", mainBody);
        writeFile(served + "/lib/data.txt", newData);
        writeFile(served + "/new.txt", freshData);
        const QStringList common{"--main", "app.bin", "--server", release.server.baseUrl()};
        QString error = runPublisher(QStringList{old.path(), "--version", "1.0"} + common);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        error = runPublisher(
            QStringList{served, "--version", "1.1", "--previous", old.path() + "/UpdateCfg.xml"} +
            common);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        patchPath = "/.forms/lib/data.txt." + sha256Of(oldData) + ".patch";
        zstPath = "/.forms/lib/data.txt.zst";
        QVERIFY(QFileInfo::exists(served + patchPath));
        QVERIFY(QFileInfo::exists(served + zstPath));

        Installation& inst = release.inst;
        inst.write("app.bin", mainBody);
        if (installed == "old")
            inst.write("lib/data.txt", oldData);
        else if (installed == "changed")
            inst.write("lib/data.txt", userData);
        release.installedConfig = readFile(old.path() + "/UpdateCfg.xml");
        release.offeredConfig = readFile(served + "/UpdateCfg.xml");
        inst.write("config/UpdateCfg.xml", release.installedConfig);
        inst.write("update/UpdateCfg.xml", release.offeredConfig);
    }

    // Damages the served form at path: "corrupt" flips a byte; "listed" cuts it to half and
    // "other" makes it a sound frame of other bytes, each listed so (a form whose digest checks
    // but that does not decode, or not to the file).
    void damage(const QString& path, const QString& how)
    {
        const QString file = release.served.path() + path;
        QByteArray bytes = readFile(file);
        const QByteArray before = bytes;
        if (how == "corrupt") {
            bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 0x20);
        } else {
            if (how == "listed") {
                bytes.truncate(bytes.size() / 2);
            } else {
                QByteArray other = newData;
                other[7] = 'X';
                bytes = frame(other);
            }
            QByteArray& offered = release.offeredConfig;
            const QByteArray oldDigest = sha256Of(before).toLatin1();
            QVERIFY(offered.contains(oldDigest));
            offered.replace("size=\"" + QByteArray::number(before.size()) + "\" sha256=\"" +
                                oldDigest,
                            "size=\"" + QByteArray::number(bytes.size()) + "\" sha256=\"" +
                                sha256Of(bytes).toLatin1());
            QVERIFY(offered.contains(sha256Of(bytes).toLatin1()));
            release.inst.write("update/UpdateCfg.xml", offered);
        }
        writeFile(file, bytes);
    }

    // The forms of lib/data.txt fetched, in order: "patch", "zst" or "plain".
    QStringList dataRequests() const
    {
        QStringList kinds;
        for (const QString& path : release.server.requestedPaths()) {
            if (path == patchPath)
                kinds.append("patch");
            else if (path == zstPath)
                kinds.append("zst");
            else if (path == "/lib/data.txt")
                kinds.append("plain");
        }
        return kinds;
    }
};

} // namespace

void tst_Forms::initTestCase()
{
    qunsetenv("http_proxy");
    qunsetenv("HTTP_PROXY");
    qunsetenv("all_proxy");
    qunsetenv("ALL_PROXY");
    publishTool() = QFileInfo(QStringLiteral(PUBLISH_TOOL)).absoluteFilePath();
}

void tst_Forms::cheapestFormThatFits_data()
{
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<QStringList>("requests");
    // What each fallback line says, in order.
    QTest::addColumn<QStringList>("fallbacks");
    QTest::addColumn<bool>("ok");

    const QStringList none;
    const QString digest = QStringLiteral("文件校验失败");
    const QString notFound = QStringLiteral("Not Found");
    QTest::newRow("patched file") << "old" << none << QStringList{"patch"} << none << true;
    QTest::newRow("compressed copy of a file not installed")
        << "missing" << none << QStringList{"zst"} << none << true;
    QTest::newRow("installed copy changed by the user: no patch applies")
        << "changed" << none << QStringList{"zst"} << none << true;
    QTest::newRow("corrupt patch") << "old" << QStringList{"patch corrupt"}
                                   << QStringList{"patch", "zst"} << QStringList{digest} << true;
    QTest::newRow("missing patch") << "old" << QStringList{"patch 404"}
                                   << QStringList{"patch", "zst"} << QStringList{notFound} << true;
    QTest::newRow("corrupt compressed copy")
        << "changed" << QStringList{"zst corrupt"} << QStringList{"zst", "plain"}
        << QStringList{digest} << true;
    QTest::newRow("compressed copy that does not decode")
        << "changed" << QStringList{"zst listed"} << QStringList{"zst", "plain"}
        << QStringList{"decoder"} << true;
    QTest::newRow("compressed copy of other bytes")
        << "changed" << QStringList{"zst other"} << QStringList{"zst", "plain"}
        << QStringList{"sha256 of the result differs"} << true;
    QTest::newRow("every form missing")
        << "old" << QStringList{"patch 404", "zst 404"} << QStringList{"patch", "zst", "plain"}
        << QStringList{notFound, notFound} << true;
    QTest::newRow("plain file missing too")
        << "old" << QStringList{"patch 404", "zst 404", "plain 404"}
        << QStringList{"patch", "zst", "plain"} << QStringList{notFound, notFound} << false;
}

void tst_Forms::cheapestFormThatFits()
{
    QFETCH(QString, installed);
    QFETCH(QStringList, faults);
    QFETCH(QStringList, requests);
    QFETCH(QStringList, fallbacks);
    QFETCH(bool, ok);

    Published p;
    p.make(installed);
    if (QTest::currentTestFailed())
        return;
    const QMap<QString, QByteArray> before = p.release.inst.snapshot();
    TestHttpServer& server = p.release.server;
    for (const QString& fault : std::as_const(faults)) {
        const QString kind = fault.section(' ', 0, 0);
        const QString path = kind == "patch" ? p.patchPath
                             : kind == "zst" ? p.zstPath
                                             : QStringLiteral("/lib/data.txt");
        if (fault.endsWith("404"))
            server.respondWithStatus(path, 404);
        else
            p.damage(path, fault.section(' ', 1));
    }

    LogCapture log;
    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());
    QCOMPARE(run.finishedCount, 1);
    QCOMPARE(p.dataRequests(), requests);

    const QString local = p.release.inst.path("update/lib/data.txt");
    const QStringList falls = log.linesStartingWith("download: fallback \"" + local + "\"");
    QCOMPARE(falls.size(), fallbacks.size());
    for (int i = 0; i < falls.size(); ++i) {
        // Each line names the form that failed, its URL and why.
        const QString kind = requests.at(i) == "patch" ? "patch" : "compressed";
        const QString path = requests.at(i) == "patch" ? p.patchPath : p.zstPath;
        QVERIFY2(falls.at(i).contains(kind + " \"" + server.baseUrl() + path + "\""),
                 qPrintable(falls.at(i)));
        QVERIFY2(falls.at(i).contains(fallbacks.at(i)), qPrintable(falls.at(i)));
    }
    for (const QString& kind : std::as_const(requests)) {
        if (kind == "plain")
            continue;
        const QString path = kind == "patch" ? p.patchPath : p.zstPath;
        const QString name = kind == "patch" ? "patch" : "compressed";
        QCOMPARE(log.linesStartingWith(
                        QStringLiteral("download: %1 \"%2%3\" ").arg(name, server.baseUrl(), path))
                     .size(),
                 1);
    }
    // The form bytes stand for the file's percentage: the bar never passes its end.
    for (const UpdateProgress& record : std::as_const(run.records))
        QVERIFY(record.finished + record.current <= record.total);

    if (!ok) {
        QVERIFY(!run.ok);
        // The plain file's failure is reported as any failed download is.
        QVERIFY2(run.msg.startsWith(QStringLiteral("网络出现错误:")), qPrintable(run.msg));
        QVERIFY2(run.msg.contains(server.baseUrl() + "/lib/data.txt"), qPrintable(run.msg));
        QCOMPARE(p.release.inst.snapshot(), before);
        return;
    }
    QVERIFY2(run.ok, qPrintable(run.msg));
    const bool decoded = requests.last() != "plain";
    QCOMPARE(log.linesStartingWith("download: decoded \"" + local + "\" " +
                                   QString::number(newData.size()))
                 .size(),
             decoded ? 1 : 0);
    QCOMPARE(p.release.inst.read("lib/data.txt"), newData);
    QCOMPARE(p.release.inst.read("new.txt"), freshData);
    QCOMPARE(p.release.inst.read("app.bin"), mainBody);
    QCOMPARE(p.release.inst.read("config/UpdateCfg.xml"), p.release.offeredConfig);
    QVERIFY(!p.release.inst.exists("update"));
    if (requests == QStringList{"patch"}) {
        // A patch of a small change, and the new file compressed: a small part of the release.
        QVERIFY2(server.bodyBytesSent() * 10 < newData.size() + freshData.size(),
                 qPrintable(QString::number(server.bodyBytesSent())));
    }
}

void tst_Forms::cutPatchContinuesWithTheRest()
{
    Published p;
    p.make("old");
    if (QTest::currentTestFailed())
        return;
    TestHttpServer& server = p.release.server;
    server.setValidators(true);
    const qint64 patchSize = QFileInfo(p.release.served.path() + p.patchPath).size();
    QVERIFY2(patchSize > 4000, qPrintable(QString::number(patchSize)));
    const qint64 cut = patchSize / 2;

    // First run: the patch breaks off, and neither of the other forms is there: the run fails
    // and keeps the patch's bytes and their note.
    server.dropAfter(p.patchPath, cut);
    server.respondWithStatus(p.zstPath, 404);
    server.respondWithStatus("/lib/data.txt", 404);
    {
        WorkerRun run;
        run.start();
        QVERIFY(run.waitFinished());
        QVERIFY(!run.ok);
    }
    const QString partial = "update" + p.patchPath + ".partial";
    QCOMPARE(QFileInfo(p.release.inst.path(partial)).size(), cut);
    // The note names the patch's URL: it is the patch that is continued.
    PartialInfo note;
    QVERIFY(PartialInfo::fromBytes(readFile(p.release.inst.path(partial + ".info")), &note));
    QCOMPARE(note.url, server.baseUrl() + p.patchPath);

    // Second run: only the rest of the patch is asked for.
    server.clearRules();
    const int before = int(server.requestedPaths().size());
    LogCapture log;
    WorkerRun run;
    run.start();
    QVERIFY(run.waitFinished());
    QVERIFY2(run.ok, qPrintable(run.msg));
    const QStringList paths = server.requestedPaths().mid(before);
    const QStringList ranges = server.requestedRanges().mid(before);
    const int index = int(paths.indexOf(p.patchPath));
    QVERIFY(index >= 0);
    QCOMPARE(ranges.at(index), QStringLiteral("bytes=%1-").arg(cut));
    QVERIFY(!paths.contains(p.zstPath) && !paths.contains("/lib/data.txt"));
    QCOMPARE(p.release.inst.read("lib/data.txt"), newData);
    QVERIFY(!p.release.inst.exists("update"));
}

QTEST_MAIN(tst_Forms)
#include "tst_forms.moc"
