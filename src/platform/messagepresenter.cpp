#include "platform/messagepresenter.h"

#include "app/logquoted.h"

#include <QAtomicPointer>
#include <QDebug>

#include <cstdio>

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

void MessagePresenter::writeOut(const QString& text)
{
    qDebug() << "message:" << logQuoted(text);
    const QByteArray line = QByteArrayLiteral("message: ") + text.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}
