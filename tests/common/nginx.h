#pragma once

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

// A private nginx serving one folder on 127.0.0.1, run as a child process of the test with its
// own configuration, pid file and logs in a temporary directory.
class Nginx
{
public:
    ~Nginx() { stop(); }

    static QString executable()
    {
        QString path = QStandardPaths::findExecutable(QStringLiteral("nginx"));
#ifndef Q_OS_WIN
        if (path.isEmpty())
            path = QStandardPaths::findExecutable(QStringLiteral("nginx"),
                                                  {"/usr/sbin", "/usr/local/sbin", "/sbin"});
#endif
        return path;
    }

    // Why a test that needs nginx is skipped when executable() finds none.
    static const char* missingReason()
    {
#ifdef Q_OS_WIN
        // Under Wine the host's nginx is a Linux program that a Windows process cannot start;
        // scripts/windows-test.sh serves its whole update from it instead.
        return "no nginx.exe on the PATH (under Wine the host's nginx cannot be started from a "
               "Windows program; scripts/windows-test.sh runs a whole update against it)";
#else
        return "nginx is not installed (scripts/deps.sh installs nginx-light)";
#endif
    }

    // serverDirectives go into the server block as they stand ("max_ranges 0;").
    bool start(const QString& root, QString* error, const QString& serverDirectives = QString())
    {
        if (!work.isValid()) {
            *error = QStringLiteral("no temporary directory");
            return false;
        }
        // A port that was free a moment ago may be taken in between: try a few.
        for (int attempt = 0; attempt < 5; ++attempt) {
            QTcpServer probe;
            if (!probe.listen(QHostAddress::LocalHost, 0))
                continue;
            port = probe.serverPort();
            probe.close();
            writeConfig(root, serverDirectives);
            process.setProgram(executable());
            process.setArguments({"-p", work.path(), "-e", work.filePath("error.log"), "-c",
                                  work.filePath("nginx.conf")});
            process.setProcessChannelMode(QProcess::MergedChannels);
            process.start();
            if (!process.waitForStarted(30000))
                continue;
            if (QTest::qWaitFor(
                    [this] { return accepts() || process.state() != QProcess::Running; }, 30000) &&
                process.state() == QProcess::Running)
                return true;
            *error = QString::fromLocal8Bit(process.readAll());
            stop();
        }
        if (error->isEmpty())
            *error = QStringLiteral("nginx did not start");
        return false;
    }

    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(30000)) {
            process.kill();
            process.waitForFinished(30000);
        }
    }

    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(port); }
    quint16 serverPort() const { return port; }

    // The access log, one line per request that has ended: "<uri> <status> <body bytes sent>
    // <Range header>" (a "-" where there was none).
    QStringList accessLog() const
    {
        QFile file(work.filePath(QStringLiteral("access.log")));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromLatin1(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

private:
    bool accepts()
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(1000);
    }

    void writeConfig(const QString& root, const QString& serverDirectives)
    {
        const QString w = work.path();
        QFile file(work.filePath("nginx.conf"));
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(QStringLiteral("daemon off;\n"
                                  "master_process off;\n"
                                  "worker_processes 1;\n"
                                  "pid %1/nginx.pid;\n"
                                  "error_log %1/error.log warn;\n"
                                  "events { worker_connections 64; }\n"
                                  "http {\n"
                                  "    log_format counted '$request_uri $status "
                                  "$body_bytes_sent $http_range';\n"
                                  "    access_log %1/access.log counted;\n"
                                  "    client_body_temp_path %1/tmp;\n"
                                  "    proxy_temp_path %1/tmp;\n"
                                  "    fastcgi_temp_path %1/tmp;\n"
                                  "    uwsgi_temp_path %1/tmp;\n"
                                  "    scgi_temp_path %1/tmp;\n"
                                  "    types { }\n"
                                  "    default_type application/octet-stream;\n"
                                  "    server {\n"
                                  "        listen 127.0.0.1:%2;\n"
                                  "        root %3;\n"
                                  "        %4\n"
                                  "    }\n"
                                  "}\n")
                       .arg(w)
                       .arg(port)
                       .arg(root)
                       .arg(serverDirectives)
                       .toLocal8Bit());
        QDir().mkpath(work.filePath("tmp"));
    }

    QTemporaryDir work;
    QProcess process;
    quint16 port = 0;
};
