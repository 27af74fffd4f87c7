#include "ui/stylesheet.h"

#include <QFile>
#include <QRegularExpression>
#include <QWidget>

QString adaptStyleSheet(const QString& sheet)
{
    static const QRegularExpression threeComponentRgba(
        QStringLiteral("rgba\\(\\s*(\\d+)\\s*,\\s*(\\d+)\\s*,\\s*(\\d+)\\s*\\)"));
    QString adapted = sheet;
    adapted.replace(threeComponentRgba, QStringLiteral("rgb(\\1, \\2, \\3)"));
    return adapted;
}

bool applyStyleSheet(QWidget* window, const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    window->setStyleSheet(adaptStyleSheet(QString::fromUtf8(file.readAll())));
    file.close();
    return true;
}
