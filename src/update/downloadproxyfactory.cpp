#include "update/downloadproxyfactory.h"

#include <QNetworkProxy>

QList<QNetworkProxy> DownloadProxyFactory::queryProxy(const QNetworkProxyQuery& query)
{
    const QString key = QString::number(int(query.queryType())) + QLatin1Char(' ') +
                        query.protocolTag() + QLatin1String("://") + query.peerHostName() +
                        QLatin1Char(':') + QString::number(query.peerPort());
    const QMutexLocker locker(&mutex);
    const auto known = answers.constFind(key);
    if (known != answers.cend())
        return known.value();

    QList<QNetworkProxy> proxies = systemProxyForQuery(query);
    for (QNetworkProxy& proxy : proxies) {
        if (proxy.type() == QNetworkProxy::NoProxy)
            proxy = QNetworkProxy(QNetworkProxy::DefaultProxy);
    }
    if (proxies.isEmpty())
        proxies.append(QNetworkProxy(QNetworkProxy::DefaultProxy));
    answers.insert(key, proxies);
    return proxies;
}

void DownloadProxyFactory::pinDirectConnections()
{
    // Also drops any application-wide proxy factory, including the system configuration.
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
}
