// Logging rules, from the program itself, the environment or a qtlogging.ini, cannot silence the
// messages the log is made of.

#include "log/logcategoryfilter.h"
#include "logcapture.h"

#include <QLoggingCategory>
#include <QtTest>

Q_LOGGING_CATEGORY(otherCategory, "updater.other")

class tst_LogFilter : public QObject
{
    Q_OBJECT

private slots:
    void rulesCannotSilenceTheLog();
};

void tst_LogFilter::rulesCannotSilenceTheLog()
{
    LogCapture log;

    // Without the filter the rules do silence qDebug(): the checks below mean something.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    qDebug() << "before";
    QVERIFY(log.lines().isEmpty());

    installLogCategoryFilter();
    qDebug() << "kept";
    for (const char* rules : {"*=false", "*.debug=false", "*.debug=false\ndefault=false"}) {
        // Rules set after the filter is in place are filtered too.
        QLoggingCategory::setFilterRules(QString::fromLatin1(rules));
        qDebug() << "still kept";
        qWarning() << "warning kept";
        qCDebug(otherCategory) << "other";
    }
    // Installing it again changes nothing (and does not make the filter call itself).
    installLogCategoryFilter();
    qDebug() << "kept twice";
    QCOMPARE(log.lines(), (QStringList{"kept", "still kept", "warning kept", "still kept",
                                       "warning kept", "still kept", "warning kept",
                                       "kept twice"}));

    // Other categories keep following the rules.
    QLoggingCategory::setFilterRules(QStringLiteral("updater.other.debug=true"));
    qCDebug(otherCategory) << "other now";
    QCOMPARE(log.lines().constLast(), QStringLiteral("other now"));
    QLoggingCategory::setFilterRules(QString());
}

QTEST_GUILESS_MAIN(tst_LogFilter)
#include "tst_logfilter.moc"
