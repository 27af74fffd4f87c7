// Times the updater's installation phase (backup, move into place, configuration, clean-up) on
// files already placed in update/, through the same library the program runs, with the log
// handler writing log/update.log as in a real run.
//
//   installbench prepare DIR COUNT BYTES   installation DIR with COUNT files of BYTES in all in
//   update/ installbench run DIR                   installs them; prints the seconds taken

#include "config/configdiff.h"
#include "config/configreader.h"
#include "log/loghandler.h"
#include "log/logvalues.h"
#include "platform/logfilesetup.h"
#include "update/update.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>

#include <cstdio>

namespace
{

bool writeText(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

int prepare(const QString& dir, int count, qint64 bytes)
{
    if (!QDir().mkpath(dir + "/config") || !QDir().mkpath(dir + "/update"))
        return 1;
    QByteArray block(1 << 20, Qt::Uninitialized);
    QRandomGenerator generator(42);
    generator.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);

    QByteArray config = "<update><info version=\"2.0\" main=\"app\" server=\"\"/>\n";
    const qint64 each = bytes / count;
    for (int i = 0; i < count; ++i) {
        const QString path = QStringLiteral("/d%1/f%2.bin").arg(i / 100).arg(i);
        const QString local = dir + "/update" + path;
        QDir().mkpath(QFileInfo(local).absolutePath());
        QFile file(local);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        for (qint64 left = each; left > 0;) {
            const qint64 n = qMin<qint64>(left, block.size());
            if (file.write(block.constData(), n) != n)
                return 1;
            left -= n;
        }
        config += "<file path=\"" + path.toUtf8() + "\" md5=\"x\"/>\n";
    }
    config += "</update>\n";
    if (!writeText(dir + "/update/" + configFileName, config) ||
        !writeText(dir + "/config/" + configFileName,
                   "<update><info version=\"1.0\" main=\"app\" server=\"\"/></update>\n"))
        return 1;
    return 0;
}

int run(const QString& dir)
{
    if (!QDir::setCurrent(dir))
        return 1;
    prepareLogFile(dir);
    qInstallMessageHandler(logMessageHandler);

    const ConfigReader reader;
    QFile placed(dir + "/update/" + configFileName);
    if (!placed.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray placedBytes = placed.readAll();
    const ConfigInfo working = diffConfig(reader.read(dir + "/config/" + configFileName),
                                          reader.read(dir + "/update/" + configFileName));
    Update update;
    update.setWorkingConfig(working, placedBytes);
    bool ok = false;
    QObject::connect(&update, &Update::sig_finished,
                     [&ok](bool done, const QString&) { ok = done; });

    QElapsedTimer timer;
    timer.start();
    update.slot_updateLocal();
    const double seconds = timer.nsecsElapsed() / 1e9;
    qInstallMessageHandler(nullptr);
    if (!ok) {
        std::fprintf(stderr, "installation failed, see %s\n", qPrintable(logFilePath));
        return 1;
    }
    std::printf("%.3f\n", seconds);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args.at(1) == "prepare")
        return prepare(QDir(args.at(2)).absolutePath(), args.at(3).toInt(),
                       args.at(4).toLongLong());
    if (args.size() == 3 && args.at(1) == "run")
        return run(QDir(args.at(2)).absolutePath());
    std::fprintf(stderr, "usage: installbench prepare DIR COUNT BYTES | installbench run DIR\n");
    return 2;
}
