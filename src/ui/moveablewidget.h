#pragma once

// A plain widget that drags its top-level window while the left button is held on it. The
// dialog frame's title bar is one; presses that its labels ignore arrive here as well.

#include <QPoint>
#include <QWidget>

class QMouseEvent;
class QObject;

namespace Ui
{
class MoveableWidget;
}

// The top-level widget above object: object itself when it has no widget parent, otherwise the
// ancestor at the top of its parent chain. Null for null.
QWidget* findTopLevelWidget(QObject* object);

class MoveableWidget : public QWidget
{
    Q_OBJECT

public:
    explicit MoveableWidget(QWidget* parent = nullptr);
    ~MoveableWidget() override;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    Ui::MoveableWidget* ui;
    bool pressed = false;
    QPoint dragOffset;
    QWidget* topWidget = nullptr;
};
