#include "config/configwriter.h"

#include <QBuffer>
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

template <typename Map>
std::optional<FileAttributes> attributesOf(const Map& map, const QString& path)
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
    if (!info.publicKey.isEmpty())
        xml.writeAttribute(QStringLiteral("publickey"), info.publicKey);
    for (const FileEntry& entry : entries) {
        // Forms are child elements, which an older reader skips; a file without any stays one
        // empty element as before.
        const bool hasForms = entry.attributes && !entry.attributes->forms.isEmpty();
        if (hasForms)
            xml.writeStartElement(QStringLiteral("file"));
        else
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
        if (entry.attributes && !entry.attributes->sha256.isEmpty())
            xml.writeAttribute(QStringLiteral("sha256"), entry.attributes->sha256);
        if (!hasForms)
            continue;
        for (const FileForm& form : entry.attributes->forms) {
            const bool patch = form.kind == FileForm::Kind::Patch;
            xml.writeEmptyElement(patch ? QStringLiteral("patch") : QStringLiteral("zst"));
            if (patch)
                xml.writeAttribute(QStringLiteral("base"), sha256Hex(form.base));
            xml.writeAttribute(QStringLiteral("size"), QString::number(form.size));
            xml.writeAttribute(QStringLiteral("sha256"), sha256Hex(form.sha256));
        }
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    return !xml.hasError();
}

bool ConfigWriter::writeFile(const QString& path, const ConfigInfo& info, QString* errorString,
                             QByteArray* written) const
{
    // The whole document is made first, so that what reaches the file can be checked byte for
    // byte: a failing flush on a full disk does not keep QSaveFile from committing an empty or
    // cut-off file.
    QByteArray document;
    {
        QBuffer buffer(&document);
        buffer.open(QIODevice::WriteOnly);
        if (!write(&buffer, info)) {
            if (errorString)
                *errorString = QStringLiteral("cannot make the document");
            return false;
        }
    }

    QSaveFile file(path);
    // Unbuffered: every write goes to the disk at once and its failure is seen at once.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        if (errorString)
            *errorString = file.errorString();
        return false;
    }
    if (file.write(document) != document.size() || !file.flush()) {
        // Keep the device's own reason: cancelling replaces it with a generic one.
        const QString reason = file.errorString();
        file.cancelWriting();
        if (errorString)
            *errorString = reason;
        return false;
    }
    if (!file.commit()) {
        if (errorString)
            *errorString = file.errorString();
        return false;
    }
    if (written)
        *written = document;
    return true;
}
