#pragma once

// Reads one UpdateCfg.xml into a ConfigInfo. Never fails outright: a missing file gives an empty
// record silently; a malformed one is logged, reported through the message presenter, and gives
// whatever was read before the error.

#include "config/configinfo.h"

class QIODevice;

// File name of both configuration files, config/UpdateCfg.xml and update/UpdateCfg.xml.
extern const QString configFileName;

class ConfigReader
{
public:
    // Paths and md5 texts equal to those of sharedWith are taken from it instead of held a second
    // time: with hundreds of thousands of files the installed and the new configuration are
    // mostly the same strings.
    ConfigInfo read(const QString& path, const ConfigInfo* sharedWith = nullptr) const;
    // The same from an open device, read to its end or to the first error. wellFormed (when
    // given) tells whether the whole document was read without an error.
    ConfigInfo read(QIODevice* device, const ConfigInfo* sharedWith = nullptr,
                    bool* wellFormed = nullptr) const;
};
