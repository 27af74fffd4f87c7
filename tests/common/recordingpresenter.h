#pragma once

// Test stand-in for the message presenter: records every text and returns at once, so no test
// ever waits on a modal box. Installs itself for its lifetime.

#include "platform/messagepresenter.h"

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

class RecordingPresenter : public MessagePresenter
{
public:
    RecordingPresenter() : previous(MessagePresenter::install(this)) {}
    ~RecordingPresenter() override { MessagePresenter::install(previous); }

    void show(const QString& text) override
    {
        QMutexLocker locker(&mutex);
        shown.append(text);
    }

    QStringList texts() const
    {
        QMutexLocker locker(&mutex);
        return shown;
    }

private:
    MessagePresenter* previous;
    mutable QMutex mutex;
    QStringList shown;
};
