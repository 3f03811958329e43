#include "udisks2api.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QDebug>
#include <QThread>
#include <QVariantMap>
#include <unistd.h>

namespace
{
const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kManagerPath = QStringLiteral("/org/freedesktop/UDisks2/Manager");
const QString kManagerInterface = QStringLiteral("org.freedesktop.UDisks2.Manager");
const QString kBlockInterface = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString kFilesystemInterface = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString kPartitionTableInterface = QStringLiteral("org.freedesktop.UDisks2.PartitionTable");
const QString kDriveInterface = QStringLiteral("org.freedesktop.UDisks2.Drive");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

constexpr int kOpenTimeoutMs = 3600000;
constexpr int kMountTimeoutMs = 3600000;
constexpr int kFormatTimeoutMs = 300000;
constexpr int kMountAttempts = 10;
constexpr quint64 kPartitionOffset = 4194304;
constexpr int kExclusiveOpenFlag = 128; // O_EXCL: the service opens the node exclusively

bool isError(const QDBusMessage &reply)
{
    return reply.type() != QDBusMessage::ReplyMessage;
}

bool namesDrive(const QString &drivePath)
{
    return !drivePath.isEmpty() && drivePath != QLatin1String("/");
}

QVariantMap noOptions()
{
    return QVariantMap();
}

QVariant firstArgument(const QDBusMessage &reply)
{
    return reply.arguments().isEmpty() ? QVariant() : reply.arguments().constFirst();
}

QList<QDBusObjectPath> objectPaths(const QDBusMessage &reply)
{
    const QVariant value = firstArgument(reply);
    if (!value.canConvert<QDBusArgument>())
        return {};
    return qdbus_cast<QList<QDBusObjectPath>>(value.value<QDBusArgument>());
}

QByteArrayList byteArrays(const QVariant &value)
{
    QByteArrayList list;
    if (value.canConvert<QDBusArgument>())
        list = qdbus_cast<QByteArrayList>(value.value<QDBusArgument>());
    else
        list = value.value<QByteArrayList>();
    for (QByteArray &entry : list) {
        if (entry.endsWith('\0'))
            entry.chop(1);
    }
    return list;
}
} // namespace

UDisks2Api::UDisks2Api(QObject *parent) : QObject(parent) {}

QDBusMessage UDisks2Api::_call(const QString &objectPath, const QString &interface,
                               const QString &method, const QVariantList &args, int timeoutMs)
{
    QDBusMessage message = QDBusMessage::createMethodCall(kService, objectPath, interface, method);
    message.setArguments(args);
    return QDBusConnection::systemBus().call(message, QDBus::Block, timeoutMs);
}

QVariant UDisks2Api::_property(const QString &objectPath, const QString &interface,
                               const QString &name)
{
    const QDBusMessage reply =
        _call(objectPath, kPropertiesInterface, QStringLiteral("Get"), {interface, name});
    if (isError(reply))
        return QVariant();
    return firstArgument(reply).value<QDBusVariant>().variant();
}

QString UDisks2Api::_driveOf(const QString &blockPath)
{
    return _property(blockPath, kBlockInterface, QStringLiteral("Drive"))
        .value<QDBusObjectPath>()
        .path();
}

QString UDisks2Api::_resolveDevice(const QString &device)
{
    const QVariantMap spec{{QStringLiteral("path"), device}};
    const QDBusMessage reply = _call(kManagerPath, kManagerInterface,
                                     QStringLiteral("ResolveDevice"), {spec, noOptions()});
    if (isError(reply))
        return QString();
    const QList<QDBusObjectPath> paths = objectPaths(reply);
    return paths.isEmpty() ? QString() : paths.constFirst().path();
}

void UDisks2Api::_unmountDrive(const QString &driveDbusPath)
{
    const QDBusMessage reply =
        _call(kManagerPath, kManagerInterface, QStringLiteral("GetBlockDevices"), {noOptions()});
    if (isError(reply))
        return;
    for (const QDBusObjectPath &block : objectPaths(reply)) {
        if (_driveOf(block.path()) != driveDbusPath)
            continue;
        const QDBusMessage unmounted =
            _call(block.path(), kFilesystemInterface, QStringLiteral("Unmount"), {noOptions()});
        if (!isError(unmounted))
            qDebug() << "Unmounted" << block.path() << "successfully";
    }
}

void UDisks2Api::unmountDrive(const QString &device)
{
    const QString block = _resolveDevice(device);
    if (block.isEmpty())
        return;
    const QString drive = _driveOf(block);
    if (namesDrive(drive))
        _unmountDrive(drive);
}

