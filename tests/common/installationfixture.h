#pragma once

// A temporary installation directory, made the current directory while the fixture lives, with
// helpers to write the two UpdateCfg.xml files, installed files and a main program.

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>

class InstallationFixture
{
public:
    InstallationFixture() : previousDir(QDir::currentPath()) { QDir::setCurrent(dir.path()); }
    ~InstallationFixture() { QDir::setCurrent(previousDir); }

    bool isValid() const { return dir.isValid(); }
    // Absolute path of the installation, without a trailing "/".
    QString path() const { return dir.path(); }
    QString filePath(const QString& relative) const { return dir.path() + "/" + relative; }

    static QString md5(const QByteArray& bytes)
    {
        return QString::fromLatin1(
            QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
    }

    // Writes an UpdateCfg.xml at relative (for example "config/UpdateCfg.xml") listing files as
    // path -> md5.
    bool writeConfig(const QString& relative, const QString& version, const QString& mainExe,
                     const QString& server, const QMap<QString, QString>& files) const
    {
        QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<update>\n");
        xml += QStringLiteral("  <info version=\"%1\" main=\"%2\" server=\"%3\"/>\n")
                   .arg(version, mainExe, server);
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            xml += QStringLiteral("  <file path=\"%1\" md5=\"%2\"/>\n").arg(it.key(), it.value());
        xml += QStringLiteral("</update>\n");
        return writeFile(relative, xml.toUtf8());
    }

    bool writeFile(const QString& relative, const QByteArray& bytes,
                   QFile::Permissions permissions = {}) const
    {
        const QString target = filePath(relative);
        QDir().mkpath(QFileInfo(target).absolutePath());
        QFile file(target);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return false;
        file.close();
        return permissions ? QFile::setPermissions(target, permissions) : true;
    }

    // A file that passes the main-program rule of this platform (executable, named *.exe).
    static QFile::Permissions executable()
    {
        return QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser |
               QFile::WriteUser | QFile::ExeUser;
    }

    QByteArray read(const QString& relative) const
    {
        QFile file(filePath(relative));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QTemporaryDir dir;
    QString previousDir;
};
