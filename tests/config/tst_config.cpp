#include "config/configdiff.h"
#include "config/configreader.h"
#include "config/configwriter.h"
#include "config/pathcheck.h"
#include "logcapture.h"
#include "recordingpresenter.h"

#include <QBuffer>
#include <QFile>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QtTest>

namespace
{
QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& content)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write(content);
    return path;
}

ConfigInfo makeConfig(const QString& version, const QMap<QString, QString>& files)
{
    ConfigInfo info;
    info.version = version;
    info.main = QStringLiteral("app.exe");
    info.server = QStringLiteral("http://127.0.0.1/r");
    info.fileMap = files;
    info.buildFileList();
    return info;
}
} // namespace

class tst_Config : public QObject
{
    Q_OBJECT

private slots:
    void readsWellFormedDocuments_data();
    void readsWellFormedDocuments();
    void malformedDocumentsKeepWhatWasRead_data();
    void malformedDocumentsKeepWhatWasRead();
    void readsWithSharedStrings_data() { readsWellFormedDocuments_data(); }
    void readsWithSharedStrings();
    void missingFileIsEmptyAndSilent();
    void readsFileAttributes_data();
    void readsFileAttributes();
    void readsForms_data();
    void readsForms();
    void formsSurviveWriteAndRead();
    void documentOutOfPathOrder();
    void documentOutOfPathOrderAtRandom();
    void md5TextsKeptAsWritten();
    void hostileDocumentsEndAsErrors_data();
    void hostileDocumentsEndAsErrors();
    void largeDocumentIsReadWithoutTrouble();
    void utf16DocumentIsDecoded();
    void fileAtAndPrint();

    void versionRule_data();
    void versionRule();
    void canonicalVersions_data();
    void canonicalVersions();
    void diffPicksNewAndChangedFiles();
    void diffCarriesAttributes();
    void diffOfEveryFileSharesTheNewRecord();
    void diffIsEmptyUnlessNewer_data();
    void diffIsEmptyUnlessNewer();
    void diffLogsComparison();

    void pathSafety_data();
    void pathSafety();
    void caseCollisions_data();
    void caseCollisions();
    void caseCollisionsAgainstEveryPair();
};

void tst_Config::readsWellFormedDocuments_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("main");
    QTest::addColumn<QString>("server");
    QTest::addColumn<QStringList>("ignored");
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QStringList>("md5s");

    QTest::newRow("plain") << QByteArray("<update><info version=\"1.0.1\" main=\"app.exe\" "
                                         "server=\"http://h/r\"/>"
                                         "<file path=\"/b.dll\" md5=\"2\"/><file path=\"/a.dll\" "
                                         "md5=\"1\"/></update>")
                           << "1.0.1"
                           << "app.exe"
                           << "http://h/r" << QStringList() << QStringList{"/a.dll", "/b.dll"}
                           << QStringList{"1", "2"};
    QTest::newRow("any depth, file inside info")
        << QByteArray("<a><b><c><info version=\"2\" main=\"m\" server=\"s\"><file path=\"/x\" "
                      "md5=\"X\"/></info></c><d><e><file path=\"/y/z\" md5=\"Y\"/></e></d></b></a>")
        << "2"
        << "m"
        << "s" << QStringList() << QStringList{"/x", "/y/z"} << QStringList{"X", "Y"};
    QTest::newRow("names are case-sensitive")
        << QByteArray("<r><Info version=\"9\" main=\"bad\" server=\"bad\"/><FILE path=\"/no\" "
                      "md5=\"n\"/><File path=\"/no2\"/><file path=\"/yes\" md5=\"y\" "
                      "PATH=\"/ignored-attr\"/></r>")
        << ""
        << ""
        << "" << QStringList() << QStringList{"/yes"} << QStringList{"y"};
    QTest::newRow("last info wins, missing attributes empty")
        << QByteArray("<r><info version=\"1\" main=\"a.exe\" server=\"http://s\"/><info "
                      "version=\"2\" main=\"b.exe\"/></r>")
        << "2"
        << "b.exe"
        << "" << QStringList() << QStringList() << QStringList();
    QTest::newRow("duplicate path keeps the later md5")
        << QByteArray("<r><file path=\"/a\" md5=\"old\"/><file path=\"/a\" md5=\"new\"/></r>") << ""
        << ""
        << "" << QStringList() << QStringList{"/a"} << QStringList{"new"};
    QTest::newRow("ignore values")
        << QByteArray("<r><file path=\"/i1\" ignore=\"1\"/><file path=\"/i2\" ignore=\"2\"/>"
                      "<file path=\"/im\" ignore=\"-1\"/><file path=\"/m0\" ignore=\"0\"/>"
                      "<file path=\"/mt\" ignore=\"true\"/><file path=\"/me\" ignore=\"\"/>"
                      "<file path=\"/ma\"/></r>")
        << ""
        << ""
        << "" << QStringList{"/i1", "/i2", "/im"} << QStringList{"/m0", "/ma", "/me", "/mt"}
        << QStringList{"", "", "", ""};
    QTest::newRow("ignored once and managed once")
        << QByteArray("<r><file path=\"/a\" md5=\"1\" ignore=\"1\"/><file path=\"/a\" "
                      "md5=\"2\"/></r>")
        << ""
        << ""
        << "" << QStringList{"/a"} << QStringList{"/a"} << QStringList{"2"};
    QTest::newRow("path order is by code unit")
        << QByteArray("<r><file path=\"/b.dll\"/><file path=\"/a.dll\"/><file "
                      "path=\"/A.dll\"/><file path=\"/B.dll\"/></r>")
        << ""
        << ""
        << "" << QStringList() << QStringList{"/A.dll", "/B.dll", "/a.dll", "/b.dll"}
        << QStringList{"", "", "", ""};
    QTest::newRow("missing path reads as empty")
        << QByteArray("<r><file md5=\"abc\"/></r>") << ""
        << ""
        << "" << QStringList() << QStringList{""} << QStringList{"abc"};
    QTest::newRow("escaped attribute text")
        << QByteArray(
               "<r><info version=\"v1\" main=\"a &amp; b.exe\" server=\"http://h/?a=1&amp;b=2\"/>"
               "<file path=\"/&lt;x&gt;\" md5=\"&quot;\"/></r>")
        << "v1"
        << "a & b.exe"
        << "http://h/?a=1&b=2" << QStringList() << QStringList{"/<x>"} << QStringList{"\""};
}

void tst_Config::readsWellFormedDocuments()
{
    QFETCH(QByteArray, xml);
    QFETCH(QString, version);
    QFETCH(QString, main);
    QFETCH(QString, server);
    QFETCH(QStringList, ignored);
    QFETCH(QStringList, paths);
    QFETCH(QStringList, md5s);

    RecordingPresenter presenter;
    LogCapture log;
    QTemporaryDir dir;
    const ConfigInfo info = ConfigReader().read(writeFile(dir, "UpdateCfg.xml", xml));
    QCOMPARE(info.version, version);
    QCOMPARE(info.main, main);
    QCOMPARE(info.server, server);
    QCOMPARE(info.ignoreList, ignored);
    QCOMPARE(info.fileList, paths);
    QCOMPARE(info.fileMap.keys(), paths);
    QCOMPARE(QStringList(info.fileMap.values()), md5s);
    QVERIFY(presenter.texts().isEmpty());
    QVERIFY(log.linesStartingWith("read xml error:").isEmpty());
}