int UDisks2Api::authOpen(const QString &device, const QString &mode)
{
    const QString block = _resolveDevice(device);
    if (block.isEmpty())
        return -1;
    const QString drive = _driveOf(block);
    if (namesDrive(drive))
        _unmountDrive(drive);

    const QVariantMap options{{QStringLiteral("flags"), kExclusiveOpenFlag}};
    const QDBusMessage reply = _call(block, kBlockInterface, QStringLiteral("OpenDevice"),
                                     {mode, options}, kOpenTimeoutMs);
    if (isError(reply)) {
        qDebug() << "OpenDevice failed:" << reply.errorMessage();
        return -1;
    }
    const auto fd = firstArgument(reply).value<QDBusUnixFileDescriptor>();
    if (!fd.isValid())
        return -1;
    return ::dup(fd.fileDescriptor());
}

bool UDisks2Api::formatDrive(const QString &device, bool mountAfterwards)
{
    const QString block = _resolveDevice(device);
    if (block.isEmpty())
        return false;
    const QString drive = _driveOf(block);
    if (namesDrive(drive))
        _unmountDrive(drive);

    qDebug() << "Repartitioning drive";
    QDBusMessage reply = _call(block, kBlockInterface, QStringLiteral("Format"),
                               {QStringLiteral("dos"), noOptions()});
    if (isError(reply)) {
        qDebug() << "Error repartitioning device:" << reply.errorMessage();
        return false;
    }

    qDebug() << "Adding partition";
    reply =
        _call(block, kPartitionTableInterface, QStringLiteral("CreatePartition"),
              {QVariant::fromValue(qulonglong(kPartitionOffset)),
               QVariant::fromValue(qulonglong(0)), QStringLiteral("0x0e"), QString(), noOptions()});
    if (isError(reply)) {
        qDebug() << "Error adding partition:" << reply.errorMessage();
        return false;
    }
    const QString partition = firstArgument(reply).value<QDBusObjectPath>().path();
    qDebug() << "New partition:" << partition;
    QThread::sleep(1);
    if (namesDrive(drive))
        _unmountDrive(drive);

    qDebug() << "Formatting drive as FAT32";
    reply = _call(partition, kBlockInterface, QStringLiteral("Format"),
                  {QStringLiteral("vfat"), noOptions()}, kFormatTimeoutMs);
    if (isError(reply)) {
        qDebug() << "Error from udisks2 while performing FAT32 format:" << reply.errorMessage();
        return false;
    }
    if (!mountAfterwards)
        return true;
    return !_mountWithRetries(partition,
                              "Mounted new file system at:", "Failed to mount new file system.")
                .isEmpty();
}

QString UDisks2Api::mountDevice(const QString &device)
{
    const QString block = _resolveDevice(device);
    if (block.isEmpty())
        return QString();
    return _mountWithRetries(block, "Mounted file system at:", "Failed to mount file system.");
}

QString UDisks2Api::_mountWithRetries(const QString &filesystemPath, const char *mountedText,
                                      const char *failedText)
{
    for (int attempt = 0; attempt < kMountAttempts; ++attempt) {
        qDebug() << "Mounting partition";
        const QDBusMessage reply = _call(filesystemPath, kFilesystemInterface,
                                         QStringLiteral("Mount"), {noOptions()}, kMountTimeoutMs);
        if (!isError(reply)) {
            const QString dir = firstArgument(reply).toString();
            qDebug() << mountedText << dir;
            return dir;
        }
        const QByteArrayList existing = _mountPointsAt(filesystemPath);
        if (!existing.isEmpty()) {
            qDebug() << "Was already auto-mounted at:" << existing;
            return QString::fromUtf8(existing.constFirst());
        }
        qDebug() << "Error mounting:" << reply.errorMessage();
        QThread::sleep(1);
    }
    qDebug() << failedText;
    return QString();
}

void UDisks2Api::ejectDrive(const QString &device)
{
    const QString block = _resolveDevice(device);
    if (block.isEmpty())
        return;

    if (_property(block, kBlockInterface, QStringLiteral("HintAuto")).toBool()) {
        qDebug() << "Deactivating auto-mount for" << device;
        _call(block, kPropertiesInterface, QStringLiteral("Set"),
              {kBlockInterface, QStringLiteral("HintAuto"),
               QVariant::fromValue(QDBusVariant(false))});
    }
    _call(block, kBlockInterface, QStringLiteral("Rescan"), {noOptions()});

    const QString drive = _driveOf(block);
    if (!namesDrive(drive))
        return;
    _unmountDrive(drive);
    const QString id = _property(drive, kDriveInterface, QStringLiteral("Id")).toString();
    qDebug() << "Ejecting drive: " << id;
    _call(drive, kDriveInterface, QStringLiteral("Eject"), {noOptions()});
}

QByteArrayList UDisks2Api::mountPoints(const QString &device)
{
    const QString block = _resolveDevice(device);
    if (block.isEmpty())
        return {};
    return _mountPointsAt(block);
}

QByteArrayList UDisks2Api::mountPoints(const QDBusAbstractInterface &filesystem)
{
    return _mountPointsAt(filesystem.path());
}

QByteArrayList UDisks2Api::_mountPointsAt(const QString &filesystemPath)
{
    return byteArrays(
        _property(filesystemPath, kFilesystemInterface, QStringLiteral("MountPoints")));
}
