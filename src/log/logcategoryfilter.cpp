#include "log/logcategoryfilter.h"

#include <QLoggingCategory>
#include <cstring>

namespace
{

QLoggingCategory::CategoryFilter previousFilter = nullptr;

// Called by Qt for every category, now and whenever the rules change.
void keepDefaultCategory(QLoggingCategory* category)
{
    if (previousFilter)
        previousFilter(category);
    if (std::strcmp(category->categoryName(), "default") == 0) {
        category->setEnabled(QtDebugMsg, true);
        category->setEnabled(QtInfoMsg, true);
        category->setEnabled(QtWarningMsg, true);
        category->setEnabled(QtCriticalMsg, true);
    }
}

} // namespace

void installLogCategoryFilter()
{
    QLoggingCategory::CategoryFilter previous = QLoggingCategory::installFilter(keepDefaultCategory);
    // Installed twice, the filter must not end up calling itself.
    if (previous != keepDefaultCategory)
        previousFilter = previous;
}
