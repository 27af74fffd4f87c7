#pragma once

// The worker that carries one update run: it compares the installed and the new configuration,
// downloads the changed files one at a time into update/, moves them into the installation
// (keeping the previous copies in backup/), and reports the end of the run through exactly one
// sig_finished. It lives in a worker thread of its own; everything it creates (network manager,
// replies, timers) is created by slot_work() in that thread.

#include "config/configinfo.h"
#include "update/downloadtask.h"
#include "update/partialinfo.h"
#include "update/updateprogress.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class InstallFs;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

class Update : public QObject
{
    Q_OBJECT

public:
    explicit Update(QObject* parent = nullptr);
    ~Update() override;

    // Name of the main executable, relative to the installation directory.
    QString mainExe() const;
    // The run's working configuration: the files to fetch and install, and the bytes of the new
    // configuration that the installation writes as the installed one. slot_work() sets them
    // from the two configurations; a caller that installs files already placed in update/ (the
    // installation benchmark) sets them here and calls slot_updateLocal() itself.
    void setWorkingConfig(const ConfigInfo& working, const QByteArray& configBytes);

    // Most bytes a configuration (or its signature) may hold; a larger one is not read. A line
    // of a release's configuration takes about a hundred bytes: more than two million files.
    static constexpr qint64 maxConfigBytes = qint64(256) << 20;

    // Requests the next entry of the file list, or ends the run when none is left.
    void downloadNextFile();
    // Creates the missing folders of update/ on the way to the file at relative, never through
    // a link: a link in the way below update/ is removed as a link, anything else in the way
    // stays and makes this fail. The caller reports a failure as the file's open failure.
    // Leaves the file's folder held (holdDownloadFolder()).
    bool ensureParentDir(const QString& relative);
    // A request that transfers nothing for this long is aborted as a network error.
    void setStallTimeout(int milliseconds);
    int stallTimeout() const;
    // Most bytes a download the server gives no length for may bring, when the configuration
    // gives no size either; below 0 (the default) works it out from the free space.
    void setUnknownLengthLimit(qint64 bytes);
    // Most bytes a reply may hold before they are written to disk.
    void setReadBufferSize(qint64 bytes);
    qint64 readBufferSize() const;

signals:
    void sig_progress(UpdateProgress progress);
    void sig_finished(bool ok, QString msg);
    void sig_allFileDownloaded();

public slots:
    void slot_work();
    void slot_downloadProgress(qint64 recieved, qint64 total);
    void slot_downloadFinished(QNetworkReply* reply);
    void slot_readyRead();
    void slot_updateLocal();
    void slot_timeout();

private:
    void endRun(bool ok, const QString& msg);
    // Writes what the reply holds to the local file; false when the write failed and the run
    // has ended.
    bool writeAvailable();
    void stalled();
    // Ends the run for a failed request with tr("网络出现错误:") + error; the partial file stays
    // when the next run can continue it.
    void endWithError(const QString& error);
    // Why a stalled download ended: the time waited and the URL.
    QString stallText() const;
    QString firstUnsafePath() const;
    // The first link on the way to a folder or file the run writes (update/, backup/, config/ and
    // the folders of the release's paths, in the installation and in backup/); empty when none.
    QString firstLinkedPath(InstallFs& fs) const;
    // Ends the run with a message when firstLinkedPath() finds a link; true then.
    bool refuseLinks(InstallFs& fs);
    // Ends the run with a message naming link, unless it is empty; true when it ended the run.
    bool refuseLink(InstallFs& fs, const QString& link);
    // Holds the folder of relative in downloadFs, walked to from the root without following a
    // link, so that the steps that follow act on its handle; false when it is not there or not a
    // folder. Walks again unless the same folder was walked to in this same step (heldFresh):
    // once per file, plus once before the checked download takes its name.
    bool holdDownloadFolder(const QString& relative);
    void releaseDownloadFolder();
    // Creates relative exclusively, never through a link, removing a file already there, and
    // opens task.file on it; false (errno in the InstallFs) when it cannot be created.
    bool openNewFile(const QString& relative);
    // Creates the local file of a download under its own name.
    bool createDownloadFile(const QString& relative);
    // Opens the partial file of the download whose own name is relative: the bytes an earlier
    // run left, when they can be continued (resumePartial()), or a new empty file.
    bool openPartialFile(const QString& relative);
    // Opens the partial file for appending when its note names this file and an answer to
    // continue from, and hashes the bytes it holds; sets task.resumeFrom.
    bool resumePartial();
    // The note for the download in flight, without its validator.
    PartialInfo partialInfo() const;
    // Whether the update/ copy of entry, left by an earlier run, has the digest the configuration
    // gives (sha256 when there is one, otherwise an md5 digest); such a file is not fetched.
    bool keepDownloaded(const QString& entry);
    // Whether a failure keeps the partial file of the download in flight for the next run;
    // writes its note first when that was left for now (notedBeforeBody()).
    bool keepPartial();
    // Removes the local file of the download in flight, and its note.
    void removeDownloadFile();
    // Issues the request for the file in flight: ranged when partial bytes are to be continued.
    void sendRequest();
    // Looks at the answer's status and headers before its first byte is written: continues the
    // partial bytes, starts the file over, or gives up on the answer (false) for a new request.
    bool beginBody(QNetworkReply* reply);
    // Why a 206 answer does not continue the partial file; null when it does.
    const char* rangeMismatch(QNetworkReply* reply) const;
    // Keeps the If-Range value of an answer that can be continued later, and writes the note
    // beside the partial file at once when the file is big enough to be worth it after a kill.
    void takeValidator(QNetworkReply* reply);
    // Writes the note beside the partial file: its URL, digests and task.validator.
    void writeNote();
    // Empties the partial file and forgets its note, for the whole file to be written; false
    // (and the run ended) when it cannot be created again.
    bool startOver();
    // Gives up on the reply in flight and requests the whole file again.
    void restartDownload(const char* reason);
    // Reads the installed configuration once through fs; an empty record when there is none or
    // it is not a regular file within maxConfigBytes. False, with the run ended, when a folder
    // on the way to it is a link.
    bool readInstalledConfig(InstallFs& fs, ConfigInfo* installed);
    // Reads the new configuration once through fs and keeps its digest (and, when signed, its
    // bytes) for the installation. One that is not a well-formed document ends the run here
    // (false) with nothing fetched. When the installed one carries a public key, the new one
    // must be signed by it, name a key itself and give a sha256 for every managed file;
    // otherwise the run ends here too.
    bool readNewConfig(InstallFs& fs, const ConfigInfo& oldConfig, ConfigInfo* newConfig);
    // Whether update/UpdateCfg.xml still holds the bytes that were checked (checkedDigest); they
    // are then in checkedConfig, for the installation to write. Otherwise the run ends.
    bool takeCheckedConfig(InstallFs& fs);

