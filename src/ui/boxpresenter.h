#pragma once

// The program's message presenter: shows each text in a QMessageBox on the GUI thread. A caller
// on another thread (the configuration reader in the worker thread) waits until the box has
// been closed, unless shutdown has begun: the GUI thread may then be waiting for that very
// thread to end, so every pending and later request returns at once without a box.
// Where no person can see a box (a platform without a display), the text goes to standard error
// and to the log instead, and show() returns at once as if the box had been answered.

#include "platform/messagepresenter.h"

#include <QMutex>
#include <QObject>
#include <QWaitCondition>

class BoxPresenter : public QObject, public MessagePresenter
{
    Q_OBJECT

public:
    // Create it on the GUI thread: its boxes are shown by the thread it lives in. Destroy it only
    // after every thread that may call show() has ended.
    // showBoxes false: nobody can answer a box; texts are written out instead.
    explicit BoxPresenter(bool showBoxes = true, QObject* parent = nullptr);
    ~BoxPresenter() override;

    void show(const QString& text) override;
    void beginShutdown() override;
    bool isShuttingDown() const;

private:
    void showBox(const QString& text);

    mutable QMutex mutex;
    QWaitCondition boxClosed;
    bool shuttingDown = false;
    const bool showBoxes;
};
