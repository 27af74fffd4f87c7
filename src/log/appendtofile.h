#pragma once

// The log's one way of writing to its file. It lives with the log, below every other folder, so
// that anything may log; what differs between Windows and elsewhere stays inside the function.

#include <QByteArray>
#include <QString>

// Appends bytes to the file at path (creating it when missing), with as few system calls as the
// platform allows: on POSIX the file stays open between calls for the same path, and each call
// is one write. False when it cannot be opened or the write is short.
bool appendToFile(const QString& path, const QByteArray& bytes);
