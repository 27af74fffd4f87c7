// Fuzzes the version rule with up to three versions, one per line. Each is checked against the
// rule as written down (digits and dots once every "v" is gone, each number within 32 bits,
// trailing dots allowed) and the comparison against one made on the canonical texts, which holds
// numbers of any length; the order must be strict (never both ways, transitive).

#include "fuzzsupport.h"

#include "config/configdiff.h"

#include <QRegularExpression>
#include <QStringList>

namespace
{

// Whether version is usable, decided on the text alone.
bool usableByRule(const QString& version)
{
    QString text = version;
    text.remove(QLatin1Char('v'), Qt::CaseInsensitive);
    text = text.trimmed();
    static const QRegularExpression shape(QStringLiteral("^[0-9]+(\\.[0-9]+)*\\.*\\z"));
    if (!shape.match(text).hasMatch())
        return false;
    for (QString number : text.split(QLatin1Char('.'), Qt::SkipEmptyParts)) {
        while (number.size() > 1 && number.startsWith(QLatin1Char('0')))
            number.remove(0, 1);
        if (number.size() > 10 || (number.size() == 10 && number > QLatin1String("2147483647")))
            return false;
    }
    return true;
}

// -1, 0 or 1 as canonical version a is lower, equal or greater than b: trailing zero components
// do not count, numbers without leading zeros compare by length, then digit by digit.
int compareCanonical(const QString& a, const QString& b)
{
    QStringList x = a.split(QLatin1Char('.'));
    QStringList y = b.split(QLatin1Char('.'));
    while (!x.isEmpty() && x.constLast() == QLatin1String("0"))
        x.removeLast();
    while (!y.isEmpty() && y.constLast() == QLatin1String("0"))
        y.removeLast();
    for (qsizetype i = 0; i < qMax(x.size(), y.size()); ++i) {
        const QString p = i < x.size() ? x.at(i) : QStringLiteral("0");
        const QString q = i < y.size() ? y.at(i) : QStringLiteral("0");
        if (p.size() != q.size())
            return p.size() < q.size() ? -1 : 1;
        if (p != q)
            return p < q ? -1 : 1;
    }
    return 0;
}

void checkOne(const QString& v)
{
    const auto parsed = parseVersion(v);
    const QString canonical = canonicalVersion(v);
    fuzz::check(parsed.has_value() == usableByRule(v), "usable, or not, against the rule", v);
    fuzz::check(parsed.has_value() == !canonical.isEmpty(), "canonical form disagrees", v);
    fuzz::check(!isNewerVersion(v, v), "a version newer than itself", v);
    if (!parsed)
        return;
    static const QRegularExpression canonicalShape(
        QStringLiteral("^(0|[1-9][0-9]*)(\\.(0|[1-9][0-9]*))*\\z"));
    fuzz::check(canonicalShape.match(canonical).hasMatch(), "canonical form is not plain numbers",
                v + " -> " + canonical);
    fuzz::check(parseVersion(canonical) == parsed, "canonical form reads differently", v);
    fuzz::check(!isNewerVersion(v, canonical) && !isNewerVersion(canonical, v),
                "canonical form compares unequal", v);
}

void checkPair(const QString& a, const QString& b)
{
    const bool ab = isNewerVersion(a, b);
    const bool ba = isNewerVersion(b, a);
    fuzz::check(!(ab && ba), "both newer", a + " | " + b);
    if (!parseVersion(a) || !parseVersion(b)) {
        fuzz::check(!ab && !ba, "an unusable version compares", a + " | " + b);
        return;
    }
    const int expected = compareCanonical(canonicalVersion(a), canonicalVersion(b));
    fuzz::check(ab == (expected > 0) && ba == (expected < 0), "order differs from the numbers",
                a + " | " + b);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QStringList versions = QString::fromUtf8(fuzz::bytesOf(data, size)).split(QLatin1Char('\n'));
    while (versions.size() > 3)
        versions.removeLast();
    for (const QString& v : versions)
        checkOne(v);
    for (const QString& a : versions) {
        for (const QString& b : versions)
            checkPair(a, b);
    }
    if (versions.size() == 3) {
        const QString& a = versions.at(0);
        const QString& b = versions.at(1);
        const QString& c = versions.at(2);
        if (isNewerVersion(a, b) && isNewerVersion(b, c))
            fuzz::check(isNewerVersion(a, c), "not transitive", a + " | " + b + " | " + c);
    }
    return 0;
}
