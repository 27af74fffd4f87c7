#pragma once

// The local side of one file's download under update/: the folder it lies in, held without
// following a link; the file written under its own name, or the partial file and the note beside
// it that let a later run continue it; the copy an earlier run left; and the checked partial
// file's rename to its own name. It works on the DownloadTask of its transfer: the file handle,
// the running digest and what is known of the bytes written.

#include "update/partialinfo.h"

#include <QString>

#include <functional>
#include <memory>

class DownloadTask;
class InstallFs;

class DownloadFile
{
public:
    // root is the installation directory, path the file's configuration path; md5 and sha256
    // are the digest texts as the configuration gives them, size its size or -1.
    DownloadFile(const QString& root, const QString& path, const QString& md5,
                 const QString& sha256, qint64 size, DownloadTask& task);
    ~DownloadFile();
    DownloadFile(const DownloadFile&) = delete;
    DownloadFile& operator=(const DownloadFile&) = delete;

    // Whether the update/ copy an earlier run left has the digest the configuration gives
    // (sha256 when there is one, otherwise an md5 digest); such a file is not fetched.
    bool keep();
    // Opens the local file: the partial file when task.partial is set (continuing the bytes an
    // earlier run left when their note allows it; resuming is told how many before they are
    // read again), otherwise a new file under the file's own name. False when it cannot be
    // created.
    bool open(const std::function<void(qint64 have)>& resuming);
    // What comes later for this file acts on the folder checked so far; the next step that
    // needs it walks to it again.
    void walkAgain();
    void release();
    // Whether a failure keeps the partial file for the next run; writes its note first when
    // that was left for now (notedBeforeBody()).
    bool keepPartial();
    // Removes the local file, and its note.
    void remove();
    // Writes the note beside the partial file: its URL, digests and task.validator.
    void writeNote();
    // Empties the partial file and forgets its note, for the whole file to be written; false
    // when it cannot be created again.
    bool startOver();
    // The checked partial file takes the file's own name, in its folder walked to afresh; false
    // when it cannot.
    bool takeName();

    // The file's absolute path under its own name, as the log and the messages show it.
    QString localPath() const;
    // The absolute path of the local file, partial or not.
    QString writtenPath() const;

private:
    // Holds the folder of relative, walked to from the root without following a link, so that
    // the steps that follow act on its handle; false when it is not there or not a folder. Walks
    // again unless the same folder was walked to in this same step (heldFresh): once for the
    // file, plus once before the checked download takes its name.
    bool holdFolder(const QString& relative);
    // Creates the missing folders of update/ on the way to the file at relative, never through
    // a link: a link in the way below update/ is removed as a link, anything else in the way
    // stays and makes this fail. Leaves the file's folder held.
    bool ensureParentDir(const QString& relative);
    // Creates relative exclusively, never through a link, removing a file already there, and
    // opens task.file on it; false (errno in the InstallFs) when it cannot be created.
    bool openNewFile(const QString& relative);
    bool createDownloadFile(const QString& relative);
    bool openPartialFile(const QString& relative, const std::function<void(qint64)>& resuming);
    // Opens the partial file for appending when its note names this file and an answer to
    // continue from, and hashes the bytes it holds; sets task.resumeFrom.
    bool resumePartial(const std::function<void(qint64)>& resuming);
    // The note for this file, without its validator.
    PartialInfo partialInfo() const;

    const QString root;
    const QString path;
    const QString md5;
    const QString sha256;
    const qint64 size;
    DownloadTask& task;
    // Relative path of the local file (its partial file, when task.partial is set).
    QString downloadPath;
    // Relative path, under update/, of the file once complete.
    QString downloadTarget;
    // Its absolute path, as the log shows it.
    QString downloadLocalPath;
    std::unique_ptr<InstallFs> downloadFs;
    // The folder downloadFs holds was walked to in this same step, so it is taken as it is.
    bool heldFresh = false;
};