void tst_Config::malformedDocumentsKeepWhatWasRead_data()
{
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QStringList>("paths");

    QTest::newRow("zero bytes") << QByteArray() << "" << QStringList();
    QTest::newRow("not xml") << QByteArray("this is not xml") << "" << QStringList();
    QTest::newRow("breaks off after two files")
        << QByteArray("<r><info version=\"1.2\"/><file path=\"/a\" md5=\"1\"/><file path=\"/b\" "
                      "md5=\"2\"/><file path=\"/c")
        << "1.2" << QStringList{"/a", "/b"};
    QTest::newRow("mismatched tags")
        << QByteArray("<r><file path=\"/a\"/></x><file path=\"/b\"/></r>") << ""
        << QStringList{"/a"};
    QTest::newRow("two roots") << QByteArray("<r><file path=\"/a\"/></r><r><file path=\"/b\"/></r>")
                               << "" << QStringList{"/a"};
    // In UTF-7 "+AAE-" is U+0001, which no XML text may hold: the parser lets it through. A Qt
    // without ICU (the MinGW build for Windows) has no UTF-7 decoder and refuses such a document
    // before reading anything.
    const bool utf7 = QStringDecoder("UTF-7").isValid();
    QTest::newRow("utf-7 control character in a digest")
        << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-7\"?><r><info version=\"1.2\"/>"
                      "<file path=\"/a\" md5=\"1\"/><file path=\"/b\" sha256=\"+AAE-\"/></r>")
        << (utf7 ? "1.2" : "") << (utf7 ? QStringList{"/a"} : QStringList());
    QTest::newRow("utf-7 lone surrogate in a path")
        << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-7\"?><r><file path=\"/a\" md5=\"1\"/>"
                      "<file path=\"/b+2AA-\" md5=\"2\"/></r>")
        << "" << (utf7 ? QStringList{"/a"} : QStringList());
}

void tst_Config::malformedDocumentsKeepWhatWasRead()
{
    QFETCH(QByteArray, xml);
    QFETCH(QString, version);
    QFETCH(QStringList, paths);

    RecordingPresenter presenter;
    LogCapture log;
    QTemporaryDir dir;
    const ConfigInfo info = ConfigReader().read(writeFile(dir, "UpdateCfg.xml", xml));
    QCOMPARE(info.version, version);
    QCOMPARE(info.fileList, paths);
    QCOMPARE(log.linesStartingWith("read xml error:").size(), 1);
    QCOMPARE(presenter.texts(), QStringList{"read config file error"});
}

void tst_Config::missingFileIsEmptyAndSilent()
{
    RecordingPresenter presenter;
    LogCapture log;
    QTemporaryDir dir;
    const ConfigInfo info = ConfigReader().read(dir.filePath("none/UpdateCfg.xml"));
    QVERIFY(info.version.isEmpty() && info.main.isEmpty() && info.server.isEmpty());
    QVERIFY(info.ignoreList.isEmpty() && info.fileMap.isEmpty() && info.fileList.isEmpty());
    QVERIFY(log.lines().isEmpty());
    QVERIFY(presenter.texts().isEmpty());

    // A directory where the file should be cannot be read as a document either.
    QVERIFY(QDir().mkdir(dir.filePath("UpdateCfg.xml")));
    const ConfigInfo fromDir = ConfigReader().read(dir.filePath("UpdateCfg.xml"));
    QVERIFY(fromDir.fileMap.isEmpty());
}

void tst_Config::readsFileAttributes_data()
{
    // Each row: the attributes of one file element for /f; expected size and exec, whether /f
    // carries an entry at all, and whether a "size ignored" line is logged.
    QTest::addColumn<QByteArray>("elements");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("executable");
    QTest::addColumn<bool>("carried");
    QTest::addColumn<bool>("sizeLogged");
    auto row = [](const char* name, const char* elements, qint64 size, bool exec, bool carried,
                  bool logged) {
        QTest::newRow(name) << QByteArray(elements) << size << exec << carried << logged;
    };
    row("none, as in older files", "<file path=\"/f\" md5=\"m\"/>", -1, false, false, false);
    row("size and exec", "<file path=\"/f\" md5=\"m\" size=\"1234\" exec=\"1\"/>", 1234, true, true,
        false);
    row("zero size", "<file path=\"/f\" size=\"0\"/>", 0, false, true, false);
    row("beyond 4 GiB", "<file path=\"/f\" size=\"5000000000\"/>", 5000000000LL, false, true,
        false);
    row("largest accepted", "<file path=\"/f\" size=\"999999999999999999\"/>", 999999999999999999LL,
        false, true, false);
    row("too many digits", "<file path=\"/f\" size=\"9223372036854775808\"/>", -1, false, false,
        true);
    row("negative", "<file path=\"/f\" size=\"-1\"/>", -1, false, false, true);
    row("plus sign", "<file path=\"/f\" size=\"+5\"/>", -1, false, false, true);
    row("blank around", "<file path=\"/f\" size=\" 5\"/>", -1, false, false, true);
    row("hex", "<file path=\"/f\" size=\"0x10\"/>", -1, false, false, true);
    row("empty size", "<file path=\"/f\" size=\"\"/>", -1, false, false, true);
    row("bad size, exec kept", "<file path=\"/f\" size=\"12k\" exec=\"1\"/>", -1, true, true, true);
    row("exec 0", "<file path=\"/f\" exec=\"0\"/>", -1, false, true, false);
    row("exec not a number", "<file path=\"/f\" exec=\"yes\"/>", -1, false, true, false);
    row("exec 2", "<file path=\"/f\" exec=\"2\"/>", -1, true, true, false);
    row("attribute names are case-sensitive", "<file path=\"/f\" SIZE=\"5\" Exec=\"1\"/>", -1,
        false, false, false);
    row("last managed element holds",
        "<file path=\"/f\" size=\"5\" exec=\"1\"/><file path=\"/f\" size=\"7\"/>", 7, false, true,
        false);
    row("last managed element without any drops them",
        "<file path=\"/f\" size=\"5\"/><file path=\"/f\"/>", -1, false, false, false);
    row("ignored element does not count",
        "<file path=\"/f\" size=\"5\"/><file path=\"/f\" size=\"9\" ignore=\"1\"/>", 5, false, true,
        false);
}

