#pragma once

// Makes the UpdateCfg.xml of a release folder: checks the options against the updater's rules,
// walks the folder, hashes every regular file (streamed, never whole in memory), writes the
// compressed copies and patches (FormWriter) and then the configuration atomically. Nothing is
// written unless every check has passed.

#include "config/configinfo.h"
#include "formwriter.h"

#include <QIODevice>
#include <QMap>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

struct PublishOptions {
    QString releaseDir;
    QString version;
    QString main;
    QString server;
    QStringList ignorePatterns;
    // Configurations of earlier releases, each in the folder that holds that release's files:
    // the new version must be newer than each, and the files get patches from theirs.
    QStringList previousPaths;
    QString outputPath;  // empty: releaseDir/UpdateCfg.xml
    QString signKeyPath; // empty: unsigned; else the PEM private key that signs the output
    QString nextKeyPath; // empty: the output names the signing key; else the key handed on
    // Whether compressed copies and patches are written (into RELEASE_DIR/.forms) and listed.
    bool writeForms = true;
};

struct HashProgress {
    int filesDone = 0;
    int fileCount = 0;
    qint64 bytesDone = 0;
    qint64 totalBytes = 0;
    // What is being done, and what is counted: hashing files, or compressing forms.
    const char* phase = "hashing";
    const char* items = "files";
};

class ReleasePublisher
{
public:
    using ProgressFunction = std::function<void(const HashProgress&)>;
    // Opens a file of the release for reading; the seam through which tests make reads fail.
    using DeviceOpener = std::function<std::unique_ptr<QIODevice>(const QString& filePath)>;

    explicit ReleasePublisher(PublishOptions options);

    void setProgressFunction(ProgressFunction function) { m_progress = std::move(function); }
    void setDeviceOpener(DeviceOpener opener) { m_opener = std::move(opener); }

    // Checks the options, walks and hashes the release. False with errorString() on a refusal.
    bool prepare();
    // Writes the forms (unless writeForms is off) and then the configuration prepared by
    // prepare(), which lists them. False with errorString() on failure.
    bool write();

    // The record the updater's reader will read back from the written file.
    const ConfigInfo& config() const { return m_config; }
    // md5 of the ignored files, which the record itself does not keep.
    const QMap<QString, QString>& ignoredMd5() const { return m_ignoredMd5; }
    // size and exec of the ignored files, likewise.
    const QMap<QString, FileAttributes>& ignoredAttributes() const { return m_ignoredAttributes; }
    QString outputPath() const;
    // Where the signature of the output goes: the output's name with ".sig".
    QString signatureFilePath() const;
    // Writes a new Ed25519 key pair: the private key to keyPath, created exclusively with mode
    // 0600; the public key (base64) to publicKey. False with error when it cannot.
    static bool generateKey(const QString& keyPath, QString* publicKey, QString* error);
    QString errorString() const { return m_error; }
    // Things worth telling the publisher that do not stop the run.
    QStringList warnings() const { return m_warnings; }

    // Whether relativePath ("dir/name", no leading "/") matches one of the glob patterns. A
    // pattern without "/" is matched against every name in the path (file and folders), one
    // with "/" against the path from the top and every folder above the file; "*" and "?"
    // never match "/". A leading "/" in a pattern is dropped.
    static bool isIgnored(const QString& relativePath, const QStringList& patterns);
    // Lower-case hexadecimal MD5 of everything device yields, read in chunks. On a read
    // error returns an empty string. bytesRead (if given) receives the number of bytes read;
    // chunkDone is called after every chunk with that chunk's size; sha256Hex (if given)
    // receives the SHA-256 of the same bytes, from the same pass.
    static QString md5Hex(QIODevice* device, qint64* bytesRead = nullptr,
                          const std::function<void(qint64)>& chunkDone = {},
                          QString* sha256Hex = nullptr);

private:
    bool fail(const QString& message);
    bool checkOptions();
    bool checkPrevious();
    bool checkSigningKey();
    bool walk();
    bool hashFiles();
    bool checkMain();
    bool writeForms();

    struct Entry {
        QString absolutePath;
        qint64 size = 0;
        bool executable = false;
        bool ignored = false;
        QString md5;
        QString sha256;
    };

    PublishOptions m_options;
    ProgressFunction m_progress;
    DeviceOpener m_opener;
    QMap<QString, Entry> m_files; // by the updater's path, hence in its order
    ConfigInfo m_config;
    QMap<QString, QString> m_ignoredMd5;
    QMap<QString, FileAttributes> m_ignoredAttributes;
    QString m_error;
    QStringList m_warnings;
    QByteArray m_signingKey; // PEM, empty when unsigned
    QString m_publicKey;
    QList<FormWriter::Earlier> m_earlier;
    bool m_prepared = false;
};

// Shows a name in a message: quoted, control characters escaped so a terminal shows them.
QString quotedName(const QString& name);
