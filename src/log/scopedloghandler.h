#pragma once

// Keeps logMessageHandler installed for as long as it lives. The handler uses logFilePath,
// logMutex and its cached timestamp, process-wide values that are destroyed after main returns:
// main holds one of these, so that the previous handler (Qt's default output) is back before
// then and a message during the program's final clean-up never reaches destroyed values.

#include <QtGlobal>

class ScopedLogHandler
{
public:
    ScopedLogHandler() = default;
    // Restores the handler that install() replaced, if install() was called.
    ~ScopedLogHandler();

    ScopedLogHandler(const ScopedLogHandler&) = delete;
    ScopedLogHandler& operator=(const ScopedLogHandler&) = delete;

    // Installs logMessageHandler; from here on every message goes to the log file.
    void install();

private:
    bool installed = false;
    QtMessageHandler previous = nullptr;
};