void tst_Config::readsFileAttributes()
{
    QFETCH(QByteArray, elements);
    QFETCH(qint64, size);
    QFETCH(bool, executable);
    QFETCH(bool, carried);
    QFETCH(bool, sizeLogged);

    RecordingPresenter presenter;
    LogCapture log;
    QTemporaryDir dir;
    const QByteArray xml =
        "<r><info version=\"1\"/>" + elements + "<file path=\"/other\" md5=\"o\" size=\"3\"/></r>";
    const ConfigInfo info = ConfigReader().read(writeFile(dir, "UpdateCfg.xml", xml));
    QVERIFY(presenter.texts().isEmpty());
    QCOMPARE(info.fileList, (QStringList{"/f", "/other"}));
    QCOMPARE(info.fileAttributes.contains("/f"), carried);
    const FileAttributes read = info.fileAttributes.value("/f");
    QCOMPARE(read.size, size);
    QCOMPARE(read.executable, executable);
    // A neighbour is not disturbed by whatever /f carries.
    QCOMPARE(info.fileAttributes.value("/other").size, qint64(3));
    QCOMPARE(log.linesStartingWith("read xml: size ignored:").size(), sizeLogged ? 1 : 0);
}

namespace
{
// 64 hex digits made of one repeated digit pair, and their bytes.
QByteArray hex64(const char* pair)
{
    return QByteArray(pair).repeated(32);
}

// A form as a short text, for comparing lists in rows: "zst 5 aa", "patch bb 7 cc" (the first
// two hex digits of each digest).
QString describe(const QList<FileForm>& forms)
{
    QStringList parts;
    for (const FileForm& form : forms) {
        const QString sha = sha256Hex(form.sha256).left(2);
        if (form.kind == FileForm::Kind::Compressed)
            parts.append(QStringLiteral("zst %1 %2").arg(form.size).arg(sha));
        else
            parts.append(QStringLiteral("patch %1 %2 %3")
                             .arg(sha256Hex(form.base).left(2))
                             .arg(form.size)
                             .arg(sha));
    }
    return parts.join(QStringLiteral("; "));
}
} // namespace

void tst_Config::readsForms_data()
{
    // Each row: what follows <file path="/f" md5="m" size="9"> up to its end; the forms read for
    // /f, or the error the document ends with.
    QTest::addColumn<QByteArray>("children");
    QTest::addColumn<QString>("forms");
    QTest::addColumn<QString>("error"); // empty: well-formed
    const QByteArray a = hex64("aa"), b = hex64("bb"), c = hex64("c1"), d = hex64("d2");
    auto zst = [](const QByteArray& size, const QByteArray& sha) {
        return "<zst size=\"" + size + "\" sha256=\"" + sha + "\"/>";
    };
    auto patch = [](const QByteArray& base, const QByteArray& size, const QByteArray& sha) {
        return "<patch base=\"" + base + "\" size=\"" + size + "\" sha256=\"" + sha + "\"/>";
    };
    QTest::newRow("none") << QByteArray() << ""
                          << "";
    QTest::newRow("compressed copy") << zst("5", a) << "zst 5 aa"
                                     << "";
    QTest::newRow("compressed copy and two patches")
        << zst("5", a) + patch(b, "7", c) + patch(c, "0", d)
        << "zst 5 aa; patch bb 7 c1; patch c1 0 d2"
        << "";
    QTest::newRow("patch alone") << patch(b, "7", c) << "patch bb 7 c1"
                                 << "";
    QTest::newRow("upper-case digits") << zst("5", hex64("AB")) << "zst 5 ab"
                                       << "";
    QTest::newRow("unknown attributes and elements are skipped")
        << "<zst size=\"5\" sha256=\"" + a + "\" level=\"19\"/><delta x=\"1\"/>"
        << "zst 5 aa"
        << "";
    QTest::newRow("deeper elements are not the file's") << "<more>" + zst("5", a) + "</more>"
                                                        << ""
                                                        << "";
    QTest::newRow("size missing") << QByteArray("<zst sha256=\"" + a + "\"/>") << ""
                                  << "zst of \"/f\": size is not a byte count";
    QTest::newRow("negative size") << zst("-5", a) << ""
                                   << "zst of \"/f\": size is not a byte count";
    QTest::newRow("sha256 of 63 digits") << zst("5", a.left(63)) << ""
                                         << "zst of \"/f\": sha256 is not 64 hexadecimal digits";
    QTest::newRow("sha256 not hex") << zst("5", a.left(63) + "g") << ""
                                    << "zst of \"/f\": sha256 is not 64 hexadecimal digits";
    QTest::newRow("patch without base")
        << QByteArray("<patch size=\"1\" sha256=\"" + a + "\"/>") << ""
        << "patch of \"/f\": base is not 64 hexadecimal digits";
    QTest::newRow("base not hex") << patch(a.left(62) + "zz", "1", b) << ""
                                  << "patch of \"/f\": base is not 64 hexadecimal digits";
    QTest::newRow("two compressed copies") << zst("5", a) + zst("6", b) << ""
                                           << "zst of \"/f\": listed twice";
    QTest::newRow("one base twice, in other letter case")
        << patch(b, "7", c) + patch(hex64("BB"), "8", d) << ""
        << "patch of \"/f\": base " + QString(hex64("bb")) + " listed twice";
}

void tst_Config::readsForms()
{
    QFETCH(QByteArray, children);
    QFETCH(QString, forms);
    QFETCH(QString, error);

    RecordingPresenter presenter;
    LogCapture log;
    const QByteArray xml = "<r><info version=\"1\"/><file path=\"/e\" md5=\"e\"/>"
                           "<file path=\"/f\" md5=\"m\" size=\"9\">" +
                           children + "</file><file path=\"/g\" md5=\"g\" ignore=\"1\">" +
                           "<zst size=\"1\" sha256=\"" + hex64("99") +
                           "\"/></file><file path=\"/h\" md5=\"h\"/></r>";
    QByteArray copy = xml;
    QBuffer buffer(&copy);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    bool wellFormed = false;
    const ConfigInfo info = ConfigReader().read(&buffer, nullptr, &wellFormed);
    QCOMPARE(wellFormed, error.isEmpty());
    if (!error.isEmpty()) {
        QCOMPARE(log.linesStartingWith("read xml error:"),
                 QStringList{"read xml error: \"" + error + "\""});
        return;
    }
    QVERIFY(presenter.texts().isEmpty());
    // The file keeps its own attributes beside its forms; its neighbours carry none, and the
    // ignored file's forms are not kept.
    QCOMPARE(info.fileList, (QStringList{"/e", "/f", "/h"}));
    QCOMPARE(info.fileAttributes.keys(), QStringList{"/f"});
    const FileAttributes read = info.fileAttributes.value("/f");
    QCOMPARE(read.size, qint64(9));
    QCOMPARE(describe(read.forms), forms);
}

