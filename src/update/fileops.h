#pragma once

// File helpers on absolute, "/"-separated paths. They work through InstallFs on the folder that
// holds their target, so no link below it is followed.

#include <QString>

// Moves or copies source to target: creates the target's missing folders, removes an existing
// target, then renames (removeSource set, same file system) or makes a complete, checked copy
// beside the target and renames it into place, and removes the source when removeSource is set.
// A short copy (full disk) fails and leaves no partial target. Logs one "CopyFileW" line with
// "success" or the numeric QFile error.
bool copyFile(const QString& source, const QString& target, bool removeSource);

// Removes a directory tree; true when it is gone (or never existed). Stops at the first entry
// it cannot remove. Links are removed as links and never followed, also when an entry is swapped
// for one while the tree is walked, so nothing outside the tree is touched.
bool removeDir(const QString& path);
