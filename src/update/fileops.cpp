#include "update/fileops.h"

#include "log/logquoted.h"
#include "platform/installfs.h"

#include <QDebug>
#include <QDir>
#include <QFileDevice>
#include <QFileInfo>

#include <cerrno>

namespace
{

// The deepest folder holding both absolute paths: links above it are the caller's to choose, below
// it none is followed.
QString commonFolder(const QString& a, const QString& b)
{
    const QStringList left = QDir::cleanPath(a).split(QLatin1Char('/'));
    const QStringList right = QDir::cleanPath(b).split(QLatin1Char('/'));
    QStringList common;
    for (int i = 0; i + 1 < left.size() && i + 1 < right.size() && left.at(i) == right.at(i); ++i)
        common.append(left.at(i));
    const QString folder = common.join(QLatin1Char('/'));
    return folder.isEmpty() ? QStringLiteral("/") : folder;
}

QString relativeTo(const QString& folder, const QString& path)
{
    const QString clean = QDir::cleanPath(path);
    return folder == QLatin1String("/") ? clean : clean.mid(folder.size());
}

} // namespace

bool copyFile(const QString& source, const QString& target, bool removeSource)
{
    const QString absSource = QFileInfo(source).absoluteFilePath();
    const QString absTarget = QFileInfo(target).absoluteFilePath();
    const QString folder = commonFolder(absSource, absTarget);
    const QString sourceRel = relativeTo(folder, absSource);
    const QString targetRel = relativeTo(folder, absTarget);
    InstallFs fs(folder);
    auto report = [&](bool ok, QFileDevice::FileError code) {
        if (ok)
            qDebug() << "CopyFileW" << logQuoted(source) << "to" << logQuoted(target) << "success";
        else
            qDebug() << "CopyFileW" << logQuoted(source) << "to" << logQuoted(target) << int(code);
        return ok;
    };

    InstallFs::Entry from;
    if (!fs.entry(sourceRel, &from) || from.kind != InstallFs::Kind::File)
        return report(false, QFileDevice::OpenError);
    if (!fs.makePath(InstallFs::parentOf(targetRel)))
        return report(false, QFileDevice::OpenError);
    InstallFs::Entry existing;
    if (!fs.entry(targetRel, &existing))
        return report(false, QFileDevice::OpenError);
    if (existing.kind == InstallFs::Kind::Dir)
        return report(false, QFileDevice::RemoveError);
    if (existing.exists() && !fs.removeFile(targetRel))
        return report(false, QFileDevice::RemoveError);

    if (removeSource && fs.rename(sourceRel, targetRel))
        return report(true, QFileDevice::NoError);
    const QString temp =
        InstallFs::join(InstallFs::parentOf(targetRel),
                        QLatin1Char('.') + InstallFs::nameOf(targetRel) + QStringLiteral(".~copy"));
    fs.removeFile(temp);
    if (!fs.copyFile(sourceRel, temp))
        return report(false, QFileDevice::CopyError);
    if (!fs.rename(temp, targetRel)) {
        fs.removeFile(temp);
        return report(false, QFileDevice::CopyError);
    }
    if (removeSource)
        fs.removeFile(sourceRel);
    return report(true, QFileDevice::NoError);
}

bool removeDir(const QString& path)
{
    const QFileInfo info(path);
    InstallFs fs(info.absolutePath());
    return fs.removeTree(QLatin1Char('/') + info.fileName());
}
