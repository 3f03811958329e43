#pragma once
// The mock UDisks2 service (mocks/mock_udisks2.py) on a q5test::PrivateBus, with its record of
// calls read back as JSON objects. Stops every service of the bus when it goes.

#include "privatebus.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>

namespace q5test
{

class MockUDisks2
{
public:
    MockUDisks2(PrivateBus &bus, const QStringList &args) : _bus(bus)
    {
        _logPath = _dir.filePath(QStringLiteral("udisks2-calls.jsonl"));
        _running = _dir.isValid() &&
                   bus.startService(PrivateBus::mockPath(QStringLiteral("mock_udisks2.py")),
                                    QStringList{QStringLiteral("--log"), _logPath} + args);
    }
    ~MockUDisks2() { _bus.stopServices(); }
    MockUDisks2(const MockUDisks2 &) = delete;
    MockUDisks2 &operator=(const MockUDisks2 &) = delete;

    bool isRunning() const { return _running; }
    QString errorString() const { return _bus.errorString(); }

    // Every call the service received, in order: {"call", "object", "args"}.
    QList<QJsonObject> calls() const
    {
        QList<QJsonObject> list;
        QFile f(_logPath);
        if (!f.open(QIODevice::ReadOnly))
            return list;
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (!line.trimmed().isEmpty())
                list << QJsonDocument::fromJson(line).object();
        }
        return list;
    }

    QStringList callNames() const
    {
        QStringList names;
        for (const QJsonObject &c : calls())
            names << c.value(QLatin1String("call")).toString();
        return names;
    }

    // The calls of one method, in order.
    QList<QJsonObject> callsOf(const QString &method) const
    {
        QList<QJsonObject> list;
        for (const QJsonObject &c : calls()) {
            if (c.value(QLatin1String("call")).toString() == method)
                list << c;
        }
        return list;
    }

    // The D-Bus object path the mock gives a device node's block object.
    static QString blockPath(const QString &node)
    {
        QString name = node.mid(node.lastIndexOf(QLatin1Char('/')) + 1);
        return QStringLiteral("/org/freedesktop/UDisks2/block_devices/") +
               name.replace(QLatin1Char('-'), QLatin1Char('_'));
    }

private:
    PrivateBus &_bus;
    QTemporaryDir _dir;
    QString _logPath;
    bool _running = false;
};

} // namespace q5test
