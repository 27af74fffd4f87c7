#include "testhttpserver.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QLocale>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

namespace
{

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 416:
        return "Range Not Satisfiable";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 307:
        return "Temporary Redirect";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

QByteArray header(int status, qint64 contentLength, bool keepAlive,
                  const QByteArray& extra = QByteArray())
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) +
                      "\r\nContent-Type: application/octet-stream\r\n";
    if (contentLength >= 0)
        head += "Content-Length: " + QByteArray::number(contentLength) + "\r\n";
    head += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    head += extra;
    head += "\r\n";
    return head;
}

} // namespace

TestHttpServer::TestHttpServer(const QString& rootDir, QObject* parent)
    : QObject(parent), server(new QTcpServer(this)), root(rootDir)
{
    connect(server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
}

TestHttpServer::~TestHttpServer() = default;

bool TestHttpServer::listen(quint16 port)
{
    return server->listen(QHostAddress::LocalHost, port);
}

void TestHttpServer::close()
{
    server->close();
}

quint16 TestHttpServer::port() const
{
    return server->serverPort();
}

QString TestHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void TestHttpServer::setRootDir(const QString& rootDir)
{
    root = rootDir;
}

void TestHttpServer::respondWithStatus(const QString& path, int status, qint64 pageBytes)
{
    Rule rule;
    rule.mode = Mode::Status;
    rule.status = status;
    rule.bytes = pageBytes;
    rules.insert(path, rule);
}

void TestHttpServer::dropAfter(const QString& path, qint64 bytes)
{
    Rule rule;
    rule.mode = Mode::Drop;
    rule.bytes = bytes;
    rules.insert(path, rule);
}

void TestHttpServer::stallAfter(const QString& path, qint64 bytes)
{
    Rule rule;
    rule.mode = Mode::Stall;
    rule.bytes = bytes;
    rules.insert(path, rule);
}

void TestHttpServer::omitContentLength(const QString& path)
{
    Rule rule;
    rule.mode = Mode::NoLength;
    rules.insert(path, rule);
}

void TestHttpServer::deflate(const QString& path)
{
    Rule rule;
    rule.mode = Mode::Deflate;
    rules.insert(path, rule);
}

void TestHttpServer::redirect(const QString& path, const QString& location, int status)
{
    Rule rule;
    rule.mode = Mode::Redirect;
    rule.status = status;
    rule.location = location;
    rules.insert(path, rule);
}

void TestHttpServer::trickle(const QString& path, int chunkSize)
{
    Rule rule;
    rule.mode = Mode::Trickle;
    rule.bytes = chunkSize;
    rules.insert(path, rule);
}

void TestHttpServer::holdAfter(const QString& path, qint64 bytes)
{
    Rule rule;
    rule.mode = Mode::Hold;
    rule.bytes = bytes;
    rules.insert(path, rule);
}

void TestHttpServer::release(const QString& path)
{
    rules.remove(path);
    const QList<Held> answers = held.values(path);
    held.remove(path);
    for (const Held& answer : answers) {
        writeBody(answer.socket, answer.rest);
        responseDone(answer.socket);
        if (!answer.keepAlive)
            answer.socket->disconnectFromHost();
    }
}

void TestHttpServer::sendMore(const QString& path, qint64 bytes)
{
    if (endlessAllowance.contains(path)) {
        endlessAllowance[path] += bytes;
        for (QTcpSocket* socket : endlessAnswers.values(path))
            pumpEndless(socket, path);
        return;
    }
    for (auto it = held.find(path); it != held.end() && it.key() == path; ++it) {
        writeBody(it->socket, it->rest.left(bytes));
        it->socket->flush();
        it->rest.remove(0, bytes);
    }
}

void TestHttpServer::dropHeld(const QString& path)
{
    const QList<Held> answers = held.values(path);
    held.remove(path);
    for (const Held& answer : answers) {
        responseDone(answer.socket);
        answer.socket->abort();
    }
}

bool TestHttpServer::isHolding(const QString& path) const
{
    return held.contains(path);
}

void TestHttpServer::holdAfterWithoutLength(const QString& path, qint64 bytes)
{
    Rule rule;
    rule.mode = Mode::HoldNoLength;
    rule.bytes = bytes;
    rules.insert(path, rule);
}

void TestHttpServer::endless(const QString& path, int status)
{
    Rule rule;
    rule.mode = Mode::Endless;
    rule.status = status;
    rules.insert(path, rule);
}

void TestHttpServer::meteredEndless(const QString& path, qint64 first, qint64 announcedLength)
{
    endless(path);
    rules[path].length = announcedLength;
    endlessAllowance.insert(path, first);
}

void TestHttpServer::pumpEndless(QTcpSocket* socket, const QString& path)
{
    if (socket->state() != QAbstractSocket::ConnectedState || socket->bytesToWrite() > 0)
        return;
    qint64 size = 64 * 1024;
    const auto allowance = endlessAllowance.find(path);
    if (allowance != endlessAllowance.end()) {
        size = qMin(size, *allowance);
        *allowance -= size;
    }
    if (size <= 0)
        return;
    socket->write(QByteArray(int(size), 'e'));
    endlessSent += size;
}

void TestHttpServer::clearRules()
{
    rules.clear();
    endlessAllowance.clear();
}

void TestHttpServer::setValidators(bool entityTag, bool lastModified)
{
    entityTags = entityTag;
    lastModifiedDates = lastModified;
}

void TestHttpServer::setRangesIgnored(bool ignored)
{
    rangesIgnored = ignored;
}

void TestHttpServer::answerRangeWith(const QString& path, int status)
{
    Rule rule;
    rule.mode = Mode::RangeStatus;
    rule.status = status;
    rules.insert(path, rule);
}

void TestHttpServer::misrange(const QString& path)
{
    Rule rule;
    rule.mode = Mode::Misrange;
    rules.insert(path, rule);
}

QStringList TestHttpServer::requestedRanges() const
{
    return ranges;
}

void TestHttpServer::writeBody(QTcpSocket* socket, const QByteArray& bytes)
{
    bodySent += bytes.size();
    socket->write(bytes);
}

QStringList TestHttpServer::proxiedRequests() const
{
    return proxied;
}

QStringList TestHttpServer::requestedPaths() const
{
    return requests;
}

int TestHttpServer::maxConcurrentRequests() const
{
    return maxInFlight;
}

int TestHttpServer::connectionCount() const
{
    return connections;
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        ++connections;
        buffers.insert(socket, QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            buffers.remove(socket);
            // A held answer whose client went away has ended.
            for (auto it = held.begin(); it != held.end();) {
                if (it->socket == socket) {
                    it = held.erase(it);
                    responseDone(socket);
                } else {
                    ++it;
                }
            }
            socket->deleteLater();
        });
    }
}

