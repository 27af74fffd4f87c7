#pragma once

// The earlier releases given to the publisher (--previous): each configuration read with the
// updater's own reader and checked to be older than the new version; the folder that holds it
// holds that release's files, from which patches are made.

#include "formwriter.h"

#include <QList>
#include <QString>
#include <QStringList>

class PreviousReleases
{
public:
    // Reads every configuration of paths into earlier. False, with error set to one line for the
    // publisher, when one is missing, unreadable, malformed, without a readable version or not
    // older than version.
    static bool read(const QStringList& paths, const QString& version,
                     QList<FormWriter::Earlier>* earlier, QString* error);
};
