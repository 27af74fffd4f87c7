#include "ui/clickedlabel.h"

#include <QCursor>
#include <QEnterEvent>
#include <QEvent>
#include <QMouseEvent>

QString colorToText(const QColor& color)
{
    return QStringLiteral("#%1%2%3")
        .arg(color.red(), 2, 16, QLatin1Char('0'))
        .arg(color.green(), 2, 16, QLatin1Char('0'))
        .arg(color.blue(), 2, 16, QLatin1Char('0'));
}

ClickedLabel::ClickedLabel(QWidget* parent) : QLabel(parent) {}

QString ClickedLabel::styledText(const QString& colorText) const
{
    // Filled argument by argument, so a "%" in the plain text is never taken as a placeholder.
    return QStringLiteral("<html><head/><body><p><span style='text-decoration: %1; "
                          "color:%2;'>%3</span></p></body></html>")
        .arg(underline ? QStringLiteral("underline") : QStringLiteral("none"))
        .arg(colorText)
        .arg(plainText);
}

void ClickedLabel::captureText()
{
    // A text that is already the styled rich text must never become the plain text.
    if (plainText.isEmpty() && !text().contains(QLatin1String("html")))
        plainText = text();
}

void ClickedLabel::enterEvent(QEnterEvent* event)
{
    captureText();
    if (hoverEnabled)
        setText(styledText(colorToText(hoverColor)));
    if (!plainText.isEmpty())
        setCursor(Qt::PointingHandCursor);
    QLabel::enterEvent(event);
}

void ClickedLabel::leaveEvent(QEvent* event)
{
    captureText();
    if (hoverEnabled && !keepHover)
        setText(styledText(colorToText(normalColor)));
    if (!plainText.isEmpty())
        setCursor(Qt::ArrowCursor);
    QLabel::leaveEvent(event);
}

void ClickedLabel::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        pressed = true;
    QLabel::mousePressEvent(event);
}

void ClickedLabel::mouseReleaseEvent(QMouseEvent* event)
{
    // Emitted before the base handler, and on the release of any button wherever the pointer
    // is: a receiver connected directly has acted by the time the label finishes.
    if (pressed) {
        emit sig_clicked();
        pressed = false;
    }
    QLabel::mouseReleaseEvent(event);
}
