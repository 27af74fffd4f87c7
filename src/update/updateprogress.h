#pragma once

// One snapshot of how far a run has come, as the worker reports it to the window. Travels by
// value through queued connections, hence the meta-type declaration.

#include <QMetaType>
#include <QString>

class UpdateProgress
{
public:
    UpdateProgress();

    // Status text for the user.
    QString tip;
    // 100 for every file whose download has completed.
    int finished;
    // 100 for every file to fetch.
    int total;
    // Transfer rate of the last second ("%1KB/S" or "%1MB/S"), or empty.
    QString speed;
    // Percentage, 0 to 100, of the file in flight.
    int current;
};

// Percentage of a file in flight, truncated: 0 when the size is unknown (-1) or zero, and bounded
// to 0..100 when a server sends more than it announced.
int progressPercent(qint64 received, qint64 total);

Q_DECLARE_METATYPE(UpdateProgress)