void tst_Config::formsSurviveWriteAndRead()
{
    const auto digest = [](const char* pair) {
        Sha256Digest value;
        parseSha256Hex(QString::fromLatin1(hex64(pair)), &value);
        return value;
    };
    ConfigInfo info;
    info.version = "2.0";
    info.main = "app.exe";
    info.server = "http://127.0.0.1/r";
    FileAttributes withForms;
    withForms.size = 100;
    withForms.sha256 = QString::fromLatin1(hex64("0f"));
    withForms.forms.append({FileForm::Kind::Compressed, 40, digest("a1"), {}});
    withForms.forms.append({FileForm::Kind::Patch, 3, digest("b2"), digest("c3")});
    withForms.forms.append({FileForm::Kind::Patch, 0, digest("d4"), digest("e5")});
    FileAttributes plain;
    plain.size = 1;
    info.fileMap.insert("/app.exe", "m1");
    info.fileMap.insert("/data/x.bin", "m2");
    info.fileAttributes.insert("/app.exe", plain);
    info.fileAttributes.insert("/data/x.bin", withForms);
    info.ignoreList.append("/user.cfg");
    info.buildFileList();

    QByteArray document;
    {
        QBuffer out(&document);
        QVERIFY(out.open(QIODevice::WriteOnly));
        QVERIFY(ConfigWriter().write(&out, info));
    }
    QBuffer in(&document);
    QVERIFY(in.open(QIODevice::ReadOnly));
    bool wellFormed = false;
    const ConfigInfo read = ConfigReader().read(&in, nullptr, &wellFormed);
    QVERIFY(wellFormed);
    QCOMPARE(read.fileList, info.fileList);
    QCOMPARE(read.ignoreList, info.ignoreList);
    QVERIFY(read.fileAttributes == info.fileAttributes);
    const FileAttributes x = read.fileAttributes.value("/data/x.bin");
    QVERIFY(x.compressedForm() && x.compressedForm()->size == 40);
    QVERIFY(x.patchFrom(digest("e5")) && x.patchFrom(digest("e5"))->size == 0);
    QVERIFY(!x.patchFrom(digest("b2")));
    QVERIFY(!read.fileAttributes.value("/app.exe").compressedForm());

    // What an older reader sees: as many file elements as files, every new element inside one.
    QXmlStreamReader xml(document);
    QStringList names;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement)
            names.append(xml.name().toString());
    }
    QCOMPARE(names,
             (QStringList{"update", "info", "file", "file", "zst", "patch", "patch", "file"}));
    // The names under which the forms are served.
    QCOMPARE(formPath("/data/x.bin", x.forms.at(0)), QString("/.forms/data/x.bin.zst"));
    QCOMPARE(formPath("/data/x.bin", x.forms.at(1)),
             "/.forms/data/x.bin." + QString(hex64("c3")) + ".patch");
    QVERIFY(!isSafeFilePath(formPath("/data/x.bin", x.forms.at(1))));
}

void tst_Config::documentOutOfPathOrder()
{
    // Files listed against path order, a path twice: the record is in path order, and each path
    // has the md5 and the attributes of its last managed element, as when read in order.
    const QByteArray digest(32, 'a');
    const QByteArray xml = "<r><info version=\"1\"/>"
                           "<file path=\"/m\" md5=\"m1\" size=\"1\"/>"
                           "<file path=\"/z\" md5=\"" +
                           digest +
                           "\" exec=\"1\"/>"
                           "<file path=\"/b\" md5=\"b1\" size=\"2\"/>"
                           "<file path=\"/m\" md5=\"m2\"/>"
                           "<file path=\"/a\" md5=\"a1\" sha256=\"s\"/>"
                           "<file path=\"/b\" md5=\"b2\" size=\"3\"/></r>";
    QTemporaryDir dir;
    const ConfigInfo info = ConfigReader().read(writeFile(dir, "UpdateCfg.xml", xml));
    QCOMPARE(info.fileList, (QStringList{"/a", "/b", "/m", "/z"}));
    QVERIFY(info.fileMap ==
            (QMap<QString, QString>{{"/a", "a1"}, {"/b", "b2"}, {"/m", "m2"}, {"/z", digest}}));
    QCOMPARE(info.fileAttributes.keys(), (QStringList{"/a", "/b", "/z"}));
    QCOMPARE(info.fileAttributes.value("/a"), (FileAttributes{-1, false, "s"}));
    QCOMPARE(info.fileAttributes.value("/b"), (FileAttributes{3, false, {}}));
    QCOMPARE(info.fileAttributes.value("/z"), (FileAttributes{-1, true, {}}));
    QVERIFY(!info.fileAttributes.contains("/m"));
}

void tst_Config::documentOutOfPathOrderAtRandom()
{
    // Random documents, some begun in path order: paths repeat, some elements are ignored, and
    // some carry attributes. Each path has the md5 and attributes of its last managed element.
    QRandomGenerator random(4242);
    for (int round = 0; round < 200; ++round) {
        QMap<QString, QString> md5s;
        QMap<QString, FileAttributes> attributes;
        QByteArray xml = "<r>";
        const int count = 1 + random.bounded(60);
        const int ordered = random.bounded(count);
        for (int n = 0; n < count; ++n) {
            const int number = n < ordered ? n : random.bounded(count);
            const QString path = QStringLiteral("/f%1").arg(number, 3, 10, QLatin1Char('0'));
            const QString md5 = QStringLiteral("m%1").arg(n);
            xml += "<file path=\"" + path.toUtf8() + "\" md5=\"" + md5.toUtf8() + "\"";
            if (random.bounded(8) == 0) {
                xml += " ignore=\"1\"/>";
                continue;
            }
            FileAttributes carried;
            if (random.bounded(2)) {
                carried.size = n;
                xml += " size=\"" + QByteArray::number(n) + "\"";
            }
            if (random.bounded(4) == 0) {
                carried.executable = true;
                xml += " exec=\"1\"";
            }
            xml += "/>";
            md5s.insert(path, md5);
            if (carried.size >= 0 || carried.executable)
                attributes.insert(path, carried);
            else
                attributes.remove(path);
        }
        xml += "</r>";
        QBuffer buffer(&xml);
        QVERIFY(buffer.open(QIODevice::ReadOnly));
        const ConfigInfo info = ConfigReader().read(&buffer);
        QVERIFY2(info.fileMap == md5s, xml.constData());
        QVERIFY2(info.fileAttributes == FileAttributeMap(attributes), xml.constData());
    }
}

void tst_Config::md5TextsKeptAsWritten()
{
    // Lower-case hex digests are held as bytes; every text reads back exactly as written, and
    // texts are compared exactly (a digest in upper case is another text).
    const QString lower = "0123456789abcdef0123456789abcdef";
    const QString upper = lower.toUpper();
    FileMap map;
    map.insert("/d", "not hex, but 32 characters long.");
    map.insert("/b", upper);
    map.insert("/a", lower);
    map.insert("/c", "");
    map.insert("/e", lower.left(31));
    map.insert("/f", lower);
    QCOMPARE(map.keys(), (QStringList{"/a", "/b", "/c", "/d", "/e", "/f"}));
    QCOMPARE(map.values(), (QStringList{lower, upper, "", "not hex, but 32 characters long.",
                                        lower.left(31), lower}));
    QVERIFY(map.find("/a").sameValue(map.find("/f")));
    QVERIFY(!map.find("/a").sameValue(map.find("/b")));
    QVERIFY(!map.find("/a").sameValue(map.find("/e")));
    // Replacing a text, either way round.
    map.insert("/a", "x");
    map.insert("/d", lower);
    QCOMPARE(map.value("/a"), QString("x"));
    QVERIFY(map.find("/d").sameValue(map.find("/f")));
    QCOMPARE(map.value("/missing", "fallback"), QString("fallback"));
    QVERIFY(!map.contains("/g"));
    QCOMPARE(map.size(), 6);

    // A difference sees a changed letter case as a change.
    ConfigInfo installed = makeConfig("1.0", {{"/a", lower}});
    ConfigInfo offered = makeConfig("1.1", {{"/a", upper}});
    QCOMPARE(diffConfig(installed, offered).fileList, QStringList{"/a"});
    offered.fileMap.insert("/a", lower);
    QVERIFY(diffConfig(installed, offered).fileList.isEmpty());
}

