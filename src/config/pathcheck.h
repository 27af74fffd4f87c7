#pragma once

// A file path of a configuration is appended to the installation directory, and the updater runs
// with administrator rights: only paths that stay inside the installation, and off the updater's
// own working files, are accepted.

#include <QString>

// True when path begins with "/", has no empty, "." or ".." segment, and contains no backslash,
// no ":" and no control character; and when it does not lie in update/ (where downloads land, so
// such a file would overwrite a download or the new configuration, and be deleted with update/).
bool isSafeFilePath(const QString& path);