void TestHttpServer::onReadyRead(QTcpSocket* socket)
{
    QByteArray& buffer = buffers[socket];
    buffer += socket->readAll();
    // GET requests carry no body: each request ends at its blank line.
    int end;
    while (!answering.contains(socket) && (end = buffer.indexOf("\r\n\r\n")) >= 0) {
        const QByteArray head = buffer.left(end);
        buffer.remove(0, end + 4);
        const QList<QByteArray> lines = head.split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        bool keepAlive = true;
        QByteArray range;
        QByteArray ifRange;
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed().toLower();
            if (line.startsWith("connection:") && line.contains("close"))
                keepAlive = false;
            const QByteArray value = lines.at(i).mid(lines.at(i).indexOf(':') + 1).trimmed();
            if (line.startsWith("range:"))
                range = value;
            if (line.startsWith("if-range:"))
                ifRange = value;
        }
        QString target = QString::fromLatin1(requestLine.value(1));
        // A request sent to a proxy names the whole URL; this server then plays the proxy and
        // the origin in one.
        if (target.startsWith(QLatin1String("http://"))) {
            proxied.append(target);
            target = QLatin1Char('/') + target.section(QLatin1Char('/'), 3);
        }
        const QString path =
            QUrl::fromPercentEncoding(target.section(QLatin1Char('?'), 0, 0).toLatin1());
        handleRequest(socket, requestLine.value(0), path, keepAlive, range, ifRange);
        if (!buffers.contains(socket))
            return;
    }
}