void tst_Config::hostileDocumentsEndAsErrors_data()
{
    QTest::addColumn<QByteArray>("xml");

    QByteArray lol = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY a \"aaaaaaaaaaaaaaaa\">";
    char prev = 'a';
    for (char c = 'b'; c <= 'k'; ++c) {
        lol += QByteArray("<!ENTITY ") + c + " \"";
        for (int i = 0; i < 16; ++i)
            lol += QByteArray("&") + prev + ";";
        lol += "\">";
        prev = c;
    }
    lol += "]><r><file path=\"/x\" md5=\"&k;\"/></r>";
    QTest::newRow("entity expansion") << lol;

    QByteArray deep;
    for (int i = 0; i < 200000; ++i)
        deep += "<d>";
    deep += "<file path=\"/deep\"/>";
    QTest::newRow("very deep nesting, never closed") << deep;

    QTest::newRow("external entity")
        << QByteArray("<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY e SYSTEM "
                      "\"file:///etc/passwd\">]><r><file path=\"/x\" md5=\"&e;\"/></r>");
}

void tst_Config::hostileDocumentsEndAsErrors()
{
    QFETCH(QByteArray, xml);
    RecordingPresenter presenter;
    LogCapture log;
    QTemporaryDir dir;
    const ConfigInfo info = ConfigReader().read(writeFile(dir, "UpdateCfg.xml", xml));
    QCOMPARE(presenter.texts(), QStringList{"read config file error"});
    QCOMPARE(log.linesStartingWith("read xml error:").size(), 1);
    // Nothing of an entity's replacement text reaches the record.
    for (const QString& md5 : info.fileMap)
        QVERIFY(md5.size() < 1000 && !md5.contains("root:"));
}

void tst_Config::largeDocumentIsReadWithoutTrouble()
{
    // About 50 MB of records: read in one pass, every record kept.
    QTemporaryDir dir;
    const QString path = dir.filePath("UpdateCfg.xml");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("<r><info version=\"3\"/>");
    const int count = 750000;
    for (int i = 0; i < count; ++i)
        file.write(QStringLiteral(
                       "<file path=\"/dir/f%1.bin\" md5=\"0123456789abcdef0123456789abcdef\"/>\n")
                       .arg(i)
                       .toUtf8());
    file.write("</r>");
    file.close();
    QVERIFY(QFileInfo(path).size() > 45 * 1000 * 1000);

    RecordingPresenter presenter;
    const ConfigInfo info = ConfigReader().read(path);
    QCOMPARE(info.fileMap.size(), count);
    QCOMPARE(info.fileList.size(), count);
    QVERIFY(presenter.texts().isEmpty());
}

void tst_Config::utf16DocumentIsDecoded()
{
    const QString text = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-16\"?><r><info "
                                        "version=\"1\" main=\"程序.exe\"/><file path=\"/数据/a\" "
                                        "md5=\"m\"/></r>");
    QByteArray bytes("\xFF\xFE", 2);
    bytes += QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    QTemporaryDir dir;
    RecordingPresenter presenter;
    const ConfigInfo info = ConfigReader().read(writeFile(dir, "UpdateCfg.xml", bytes));
    QCOMPARE(info.main, QStringLiteral("程序.exe"));
    QCOMPARE(info.fileList, QStringList{QStringLiteral("/数据/a")});
    QVERIFY(presenter.texts().isEmpty());
}

void tst_Config::fileAtAndPrint()
{
    ConfigInfo info = makeConfig("1.0.1", {{"/b", "B"}, {"/a", "A"}});
    QCOMPARE(info.fileAt(0), QString("/a"));
    QCOMPARE(info.fileAt(1), QString("/b"));
    QCOMPARE(info.fileAt(2), QString());
    QCOMPARE(info.fileAt(100), QString());

    LogCapture log;
    info.print();
    QCOMPARE(log.lines(), (QStringList{"ConfigInfo::print", "\"1.0.1\" \"app.exe\"",
                                       "file count: 2", "\"A\" : \"/a\"", "\"B\" : \"/b\""}));
}

void tst_Config::versionRule_data()
{
    QTest::addColumn<QString>("newVersion");
    QTest::addColumn<QString>("oldVersion");
    QTest::addColumn<bool>("newer");

    QTest::newRow("patch") << "1.0.1"
                           << "1.0.0" << true;
    QTest::newRow("equal") << "1.0.0"
                           << "1.0.0" << false;
    QTest::newRow("lower") << "1.0.0"
                           << "1.0.1" << false;
    QTest::newRow("v and V anywhere") << "v2.1"
                                      << "V2.0" << true;
    QTest::newRow("v inside") << "2.v1"
                              << "2.0" << true;
    QTest::newRow("1.2.10 is older than 1.3.0") << "1.2.10"
                                                << "1.3.0" << false;
    QTest::newRow("1.3.0 is newer than 1.2.10") << "1.3.0"
                                                << "1.2.10" << true;
    QTest::newRow("2.0 is newer than 1.10.5") << "2.0"
                                              << "1.10.5" << true;
    QTest::newRow("2.0 after 1.9.9") << "2.0"
                                     << "1.9.9" << true;
    QTest::newRow("1.10 after 1.9") << "1.10"
                                    << "1.9" << true;
    QTest::newRow("missing components are zero") << "1.0"
                                                 << "1" << false;
    QTest::newRow("missing components are zero, reversed") << "1"
                                                           << "1.0.0" << false;
    QTest::newRow("extra non-zero component") << "1.0.0.1"
                                              << "1" << true;
    QTest::newRow("each component fits") << "2.147.483.648"
                                         << "1.0" << true;
    QTest::newRow("largest component") << "2147483647"
                                       << "2147483646" << true;
    QTest::newRow("component too large") << "2147483648"
                                         << "1" << false;
    QTest::newRow("old component too large") << "2"
                                             << "1.2147483648" << false;
    QTest::newRow("beta") << "1.0-beta"
                          << "0.1" << false;
    QTest::newRow("empty new") << ""
                               << "1.0" << false;
    QTest::newRow("empty old") << "1.0"
                               << "" << false;
    QTest::newRow("only v") << "v"
                            << "0" << false;
    QTest::newRow("double dot") << "1..2"
                                << "1.0" << false;
    QTest::newRow("trailing dot") << "1.2."
                                  << "1.0" << true;
    QTest::newRow("trailing dot, old") << "1.0.1"
                                       << "1.0.1." << false;
    QTest::newRow("trailing dots count as zero") << "1.0.0.1"
                                                 << "1.0.." << true;
    QTest::newRow("leading dot") << ".1"
                                 << "0" << false;
    QTest::newRow("only dots") << ".."
                               << "0" << false;
    QTest::newRow("dot between dots") << "1.2..3"
                                      << "1.0" << false;
    QTest::newRow("sign") << "+2"
                          << "1" << false;
    QTest::newRow("negative") << "-1"
                              << "-2" << false;
    QTest::newRow("space before") << " 1.0.1"
                                  << "1.0.0" << true;
    QTest::newRow("space after") << "1.0.1 "
                                 << "1.0.0" << true;
    QTest::newRow("spaces around old") << "1.0.2"
                                       << "\t1.0.1 \r\n"
                                       << true;
    QTest::newRow("space after v") << "v 2"
                                   << "1" << true;
    QTest::newRow("space inside") << "1. 2"
                                  << "1.0" << false;
    QTest::newRow("only space") << "  "
                                << "0" << false;
    QTest::newRow("letter") << "1.2a"
                            << "1.0" << false;
    QTest::newRow("leading zeros") << "1.02"
                                   << "1.1" << true;
    QTest::newRow("non-ascii digit") << QString::fromUtf8("\xd9\xa2") << "1" << false;
}

