#include "config/configwriter.h"

#include <QIODevice>
#include <QSaveFile>
#include <QXmlStreamWriter>
#include <algorithm>
#include <optional>

namespace
{
struct FileEntry {
    QString path;
    QString md5;
    bool ignored;
    std::optional<FileAttributes> attributes;
};

std::optional<FileAttributes> attributesOf(const QMap<QString, FileAttributes>& map,
                                           const QString& path)
{
    const auto it = map.constFind(path);
    if (it == map.cend())
        return std::nullopt;
    return it.value();
}
} // namespace

bool ConfigWriter::write(QIODevice* device, const ConfigInfo& info) const
{
    QList<FileEntry> entries;
    for (auto it = info.fileMap.cbegin(); it != info.fileMap.cend(); ++it)
        entries.append({it.key(), it.value(), false, attributesOf(info.fileAttributes, it.key())});
    for (const QString& path : info.ignoreList)
        entries.append(
            {path, m_ignoredMd5.value(path), true, attributesOf(m_ignoredAttributes, path)});
    // Same order as the reader's fileMap, so the document reads in the order files are fetched.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const FileEntry& a, const FileEntry& b) { return a.path < b.path; });

    QXmlStreamWriter xml(device);
    xml.setAutoFormatting(true);
    xml.setAutoFormattingIndent(4);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("update"));
    xml.writeEmptyElement(QStringLiteral("info"));
    xml.writeAttribute(QStringLiteral("version"), info.version);
    xml.writeAttribute(QStringLiteral("main"), info.main);
    xml.writeAttribute(QStringLiteral("server"), info.server);
    for (const FileEntry& entry : entries) {
        xml.writeEmptyElement(QStringLiteral("file"));
        xml.writeAttribute(QStringLiteral("path"), entry.path);
        if (!entry.ignored || !entry.md5.isEmpty())
            xml.writeAttribute(QStringLiteral("md5"), entry.md5);
        if (entry.ignored)
            xml.writeAttribute(QStringLiteral("ignore"), QStringLiteral("1"));
        if (entry.attributes && entry.attributes->size >= 0)
            xml.writeAttribute(QStringLiteral("size"), QString::number(entry.attributes->size));
        if (entry.attributes && entry.attributes->executable)
            xml.writeAttribute(QStringLiteral("exec"), QStringLiteral("1"));
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    return !xml.hasError();
}

bool ConfigWriter::writeFile(const QString& path, const ConfigInfo& info,
                             QString* errorString) const
{
    QSaveFile file(path);
    bool ok = file.open(QIODevice::WriteOnly);
    if (ok && !write(&file, info)) {
        ok = false;
        // Keep the device's own reason: cancelling replaces it with a generic one.
        const QString reason = file.errorString();
        file.cancelWriting();
        if (errorString)
            *errorString = reason;
        return false;
    }
    if (ok)
        ok = file.commit();
    if (!ok && errorString)
        *errorString = file.errorString();
    return ok;
}
