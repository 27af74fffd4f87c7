#pragma once

// MD5 of a stream of data, computed on a thread of its own so that hashing a large download
// overlaps with receiving and writing it instead of adding to it. Data handed over is shared, not
// copied; at most a few MiB wait to be hashed, beyond which addData() waits for the hashing thread.

#include <QByteArray>
#include <QCryptographicHash>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

class StreamHasher
{
public:
    StreamHasher();
    ~StreamHasher();
    StreamHasher(const StreamHasher&) = delete;
    StreamHasher& operator=(const StreamHasher&) = delete;

    // Starts a new stream; whatever was handed over before no longer counts.
    void reset();
    void addData(const QByteArray& data);
    // The digest of everything handed over since reset(); waits until all of it is hashed.
    QByteArray result();

    static constexpr qint64 maxPendingBytes = 4 * 1024 * 1024;
    // Pieces up to this size are hashed by the caller when nothing is queued.
    static constexpr qint64 inlineBytes = 64 * 1024;

private:
    void run();
    void waitUntilIdle(std::unique_lock<std::mutex>& lock);

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable drained;
    std::deque<QByteArray> pending;
    qint64 pendingBytes = 0;
    bool hashing = false;
    bool stopping = false;
    QCryptographicHash hash{QCryptographicHash::Md5};
    std::thread worker;
};
