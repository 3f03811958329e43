#pragma once

#include <QByteArrayList>
#include <QDBusAbstractInterface>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QVariantList>

// Client of the UDisks2 storage service on the system bus: lets an unprivileged program open,
// unmount, repartition, mount and eject drives, the service asking for authorisation itself.
// Every call blocks until the service answers: use it from worker threads only. No state is
// kept between calls; failures show as -1, false or empty results, never as exceptions.
class UDisks2Api : public QObject
{
    Q_OBJECT
public:
    explicit UDisks2Api(QObject *parent = nullptr);

    // A new descriptor the caller owns and closes, or -1.
    int authOpen(const QString &device, const QString &mode = QStringLiteral("rw"));
    bool formatDrive(const QString &device, bool mountAfterwards = true);
    QString mountDevice(const QString &device);
    void unmountDrive(const QString &device);
    void ejectDrive(const QString &device);
    QByteArrayList mountPoints(const QString &device);
    QByteArrayList mountPoints(const QDBusAbstractInterface &filesystem);

protected:
    QString _resolveDevice(const QString &device);
    void _unmountDrive(const QString &driveDbusPath);

private:
    QDBusMessage _call(const QString &objectPath, const QString &interface, const QString &method,
                       const QVariantList &args, int timeoutMs = -1);
    QVariant _property(const QString &objectPath, const QString &interface, const QString &name);
    QString _driveOf(const QString &blockPath);
    QByteArrayList _mountPointsAt(const QString &filesystemPath);
    // The new mount directory, or the first existing one when the desktop was quicker; an empty
    // string when every attempt failed.
    QString _mountWithRetries(const QString &filesystemPath, const char *mountedText,
                              const char *failedText);
};
