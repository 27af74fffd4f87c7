#pragma once

// A file path of a configuration is appended to the installation directory, and the updater runs
// with administrator rights: only paths that stay inside the installation are accepted.

#include <QString>

// True when path begins with "/", has no empty, "." or ".." segment, and contains no backslash,
// no ":" and no control character.
bool isSafeFilePath(const QString& path);