void TestHttpServer::responseStarted(QTcpSocket* socket)
{
    ++inFlight;
    maxInFlight = qMax(maxInFlight, inFlight);
    answering.insert(socket);
}

void TestHttpServer::responseDone(QTcpSocket* socket)
{
    --inFlight;
    answering.remove(socket);
    // Requests a client sent behind this one on the connection (pipelined) are answered in
    // order, each once the one before it has gone out.
    if (socket && buffers.contains(socket))
        QMetaObject::invokeMethod(
            this,
            [this, guard = QPointer<QTcpSocket>(socket)] {
                if (guard && buffers.contains(guard) && !answering.contains(guard))
                    onReadyRead(guard);
            },
            Qt::QueuedConnection);
}

void TestHttpServer::handleRequest(QTcpSocket* socket, const QByteArray& method,
                                   const QString& path, bool keepAlive, const QByteArray& range,
                                   const QByteArray& ifRange)
{
    requests.append(path);
    ranges.append(QString::fromLatin1(range));
    responseStarted(socket);
    const Rule rule = rules.value(path);

    if (rule.mode == Mode::Status) {
        const QByteArray body =
            rule.bytes < 0 ? reasonPhrase(rule.status) + '\n' : QByteArray(rule.bytes, 'p');
        socket->write(header(rule.status, body.size(), keepAlive) + body);
        responseDone(socket);
        if (!keepAlive)
            socket->disconnectFromHost();
        return;
    }
    if (rule.mode == Mode::Endless) {
        // Paced by the client: another piece only once the previous one has left the socket.
        socket->write(header(rule.status, rule.length, false));
        endlessAnswers.insert(path, socket);
        connect(socket, &QTcpSocket::bytesWritten, this,
                [this, socket, path] { pumpEndless(socket, path); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket, path] {
            endlessAnswers.remove(path, socket);
            ++endlessClosed;
            responseDone(socket);
        });
        pumpEndless(socket, path);
        return;
    }
    if (rule.mode == Mode::Redirect) {
        socket->write(
            header(rule.status, 0, keepAlive, "Location: " + rule.location.toUtf8() + "\r\n"));
        responseDone(socket);
        if (!keepAlive)
            socket->disconnectFromHost();
        return;
    }

    QFile file(QDir(root).filePath(path.mid(1)));
    if (method != "GET" || !QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly)) {
        const QByteArray body = "Not Found\n";
        socket->write(header(404, body.size(), keepAlive) + body);
        responseDone(socket);
        if (!keepAlive)
            socket->disconnectFromHost();
        return;
    }
    QByteArray body = file.readAll();

    // Validators, and the part of the file a ranged request gets.
    QByteArray extra;
    const QByteArray etag =
        '"' + QCryptographicHash::hash(body, QCryptographicHash::Md5).toHex() + '"';
    const QByteArray lastModified =
        QLocale::c()
            .toString(QFileInfo(file).lastModified().toUTC(), "ddd, dd MMM yyyy hh:mm:ss 'GMT'")
            .toLatin1();
    if (entityTags)
        extra += "ETag: " + etag + "\r\n";
    if (lastModifiedDates)
        extra += "Last-Modified: " + lastModified + "\r\n";
    const bool ranged = (entityTags || lastModifiedDates) && !rangesIgnored &&
                        range.startsWith("bytes=") && range.endsWith('-') &&
                        (ifRange.isEmpty() || (entityTags && ifRange == etag) ||
                         (lastModifiedDates && ifRange == lastModified));
    if (ranged) {
        const qint64 from = range.mid(6, range.size() - 7).toLongLong();
        const qint64 size = body.size();
        if (rule.mode == Mode::RangeStatus || from >= size) {
            const int status = rule.mode == Mode::RangeStatus ? rule.status : 416;
            const QByteArray text = reasonPhrase(status) + '\n';
            socket->write(
                header(status, text.size(), keepAlive,
                       extra + "Content-Range: bytes */" + QByteArray::number(size) + "\r\n") +
                text);
            responseDone(socket);
            if (!keepAlive)
                socket->disconnectFromHost();
            return;
        }
        const qint64 first = rule.mode == Mode::Misrange ? 0 : from;
        socket->write(header(206, size - first, keepAlive,
                             extra + "Content-Range: bytes " + QByteArray::number(first) + '-' +
                                 QByteArray::number(size - 1) + '/' + QByteArray::number(size) +
                                 "\r\n"));
        writeBody(socket, body.mid(first));
        responseDone(socket);
        if (!keepAlive)
            socket->disconnectFromHost();
        return;
    }

    switch (rule.mode) {
    case Mode::Drop:
        socket->write(header(200, body.size(), true, extra));
        writeBody(socket, body.left(rule.bytes));
        socket->disconnectFromHost();
        responseDone(socket);
        return;
    case Mode::Stall:
        // The rest never comes; the connection stays open until the client gives up.
        socket->write(header(200, body.size(), true, extra));
        writeBody(socket, body.left(rule.bytes));
        socket->flush();
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { responseDone(socket); });
        return;
    case Mode::Hold:
        socket->write(header(200, body.size(), keepAlive, extra));
        writeBody(socket, body.left(rule.bytes));
        socket->flush();
        held.insert(path, {socket, body.mid(rule.bytes), keepAlive});
        return;
    case Mode::HoldNoLength:
        // Without a length the end of the body is the end of the connection.
        socket->write(header(200, -1, false, extra));
        writeBody(socket, body.left(rule.bytes));
        socket->flush();
        held.insert(path, {socket, body.mid(rule.bytes), false});
        return;
    case Mode::NoLength:
        socket->write(header(200, -1, false, extra));
        writeBody(socket, body);
        socket->disconnectFromHost();
        responseDone(socket);
        return;
    case Mode::Deflate: {
        // qCompress puts the length in front of the zlib stream that "deflate" names.
        const QByteArray compressed = qCompress(body, 9).mid(4);
        socket->write(
            header(200, compressed.size(), keepAlive, extra + "Content-Encoding: deflate\r\n"));
        writeBody(socket, compressed);
        responseDone(socket);
        if (!keepAlive)
            socket->disconnectFromHost();
        return;
    }
    case Mode::Trickle:
        socket->write(header(200, body.size(), keepAlive, extra));
        sendPieces(socket, body, int(qMax<qint64>(1, rule.bytes)), keepAlive);
        return;
    default:
        socket->write(header(200, body.size(), keepAlive, extra));
        writeBody(socket, body);
        responseDone(socket);
        if (!keepAlive)
            socket->disconnectFromHost();
        return;
    }
}

void TestHttpServer::sendPieces(QTcpSocket* socket, QByteArray body, int chunkSize, bool keepAlive)
{
    QPointer<QTcpSocket> guard(socket);
    auto* timer = new QTimer(this);
    timer->setInterval(5);
    connect(timer, &QTimer::timeout, this,
            [this, timer, guard, body, chunkSize, keepAlive]() mutable {
                if (!guard) {
                    timer->deleteLater();
                    responseDone(nullptr);
                    return;
                }
                writeBody(guard, body.left(chunkSize));
                body.remove(0, chunkSize);
                if (body.isEmpty()) {
                    timer->stop();
                    timer->deleteLater();
                    responseDone(guard);
                    if (!keepAlive)
                        guard->disconnectFromHost();
                }
            });
    timer->start();
}
