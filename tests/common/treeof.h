#pragma once

// A picture of a folder tree for before / after comparisons, byte for byte.

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QString>

// Every entry below dir, by relative path: content for files, "<dir>" for folders, the target
// for links, "<special>" for anything else (a fifo is never opened, which would wait).
inline QMap<QString, QByteArray> treeOf(const QString& dir)
{
    QMap<QString, QByteArray> result;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        QByteArray value;
        if (info.isSymLink()) {
            value = "<link " + info.symLinkTarget().toUtf8() + ">";
        } else if (info.isDir()) {
            value = "<dir>";
        } else if (!info.isFile()) {
            value = "<special>";
        } else {
            QFile file(info.filePath());
            value = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
        }
        result.insert(QDir(dir).relativeFilePath(info.filePath()), value);
    }
    return result;
}
