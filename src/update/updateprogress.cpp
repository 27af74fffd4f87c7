#include "update/updateprogress.h"

UpdateProgress::UpdateProgress()
    : tip(QStringLiteral("Downloading...")), finished(0), total(100), current(0)
{
}

int progressPercent(qint64 received, qint64 total)
{
    if (total <= 0 || received <= 0)
        return 0;
    // Computed as a ratio of doubles, truncated; a body longer than announced stops at 100 before
    // the conversion, which a huge ratio would make undefined.
    const double percent = double(received) / double(total) * 100.0;
    return percent >= 100.0 ? 100 : int(percent);
}
