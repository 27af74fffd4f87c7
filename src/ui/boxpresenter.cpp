#include "ui/boxpresenter.h"

#include <QMessageBox>
#include <QMetaObject>
#include <QMutexLocker>
#include <QThread>

#include <memory>

namespace
{
struct Request {
    bool done = false;
};
} // namespace

BoxPresenter::BoxPresenter(bool showBoxes, QObject* parent) : QObject(parent), showBoxes(showBoxes)
{
}

BoxPresenter::~BoxPresenter()
{
    beginShutdown();
}

void BoxPresenter::show(const QString& text)
{
    if (!showBoxes) {
        MessagePresenter::writeOut(text);
        return;
    }
    if (QThread::currentThread() == thread()) {
        if (!isShuttingDown())
            showBox(text);
        return;
    }

    // Shared with the queued call, which may still run after this thread has stopped waiting.
    auto request = std::make_shared<Request>();
    {
        QMutexLocker locker(&mutex);
        if (shuttingDown)
            return;
    }
    QMetaObject::invokeMethod(
        this,
        [this, request, text] {
            if (!isShuttingDown())
                showBox(text);
            QMutexLocker locker(&mutex);
            request->done = true;
            boxClosed.wakeAll();
        },
        Qt::QueuedConnection);

    QMutexLocker locker(&mutex);
    while (!request->done && !shuttingDown)
        boxClosed.wait(&mutex);
}

void BoxPresenter::beginShutdown()
{
    QMutexLocker locker(&mutex);
    shuttingDown = true;
    boxClosed.wakeAll();
}

bool BoxPresenter::isShuttingDown() const
{
    QMutexLocker locker(&mutex);
    return shuttingDown;
}

void BoxPresenter::showBox(const QString& text)
{
    QMessageBox box;
    box.setText(text);
    box.exec();
}
