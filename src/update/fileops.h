#pragma once

// File helpers of the installation. Paths are absolute and "/"-separated.

#include <QString>
#include <QStringList>

// Moves or copies source to target: creates the target's missing directories, removes an
// existing target (a copy never overwrites), copies, and removes the source afterwards when
// removeSource is set. Copy-then-remove rather than rename, so that source and target may lie on
// different volumes. Logs one "CopyFileW" line with "success" or the numeric QFile error.
bool copyFile(const QString& source, const QString& target, bool removeSource);

// Removes a directory tree; true when it is gone (or never existed). Stops at the first entry
// it cannot remove. Symbolic links (and junctions) are removed as links and never followed, so
// nothing outside the tree is touched.
bool removeDir(const QString& path);

// The directories that do not exist yet on the way down to dir, outermost first: what a mkpath
// of dir would create.
QStringList missingDirs(const QString& dir);
