#include "config/configdiff.h"

#include "config/droppedpaths.h"
#include "log/logquoted.h"

#include <QDebug>
#include <limits>

std::optional<QList<int>> parseVersion(const QString& version)
{
    QString text = version;
    text.remove(QLatin1Char('v'), Qt::CaseInsensitive);
    QStringList parts = text.trimmed().split(QLatin1Char('.'));
    // "1.0.1." as some stored configurations hold it: empty trailing components count as 0 and
    // are dropped. An empty component before a number ("1..1", ".1") stays ambiguous.
    while (parts.size() > 1 && parts.constLast().isEmpty())
        parts.removeLast();
    QList<int> components;
    for (const QString& part : std::as_const(parts)) {
        if (part.isEmpty())
            return std::nullopt;
        qint64 value = 0;
        for (const QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return std::nullopt;
            value = value * 10 + (c.unicode() - '0');
            if (value > std::numeric_limits<int>::max())
                return std::nullopt;
        }
        components.append(int(value));
    }
    return components;
}

QString canonicalVersion(const QString& version)
{
    const auto components = parseVersion(version);
    if (!components)
        return QString();
    QStringList parts;
    for (const int component : *components)
        parts.append(QString::number(component));
    return parts.join(QLatin1Char('.'));
}

bool isNewerVersion(const QString& newVersion, const QString& oldVersion)
{
    const auto newer = parseVersion(newVersion);
    if (!newer)
        return false;
    const auto older = parseVersion(oldVersion);
    if (!older)
        return false;
    const int count = int(qMax(newer->size(), older->size()));
    for (int i = 0; i < count; ++i) {
        const int a = i < newer->size() ? newer->at(i) : 0;
        const int b = i < older->size() ? older->at(i) : 0;
        if (a != b)
            return a > b;
    }
    return false;
}

ConfigInfo diffConfig(const ConfigInfo& oldConfig, const ConfigInfo& newConfig,
                      const QStringList& keptPaths)
{
    ConfigInfo result;
    result.version = newConfig.version;
    result.main = newConfig.main;
    result.server = newConfig.server;

    qDebug() << "new ver:" << logQuoted(newConfig.version)
             << ",old ver:" << logQuoted(oldConfig.version);
    const bool newer = isNewerVersion(newConfig.version, oldConfig.version);
    bool everyFile = false;
    if (newer) {
        // An entry is fetched when the installed map lacks its path or holds another md5 text.
        // Both maps are in path order: they are walked side by side.
        const auto walk = [&](const auto& visit) {
            auto installed = oldConfig.fileMap.cbegin();
            const auto installedEnd = oldConfig.fileMap.cend();
            for (auto it = newConfig.fileMap.cbegin(); it != newConfig.fileMap.cend(); ++it) {
                while (installed != installedEnd && installed.key() < it.key())
                    ++installed;
                const bool fetched = installed == installedEnd || installed.key() != it.key() ||
                                     !installed.sameValue(it);
                if (!visit(it, fetched))
                    return;
            }
        };
        everyFile = true;
        walk([&](auto, bool fetched) { return everyFile = fetched; });
        if (everyFile) {
            // Nothing is left out: the new record's containers are shared, not copied.
            result.fileMap = newConfig.fileMap;
            result.fileAttributes = newConfig.fileAttributes;
        } else {
            walk([&](auto it, bool fetched) {
                if (fetched) {
                    // Appended in path order; the strings are the new record's own.
                    result.fileMap.insert(result.fileMap.cend(), it.key(), it.value());
                    const auto attributes = newConfig.fileAttributes.constFind(it.key());
                    if (attributes != newConfig.fileAttributes.cend())
                        result.fileAttributes.insert(result.fileAttributes.cend(), it.key(),
                                                     attributes.value());
                }
                return true;
            });
        }
    }
    if (newer && newConfig.prune) {
        result.prune = true;
        result.droppedPaths = droppedPaths(oldConfig, newConfig, keptPaths);
    }
    qDebug() << "diff:";
    result.print();
    for (const QString& path : std::as_const(result.droppedPaths))
        qDebug() << "drop:" << logQuoted(path);
    qDebug() << "diff end" << newer;
    if (everyFile && newConfig.fileList.size() == newConfig.fileMap.size())
        result.fileList = newConfig.fileList;
    else
        result.buildFileList();
    return result;
}
