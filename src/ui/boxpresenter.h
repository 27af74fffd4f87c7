#pragma once

// The program's message presenter: shows each text in a QMessageBox on the GUI thread. A caller
// on another thread (the configuration reader in the worker thread) waits until the box has
// been closed, unless shutdown has begun: the GUI thread may then be waiting for that very
// thread to end, so every pending and later request returns at once without a box.

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
    explicit BoxPresenter(QObject* parent = nullptr);
    ~BoxPresenter() override;

    void show(const QString& text) override;
    void beginShutdown() override;
    bool isShuttingDown() const;

private:
    void showBox(const QString& text);

    mutable QMutex mutex;
    QWaitCondition boxClosed;
    bool shuttingDown = false;
};
