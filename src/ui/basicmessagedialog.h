#pragma once

// A reusable frameless dialog frame: a translucent window whose shape is drawn by style-sheeted
// panels, a 38-pixel title bar that drags the window, a close label, and a content area that
// holds the widget a subclass supplies.

#include <QDialog>

namespace Ui
{
class BasicMessageDialog;
}

class BasicMessageDialog : public QDialog
{
    Q_OBJECT

public:
    // contentWidget is placed in the content area and becomes a child of the frame; anchor is
    // any widget of the window to centre on (its top-level widget is used). Each may be null.
    BasicMessageDialog(QWidget* contentWidget, QWidget* anchor, QWidget* parent = nullptr);
    ~BasicMessageDialog() override;

    // Fixes the window at width x height and fits the inner panel and the content to it. Does
    // nothing without a content widget.
    void setDialogSize(int width, int height);
    // Centres the window on the anchor's window, or on the primary screen without an anchor.
    void moveToCenter();

    QWidget* content() const { return contentWidget; }
    QWidget* anchor() const { return anchorWidget; }

protected:
    void initContent();

    QWidget* contentWidget = nullptr;

private:
    Ui::BasicMessageDialog* ui;
    QWidget* anchorWidget = nullptr;
};
