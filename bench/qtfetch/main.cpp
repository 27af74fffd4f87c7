// The floor of Qt's own networking for the benchmarks: one QNetworkAccessManager fetching the
// given paths in sequence, each streamed to a file under the output folder. No log, no window,
// no progress records.
//
//   qtfetch BASE_URL LIST_FILE OUT_DIR

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTextStream>

#include <cstdio>
#include <functional>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: qtfetch BASE_URL LIST_FILE OUT_DIR\n");
        return 2;
    }
    const QString base = args.at(1);
    const QString outDir = args.at(3);
    QFile list(args.at(2));
    if (!list.open(QIODevice::ReadOnly | QIODevice::Text)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(args.at(2)));
        return 2;
    }
    QStringList paths;
    QTextStream in(&list);
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (!line.isEmpty())
            paths.append(line);
    }

    QNetworkAccessManager manager;
    QFile file;
    int index = 0;
    int status = 0;
    std::function<void()> next = [&]() {
        if (index >= paths.size()) {
            app.quit();
            return;
        }
        const QString path = paths.at(index++);
        const QString local = outDir + path;
        QDir().mkpath(QFileInfo(local).absolutePath());
        file.setFileName(local);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(local));
            status = 1;
            app.quit();
            return;
        }
        QNetworkReply* reply = manager.get(QNetworkRequest(QUrl(base + path)));
        reply->setReadBufferSize(1 << 20);
        QObject::connect(reply, &QNetworkReply::readyRead, [&file, reply]() {
            file.write(reply->readAll());
        });
        QObject::connect(reply, &QNetworkReply::finished, [&, reply]() {
            file.write(reply->readAll());
            file.close();
            if (reply->error() != QNetworkReply::NoError) {
                std::fprintf(stderr, "%s\n", qPrintable(reply->errorString()));
                status = 1;
                app.quit();
            } else {
                next();
            }
            reply->deleteLater();
        });
    };
    QMetaObject::invokeMethod(&app, next, Qt::QueuedConnection);
    const int loop = app.exec();
    return status ? status : loop;
}
