#pragma once

// The transfer of one file of a release into update/: a copy an earlier run left is kept when it
// checks; otherwise the file is fetched (continuing the partial bytes an earlier run left when its
// note and the server allow it), bounded in size, hashed on the way and checked, and only then
// takes its own name. It owns its reply, its stall timer and its hold on the folder it writes in,
// and knows nothing of the other files of the run, so that several can run side by side. It ends
// with exactly one sig_finished, unless kept or destroyed first.

#include "update/downloadfile.h"
#include "update/downloadtask.h"

#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

class FileTransfer : public QObject
{
    Q_OBJECT

public:
    // One file of the release.
    struct File {
        // Configuration path, "/dir/name".
        QString path;
        QUrl url;
        // The digest texts and size as the configuration gives them (size -1 when it gives none).
        QString md5;
        QString sha256;
        qint64 size = -1;
        // No file of the release lies where this file's partial file or its note would go.
        bool partialAllowed = true;
    };
    struct Settings {
        // A request that transfers nothing for this long is aborted as a network error.
        int stallTimeoutMs = 30000;
        // Most bytes the reply may hold before they are written to disk.
        qint64 readBufferBytes = 256 * 1024;
        // Most bytes a download of unknown length may bring; below 0 worked out from free space.
        qint64 unknownLengthBytes = -1;
        // The request may wait on a connection behind others (HTTP/1.1 pipelining); meant for
        // small files, which then never wait long.
        bool pipelined = false;
    };

    // root is the installation directory; the file goes to root/update/<path>. The network
    // manager must outlive the transfer.
    FileTransfer(const File& file, QNetworkAccessManager* manager, const QString& root,
                 const Settings& settings, QObject* parent = nullptr);
    // A transfer destroyed in flight leaves no partial file under the file's own name; bytes the
    // next run can continue stay as its partial file.
    ~FileTransfer() override;

    // Whether the update/ copy an earlier run left has the digest the configuration gives
    // (sha256 when there is one, otherwise an md5 digest); such a file is not fetched, and the
    // transfer is not to be started.
    bool keepDownloaded();
    // Opens the local file and sends the request. A local file that cannot be opened ends the
    // transfer at once.
    void start();
    // The size the configuration gives, or -1.
    qint64 expectedSize() const;
    // Whether reply is this transfer's request in flight.
    bool carries(const QNetworkReply* reply) const;

signals:
    // Qt's report for the reply, received of total bytes (total <= 0 when unknown); a continued
    // file counts from the bytes it already had.
    void sig_progress(qint64 received, qint64 total);
    // Bytes written so far, for a file whose reply gives no length but the configuration a size.
    void sig_written(qint64 written, qint64 size);
    // Bytes of an earlier run about to be read again and continued.
    void sig_resuming(qint64 have, qint64 size);
    // The file is fetched again from its first byte: what was reported so far no longer counts.
    void sig_restarted();
    // The file is in update/ under its own name, checked (ok), or the transfer failed with error,
    // the message the user reads.
    void sig_finished(bool ok, QString error);

public slots:
    void slot_downloadProgress(qint64 recieved, qint64 total);
    void slot_downloadFinished(QNetworkReply* reply);
    void slot_readyRead();

private:
    void finish(bool ok, const QString& error);
    // Writes what the reply holds to the local file; false when the write failed and the
    // transfer has ended or restarted.
    bool writeAvailable();
    void stalled();
    // Ends the transfer for a failed request with tr("网络出现错误:") + error; the partial file
    // stays when the next run can continue it.
    void endWithError(const QString& error);
    // Why a stalled download ended: the time waited and the URL.
    QString stallText() const;
    // Issues the request: ranged when partial bytes are to be continued.
    void sendRequest();
    // Looks at the answer's status and headers before its first byte is written: continues the
    // partial bytes, starts the file over, or gives up on the answer (false) for a new request.
    bool beginBody(QNetworkReply* reply);
    // Why a 206 answer does not continue the partial file; null when it does.
    const char* rangeMismatch(QNetworkReply* reply) const;
    // Keeps the If-Range value of an answer that can be continued later, and writes the note
    // beside the partial file at once when the file is big enough to be worth it after a kill.
    void takeValidator(QNetworkReply* reply);
    // Empties the partial file and forgets its note, for the whole file to be written; false
    // (and the transfer ended) when it cannot be created again.
    bool startOver();
    // Gives up on the reply in flight and requests the whole file again.
    void restartDownload(const char* reason);

    const File file;
    QNetworkAccessManager* const networkManager;
    const QString root;
    const Settings settings;
    DownloadTask task;
    // The local file and its folder.
    DownloadFile local;
    QTimer* stallTimer;
    // sig_finished has gone out; nothing the network still delivers may change the outcome.
    bool ended = false;
};
