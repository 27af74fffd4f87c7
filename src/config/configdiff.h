#pragma once

// Which files a new release brings: the version rule and the difference of two configurations.

#include "config/configinfo.h"

#include <QList>
#include <optional>

// Parses a version: every "v"/"V" removed, white space around the rest ignored, then
// dot-separated components, each a non-negative decimal integer that fits in 32 bits; empty
// components at the end ("1.0.1.") count as 0 and are left out. No value when the text is not a
// usable version: an empty component before a number ("1..1"), a sign, any other letter.
std::optional<QList<int>> parseVersion(const QString& version);

// The version as plain dot-separated numbers ("v2.10 " -> "2.10", "1.02." -> "1.2"), or an
// empty string when it is not usable.
QString canonicalVersion(const QString& version);

// True only when both versions are usable and newVersion is strictly greater, compared
// component by component ("2.0" is newer than "1.10.5", "1.0" equals "1").
bool isNewerVersion(const QString& newVersion, const QString& oldVersion);

// The files of newConfig whose md5 text is missing from, or different in, oldConfig; empty
// unless the new version is newer. Carries newConfig's version, main and server, and, when
// newConfig asks for pruning, the installed files it drops (droppedPaths(), with keptPaths) as
// droppedPaths. Logs the comparison and prints the result.
ConfigInfo diffConfig(const ConfigInfo& oldConfig, const ConfigInfo& newConfig,
                      const QStringList& keptPaths = QStringList());
