#include "linuxdrivelist.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

namespace Drivelist
{

namespace
{

constexpr int kLsblkTimeoutMs = 2000;
constexpr int kLsblkReapTimeoutMs = 1000;

const QStringList kLsblkArguments = {
    QStringLiteral("--bytes"),
    QStringLiteral("--json"),
    QStringLiteral("--paths"),
    QStringLiteral("--tree"),
    QStringLiteral("--output"),
    QStringLiteral(
        "kname,type,subsystems,ro,rm,hotplug,size,phy-sec,log-sec,label,vendor,model,mountpoint"),
    QStringLiteral("--exclude"),
    QStringLiteral("7"),
};

const QStringList kSkippedPrefixes = {
    QStringLiteral("/dev/loop"),
    QStringLiteral("/dev/sr"),
    QStringLiteral("/dev/ram"),
    QStringLiteral("/dev/zram"),
};

// Returns lsblk's report, or an empty array when it could not be had.
QJsonArray runLsblk()
{
    QProcess lsblk;
    lsblk.start(QStringLiteral("lsblk"), kLsblkArguments, QIODevice::ReadWrite);
    const bool finished = lsblk.waitForFinished(kLsblkTimeoutMs);
    const QByteArray output = lsblk.readAllStandardOutput();

    if (!finished || lsblk.exitStatus() != QProcess::NormalExit || lsblk.exitCode() != 0 ||
        output.isEmpty()) {
        qDebug() << "Error executing lsblk";
        qDebug() << "lsblk finished:" << finished << "exit code:" << lsblk.exitCode()
                 << "error:" << lsblk.errorString()
                 << "stderr:" << lsblk.readAllStandardError().trimmed();
        if (lsblk.state() != QProcess::NotRunning) {
            lsblk.kill();
            lsblk.waitForFinished(kLsblkReapTimeoutMs);
        }
        return {};
    }
    return QJsonDocument::fromJson(output).object().value(QLatin1String("blockdevices")).toArray();
}

bool isSkipped(const QString &kname)
{
    if (kname.isEmpty())
        return true;
    for (const QString &prefix : kSkippedPrefixes) {
        if (kname.startsWith(prefix))
            return true;
    }
    return false;
}

// SD/MMC cards and USB-attached disks count as removable whatever rm and hotplug say.
bool isCardOrUsb(const QString &subsystems)
{
    const QString block = QStringLiteral("block");
    return subsystems == block ||
           (subsystems.contains(block) && (subsystems.contains(QLatin1String("mmc")) ||
                                           subsystems.contains(QLatin1String("scsi:usb"))));
}

bool isTextOne(const QJsonValue &value)
{
    return value.toString() == QLatin1String("1");
}

// Current lsblk reports booleans; older versions report the digits "0" and "1" as text.
void readFlags(DeviceDescriptor &d, const QJsonObject &obj, bool cardOrUsb)
{
    const QJsonValue ro = obj.value(QLatin1String("ro"));
    const QJsonValue rm = obj.value(QLatin1String("rm"));
    const QJsonValue hotplug = obj.value(QLatin1String("hotplug"));
    if (ro.isBool()) {
        d.isReadOnly = ro.toBool();
        d.isRemovable = rm.toBool() || hotplug.toBool() || cardOrUsb;
    } else {
        d.isReadOnly = isTextOne(ro);
        d.isRemovable = isTextOne(rm) || isTextOne(hotplug) || cardOrUsb;
    }
}

// Older lsblk reports the size as decimal text. A negative or fractional number is no size.
uint64_t readSize(const QJsonValue &size)
{
    if (size.isString())
        return size.toString().toULongLong();
    const qint64 bytes = size.toInteger(0);
    return bytes > 0 ? static_cast<uint64_t>(bytes) : 0;
}

QString trimmedText(const QJsonObject &obj, const char *key)
{
    return obj.value(QLatin1String(key)).toString().trimmed();
}

void appendMountpoint(DeviceDescriptor &d, const QJsonObject &obj)
{
    const QString mountpoint = obj.value(QLatin1String("mountpoint")).toString();
    if (!mountpoint.isEmpty())
        d.mountpoints.push_back(mountpoint.toStdString());
}

// A nonremovable NVMe disk whose file systems are all unmounted or under /media/ holds no system.
bool isSpareNvme(const DeviceDescriptor &d)
{
    for (const std::string &mountpoint : d.mountpoints) {
        if (mountpoint.rfind("/media/", 0) != 0)
            return false;
    }
    return true;
}

QString describe(const DeviceDescriptor &d, const QJsonObject &obj, const QStringList &labels)
{
    QStringList nameParts = {trimmedText(obj, "label"), trimmedText(obj, "vendor"),
                             trimmedText(obj, "model")};
    if (d.device == "/dev/mmcblk0") {
        nameParts.removeAll(QString());
        if (nameParts.isEmpty())
            nameParts.append(QCoreApplication::translate("Drivelist", "Internal SD card reader"));
    }
    if (!labels.isEmpty())
        nameParts.append(QLatin1Char('(') + labels.join(QLatin1String(", ")) + QLatin1Char(')'));
    nameParts.removeAll(QString());
    return nameParts.join(QLatin1Char(' '));
}

DeviceDescriptor describeDevice(const QJsonObject &obj, const QString &kname,
                                const QString &subsystems)
{
    DeviceDescriptor d;
    d.device = kname.toStdString();
    readFlags(d, obj, isCardOrUsb(subsystems));
    d.size = readSize(obj.value(QLatin1String("size")));
    d.isSystem = !d.isRemovable;
    d.isUsb = subsystems.contains(QLatin1String("usb"));
    d.isScsi = subsystems.contains(QLatin1String("scsi")) && !d.isUsb;

    appendMountpoint(d, obj);
    QStringList labels;
    _walkStorageChildren(d, labels, obj.value(QLatin1String("children")).toArray());
    d.description = describe(d, obj, labels).toStdString();

    if (d.isSystem && subsystems.contains(QLatin1String("nvme")) && isSpareNvme(d))
        d.isSystem = false;
    return d;
}

} // namespace

std::vector<DeviceDescriptor> ListStorageDevices()
{
    std::vector<DeviceDescriptor> devices;
    const QJsonArray report = runLsblk();
    for (const QJsonValue &entry : report) {
        const QJsonObject obj = entry.toObject();
        const QString kname = obj.value(QLatin1String("kname")).toString();
        if (isSkipped(kname))
            continue;
        devices.push_back(
            describeDevice(obj, kname, obj.value(QLatin1String("subsystems")).toString()));
    }
    return devices;
}

void _walkStorageChildren(DeviceDescriptor &device, QStringList &labels, const QJsonArray &children)
{
    for (const QJsonValue &entry : children) {
        const QJsonObject child = entry.toObject();
        const QString label = child.value(QLatin1String("label")).toString();
        if (!label.isEmpty())
            labels.append(label);
        appendMountpoint(device, child);
        const QJsonArray grandChildren = child.value(QLatin1String("children")).toArray();
        if (!grandChildren.isEmpty())
            _walkStorageChildren(device, labels, grandChildren);
    }
}

} // namespace Drivelist
