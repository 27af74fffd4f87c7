#include "platform/messagepresenter.h"

#include "log/logquoted.h"

#include <QAtomicPointer>
#include <QDebug>

#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace
{
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
    const QString line = QStringLiteral("message: ") + text + QLatin1Char('\n');
#ifdef Q_OS_WIN
    // A console shows the text as it is. Anything else (a pipe, a file) gets UTF-8: the 8-bit
    // code page of a Western system has no Chinese and would turn the message into "?".
    const HANDLE handle = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr && ::GetConsoleMode(handle, &mode)) {
        DWORD written = 0;
        ::WriteConsoleW(handle, line.utf16(), DWORD(line.size()), &written, nullptr);
        return;
    }
#endif
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}
