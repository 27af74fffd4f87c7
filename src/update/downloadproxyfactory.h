#pragma once

// The proxies of the worker's network manager: the system's choice for each request (so users
// behind a company HTTP proxy reach the server the way their other programs do), with "no proxy"
// answered as QNetworkProxy::DefaultProxy, which the worker pins to a direct connection.
//
// Why not plain "no proxy": Qt then reads the connection through an unbuffered socket, draining
// all the kernel holds in one loop, and a reply's read-buffer limit only reaches Qt's network
// thread after the request has started. On a fast link a whole body can pile up in memory before
// the limit applies. Through DefaultProxy, Qt reads the socket buffered, 64 KiB at a time, and
// goes back to its event loop in between, where the limit arrives before the next read.

#include <QHash>
#include <QMutex>
#include <QNetworkProxyFactory>

class DownloadProxyFactory : public QNetworkProxyFactory
{
public:
    // The system's settings are looked up once per scheme, host and port: every request of a
    // run goes to the same server, and the look-up (which may read configuration files and ask
    // another thread) would otherwise be paid again for each of thousands of small files.
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override;

    // Makes DefaultProxy mean a direct connection for the whole process. Needed before the first
    // request: if the application proxy followed the system's settings, a connection handed
    // DefaultProxy would look them up again as a plain TCP connection, for which a SOCKS proxy
    // in all_proxy applies, and would leave the machine through it.
    static void pinDirectConnections();

private:
    QMutex mutex;
    QHash<QString, QList<QNetworkProxy>> answers;
};
