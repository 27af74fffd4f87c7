#include "platform/messagepresenter.h"

#include "app/logquoted.h"

#include <QAtomicPointer>
#include <QDebug>

namespace {
QAtomicPointer<MessagePresenter> installedPresenter;
}

MessagePresenter::~MessagePresenter() = default;

void MessagePresenter::beginShutdown() {}

MessagePresenter* MessagePresenter::current()
{
    return installedPresenter.loadAcquire();
}

MessagePresenter* MessagePresenter::install(MessagePresenter* presenter)
{
    return installedPresenter.fetchAndStoreOrdered(presenter);
}

void MessagePresenter::present(const QString& text)
{
    if (MessagePresenter* presenter = current())
        presenter->show(text);
    else
        qDebug() << "message:" << logQuoted(text);
}
