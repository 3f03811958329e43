#include "networkaccessmanagerfactory.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkDiskCache>
#include <QStandardPaths>

// The engine may call this from its loader threads: the counter is atomic.
QNetworkAccessManager *NetworkAccessManagerFactory::create(QObject *parent)
{
    auto *manager = new QNetworkAccessManager(parent);
    auto *cache = new QNetworkDiskCache(manager);
    const QString cacheDir = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    cache->setCacheDirectory(QDir(cacheDir).filePath(
        QStringLiteral("oslistcache") + QString::number(_cacheCounter.fetchAndAddOrdered(1))));
    cache->clear();
    manager->setCache(cache);
    return manager;
}
