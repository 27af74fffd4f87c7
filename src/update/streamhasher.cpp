#include "update/streamhasher.h"

StreamHasher::StreamHasher() = default;

StreamHasher::~StreamHasher()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    if (worker.joinable())
        worker.join();
}

void StreamHasher::reset()
{
    // What is still queued is at most a few MiB: letting it finish is simpler than taking it back
    // from under the hashing thread.
    std::unique_lock<std::mutex> lock(mutex);
    waitUntilIdle(lock);
    hash.reset();
}

void StreamHasher::addData(const QByteArray& data)
{
    if (data.isEmpty())
        return;
    std::unique_lock<std::mutex> lock(mutex);
    if (data.size() <= inlineBytes && pending.empty() && !hashing) {
        // Handing a small piece to the other thread costs more than hashing it here.
        hashing = true;
        lock.unlock();
        hash.addData(data);
        lock.lock();
        hashing = false;
        drained.notify_all();
        return;
    }
    if (!worker.joinable())
        worker = std::thread(&StreamHasher::run, this);
    drained.wait(lock, [this] { return pendingBytes < maxPendingBytes; });
    pending.push_back(data);
    pendingBytes += data.size();
    wake.notify_one();
}

QByteArray StreamHasher::result()
{
    std::unique_lock<std::mutex> lock(mutex);
    waitUntilIdle(lock);
    return hash.result();
}

void StreamHasher::waitUntilIdle(std::unique_lock<std::mutex>& lock)
{
    drained.wait(lock, [this] { return pending.empty() && !hashing; });
}

void StreamHasher::run()
{
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
        wake.wait(lock, [this] { return stopping || !pending.empty(); });
        if (stopping)
            return;
        const QByteArray data = pending.front();
        pending.pop_front();
        hashing = true;
        lock.unlock();
        // The hash is only touched here while hashing is set; everyone else waits for it to clear.
        hash.addData(data);
        lock.lock();
        hashing = false;
        pendingBytes -= data.size();
        drained.notify_all();
    }
}