void tst_Config::versionRule()
{
    QFETCH(QString, newVersion);
    QFETCH(QString, oldVersion);
    QFETCH(bool, newer);
    QCOMPARE(isNewerVersion(newVersion, oldVersion), newer);
}

void tst_Config::canonicalVersions_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("canonical");
    QTest::newRow("already canonical") << "1.0.4"
                                       << "1.0.4";
    QTest::newRow("v, spaces, trailing dot") << " v2.10. "
                                             << "2.10";
    QTest::newRow("leading zeros") << "01.002"
                                   << "1.2";
    QTest::newRow("unusable") << "1..2"
                              << "";
}

void tst_Config::canonicalVersions()
{
    QFETCH(QString, version);
    QFETCH(QString, canonical);
    QCOMPARE(canonicalVersion(version), canonical);
}

void tst_Config::diffPicksNewAndChangedFiles()
{
    const ConfigInfo installed = makeConfig(
        "1.0.0", {{"/same", "s"}, {"/changed", "old"}, {"/case", "abc"}, {"/gone", "g"}});
    ConfigInfo offered = makeConfig(
        "1.0.1", {{"/same", "s"}, {"/changed", "new"}, {"/case", "ABC"}, {"/added", "a"}});
    offered.main = QStringLiteral("new.exe");
    offered.server = QStringLiteral("http://new");
    offered.ignoreList = QStringList{"/ignored"};

    LogCapture log;
    const ConfigInfo diff = diffConfig(installed, offered);
    QCOMPARE(diff.version, QString("1.0.1"));
    QCOMPARE(diff.main, QString("new.exe"));
    QCOMPARE(diff.server, QString("http://new"));
    QVERIFY(diff.ignoreList.isEmpty());
    QCOMPARE(diff.fileList, (QStringList{"/added", "/case", "/changed"}));
    QCOMPARE(diff.fileMap.value("/changed"), QString("new"));
    QCOMPARE(diff.fileMap.value("/case"), QString("ABC"));
    // Neither argument changes.
    QCOMPARE(installed.fileList.size(), 4);
    QCOMPARE(offered.fileList.size(), 4);
}

void tst_Config::readsWithSharedStrings()
{
    QFETCH(QByteArray, xml);
    QFETCH(QStringList, paths);
    QFETCH(QStringList, md5s);

    // Every other path with the same md5 text, the rest with another, and one path of its own.
    QMap<QString, QString> files{{"/zz-installed-only", "z"}};
    for (int i = 0; i < paths.size(); ++i)
        files.insert(paths.at(i), i % 2 == 0 ? md5s.at(i) : QStringLiteral("other"));
    const ConfigInfo installed = makeConfig("1", files);

    RecordingPresenter presenter;
    LogCapture log;
    QTemporaryDir dir;
    const QString path = writeFile(dir, "UpdateCfg.xml", xml);
    const ConfigInfo plain = ConfigReader().read(path);
    const ConfigInfo info = ConfigReader().read(path, &installed);
    QCOMPARE(info.version, plain.version);
    QCOMPARE(info.main, plain.main);
    QCOMPARE(info.server, plain.server);
    QCOMPARE(info.ignoreList, plain.ignoreList);
    QCOMPARE(info.fileList, paths);
    QCOMPARE(info.fileMap, plain.fileMap);
    QCOMPARE(info.fileAttributes, plain.fileAttributes);
    for (int i = 0; i < paths.size(); ++i) {
        const auto read = info.fileMap.find(paths.at(i));
        const auto other = installed.fileMap.find(paths.at(i));
        QVERIFY(read.key().isSharedWith(other.key()) || read.key().isEmpty());
        QCOMPARE(read.sameValue(other), read.value() == other.value());
    }
}

void tst_Config::diffOfEveryFileSharesTheNewRecord()
{
    const ConfigInfo installed = makeConfig("1.0", {{"/a", "1"}, {"/b", "2"}});
    ConfigInfo offered = makeConfig("1.1", {{"/a", "changed"}, {"/c", "3"}});
    offered.fileAttributes.insert("/c", {5, true, {}});

    const ConfigInfo diff = diffConfig(installed, offered);
    QCOMPARE(diff.fileList, (QStringList{"/a", "/c"}));
    QCOMPARE(diff.fileMap, offered.fileMap);
    QCOMPARE(diff.fileAttributes, offered.fileAttributes);
    // With hundreds of thousands of files a copy would double the memory of the run.
    QVERIFY(diff.fileMap.isSharedWith(offered.fileMap));
    QVERIFY(diff.fileList.isSharedWith(offered.fileList));

    // One file left out: a record of its own, with the files in path order.
    const ConfigInfo partial = diffConfig(makeConfig("1.0", {{"/c", "3"}}), offered);
    QCOMPARE(partial.fileList, QStringList{"/a"});
    QVERIFY(partial.fileAttributes.isEmpty());
    QVERIFY(!partial.fileMap.isSharedWith(offered.fileMap));
}

