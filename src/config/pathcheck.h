#pragma once

// A file path of a configuration is appended to the installation directory, and the updater runs
// with administrator rights: only paths that stay inside the installation, and off the updater's
// own working files, are accepted. The rules are those of Windows, the updater's home, on every
// platform, so that a release published elsewhere never carries a name Windows cannot hold.

#include <QString>
#include <QStringList>

// True when path begins with "/", has no empty, "." or ".." segment, and contains no backslash,
// no ":", none of < > " | ? * and no control character; when no segment ends in a dot or a space
// (Windows drops them, so "update." is "update") or is a reserved device name (CON, PRN, AUX,
// NUL, CONIN$, CONOUT$, COM0-9, LPT0-9 and the superscript COM/LPT 1-3, whatever the case and
// extension); when it does not lie in update/ (where downloads land, so such a file would
// overwrite a download or the new configuration, and be deleted with update/); and when it does
// not lie in the release's reserved folder /.forms (whatever the case), which holds the encoded
// forms of the release's files.
bool isSafeFilePath(const QString& path);

// The first path of paths that cannot live beside an earlier one on a file system that ignores
// letter case: the same path in other letter case, or a file whose path is, in some letter case,
// a folder of another path ("/a" beside "/A/b", or "/a" beside "/a/b"). Failing that, the first
// of keptPaths (files the release names but never writes, such as ignored ones, which stay as
// the user has them) that collides in the same way with one of paths. An empty string when there
// is none. Identical paths are one path and do not collide.
QString firstCaseCollision(const QStringList& paths, const QStringList& keptPaths = QStringList());
