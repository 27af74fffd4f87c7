#pragma once

// A small HTTP/1.1 server for tests, on 127.0.0.1 and a free port. It serves the files below a
// root folder with keep-alive, and can be told, per path, to misbehave the way real servers and
// networks do: answer with an error status, drop the connection part-way through the body, stall,
// leave out Content-Length, redirect, or trickle the body out in small pieces. It lives in the
// thread that creates it and needs that thread's event loop to run.

#include <QHash>
#include <QMultiHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

class QTcpServer;
class QTcpSocket;

class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    explicit TestHttpServer(const QString& rootDir, QObject* parent = nullptr);
    ~TestHttpServer() override;

    // Starts listening on 127.0.0.1, on a free port or the one given (to come back on the port
    // of an earlier listen() after close()).
    bool listen(quint16 port = 0);
    // Stops accepting connections: the server is down, connections are refused.
    void close();
    quint16 port() const;
    // "http://127.0.0.1:<port>", no trailing slash.
    QString baseUrl() const;

    void setRootDir(const QString& rootDir);

    // Answers path with this status (404, 500, ...) and a short text body, or a page of
    // pageBytes bytes.
    void respondWithStatus(const QString& path, int status, qint64 pageBytes = -1);
    // Announces the full Content-Length, sends this many body bytes, then closes the connection.
    void dropAfter(const QString& path, qint64 bytes);
    // Sends this many body bytes and then nothing more, keeping the connection open.
    void stallAfter(const QString& path, qint64 bytes);
    // Sends the body without Content-Length and ends it by closing the connection.
    void omitContentLength(const QString& path);
    // Sends the file compressed (Content-Encoding: deflate), its length the compressed one.
    void deflate(const QString& path);
    // Answers path with a redirect (302 by default) to location.
    void redirect(const QString& path, const QString& location, int status = 302);
    // Sends the body of path in pieces of chunkSize bytes, one piece every few milliseconds.
    void trickle(const QString& path, int chunkSize);
    // Announces the full Content-Length, sends this many body bytes and holds the rest back until
    // release(path): the test decides when the client may see the end of the file.
    void holdAfter(const QString& path, qint64 bytes);
    // The same without Content-Length: the body ends when release(path) closes the connection.
    void holdAfterWithoutLength(const QString& path, qint64 bytes);
    // Sends a body without Content-Length that never ends: more whenever the client has taken
    // what was sent, until it closes the connection. With status (404, ...) an endless error
    // page.
    void endless(const QString& path, int status = 200);
    // The same, paced by the test: the first bytes at once, then only as much as sendMore(path)
    // allows, so that how far the client reads is counted, not timed. announcedLength (when not
    // negative) goes out as the Content-Length of a body that still never ends.
    void meteredEndless(const QString& path, qint64 first, qint64 announcedLength = -1);
    // Body bytes sent so far for endless paths.
    qint64 endlessBytesSent() const { return endlessSent; }
    // Connections of endless answers that the client closed.
    int endlessClosedByClient() const { return endlessClosed; }
    // Sends the next bytes of every held answer for path, still holding back what follows; for a
    // metered endless path, lets that many more bytes go.
    void sendMore(const QString& path, qint64 bytes);
    // Sends the rest of every held answer for path and completes it. A path not yet requested is
    // served whole when it comes.
    void release(const QString& path);
    // Closes the connections of every held answer for path, the rest unsent: a connection that
    // breaks at the moment the test chooses.
    void dropHeld(const QString& path);
    // Whether an answer for path is being held back right now.
    bool isHolding(const QString& path) const;
    // Forgets every per-path rule.
    void clearRules();

    // Gives every file answer an entity tag (the body's MD5, quoted) and, with lastModified, the
    // file's Last-Modified date, and answers "Range: bytes=<n>-" the way servers with range
    // support do: the rest of the file (206) when If-Range is absent or names the file as it is
    // now, 416 when n is at or past its end, and the whole file (200) when If-Range names
    // another. Off by default: no validator, ranges ignored.
    void setValidators(bool entityTag, bool lastModified = false);
    // Keeps the validators but answers every ranged request with the whole file (200).
    void setRangesIgnored(bool ignored);
    // Answers a ranged request for path that would get its rest with this status and a short
    // text body instead (416, 500, ...).
    void answerRangeWith(const QString& path, int status);
    // Answers a ranged request for path with 206 but the whole body, labelled as such
    // ("bytes 0-<n-1>/<n>"): not the range asked for.
    void misrange(const QString& path);
    // Body bytes of files written to clients so far, every answer counted.
    qint64 bodyBytesSent() const { return bodySent; }
    // The Range header of every request (empty where there was none), in order of arrival.
    QStringList requestedRanges() const;

    // Paths of every request received, in order of arrival.
    QStringList requestedPaths() const;
    // The largest number of requests whose answer was still being sent at one time.
    int maxConcurrentRequests() const;
    // The whole URLs of requests sent in the form a client uses for a proxy, in order.
    QStringList proxiedRequests() const;
    // Connections accepted so far.
    int connectionCount() const;

private:
    enum class Mode {
        Serve,
        Status,
        Drop,
        Stall,
        NoLength,
        Deflate,
        Redirect,
        Trickle,
        Hold,
        HoldNoLength,
        Endless,
        RangeStatus,
        Misrange
    };
    struct Rule {
        Mode mode = Mode::Serve;
        int status = 200;
        qint64 bytes = 0;
        QString location;
        // For endless answers: the announced length (-1: none).
        qint64 length = -1;
    };

    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    void handleRequest(QTcpSocket* socket, const QByteArray& method, const QString& path,
                       bool keepAlive, const QByteArray& range, const QByteArray& ifRange);
    // Writes body bytes of a file answer, counted in bodyBytesSent().
    void writeBody(QTcpSocket* socket, const QByteArray& bytes);
    void sendPieces(QTcpSocket* socket, QByteArray body, int chunkSize, bool keepAlive);
    // Writes the next piece of an endless answer once the previous one has left, as far as its
    // path's allowance lets it.
    void pumpEndless(QTcpSocket* socket, const QString& path);
    // An answer on socket began or ended; while one is under way, requests that follow it on the
    // same connection wait.
    void responseStarted(QTcpSocket* socket);
    void responseDone(QTcpSocket* socket);

    QTcpServer* server;
    QString root;
    struct Held {
        QTcpSocket* socket;
        QByteArray rest;
        bool keepAlive;
    };

    QHash<QString, Rule> rules;
    QMultiHash<QString, Held> held;
    QStringList requests;
    QStringList proxied;
    QHash<QTcpSocket*, QByteArray> buffers;
    QSet<QTcpSocket*> answering;
    int inFlight = 0;
    int maxInFlight = 0;
    int connections = 0;
    qint64 endlessSent = 0;
    int endlessClosed = 0;
    // Bytes a metered endless path may still send, and the answers sending it.
    QHash<QString, qint64> endlessAllowance;
    QMultiHash<QString, QTcpSocket*> endlessAnswers;
    qint64 bodySent = 0;
    bool entityTags = false;
    bool lastModifiedDates = false;
    bool rangesIgnored = false;
    QStringList ranges;
};
