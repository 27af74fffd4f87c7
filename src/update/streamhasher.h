#pragma once

// The MD5 or the SHA-256 of a stream of data, computed on a thread of its own so that hashing a
// large download overlaps with receiving and writing it instead of adding to it. Data handed over
// is shared, not copied; at most 1 MiB waits to be hashed, beyond which addData() waits for the
// hashing thread. The digest comes from OpenSSL's libcrypto, measurably faster than Qt's own
// (bench/md5speed); the Windows build, where libcrypto is optional, uses Qt's.

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#ifdef Q_OS_WIN
#include <QCryptographicHash>
#else
struct evp_md_st;
struct evp_md_ctx_st;
#endif

class StreamHasher
{
public:
    StreamHasher();
    ~StreamHasher();
    StreamHasher(const StreamHasher&) = delete;
    StreamHasher& operator=(const StreamHasher&) = delete;

    enum class Algorithm { Md5, Sha256 };

    // Starts a new stream, hashed with algorithm; whatever was handed over before no longer
    // counts. One digest only: a file is judged by the strongest digest its release gives, and a
    // second one in the same pass would cost as much again.
    void reset(Algorithm algorithm = Algorithm::Md5);
    void addData(const QByteArray& data);
    // The raw digest of everything handed over since reset(); waits until all of it is hashed.
    // The stream that follows uses the same algorithm.
    QByteArray result();

    static constexpr qint64 maxPendingBytes = 1024 * 1024;
    // The first bytes of a stream are hashed by the caller: for a small file the hand-over to
    // the other thread would cost more than the hashing it saves.
    static constexpr qint64 inlineBytes = 256 * 1024;

private:
    void run();
    void waitUntilIdle(std::unique_lock<std::mutex>& lock);
    // The digest itself: restart() begins a stream, update() adds to it, finish() ends it.
    void restart();
    void update(const QByteArray& data);
    QByteArray finish();

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable drained;
    std::deque<QByteArray> pending;
    qint64 pendingBytes = 0;
    // Bytes handed over since reset().
    qint64 streamBytes = 0;
    bool hashing = false;
    bool idleWorker = false;
    bool stopping = false;
    Algorithm algorithm = Algorithm::Md5;
#ifdef Q_OS_WIN
    QCryptographicHash hashMd5{QCryptographicHash::Md5};
    QCryptographicHash hashSha256{QCryptographicHash::Sha256};
    QCryptographicHash& hash()
    {
        return algorithm == Algorithm::Sha256 ? hashSha256 : hashMd5;
    }
#else
    evp_md_st* md5 = nullptr;
    evp_md_st* sha256 = nullptr;
    evp_md_ctx_st* context = nullptr;
#endif
    std::thread worker;
};
