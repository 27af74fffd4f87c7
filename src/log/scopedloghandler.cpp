#include "log/scopedloghandler.h"

#include "log/loghandler.h"

ScopedLogHandler::~ScopedLogHandler()
{
    if (installed)
        qInstallMessageHandler(previous);
}

void ScopedLogHandler::install()
{
    const QtMessageHandler replaced = qInstallMessageHandler(logMessageHandler);
    if (!installed) {
        previous = replaced;
        installed = true;
    }
}