void tst_Config::diffCarriesAttributes()
{
    ConfigInfo installed = makeConfig("1.0.0", {{"/same", "s"}, {"/changed", "old"}});
    installed.fileAttributes.insert("/changed", {10, false, {}});
    ConfigInfo offered =
        makeConfig("1.0.1", {{"/same", "s"}, {"/changed", "new"}, {"/plain", "p"}, {"/x", "x"}});
    offered.fileAttributes.insert("/same", {1, true, {}});
    offered.fileAttributes.insert("/changed", {20, true, {}});
    offered.fileAttributes.insert("/x", {0, false, {}});

    const ConfigInfo diff = diffConfig(installed, offered);
    QCOMPARE(diff.fileList, (QStringList{"/changed", "/plain", "/x"}));
    // The new release's attributes, only for the files fetched, only where given.
    QCOMPARE(diff.fileAttributes.keys(), (QStringList{"/changed", "/x"}));
    QCOMPARE(diff.fileAttributes.value("/changed"), (FileAttributes{20, true, {}}));
    QCOMPARE(diff.fileAttributes.value("/x"), (FileAttributes{0, false, {}}));

    // Not newer: no files, so no attributes either.
    QVERIFY(diffConfig(offered, installed).fileAttributes.isEmpty());
}

void tst_Config::diffIsEmptyUnlessNewer_data()
{
    QTest::addColumn<QString>("installedVersion");
    QTest::addColumn<QString>("offeredVersion");
    QTest::newRow("equal versions") << "1.0.0"
                                    << "1.0.0";
    QTest::newRow("lower") << "1.0.1"
                           << "1.0.0";
    QTest::newRow("installed unreadable") << ""
                                          << "1.0.1";
    QTest::newRow("offered unusable") << "1.0.0"
                                      << "1.0.1-rc1";
}

void tst_Config::diffIsEmptyUnlessNewer()
{
    QFETCH(QString, installedVersion);
    QFETCH(QString, offeredVersion);
    const ConfigInfo diff = diffConfig(makeConfig(installedVersion, {{"/a", "1"}}),
                                       makeConfig(offeredVersion, {{"/a", "2"}, {"/b", "3"}}));
    QVERIFY(diff.fileMap.isEmpty());
    QVERIFY(diff.fileList.isEmpty());
    QCOMPARE(diff.version, offeredVersion);
}

void tst_Config::diffLogsComparison()
{
    LogCapture log;
    diffConfig(makeConfig("1.0.0", {}), makeConfig("1.0.0", {{"/a", "x"}}));
    QCOMPARE(log.lines(),
             (QStringList{"new ver: \"1.0.0\" ,old ver: \"1.0.0\"", "diff:", "ConfigInfo::print",
                          "\"1.0.0\" \"app.exe\"", "file count: 0", "diff end false"}));
    log.clear();
    diffConfig(makeConfig("1.0.0", {}), makeConfig("1.0.1", {{"/a", "x"}}));
    QCOMPARE(log.lines().constLast(), QString("diff end true"));
    QVERIFY(log.lines().contains("\"x\" : \"/a\""));
}

void tst_Config::pathSafety_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("safe");
    QTest::newRow("plain") << "/a.dll" << true;
    QTest::newRow("nested") << "/bin/plugins/x.dll" << true;
    QTest::newRow("dots inside names") << "/a..b/.hidden/c...d" << true;
    QTest::newRow("chinese") << QStringLiteral("/数据/文件.txt") << true;
    QTest::newRow("spaces") << "/Program Data/a b.txt" << true;
    QTest::newRow("no leading slash") << "x.dll" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("root only") << "/" << false;
    QTest::newRow("parent") << "/../../x" << false;
    QTest::newRow("parent inside") << "/a/../../b" << false;
    QTest::newRow("dot segment") << "/a/./b" << false;
    QTest::newRow("empty segment") << "/a//b" << false;
    QTest::newRow("trailing slash") << "/a/" << false;
    QTest::newRow("backslash") << "/a\\..\\..\\b" << false;
    QTest::newRow("drive") << "/C:/Windows/x.dll" << false;
    QTest::newRow("stream") << "/a.txt:zone" << false;
    QTest::newRow("newline") << "/a\nb" << false;
    QTest::newRow("nul") << QString("/a") + QChar(0) + "b" << false;
    QTest::newRow("delete char") << QString("/a") + QChar(0x7f) << false;
    QTest::newRow("inside update") << "/update/a.dll" << false;
    QTest::newRow("inside Update") << "/Update/a.dll" << false;
    QTest::newRow("the update folder itself") << "/update" << false;
    QTest::newRow("the new configuration") << "/UpdateCfg.xml" << false;
    QTest::newRow("the new configuration, other case") << "/updatecfg.XML" << false;
    QTest::newRow("update as a deeper folder") << "/data/update/a.dll" << true;
    QTest::newRow("name starting with update") << "/updates/a.dll" << true;
    QTest::newRow("configuration in a folder") << "/data/UpdateCfg.xml" << true;
    QTest::newRow("inside the forms folder") << "/.forms/a.dll.zst" << false;
    QTest::newRow("inside the forms folder, other case") << "/.Forms/x/a.dll" << false;
    QTest::newRow("the forms folder itself") << "/.forms" << false;
    QTest::newRow("forms as a deeper folder") << "/data/.forms/a" << true;
    QTest::newRow("name starting with .forms") << "/.formsx/a" << true;

    // Names Windows cannot hold or reads as something else, refused on every platform.
    for (const char* name :
         {"CON", "con", "PRN", "AUX", "NUL", "nul.txt", "aux.tar.gz", "COM1", "com9.log", "COM0",
          "LPT1", "lpt9.dll", "Con .txt", "CONIN$", "conout$.x"})
        QTest::newRow(qPrintable(QStringLiteral("device %1").arg(name)))
            << QStringLiteral("/dir/") + name << false;
    QTest::newRow("device as a folder") << "/nul/a.txt" << false;
    QTest::newRow("superscript port") << QStringLiteral("/COM\u00b9.txt") << false;
    QTest::newRow("superscript port, lower") << QStringLiteral("/lpt\u00b3") << false;
    for (const char* name : {"CONSOLE", "con_", "aux1", "COM10", "LPT", "nula.txt", "xcon", "COM",
                             "a.con", "my nul.txt", "COMA"})
        QTest::newRow(qPrintable(QStringLiteral("not a device %1").arg(name)))
            << QStringLiteral("/") + name << true;
    QTest::newRow("ends in a dot") << "/a/b." << false;
    QTest::newRow("folder ends in a dot") << "/update./x" << false;
    QTest::newRow("ends in a space") << "/Update /x" << false;
    QTest::newRow("file ends in a space") << "/a.txt " << false;
    QTest::newRow("ends in dots and spaces") << "/a. ." << false;
    QTest::newRow("begins with a space and a dot") << "/ .a/ b" << true;
    for (const char c : {'<', '>', '"', '|', '?', '*'})
        QTest::newRow(qPrintable(QStringLiteral("character %1").arg(QChar(c))))
            << QStringLiteral("/a%1b").arg(QChar(c)) << false;
    for (const char* name : {"hash#1.txt", "pct%41.txt", "a%2Fb.txt", "d#1/x", "a&b=c;d", "[x]",
                             "{y}", "a+b", "~tilde", "'q'", "a,b", "@at", "$d", "!x"})
        QTest::newRow(qPrintable(QStringLiteral("allowed %1").arg(name)))
            << QStringLiteral("/") + name << true;
}

