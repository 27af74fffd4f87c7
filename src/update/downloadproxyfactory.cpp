#include "update/downloadproxyfactory.h"

#include <QNetworkProxy>

QList<QNetworkProxy> DownloadProxyFactory::queryProxy(const QNetworkProxyQuery& query)
{
    QList<QNetworkProxy> proxies = systemProxyForQuery(query);
    for (QNetworkProxy& proxy : proxies) {
        if (proxy.type() == QNetworkProxy::NoProxy)
            proxy = QNetworkProxy(QNetworkProxy::DefaultProxy);
    }
    if (proxies.isEmpty())
        proxies.append(QNetworkProxy(QNetworkProxy::DefaultProxy));
    return proxies;
}

void DownloadProxyFactory::pinDirectConnections()
{
    // Also drops any application-wide proxy factory, including the system configuration.
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
}
