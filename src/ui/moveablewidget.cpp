#include "ui/moveablewidget.h"

#include "ui_moveablewidget.h"

#include <QMouseEvent>

QWidget* findTopLevelWidget(QObject* object)
{
    if (!object)
        return nullptr;
    QObject* parent = object->parent();
    if (!parent || !parent->isWidgetType())
        return qobject_cast<QWidget*>(object);
    while (parent->parent())
        parent = parent->parent();
    return qobject_cast<QWidget*>(parent);
}

MoveableWidget::MoveableWidget(QWidget* parent) : QWidget(parent), ui(new Ui::MoveableWidget)
{
    ui->setupUi(this);
}

MoveableWidget::~MoveableWidget()
{
    delete ui;
}

void MoveableWidget::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        pressed = true;
    // Refreshed for every button, so a press of another button only moves the anchor point.
    const QPoint global = event->globalPosition().toPoint();
    if (!topWidget)
        topWidget = findTopLevelWidget(this);
    dragOffset = global - topWidget->pos();
    QWidget::mousePressEvent(event);
}

void MoveableWidget::mouseMoveEvent(QMouseEvent* event)
{
    if (pressed && topWidget)
        topWidget->move(event->globalPosition().toPoint() - dragOffset);
    QWidget::mouseMoveEvent(event);
}

void MoveableWidget::mouseReleaseEvent(QMouseEvent* event)
{
    pressed = false;
    QWidget::mouseReleaseEvent(event);
}
