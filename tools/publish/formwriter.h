#pragma once

// Writes the encoded forms of a release's files into the release's reserved folder (.forms):
// the compressed copy of every file, and a patch from each earlier release's copy of it that
// differs, each only when it is smaller than what it stands in for. The folder carries a marker
// that tells a later run of the publisher on the same release folder that the folder is its own
// output (rewritten), not files of the release (refused).

#include "config/configinfo.h"
#include "config/fileform.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <functional>

struct HashProgress;

class FormWriter
{
public:
    // A file of the new release.
    struct Source {
        QString path; // "/dir/name"
        QString absolutePath;
        qint64 size = 0;
        QString md5;
        QString sha256;
    };
    // An earlier release: its configuration, and the folder that holds it and its files.
    struct Earlier {
        QString configPath;
        QString folder;
        ConfigInfo config;
    };
    using ProgressFunction = std::function<void(const HashProgress&)>;

    explicit FormWriter(const QString& releaseDir);

    void setProgressFunction(ProgressFunction function) { m_progress = std::move(function); }

    // Writes the forms of files, a patch from every release of earlier that lists a file with
    // other content; forms receives the records by path (only paths with at least one form).
    // Forms of an earlier run that this one did not write are removed. False, with
    // errorString(), when a form cannot be written.
    bool write(const QList<Source>& files, const QList<Earlier>& earlier,
               QMap<QString, QList<FileForm>>* forms);
    QString errorString() const { return m_error; }
    // Patches left out for a reason worth telling (an earlier file missing or changed).
    QStringList warnings() const { return m_warnings; }

    // The folder's name in a release folder, and the marker's name in it.
    static QString folderName();
    static QString markerName();
    // Whether releaseDir/.forms is a folder (not a link) holding this tool's marker.
    static bool isOwnFolder(const QString& releaseDir);
    // Removes releaseDir/.forms when it is this tool's own. False, with error, when it cannot.
    static bool removeOwnFolder(const QString& releaseDir, QString* error);

private:
    struct Job {
        int source = 0;
        int earlier = -1; // -1: the compressed copy
        QString basePath; // the earlier release's copy of the file
        qint64 inputSize = 0;
    };
    bool prepareFolder();
    // Writes one form to relative (below the release) from the job's file; false only on a
    // failure that stops the run. written tells whether a form came of it.
    bool encode(const Job& job, const Source& source, const QString& relative,
                QByteArrayView prefix, qint64 limit, FileForm* form, bool* written);
    bool removeStale();
    void report(qint64 bytes, bool fileDone);

    QString m_releaseDir;
    QString m_formsDir;
    ProgressFunction m_progress;
    QString m_error;
    QStringList m_warnings;
    QStringList m_written; // relative to m_formsDir
    qint64 m_bytesDone = 0;
    qint64 m_totalBytes = 0;
    int m_jobsDone = 0;
    int m_jobCount = 0;
};