void tst_Config::pathSafety()
{
    QFETCH(QString, path);
    QFETCH(bool, safe);
    QCOMPARE(isSafeFilePath(path), safe);
}

void tst_Config::caseCollisions_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QStringList>("kept");
    QTest::addColumn<QString>("collision");
    const QStringList none;
    QTest::newRow("none") << QStringList{"/a", "/b/c", "/b/d", "/bc"} << none << "";
    QTest::newRow("empty") << QStringList() << none << "";
    QTest::newRow("same path twice") << QStringList{"/a", "/a"} << none << "";
    QTest::newRow("letter case") << QStringList{"/App.exe", "/b", "/app.EXE"} << none << "/app.EXE";
    QTest::newRow("folder in other case")
        << QStringList{"/Bin/a.dll", "/bin/A.DLL"} << none << "/bin/A.DLL";
    QTest::newRow("folders differ, files do not") << QStringList{"/Bin/a", "/bin/b"} << none << "";
    QTest::newRow("file, then folder of that name")
        << QStringList{"/data", "/data/x"} << none << "/data/x";
    QTest::newRow("folder, then file of that name")
        << QStringList{"/Data/x", "/data"} << none << "/data";
    QTest::newRow("file, then folder of that name in other case")
        << QStringList{"/data", "/DATA/x"} << none << "/DATA/x";
    QTest::newRow("file and a folder two levels up")
        << QStringList{"/a", "/a/b/c"} << none << "/a/b/c";
    QTest::newRow("deep folder") << QStringList{"/a/b/c/d", "/A/B/c"} << none << "/A/B/c";
    QTest::newRow("beyond ASCII") << QStringList{QStringLiteral("/\u00c4.txt"),
                                                 QStringLiteral("/\u00e4.txt")}
                                  << none << QStringLiteral("/\u00e4.txt");
    QTest::newRow("prefix without a slash is no folder")
        << QStringList{"/ab", "/a/b", "/abc"} << none << "";

    // Ignored files stay as the user has them: a managed path must not need them moved aside or
    // overwritten. Among themselves they are never written and do not collide.
    QTest::newRow("kept file where a folder is needed")
        << QStringList{"/lib/x.dll"} << QStringList{"/lib"} << "/lib";
    QTest::newRow("kept file below a managed file")
        << QStringList{"/a"} << QStringList{"/a/b"} << "/a/b";
    QTest::newRow("kept file in other letter case")
        << QStringList{"/b", "/user.ini"} << QStringList{"/x", "/User.ini"} << "/User.ini";
    QTest::newRow("kept folder in other letter case")
        << QStringList{"/lib/a"} << QStringList{"/LIB/b"} << "";
    QTest::newRow("kept and managed, same path")
        << QStringList{"/user.ini"} << QStringList{"/user.ini"} << "";
    QTest::newRow("kept files among themselves")
        << QStringList{"/app"} << QStringList{"/log", "/LOG", "/log/x"} << "";
    QTest::newRow("managed collision comes first")
        << QStringList{"/m", "/M"} << QStringList{"/m/x"} << "/M";

    // The path reported is the one that completes the earliest pair, whatever kind of pair.
    QTest::newRow("earliest pair, not first path")
        << QStringList{"/x", "/b", "/B", "/X"} << none << "/B";
    QTest::newRow("case pair before folder pair")
        << QStringList{"/q/r", "/z", "/Z", "/Q"} << none << "/Z";
    QTest::newRow("folder pair before case pair")
        << QStringList{"/Z", "/q", "/q/r", "/z"} << none << "/q/r";
    QTest::newRow("repeated path, then other case")
        << QStringList{"/a", "/b", "/a", "/A"} << none << "/A";
    QTest::newRow("repeated folder path") << QStringList{"/a/b", "/a/b", "/A"} << none << "/A";
    QTest::newRow("sign that folds to a letter")
        << QStringList{"/kelvin", QStringLiteral("/\u212aelvin")} << none
        << QStringLiteral("/\u212aelvin");
    QTest::newRow("folder beyond ASCII")
        << QStringList{QStringLiteral("/\u00c4/x"), QStringLiteral("/\u00e4")} << none
        << QStringLiteral("/\u00e4");
    QTest::newRow("first of the kept files that collide")
        << QStringList{"/a/b", "/c"} << QStringList{"/d", "/C", "/a"} << "/C";
    QTest::newRow("kept file in other case of a repeated path")
        << QStringList{"/a", "/a"} << QStringList{"/a", "/A"} << "/A";
}

void tst_Config::caseCollisions()
{
    QFETCH(QStringList, paths);
    QFETCH(QStringList, kept);
    QFETCH(QString, collision);
    QCOMPARE(firstCaseCollision(paths, kept), collision);
}

namespace
{
bool below(const QString& path, const QString& folder)
{
    return !folder.isEmpty() && path.startsWith(folder + QLatin1Char('/'));
}

bool clash(const QString& a, const QString& b)
{
    const QString x = a.toCaseFolded();
    const QString y = b.toCaseFolded();
    return a != b && (x == y || below(x, y) || below(y, x));
}
} // namespace

// Many small random lists over a few letters, folders and repeats, against a comparison of every
// pair: the first managed path that clashes with an earlier one, else the first kept one that
// clashes with a managed one.
void tst_Config::caseCollisionsAgainstEveryPair()
{
    const QStringList pieces = {"a",
                                "A",
                                "b",
                                "k",
                                QStringLiteral("\u212a"),
                                QStringLiteral("\u00e4"),
                                QStringLiteral("\u00c4"),
                                "/"};
    QRandomGenerator random(20261207);
    const auto randomPath = [&] {
        QString path = QStringLiteral("/");
        const int length = 1 + random.bounded(4);
        for (int n = 0; n < length; ++n)
            path += pieces.at(random.bounded(pieces.size()));
        return path;
    };
    int found = 0;
    for (int round = 0; round < 3000; ++round) {
        QStringList paths;
        QStringList kept;
        for (int n = random.bounded(12); n > 0; --n)
            paths.append(randomPath());
        for (int n = random.bounded(4); n > 0; --n)
            kept.append(randomPath());
        QString expected;
        for (qsizetype i = 0; i < paths.size() && expected.isNull(); ++i) {
            for (qsizetype j = 0; j < i && expected.isNull(); ++j) {
                if (clash(paths.at(i), paths.at(j)))
                    expected = paths.at(i);
            }
        }
        for (qsizetype k = 0; k < kept.size() && expected.isNull(); ++k) {
            for (const QString& path : paths) {
                if (clash(kept.at(k), path)) {
                    expected = kept.at(k);
                    break;
                }
            }
        }
        if (!expected.isNull())
            ++found;
        QCOMPARE(firstCaseCollision(paths, kept), expected);
    }
    // Both outcomes are well represented.
    QVERIFY(found > 500 && found < 2500);
}

QTEST_GUILESS_MAIN(tst_Config)
#include "tst_config.moc"
