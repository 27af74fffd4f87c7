#pragma once

// Keeps several file transfers of a run in flight at once, so that a link with a long round trip
// stays busy: every request costs a round trip, and one at a time most of a run of small files
// would be spent waiting. Transfers go to a few network managers, each with its own connections
// to the server; small files are pipelined on them (or multiplexed, where the server speaks
// HTTP/2), large ones have a connection each and only a few run at once, so that a small file is
// never queued behind one for long. Files are started in the order of the list. The first
// failure ends the whole: the other transfers are destroyed, which keeps their partial files for
// the next run. The scheduler knows nothing of what is done with the files afterwards.

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class FileTransfer;
class QNetworkAccessManager;
class QNetworkReply;

class DownloadScheduler : public QObject
{
    Q_OBJECT

public:
    struct Limits {
        // Transfers in flight at most.
        int transfers = 64;
        // Of those, files above pipelineBytes or of unknown size, each of which takes a
        // connection of its own for as long as it runs.
        int largeTransfers = 4;
        // Largest file that is pipelined behind others on a connection.
        qint64 pipelineBytes = qint64(1) << 20;
        // Network managers: Qt opens up to six connections to a server for each.
        int managers = 2;
    };
    // Makes the transfer of list entry index, to go through manager; pipelined when it may share
    // a connection with other requests. The scheduler takes ownership.
    using Factory =
        std::function<FileTransfer*(int index, QNetworkAccessManager* manager, bool pipelined)>;
    // The size the configuration gives for list entry index, or -1.
    using SizeOf = std::function<qint64(int index)>;

    DownloadScheduler(int count, Factory factory, SizeOf sizeOf, const Limits& limits,
                      QObject* parent = nullptr);
    // Transfers still in flight are destroyed: their partial files stay for the next run.
    ~DownloadScheduler() override;

    // Starts transfers up to the limits. Files an earlier run left checked in update/ count as
    // finished without a request.
    void start();
    // Destroys every transfer in flight and starts no more.
    void cancel();

    int fileCount() const { return count; }
    // Files in update/ and checked.
    int finishedFiles() const { return finished; }
    // The percentages of the files in flight, summed: each at most 100.
    int inFlightPercent() const;
    // Every body byte received so far, over all transfers; a file fetched again adds its bytes
    // again.
    qint64 receivedBytes() const { return received; }
    int inFlight() const { return int(flights.size()); }
    // The transfer in flight that owns reply, or null.
    FileTransfer* transferOf(const QNetworkReply* reply) const;

signals:
    // finishedFiles(), inFlightPercent() or receivedBytes() changed.
    void sig_changed();
    // Every file is in update/ and checked.
    void sig_allDownloaded();
    // A transfer failed with error, the message the user reads; nothing else is reported after.
    void sig_failed(QString error);

private:
    struct Flight {
        QNetworkAccessManager* manager = nullptr;
        bool large = false;
        // The size the configuration gives, or -1.
        qint64 size = -1;
        int percent = 0;
        // What the transfer last reported having received of its current request.
        qint64 reported = 0;
    };

    // Starts the next files while the limits allow; true when it ended the run.
    bool fill();
    // The manager with the fewest transfers (of the kind) in flight.
    QNetworkAccessManager* pickManager(bool large) const;
    void track(FileTransfer* transfer, const Flight& flight);
    void setPercent(FileTransfer* transfer, int percent);
    void transferFinished(FileTransfer* transfer, bool ok, const QString& error);

    const int count;
    const Factory factory;
    const SizeOf sizeOf;
    const Limits limits;
    QList<QNetworkAccessManager*> managers;
    QHash<FileTransfer*, Flight> flights;
    int next = 0;
    int finished = 0;
    int large = 0;
    qint64 received = 0;
    bool over = false;
};
