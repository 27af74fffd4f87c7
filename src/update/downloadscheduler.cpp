#include "update/downloadscheduler.h"

#include "update/downloadproxyfactory.h"
#include "update/filetransfer.h"
#include "update/updateprogress.h"

#include <QNetworkAccessManager>

#include <climits>

DownloadScheduler::DownloadScheduler(int count, Factory factory, SizeOf sizeOf,
                                     const Limits& limits, QObject* parent)
    : QObject(parent), count(count), factory(std::move(factory)), sizeOf(std::move(sizeOf)),
      limits(limits)
{
    DownloadProxyFactory::pinDirectConnections();
    for (int i = 0; i < qMax(1, limits.managers); ++i) {
        auto* manager = new QNetworkAccessManager(this);
        // Owned by the manager.
        manager->setProxyFactory(new DownloadProxyFactory);
        managers.append(manager);
    }
}

DownloadScheduler::~DownloadScheduler()
{
    cancel();
}

void DownloadScheduler::cancel()
{
    over = true;
    const QList<FileTransfer*> inFlight = flights.keys();
    flights.clear();
    // Each leaves no partial file under the file's own name; bytes the next run can continue
    // stay as its partial file.
    for (FileTransfer* transfer : inFlight)
        delete transfer;
}

int DownloadScheduler::inFlightPercent() const
{
    int sum = 0;
    for (const Flight& flight : flights)
        sum += flight.percent;
    return sum;
}

void DownloadScheduler::start()
{
    if (fill())
        return;
    if (flights.isEmpty() && next >= count && !over) {
        over = true;
        emit sig_allDownloaded();
    }
}

QNetworkAccessManager* DownloadScheduler::pickManager(bool largeFile) const
{
    QNetworkAccessManager* best = managers.first();
    int bestLarge = INT_MAX;
    int bestAll = INT_MAX;
    for (QNetworkAccessManager* manager : managers) {
        int ofKind = 0;
        int all = 0;
        for (const Flight& flight : flights) {
            if (flight.manager != manager)
                continue;
            ++all;
            if (flight.large)
                ++ofKind;
        }
        // A large file goes where fewest large ones hold connections; a small one where fewest
        // requests wait.
        const int first = largeFile ? ofKind : all;
        const int second = largeFile ? all : ofKind;
        if (first < bestLarge || (first == bestLarge && second < bestAll)) {
            best = manager;
            bestLarge = first;
            bestAll = second;
        }
    }
    return best;
}

bool DownloadScheduler::fill()
{
    while (!over && next < count && flights.size() < limits.transfers) {
        const qint64 size = sizeOf(next);
        const bool largeFile = size < 0 || size > limits.pipelineBytes;
        // Files start in list order: a large one waits for a connection rather than let the
        // files behind it overtake.
        if (largeFile && large >= limits.largeTransfers)
            return false;
        QNetworkAccessManager* manager = pickManager(largeFile);
        FileTransfer* transfer = factory(next, manager, !largeFile);
        ++next;
        // What an earlier run fetched and checked is not fetched again; it counts as done.
        if (transfer->keepDownloaded()) {
            delete transfer;
            ++finished;
            emit sig_changed();
            continue;
        }
        Flight flight;
        flight.manager = manager;
        flight.large = largeFile;
        flight.size = size;
        track(transfer, flight);
        transfer->start();
        // A transfer that could not even begin has ended the run from within start().
        if (over)
            return true;
    }
    return over;
}

void DownloadScheduler::track(FileTransfer* transfer, const Flight& flight)
{
    flights.insert(transfer, flight);
    if (flight.large)
        ++large;
    connect(transfer, &FileTransfer::sig_progress, this,
            [this, transfer](qint64 got, qint64 total) {
                auto it = flights.find(transfer);
                if (it == flights.end())
                    return;
                // A request started over counts from nothing; what it received before was
                // already counted.
                received += got >= it->reported ? got - it->reported : got;
                it->reported = got;
                // When the server gives no length (chunked, compressed) the configuration's size
                // stands in.
                it->percent = progressPercent(got, total > 0 ? total : it->size);
                emit sig_changed();
            });
    connect(transfer, &FileTransfer::sig_written, this,
            [this, transfer](qint64 written, qint64 size) {
                setPercent(transfer, progressPercent(written, size));
            });
    connect(transfer, &FileTransfer::sig_resuming, this,
            [this, transfer](qint64 have, qint64 size) {
                auto it = flights.find(transfer);
                if (it == flights.end())
                    return;
                // The bytes already on disk were received by an earlier run: they show in the
                // percentage, not in the speed.
                it->reported = have;
                it->percent = progressPercent(have, size);
                emit sig_changed();
            });
    connect(transfer, &FileTransfer::sig_restarted, this, [this, transfer] {
        auto it = flights.find(transfer);
        if (it != flights.end())
            it->reported = 0;
    });
    connect(
        transfer, &FileTransfer::sig_finished, this,
        [this, transfer](bool ok, const QString& error) { transferFinished(transfer, ok, error); });
}

FileTransfer* DownloadScheduler::transferOf(const QNetworkReply* reply) const
{
    for (auto it = flights.cbegin(); it != flights.cend(); ++it) {
        if (it.key()->carries(reply))
            return it.key();
    }
    return nullptr;
}

void DownloadScheduler::setPercent(FileTransfer* transfer, int percent)
{
    auto it = flights.find(transfer);
    if (it == flights.end() || it->percent == percent)
        return;
    it->percent = percent;
    emit sig_changed();
}

void DownloadScheduler::transferFinished(FileTransfer* transfer, bool ok, const QString& error)
{
    const auto it = flights.find(transfer);
    if (it == flights.end() || over)
        return;
    if (it->large)
        --large;
    flights.erase(it);
    // Deleted once it has returned from reporting its end.
    transfer->deleteLater();
    if (!ok) {
        cancel();
        emit sig_failed(error);
        return;
    }
    ++finished;
    emit sig_changed();
    start();
}
