#pragma once

// What the fuzz targets share: a quiet set-up (no log lines, no boxes), a check that stops the
// run on a broken promise, and the reading of a configuration from bytes.

#include "config/configinfo.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstddef>
#include <cstdint>

namespace fuzz
{

// Silences the message handler and installs a presenter that only counts the boxes asked for.
void setUp();

// How many boxes the reader asked for since the start; one per malformed document.
int boxCount();

// Stops the run (abort, so that the engine records the input) when condition is false.
void check(bool condition, const char* what, const QString& detail = QString());

QByteArray bytesOf(const uint8_t* data, size_t size);

// The configuration in bytes read by the updater's reader, sharing strings with sharedWith.
ConfigInfo readDocument(const QByteArray& bytes, const ConfigInfo* sharedWith = nullptr);

// The record is as the reader and the difference promise it: fileList holds the keys of fileMap
// in order, and attributes belong to managed paths only.
void checkRecord(const ConfigInfo& info);

// Every field of two records is equal.
bool sameRecord(const ConfigInfo& a, const ConfigInfo& b);

// The input cut at every line "====": two configurations, or two lists of names.
QList<QByteArray> sections(const QByteArray& input);

} // namespace fuzz
