#include "config/configinfo.h"

#include "log/logquoted.h"

#include <QDebug>

void ConfigInfo::buildFileList()
{
    fileList.reserve(fileList.size() + fileMap.size());
    for (auto it = fileMap.cbegin(); it != fileMap.cend(); ++it)
        fileList.append(it.key());
}

QString ConfigInfo::fileAt(int index) const
{
    if (index < 0 || index >= fileList.size())
        return QString();
    return fileList.at(index);
}

void ConfigInfo::print() const
{
    qDebug() << "ConfigInfo::print";
    qDebug() << logQuoted(version) << logQuoted(main);
    qDebug() << "file count:" << fileMap.size();
    for (auto it = fileMap.cbegin(); it != fileMap.cend(); ++it)
        qDebug() << logQuoted(it.value()) << ":" << logQuoted(it.key());
}
