#pragma once

// Shared pieces of the worker tests: an installation directory in a temporary folder that is
// the current directory while it lives, configuration files, a snapshot of a tree for before /
// after comparisons, and a worker run in its own thread exactly as the program runs it.

#include "platform/installfs.h"
#include "testhttpserver.h"
#include "update/update.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QMap>
#include <QPair>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

using FileEntries = QList<QPair<QString, QString>>; // path, md5 text

inline QString md5Of(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

inline QString sha256Of(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

// size bytes that differ from seed to seed and repeat nowhere within a file.
inline QByteArray pattern(qint64 size, int seed = 0)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = 2463534242u + quint32(seed);
    for (qint64 i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = char(x);
    }
    return bytes;
}

// extra: more attributes for some paths, as written in the element (` size="5"`).
inline QByteArray configXml(const QString& version, const QString& main, const QString& server,
                            const FileEntries& files, const QHash<QString, QString>& extra = {})
{
    QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<UpdateCfg>\n");
    xml += QStringLiteral("  <info version=\"%1\" main=\"%2\" server=\"%3\"/>\n")
               .arg(version.toHtmlEscaped(), main.toHtmlEscaped(), server.toHtmlEscaped());
    for (const auto& file : files)
        // Character references keep control characters from being normalised away.
        xml += QStringLiteral("  <file path=\"%1\" md5=\"%2\"%3/>\n")
                   .arg(file.first.toHtmlEscaped()
                            .replace(QLatin1Char('\t'), QLatin1String("&#9;"))
                            .replace(QLatin1Char('\n'), QLatin1String("&#10;")),
                        file.second.toHtmlEscaped(), extra.value(file.first));
    xml += QStringLiteral("</UpdateCfg>\n");
    return xml.toUtf8();
}

// A temporary installation directory, current while the object lives.
class Installation
{
public:
    Installation() : previous(QDir::currentPath())
    {
        QVERIFY(dir.isValid());
        root = QDir(dir.path()).canonicalPath();
        QDir::setCurrent(root);
    }
    ~Installation() { QDir::setCurrent(previous); }

    QString path(const QString& relative) const { return root + QLatin1Char('/') + relative; }

    void write(const QString& relative, const QByteArray& content) const
    {
        const QString full = path(relative);
        QDir().mkpath(QFileInfo(full).absolutePath());
        QFile file(full);
        QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(full));
        QCOMPARE(file.write(content), content.size());
    }
    QByteArray read(const QString& relative) const
    {
        QFile file(path(relative));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    bool exists(const QString& relative) const
    {
        const QFileInfo info(path(relative));
        return info.exists() || info.isSymLink();
    }

    // Every entry below the root except log/ and those below the excluded top-level folders:
    // directories as "<dir>", files as content plus permission bits, links as their target.
    QMap<QString, QByteArray> snapshot(const QStringList& excluded = {"update"}) const
    {
        QMap<QString, QByteArray> entries;
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            const QFileInfo info = it.fileInfo();
            const QString relative = QDir(root).relativeFilePath(info.absoluteFilePath());
            const QString top = relative.section(QLatin1Char('/'), 0, 0);
            if (excluded.contains(top) || top == QLatin1String("log"))
                continue;
            if (info.isSymLink())
                entries.insert(relative, "<link " + info.symLinkTarget().toUtf8() + '>');
            else if (info.isDir())
                entries.insert(relative, "<dir>");
            else if (!info.isFile())
                entries.insert(relative, "<special>"); // a fifo: never opened, which would wait
            else
                entries.insert(relative, read(relative) + " mode " +
                                             QByteArray::number(int(info.permissions()), 16));
        }
        return entries;
    }

    QTemporaryDir dir;
    QString root;

private:
    QString previous;
};

// Files offered by a loopback server, and an installation that is offered them.
class Release
{
public:
    Release() : server(served.path()) { QVERIFY(server.listen()); }

    // Puts body on the server at path and lists it in the offered configuration with md5 (the
    // body's digest unless given).
    void offer(const QString& path, const QByteArray& body, const QString& md5 = QString())
    {
        const QString file = served.path() + path;
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(body);
        files.append({path, md5.isNull() ? md5Of(body) : md5});
    }
    // Writes both configurations: installed version 1.0 with installedFiles, offered 1.1.
    void writeConfigs(const FileEntries& installedFiles = {}, const QString& main = "app.bin",
                      const QString& serverUrl = QString())
    {
        const QString url = serverUrl.isNull() ? server.baseUrl() : serverUrl;
        installedConfig = configXml("1.0", main, url, installedFiles);
        offeredConfig = configXml("1.1", main, url, files, extraAttributes);
        inst.write("config/UpdateCfg.xml", installedConfig);
        inst.write("update/UpdateCfg.xml", offeredConfig);
    }

    Installation inst;
    QTemporaryDir served;
    TestHttpServer server;
    FileEntries files;
    // More attributes of offered files, by path (` size="5"`).
    QHash<QString, QString> extraAttributes;
    QByteArray installedConfig;
    QByteArray offeredConfig;
};

// Offers body at path with its size and sha256, as the publisher lists a file.
inline void offerChecked(Release& release, const QString& path, const QByteArray& body,
                         const QString& md5 = QString())
{
    release.offer(path, body, md5);
    release.extraAttributes.insert(
        path, QStringLiteral(" size=\"%1\" sha256=\"%2\"").arg(body.size()).arg(sha256Of(body)));
}

// One run of the worker in its own thread, recorded from the test thread.
class WorkerRun
{
public:
    WorkerRun()
    {
        worker = new Update;
        worker->moveToThread(&thread);
        QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
        QObject::connect(worker, &Update::sig_progress, &receiver,
                         [this](UpdateProgress progress) { records.append(progress); });
        QObject::connect(worker, &Update::sig_finished, &receiver, [this](bool ok, QString msg) {
            ++finishedCount;
            this->ok = ok;
            this->msg = msg;
        });
    }
    ~WorkerRun()
    {
        thread.quit();
        thread.wait();
    }

    // Settings made before the thread starts, so nothing races with the worker.
    void start()
    {
        thread.start();
        QMetaObject::invokeMethod(worker, &Update::slot_work, Qt::QueuedConnection);
    }
    // Waits for sig_finished, then lets through whatever the worker did next: a round trip to
    // the worker thread, after which everything it emitted before is delivered here. The limit
    // only ends a run that hangs; a loaded machine never comes near it.
    bool waitFinished(int timeoutMs = 120000)
    {
        if (!QTest::qWaitFor([this] { return finishedCount > 0; }, timeoutMs))
            return false;
        QMetaObject::invokeMethod(
            worker, [] {}, Qt::BlockingQueuedConnection);
        QCoreApplication::sendPostedEvents();
        return true;
    }
    QString mainExe()
    {
        // Read in the worker thread after the end, as the controller does after sig_finished.
        return worker->mainExe();
    }

    Update* worker;
    QThread thread;
    QObject receiver;
    QList<UpdateProgress> records;
    int finishedCount = 0;
    bool ok = false;
    QString msg;
};

// Clears the file layer's fault hook when a test ends, however it ends.
struct FaultHookReset {
    ~FaultHookReset() { InstallFs::setFaultHook(nullptr); }
};
