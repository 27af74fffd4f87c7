#pragma once

// Tells the publisher how far hashing (or compressing) has come, but only once it has taken more
// than a moment, and then at most a few times a second. The clock and the output are passed in.

#include "releasepublisher.h"

#include <QString>
#include <functional>

class ProgressReporter
{
public:
    using Clock = std::function<qint64()>; // milliseconds since hashing began
    // Receives one progress line; last is true for the closing line after the final update.
    using Sink = std::function<void(const QString& line, bool last)>;

    ProgressReporter(Clock clock, Sink sink, qint64 delayMs = 1000, qint64 intervalMs = 250);

    void update(const HashProgress& progress);
    // Shows the final state if anything was shown at all.
    void finish();

    // "hashing: 12/40 files, 1.2 GiB/3.0 GiB", "compressing: 3/52 forms, ..."
    static QString format(const HashProgress& progress);
    // Bytes in B, KiB, MiB or GiB, one decimal above bytes.
    static QString formatBytes(qint64 bytes);

private:
    Clock m_clock;
    Sink m_sink;
    qint64 m_delayMs;
    qint64 m_intervalMs;
    qint64 m_lastShown = -1;
    HashProgress m_latest;
};
