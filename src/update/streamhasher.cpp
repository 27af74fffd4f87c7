#include "update/streamhasher.h"

#include <openssl/evp.h>

StreamHasher::StreamHasher() : md(EVP_MD_fetch(nullptr, "MD5", nullptr)), context(EVP_MD_CTX_new())
{
    EVP_DigestInit_ex2(context, md, nullptr);
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
    EVP_MD_CTX_free(context);
    EVP_MD_free(md);
}

void StreamHasher::update(const QByteArray& data)
{
    EVP_DigestUpdate(context, data.constData(), size_t(data.size()));
}

void StreamHasher::reset()
{
    std::unique_lock<std::mutex> lock(mutex);
    // What still waits belongs to the stream given up; only the piece being hashed is let finish.
    pending.clear();
    pendingBytes = 0;
    drained.notify_all();
    waitUntilIdle(lock);
    streamBytes = 0;
    EVP_DigestInit_ex2(context, md, nullptr);
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
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    // Finalising ends the stream; the next one starts clean even without a reset().
    EVP_DigestInit_ex2(context, md, nullptr);
    streamBytes = 0;
    return QByteArray(reinterpret_cast<const char*>(digest), int(length));
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
