#pragma once

// The worker that carries one update run: it reads and checks the installed and the new
// configuration, has the changed files brought into update/ several at a time (a FileTransfer
// each, kept in flight by a DownloadScheduler),
// hands the installation to an Installer, and reports the end of the run through exactly one
// sig_finished. It lives in a worker thread of its own; everything it creates (network manager,
// transfers, timers) is created by slot_work() in that thread.

#include "config/configinfo.h"
#include "update/updateprogress.h"

#include <QObject>
#include <QString>
#include <QStringList>

class DownloadScheduler;
class FileTransfer;
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

    // Starts transfers of the file list up to the limit, or ends the run when the list is empty.
    void downloadNextFile();
    // Most files fetched at once. The default keeps a link with a long round trip busy; 1 fetches
    // one file after another.
    void setMaxTransfers(int transfers);
    int maxTransfers() const;
    // A request that transfers nothing for this long is aborted as a network error.
    void setStallTimeout(int milliseconds);
    int stallTimeout() const;
    // Most bytes a download the server gives no length for may bring, when the configuration
    // gives no size either; below 0 (the default) works it out from the free space.
    void setUnknownLengthLimit(qint64 bytes);
    // Longest time in all the installation waits for files another program holds open.
    void setInUseWaitLimit(int milliseconds);
    // Most bytes a reply may hold before they are written to disk.
    void setReadBufferSize(qint64 bytes);
    qint64 readBufferSize() const;

signals:
    void sig_progress(UpdateProgress progress);
    void sig_finished(bool ok, QString msg);
    void sig_allFileDownloaded();

public slots:
    void slot_work();
    // The progress of a file in flight, as its transfer reports it.
    void slot_downloadProgress(qint64 recieved, qint64 total);
    // Handed to the transfer in flight that owns the reply.
    void slot_downloadFinished(QNetworkReply* reply);
    // Handed to the transfer in flight that owns the reply sending the signal.
    void slot_readyRead();
    // Refuses links and a changed configuration, begins the journal and hands the installation
    // to an Installer, once every file is in update/.
    void slot_updateLocal();
    // The speed shown, from the bytes received since the previous tick.
    void slot_timeout();

private:
    void endRun(bool ok, const QString& msg);
    // The transfer of the file at entry, through manager.
    FileTransfer* newTransfer(const QString& entry, QNetworkAccessManager* manager, bool pipelined);
    // The files done and in flight, as the scheduler counts them; emitted when they change.
    void showDownloads();
    QString firstUnsafePath() const;
    // The first link on the way to a folder or file the run writes (update/, backup/, config/ and
    // the folders of the release's paths and of the paths it drops, in the installation and in
    // backup/); empty when none.
    QString firstLinkedPath(InstallFs& fs) const;
    // Ends the run with a message when firstLinkedPath() finds a link; true then.
    bool refuseLinks(InstallFs& fs);
    // Ends the run with a message naming link, unless it is empty; true when it ended the run.
    bool refuseLink(InstallFs& fs, const QString& link);
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
    // The run's transfers, created when the downloads start.
    DownloadScheduler* scheduler = nullptr;
    int transferLimit = 64;
    // Bytes received so far over all files, and at the previous speed tick (0: no sample).
    qint64 speedReceived = 0;
    qint64 speedLast = 0;
    QTimer* speedTimer;

    int stallTimeoutMs = 30000;
    int inUseWaitMs;
    qint64 readBufferBytes = 256 * 1024;
    qint64 unknownLengthBytes = -1;
    // sig_finished has gone out; nothing the network still delivers may change the outcome.
    bool runEnded = false;
    // Paths of the release that could be taken for partial files (partialLookalikes()).
    QStringList partialClashes;
    // The exact bytes of the new configuration as read and checked, what the installation writes
    // as the installed configuration, and their SHA-256. Of an unsigned release only the digest
    // is kept through the downloads; takeCheckedConfig() reads the bytes again.
    QByteArray checkedConfig;
    QByteArray checkedDigest;
    bool signedRelease = false;
};
