// One fuzz target over what reads untrusted configuration text: the reader, the version rule,
// the difference of two configurations, the path checks and the download URL. The input is the
// new configuration, or the installed and the new one separated by a line "====". Besides
// crashes and sanitizer reports it stops on any broken promise of those functions.

#include "config/configdiff.h"
#include "config/configreader.h"
#include "config/pathcheck.h"
#include "platform/messagepresenter.h"
#include "update/downloadrules.h"

#include <QBuffer>
#include <QSet>
#include <cstdio>
#include <cstdlib>

namespace
{

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

// The reader reports a malformed document through the presenter; here nothing waits on it.
class SilentPresenter : public MessagePresenter
{
public:
    void show(const QString&) override {}
};

[[noreturn]] void broken(const char* what, const QString& detail = QString())
{
    std::fprintf(stderr, "broken: %s %s\n", what, qUtf8Printable(detail));
    std::abort();
}

void check(bool condition, const char* what, const QString& detail = QString())
{
    if (!condition)
        broken(what, detail);
}

const QByteArray installedDefault =
    "<update><info version=\"1.0.2\" main=\"app.exe\" server=\"http://h/r\"/>"
    "<file path=\"/app.exe\" md5=\"0cc175b9c0f1b6a831c399e269772661\" size=\"1\" exec=\"1\"/>"
    "<file path=\"/lib/core.dll\" md5=\"92eb5ffee6ae2fec3ad71c777531578f\"/>"
    "<file path=\"/user.ini\" ignore=\"1\"/></update>";

ConfigInfo readDocument(const QByteArray& bytes)
{
    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    return ConfigReader().read(&buffer);
}

void checkRecord(const ConfigInfo& info)
{
    check(info.fileList == info.fileMap.keys(), "file list is not the map's keys in order");
    for (auto it = info.fileAttributes.cbegin(); it != info.fileAttributes.cend(); ++it) {
        check(info.fileMap.contains(it.key()), "attributes for an unmanaged path", it.key());
        check(it->size >= -1, "negative size", it.key());
    }
}

void checkVersions(const QString& a, const QString& b)
{
    check(!isNewerVersion(a, a), "a version newer than itself", a);
    check(!(isNewerVersion(a, b) && isNewerVersion(b, a)), "both newer", a + " | " + b);
    const auto parsed = parseVersion(a);
    const QString canonical = canonicalVersion(a);
    check(parsed.has_value() == !canonical.isEmpty(), "canonical form disagrees", a);
    if (parsed) {
        check(parseVersion(canonical) == parsed, "canonical form reads differently", a);
        check(!isNewerVersion(a, canonical) && !isNewerVersion(canonical, a),
              "canonical form compares unequal", a);
    }
}

void checkPath(const QString& path)
{
    if (!isSafeFilePath(path))
        return;
    check(path.startsWith(QLatin1Char('/')), "safe path without leading slash", path);
    const QStringList segments = path.mid(1).split(QLatin1Char('/'));
    for (const QString& segment : segments) {
        check(!segment.isEmpty() && segment != QLatin1String(".") && segment != QLatin1String(".."),
              "safe path leaves its folder", path);
        check(!segment.endsWith(QLatin1Char('.')) && !segment.endsWith(QLatin1Char(' ')),
              "safe segment ends in dot or space", path);
    }
    check(!path.contains(QLatin1Char('\\')) && !path.contains(QLatin1Char(':')),
          "safe path with separator or drive", path);
    check(segments.first().compare(QLatin1String("update"), Qt::CaseInsensitive) != 0,
          "safe path in update/", path);
    // Whatever the name, the request asks for exactly that path on the server.
    const QUrl url = downloadUrl(QStringLiteral("http://h"), path);
    check(url.isValid() && !url.hasQuery() && !url.hasFragment(), "bad download URL", path);
    check(url.path(QUrl::FullyDecoded) == path, "download URL names another file",
          path + " -> " + url.toString(QUrl::FullyEncoded));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qInstallMessageHandler(quiet);
    static SilentPresenter presenter;
    MessagePresenter::install(&presenter);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype split = input.indexOf("\n====\n");
    const QByteArray installedText = split >= 0 ? input.left(split) : installedDefault;
    const QByteArray newText = split >= 0 ? input.mid(split + 6) : input;

    const ConfigInfo installed = readDocument(installedText);
    const ConfigInfo offered = readDocument(newText);
    checkRecord(installed);
    checkRecord(offered);
    // Read again with the installed record to share strings with: the same record.
    {
        QByteArray copy = newText;
        QBuffer buffer(&copy);
        buffer.open(QIODevice::ReadOnly);
        const ConfigInfo shared = ConfigReader().read(&buffer, &installed);
        check(shared.fileMap == offered.fileMap && shared.ignoreList == offered.ignoreList &&
                  shared.fileList == offered.fileList,
              "sharing strings changes the record");
    }

    checkVersions(offered.version, installed.version);
    checkVersions(installed.version, offered.version);

    const ConfigInfo diff = diffConfig(installed, offered);
    checkRecord(diff);
    const bool newer = isNewerVersion(offered.version, installed.version);
    check(newer || diff.fileMap.isEmpty(), "files to fetch though not newer");
    check(diff.version == offered.version && diff.server == offered.server, "diff lost the info");
    for (auto it = diff.fileMap.cbegin(); it != diff.fileMap.cend(); ++it) {
        check(offered.fileMap.value(it.key()) == it.value(), "diff md5 is not the new one",
              it.key());
        check(!installed.fileMap.contains(it.key()) ||
                  installed.fileMap.value(it.key()) != it.value(),
              "unchanged file to fetch", it.key());
        check(diff.fileAttributes.value(it.key()) == offered.fileAttributes.value(it.key()),
              "diff attributes differ", it.key());
    }
    if (newer) {
        for (auto it = offered.fileMap.cbegin(); it != offered.fileMap.cend(); ++it) {
            if (installed.fileMap.value(it.key(), QStringLiteral("\x01-none")) != it.value())
                check(diff.fileMap.contains(it.key()), "changed file left out", it.key());
        }
    }

    for (const QString& path : offered.fileList + offered.ignoreList + installed.fileList)
        checkPath(path);
    const QString collision = firstCaseCollision(offered.fileList);
    if (!collision.isEmpty()) {
        check(offered.fileMap.contains(collision), "collision names an unknown path", collision);
    } else {
        QSet<QString> folded;
        for (const QString& path : offered.fileList)
            folded.insert(path.toCaseFolded());
        check(folded.size() == offered.fileList.size(), "letter-case twins not found");
    }
    return 0;
}
