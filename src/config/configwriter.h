#pragma once

// Writes a ConfigInfo as an UpdateCfg.xml document that ConfigReader reads back to the same
// record: one info element, then one file element per managed and per ignored path, all in
// path order, each with its size, exec and sha256 attributes when the record has them, and its
// encoded forms as zst and patch child elements. Used by the publishing tool; the updater itself
// never writes a configuration.

#include "config/configinfo.h"

#include <QMap>
#include <QString>

class QIODevice;

class ConfigWriter
{
public:
    // md5 texts of ignored paths, written on their ignore="1" elements. The reader does not keep
    // them, but a published file should still say what was shipped.
    void setIgnoredMd5(const QMap<QString, QString>& ignoredMd5) { m_ignoredMd5 = ignoredMd5; }
    // Likewise the size and exec attributes of ignored paths.
    void setIgnoredAttributes(const QMap<QString, FileAttributes>& attributes)
    {
        m_ignoredAttributes = attributes;
    }

    // Writes the document, UTF-8 and indented, to an open device. False on a device error.
    bool write(QIODevice* device, const ConfigInfo& info) const;
    // Writes the document to path atomically: a temporary file renamed into place, so that the
    // old file stays whole if anything fails. On failure errorString (if given) says why; on
    // success written (if given) receives the exact bytes of the file.
    bool writeFile(const QString& path, const ConfigInfo& info, QString* errorString = nullptr,
                   QByteArray* written = nullptr) const;

private:
    QMap<QString, QString> m_ignoredMd5;
    QMap<QString, FileAttributes> m_ignoredAttributes;
};
