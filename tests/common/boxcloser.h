#pragma once

// Closes every QMessageBox that becomes visible while it is alive, recording its text, so a test
// can drive code that really shows a modal box. Runs in the GUI thread; the timer fires from the
// box's own event loop.

#include <QApplication>
#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>

class BoxCloser : public QObject
{
public:
    BoxCloser()
    {
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, this, [this] {
            const QWidgetList widgets = QApplication::topLevelWidgets();
            for (QWidget* widget : widgets) {
                auto* box = qobject_cast<QMessageBox*>(widget);
                if (box && box->isVisible()) {
                    closed.append(box->text());
                    box->done(0);
                }
            }
        });
        timer.start();
    }

    QStringList closed;

private:
    QTimer timer;
};
