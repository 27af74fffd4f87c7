#include "config/configreader.h"

#include "app/logquoted.h"
#include "platform/messagepresenter.h"

#include <QDebug>
#include <QFile>
#include <QXmlStreamReader>

namespace
{
// A byte count: decimal digits only (no sign, no blanks), small enough for qint64. -1 otherwise.
qint64 parseSize(QStringView text)
{
    if (text.isEmpty() || text.size() > 18)
        return -1;
    qint64 value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
        value = value * 10 + (c.unicode() - '0');
    }
    return value;
}
} // namespace

ConfigInfo ConfigReader::read(const QString& path, const ConfigInfo* sharedWith) const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        ConfigInfo info;
        info.buildFileList();
        return info;
    }
    return read(&file, sharedWith);
}

ConfigInfo ConfigReader::read(QIODevice* device, const ConfigInfo* sharedWith) const
{
    ConfigInfo info;
    // Configurations list their files in path order as a rule: the entry after the previous
    // match is tried before a search.
    QMap<QString, QString>::const_iterator shared;
    if (sharedWith)
        shared = sharedWith->fileMap.cbegin();
    {
        QXmlStreamReader reader(device);
        while (!reader.atEnd()) {
            if (reader.readNext() != QXmlStreamReader::StartElement)
                continue;
            const QStringView name = reader.name();
            if (name == QLatin1String("info")) {
                const QXmlStreamAttributes attrs = reader.attributes();
                info.version = attrs.value(QLatin1String("version")).toString();
                info.main = attrs.value(QLatin1String("main")).toString();
                info.server = attrs.value(QLatin1String("server")).toString();
                info.publicKey = attrs.value(QLatin1String("publickey")).toString();
            }
            if (name == QLatin1String("file")) {
                const QXmlStreamAttributes attrs = reader.attributes();
                const QStringView md5Text = attrs.value(QLatin1String("md5"));
                const QStringView pathText = attrs.value(QLatin1String("path"));
                QString md5;
                QString filePath;
                if (sharedWith) {
                    const auto& map = sharedWith->fileMap;
                    if (shared == map.cend() || shared.key() != pathText)
                        shared = map.find(pathText.toString());
                    if (shared != map.cend()) {
                        filePath = shared.key();
                        if (shared.value() == md5Text)
                            md5 = shared.value();
                        ++shared;
                    }
                }
                if (filePath.isNull())
                    filePath = pathText.toString();
                if (md5.isNull())
                    md5 = md5Text.toString();
                bool ignored = false;
                if (attrs.hasAttribute(QLatin1String("ignore"))) {
                    // Not a decimal integer counts as 0: the file stays managed.
                    ignored = attrs.value(QLatin1String("ignore")).toString().toInt() != 0;
                }
                if (ignored) {
                    info.ignoreList.append(filePath);
                    continue;
                }
                // In path order the new entry belongs at the end; the hint saves the search.
                info.fileMap.insert(info.fileMap.cend(), filePath, md5);
                // Like the md5, the attributes of the last managed element for a path hold.
                FileAttributes attributes;
                bool carried = false;
                if (attrs.hasAttribute(QLatin1String("size"))) {
                    const QStringView text = attrs.value(QLatin1String("size"));
                    attributes.size = parseSize(text);
                    // An unreadable size is dropped, not fatal: it only narrows the bound every
                    // download has anyway, and the md5 check still judges the content.
                    if (attributes.size < 0)
                        qDebug() << "read xml: size ignored:" << logQuoted(filePath)
                                 << logQuoted(text.toString());
                    else
                        carried = true;
                }
                if (attrs.hasAttribute(QLatin1String("exec"))) {
                    // Read like ignore: a non-zero decimal integer means yes.
                    attributes.executable = attrs.value(QLatin1String("exec")).toInt() != 0;
                    carried = true;
                }
                if (attrs.hasAttribute(QLatin1String("sha256"))) {
                    attributes.sha256 = attrs.value(QLatin1String("sha256")).toString();
                    carried = true;
                }
                if (carried)
                    info.fileAttributes.insert(info.fileAttributes.cend(), filePath, attributes);
                else
                    info.fileAttributes.remove(filePath);
            }
        }
        if (reader.hasError()) {
            qDebug() << "read xml error:" << logQuoted(reader.errorString());
            // The box is shown by the GUI thread; this thread waits until it is closed.
            MessagePresenter::present(QStringLiteral("read config file error"));
        }
    }
    info.buildFileList();
    return info;
}
