#pragma once

// Which installed files a pruning release drops: those the installed release manages and the new
// one no longer names.

#include "config/configinfo.h"

#include <QString>
#include <QStringList>

// The paths of installed's managed files that release neither lists nor ignores, in path order.
// Paths are compared as the path checks compare them, without regard to letter case: a file
// whose path only changed case is the same file on Windows and is kept. Never dropped: a path
// either release ignores, anything in config/, backup/, update/ or log/ (the updater's own
// folders), the main program of either release, and keptPaths (the updater's own program,
// relative to the installation, with or without a leading "/"). Does not look at prune; the
// caller decides whether the release asks for it.
QStringList droppedPaths(const ConfigInfo& installed, const ConfigInfo& release,
                         const QStringList& keptPaths = QStringList());

// A main program or other installation-relative name as a configuration path: native
// separators turned into "/", leading "./" and "/" removed, one "/" put in front. Empty for an
// empty name.
QString asConfigPath(const QString& name);
