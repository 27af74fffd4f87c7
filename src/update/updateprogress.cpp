#include "update/updateprogress.h"

UpdateProgress::UpdateProgress()
    : tip(QStringLiteral("Downloading...")), finished(0), total(100), current(0)
{
}
