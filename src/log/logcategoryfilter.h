#pragma once

// The log is the only record of what a run did, so logging rules from the environment
// (QT_LOGGING_RULES, QT_LOGGING_CONF) or from a qtlogging.ini of the user or the system must not
// silence it. The filter installed here keeps every message of the default category, the one
// qDebug() writes to, going to the message handler; other categories keep their rules.

// Installs the filter over whatever filter was there before, which still runs first.
void installLogCategoryFilter();
