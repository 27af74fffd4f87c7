// Fuzzes the difference of two configurations: the installed one, a line "====", and the new one
// (a lone document is taken as the new one beside a fixed installed configuration). It stops
// when the files to fetch are not exactly the new or changed managed files of a newer release,
// when the files a pruning release drops are not exactly the installed managed files that no
// path of either release names in any letter case (the updater's folders and main programs
// aside), or when the updater's way of calling it (strings shared, installed list and attributes
// dropped) gives another answer.

#include "fuzzsupport.h"

#include "config/configdiff.h"

#include <QRegularExpression>

namespace
{

const QByteArray installedDefault =
    "<update><info version=\"1.0.2\" main=\"app.exe\" server=\"http://h/r\"/>"
    "<file path=\"/app.exe\" md5=\"0cc175b9c0f1b6a831c399e269772661\" size=\"1\" exec=\"1\"/>"
    "<file path=\"/lib/core.dll\" md5=\"92eb5ffee6ae2fec3ad71c777531578f\"/>"
    "<file path=\"/user.ini\" ignore=\"1\"/></update>";

// Whether a pruning release keeps path, judged against every path one by one.
bool keptByRelease(const QString& path, const ConfigInfo& installed, const ConfigInfo& offered)
{
    static const QRegularExpression ownFolder(QStringLiteral("^/(config|backup|update|log)(/|$)"),
                                              QRegularExpression::CaseInsensitiveOption);
    if (ownFolder.match(path).hasMatch())
        return true;
    auto named = [&](const QString& other) {
        return path.compare(other, Qt::CaseInsensitive) == 0;
    };
    QStringList others = offered.fileMap.keys() + offered.ignoreList + installed.ignoreList;
    for (const QString& main : {installed.main, offered.main}) {
        QString plain = main;
        while (plain.startsWith(QLatin1String("./")) || plain.startsWith(QLatin1Char('/')))
            plain.remove(0, plain.startsWith(QLatin1Char('/')) ? 1 : 2);
        if (!plain.isEmpty())
            others.append(QLatin1Char('/') + plain);
    }
    return std::any_of(others.cbegin(), others.cend(), named);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QList<QByteArray> parts = fuzz::sections(fuzz::bytesOf(data, size));
    const QByteArray installedText = parts.size() > 1 ? parts.at(0) : installedDefault;
    const QByteArray newText = parts.size() > 1 ? parts.at(1) : parts.at(0);
    const ConfigInfo installed = fuzz::readDocument(installedText);
    const ConfigInfo offered = fuzz::readDocument(newText);

    const ConfigInfo diff = diffConfig(installed, offered);
    fuzz::checkRecord(diff);
    const bool newer = isNewerVersion(offered.version, installed.version);
    fuzz::check(diff.version == offered.version && diff.main == offered.main &&
                    diff.server == offered.server,
                "the difference lost the release's info");
    fuzz::check(diff.ignoreList.isEmpty(), "ignored paths in the difference");
    for (auto it = offered.fileMap.cbegin(); it != offered.fileMap.cend(); ++it) {
        const auto installedEntry = installed.fileMap.constFind(it.key());
        const bool changed =
            installedEntry == installed.fileMap.cend() || installedEntry.value() != it.value();
        fuzz::check(diff.fileMap.contains(it.key()) == (newer && changed),
                    newer && changed ? "a changed file left out" : "an unchanged file to fetch",
                    it.key());
    }
    for (auto it = diff.fileMap.cbegin(); it != diff.fileMap.cend(); ++it) {
        fuzz::check(offered.fileMap.value(it.key()) == it.value(), "md5 is not the new one",
                    it.key());
        fuzz::check(diff.fileAttributes.value(it.key()) == offered.fileAttributes.value(it.key()),
                    "attributes are not the new ones", it.key());
    }
    fuzz::check(diff.fileMap.size() <= offered.fileMap.size(), "more files than the release");
    fuzz::check(diffConfig(offered, offered).fileMap.isEmpty(), "a release differs from itself");

    QStringList dropped;
    if (newer && offered.prune) {
        for (auto it = installed.fileMap.cbegin(); it != installed.fileMap.cend(); ++it) {
            if (!keptByRelease(it.key(), installed, offered))
                dropped.append(it.key());
        }
    }
    fuzz::check(diff.droppedPaths == dropped, "the dropped files are not the unnamed ones",
                dropped.join(QLatin1Char(' ')));

    // As the updater calls it: the new record shares the installed one's strings, and the
    // installed record has lost its list and attributes.
    ConfigInfo lean = installed;
    lean.fileList.clear();
    lean.fileAttributes.clear();
    const ConfigInfo shared = fuzz::readDocument(newText, &lean);
    fuzz::check(fuzz::sameRecord(diffConfig(lean, shared), diff),
                "the updater's call gives another difference");
    return 0;
}
