#pragma once

#include <QAtomicInt>
#include <QQmlNetworkAccessManagerFactory>

// Gives each network access manager the QML engine asks for a disk cache of its own, so that
// the icons and pictures of the repository list are fetched once per run.
class NetworkAccessManagerFactory : public QQmlNetworkAccessManagerFactory
{
public:
    QNetworkAccessManager *create(QObject *parent) override;

private:
    QAtomicInt _cacheCounter;
};
