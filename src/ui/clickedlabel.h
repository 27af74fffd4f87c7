#pragma once

// A label that reports a left-button click as sig_clicked() and can restyle its text while the
// pointer is over it. The dialog frame's close label is one.

#include <QColor>
#include <QLabel>
#include <QString>

class QEnterEvent;
class QEvent;
class QMouseEvent;

// "#rrggbb" in lowercase hexadecimal; the alpha component is not written.
QString colorToText(const QColor& color);

class ClickedLabel : public QLabel
{
    Q_OBJECT

public:
    explicit ClickedLabel(QWidget* parent = nullptr);

    // The label's rich text: the captured plain text in a span with the given colour text and
    // the underline decoration (or none).
    QString styledText(const QString& colorText) const;

    // Hover styling; the defaults leave entering and leaving without visible effect.
    void setUnderline(bool on) { underline = on; }
    void setHoverEnabled(bool on) { hoverEnabled = on; }
    void setKeepHover(bool on) { keepHover = on; }
    void setNormalColor(const QColor& color) { normalColor = color; }
    void setHoverColor(const QColor& color) { hoverColor = color; }

signals:
    void sig_clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void captureText();

    bool pressed = false;
    QString plainText;
    bool underline = false;
    bool hoverEnabled = false;
    QColor normalColor = QColor(0, 0, 0, 255);
    QColor hoverColor = QColor(0, 0, 0, 255);
    bool keepHover = false;
};
