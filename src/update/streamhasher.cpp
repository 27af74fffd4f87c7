#include "update/streamhasher.h"

#ifndef Q_OS_WIN
#include <openssl/evp.h>
#endif

StreamHasher::StreamHasher()
#ifndef Q_OS_WIN
    : md5(EVP_MD_fetch(nullptr, "MD5", nullptr)), sha256(EVP_MD_fetch(nullptr, "SHA256", nullptr)),
      context(EVP_MD_CTX_new())
#endif
{
    restart();
}

StreamHasher::~StreamHasher()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    if (worker.joinable())
        worker.join();
#ifndef Q_OS_WIN
    EVP_MD_CTX_free(context);
    EVP_MD_free(md5);
    EVP_MD_free(sha256);
#endif
}

void StreamHasher::restart()
{
#ifdef Q_OS_WIN
    hash().reset();
#else
    EVP_DigestInit_ex2(context, algorithm == Algorithm::Sha256 ? sha256 : md5, nullptr);
#endif
}

void StreamHasher::update(const QByteArray& data)
{
#ifdef Q_OS_WIN
    hash().addData(data);
#else
    EVP_DigestUpdate(context, data.constData(), size_t(data.size()));
#endif
}

QByteArray StreamHasher::finish()
{
#ifdef Q_OS_WIN
    return hash().result();
#else
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    return QByteArray(reinterpret_cast<const char*>(digest), int(length));
#endif
}

void StreamHasher::reset(Algorithm which)
{
    std::unique_lock<std::mutex> lock(mutex);
    // What still waits belongs to the stream given up; only the piece being hashed is let finish.
    pending.clear();
    pendingBytes = 0;
    drained.notify_all();
    waitUntilIdle(lock);
    streamBytes = 0;
    algorithm = which;
    restart();
}

void StreamHasher::addData(const QByteArray& data)
{
    if (data.isEmpty())
        return;
    std::unique_lock<std::mutex> lock(mutex);
    streamBytes += data.size();
    if (streamBytes <= inlineBytes && pending.empty() && !hashing) {
        hashing = true;
        lock.unlock();
        update(data);
        lock.lock();
        hashing = false;
        return;
    }
    if (!worker.joinable())
        worker = std::thread(&StreamHasher::run, this);
    drained.wait(lock, [this] { return pendingBytes < maxPendingBytes; });
    pending.push_back(data);
    pendingBytes += data.size();
    if (idleWorker)
        wake.notify_one();
}

QByteArray StreamHasher::result()
{
    std::unique_lock<std::mutex> lock(mutex);
    waitUntilIdle(lock);
    const QByteArray digest = finish();
    // Finalising ends the stream; the next one starts clean even without a reset().
    restart();
    streamBytes = 0;
    return digest;
}

void StreamHasher::waitUntilIdle(std::unique_lock<std::mutex>& lock)
{
    drained.wait(lock, [this] { return pending.empty() && !hashing; });
}

void StreamHasher::run()
{
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
        idleWorker = true;
        wake.wait(lock, [this] { return stopping || !pending.empty(); });
        idleWorker = false;
        if (stopping)
            return;
        const QByteArray data = pending.front();
        pending.pop_front();
        pendingBytes -= data.size();
        hashing = true;
        lock.unlock();
        // The context is only touched here while hashing is set; everyone else waits for it to
        // clear.
        update(data);
        lock.lock();
        hashing = false;
        drained.notify_all();
    }
}
