#include "config/configreader.h"

#include "app/logquoted.h"
#include "platform/messagepresenter.h"

#include <QDebug>
#include <QFile>
#include <QXmlStreamReader>

ConfigInfo ConfigReader::read(const QString& path) const
{
    ConfigInfo info;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        QXmlStreamReader reader(&file);
        while (!reader.atEnd()) {
            if (reader.readNext() != QXmlStreamReader::StartElement)
                continue;
            const QStringView name = reader.name();
            if (name == QLatin1String("info")) {
                const QXmlStreamAttributes attrs = reader.attributes();
                info.version = attrs.value(QLatin1String("version")).toString();
                info.main = attrs.value(QLatin1String("main")).toString();
                info.server = attrs.value(QLatin1String("server")).toString();
            }
            if (name == QLatin1String("file")) {
                const QXmlStreamAttributes attrs = reader.attributes();
                const QString md5 = attrs.value(QLatin1String("md5")).toString();
                const QString filePath = attrs.value(QLatin1String("path")).toString();
                bool ignored = false;
                if (attrs.hasAttribute(QLatin1String("ignore"))) {
                    // Not a decimal integer counts as 0: the file stays managed.
                    ignored = attrs.value(QLatin1String("ignore")).toString().toInt() != 0;
                }
                if (ignored)
                    info.ignoreList.append(filePath);
                else
                    info.fileMap.insert(filePath, md5);
            }
        }
        if (reader.hasError()) {
            qDebug() << "read xml error:" << logQuoted(reader.errorString());
            // The box is shown by the GUI thread; this thread waits until it is closed.
            MessagePresenter::present(QStringLiteral("read config file error"));
        }
        file.close();
    }
    info.buildFileList();
    return info;
}