    UpdateProgress progress;
    ConfigInfo config;
    QNetworkAccessManager* networkManager;
    int downloadIndex;
    DownloadTask task;
    QTimer* speedTimer;

    QTimer* stallTimer = nullptr;
    int stallTimeoutMs = 30000;
    qint64 readBufferBytes = 256 * 1024;
    qint64 unknownLengthBytes = -1;
    // sig_finished has gone out; nothing the network still delivers may change the outcome.
    bool runEnded = false;
    // Relative path of the local file of the download in flight (its partial file, when
    // task.partial is set).
    QString downloadPath;
    // Relative path, under update/, of the download in flight once complete.
    QString downloadTarget;
    // Paths of the release that could be taken for partial files (partialLookalikes()).
    QStringList partialClashes;
    // Its absolute path, as the log shows it.
    QString downloadLocalPath;
    std::unique_ptr<InstallFs> downloadFs;
    // The folder downloadFs holds was walked to in this same step, so it is taken as it is.
    bool heldFresh = false;
    // The exact bytes of the new configuration as read and checked, what the installation writes
    // as the installed configuration, and their SHA-256. Of an unsigned release only the digest
    // is kept through the downloads; takeCheckedConfig() reads the bytes again.
    QByteArray checkedConfig;
    QByteArray checkedDigest;
    bool signedRelease = false;
};
