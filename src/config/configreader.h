#pragma once

// Reads one UpdateCfg.xml into a ConfigInfo. Never fails outright: a missing file gives an empty
// record silently; a malformed one is logged, reported through the message presenter, and gives
// whatever was read before the error.

#include "config/configinfo.h"

class ConfigReader
{
public:
    ConfigInfo read(const QString& path) const;
};
