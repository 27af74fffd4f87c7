#include "progressreporter.h"

ProgressReporter::ProgressReporter(Clock clock, Sink sink, qint64 delayMs, qint64 intervalMs)
    : m_clock(std::move(clock)), m_sink(std::move(sink)), m_delayMs(delayMs),
      m_intervalMs(intervalMs)
{
}

void ProgressReporter::update(const HashProgress& progress)
{
    m_latest = progress;
    const qint64 now = m_clock();
    if (now < m_delayMs)
        return;
    if (m_lastShown >= 0 && now - m_lastShown < m_intervalMs)
        return;
    m_lastShown = now;
    m_sink(format(progress), false);
}

void ProgressReporter::finish()
{
    if (m_lastShown >= 0)
        m_sink(format(m_latest), true);
}

QString ProgressReporter::format(const HashProgress& progress)
{
    return QStringLiteral("%1: %2/%3 %4, %5/%6")
        .arg(QLatin1String(progress.phase))
        .arg(progress.filesDone)
        .arg(progress.fileCount)
        .arg(QLatin1String(progress.items))
        .arg(formatBytes(progress.bytesDone), formatBytes(progress.totalBytes));
}

QString ProgressReporter::formatBytes(qint64 bytes)
{
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    double value = double(bytes);
    int unit = -1;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}
