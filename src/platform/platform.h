#pragma once

// The small layer for what differs between Windows and elsewhere: which file counts as the
// application's main executable, how it is started so that it outlives the updater, and where a
// window without an anchor is centred.

#include <QByteArray>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

enum class PlatformFlavour { Windows, Posix };

// The flavour of the platform the program was built for.
PlatformFlavour currentPlatformFlavour();

// Whether path may be started as the main executable.
// Windows: a file (or directory) exists there and path contains ".exe", compared case-sensitively.
// Posix: path names an existing regular file that is executable.
bool isAcceptableMainExe(const QString& path, PlatformFlavour flavour);

// Whether path names something strictly inside the directory dir once both are cleaned ("..",
// ".", doubled separators resolved). A directory at a file system's root ("/", "C:/") works like
// any other. Windows: "\\" separates like "/" and names compare without regard to case.
bool pathStaysInside(const QString& path, const QString& dir, PlatformFlavour flavour);

// When XDG_RUNTIME_DIR is not set (a service, a root shell), points it at a fresh private folder
// made for this process, so that Qt finds one and does not warn. Call before the application
// object is made. Returns the folder made, or an empty string when none was needed (and always
// on Windows). A program started with startDetachedProgram does not inherit the setting.
QString setUpPrivateRuntimeDir();
// Removes the folder setUpPrivateRuntimeDir made, if any, and the setting.
void removePrivateRuntimeDir();

// Starts program with no arguments in workingDir as a process of its own that keeps running
// after the updater has exited and shares none of its pipes. Returns whether it was started.
bool startDetachedProgram(const QString& program, const QString& workingDir);

// Whether the platform the application runs on shows its windows to a person: false for the
// platforms without a display ("offscreen", "minimal"), where a message box would wait for ever.
bool platformShowsWindows();

// Geometry of the primary screen; an empty rectangle when there is no screen.
QRect primaryScreenGeometry();

// Top-left position that centres a window of size on area, with truncating integer division:
// ((area width - width) / 2 + area x, (area height - height) / 2 + area y).
QPoint centredPosition(const QRect& area, const QSize& size);

// Bytes that begin a new log file, whose lines are UTF-8. Windows: the UTF-8 byte order mark, so
// that editors there read the file as UTF-8 and not in the system code page. Posix: none, UTF-8
// is what the system expects.
QByteArray logFileHeader(PlatformFlavour flavour);
