#include "config/droppedpaths.h"

#include <QDir>
#include <QSet>

QString asConfigPath(const QString& name)
{
    QString path = QDir::fromNativeSeparators(name);
    while (path.startsWith(QLatin1String("./")))
        path.remove(0, 2);
    while (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    return path.isEmpty() ? QString() : QLatin1Char('/') + path;
}

namespace
{

// The folders the updater itself writes; whatever a release lists there is not the release's to
// take away.
bool inUpdatersFolder(const QString& path)
{
    const QString top = path.section(QLatin1Char('/'), 1, 1);
    for (const char* own : {"config", "backup", "update", "log"}) {
        if (top.compare(QLatin1String(own), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

QStringList droppedPaths(const ConfigInfo& installed, const ConfigInfo& release,
                         const QStringList& keptPaths)
{
    // Everything that stays, folded once; each installed path is then one look-up.
    QSet<QString> kept;
    kept.reserve(release.fileMap.size() + release.ignoreList.size() + installed.ignoreList.size() +
                 keptPaths.size() + 2);
    for (auto it = release.fileMap.cbegin(); it != release.fileMap.cend(); ++it)
        kept.insert(it.key().toCaseFolded());
    for (const QStringList* ignored : {&release.ignoreList, &installed.ignoreList}) {
        for (const QString& path : *ignored)
            kept.insert(path.toCaseFolded());
    }
    for (const QString& name : keptPaths)
        kept.insert(asConfigPath(name).toCaseFolded());
    kept.insert(asConfigPath(installed.main).toCaseFolded());
    kept.insert(asConfigPath(release.main).toCaseFolded());

    QStringList dropped;
    for (auto it = installed.fileMap.cbegin(); it != installed.fileMap.cend(); ++it) {
        const QString& path = it.key();
        if (!inUpdatersFolder(path) && !kept.contains(path.toCaseFolded()))
            dropped.append(path);
    }
    return dropped;
}
