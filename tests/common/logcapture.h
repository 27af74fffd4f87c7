#pragma once

// Collects every Qt message of the process while alive (any thread), for checking log lines.

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QtGlobal>

class LogCapture
{
public:
    LogCapture()
    {
        instance() = this;
        previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(previous);
        instance() = nullptr;
    }

    QStringList lines() const
    {
        QMutexLocker locker(&mutex);
        return captured;
    }
    void clear()
    {
        QMutexLocker locker(&mutex);
        captured.clear();
    }
    // Lines that begin with prefix.
    QStringList linesStartingWith(const QString& prefix) const
    {
        QStringList result;
        for (const QString& line : lines())
            if (line.startsWith(prefix))
                result.append(line);
        return result;
    }

private:
    static LogCapture*& instance()
    {
        static LogCapture* current = nullptr;
        return current;
    }
    static void handler(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        if (LogCapture* self = instance()) {
            QMutexLocker locker(&self->mutex);
            self->captured.append(message);
        }
    }

    QtMessageHandler previous = nullptr;
    mutable QMutex mutex;
    QStringList captured;
};
