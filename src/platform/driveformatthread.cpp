#include "driveformatthread.h"

#include "mountutils.h"
#include "udisks2api.h"

#include <QDebug>
#include <QFile>
#include <QProcess>
#include <cctype>
#include <unistd.h>

namespace
{
constexpr int kToolTimeoutMs = 30000;
constexpr int kPartprobeTimeoutMs = 30000;
constexpr int kNodeChecks = 30;
constexpr int kNodeCheckIntervalMs = 100;

// Partition 1 from 4 MiB to the end of the drive, FAT16 with LBA; partitions 2 to 4 empty.
const QByteArray kSfdiskScript = "8192,,0E\n0,0\n0,0\n0,0\n";

void stopIfRunning(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.kill();
    process.waitForFinished(kToolTimeoutMs);
}

bool exitedCleanly(const QProcess &process)
{
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}
} // namespace

DriveFormatThread::DriveFormatThread(const QByteArray &device, QObject *parent)
    : QThread(parent), _device(device)
{
}

DriveFormatThread::~DriveFormatThread()
{
    wait();
}

QByteArray DriveFormatThread::firstPartitionPath(const QByteArray &device)
{
    const bool endsInDigit = !device.isEmpty() && std::isdigit(uchar(device.back()));
    return device + (endsInDigit ? "p1" : "1");
}

void DriveFormatThread::run()
{
    if (::access(_device.constData(), W_OK) != 0)
        _formatThroughStorageService();
    else
        _formatWithTools();
}

void DriveFormatThread::_formatThroughStorageService()
{
    UDisks2Api udisks;
    if (udisks.formatDrive(QString::fromUtf8(_device), true))
        emit success();
    else
        emit error(tr("Error formatting (through udisks2)"));
}

void DriveFormatThread::_formatWithTools()
{
    const QByteArray partition = firstPartitionPath(_device);
    unmount_disk(_device.constData());
    if (!_partition())
        return;

    // Only the repartitioned drive is re-read: probing every disk could disturb the partitions
    // of disks in use.
    QProcess partprobe;
    partprobe.start(QStringLiteral("partprobe"), {QString::fromUtf8(_device)});
    if (partprobe.waitForStarted(kToolTimeoutMs) && !partprobe.waitForFinished(kPartprobeTimeoutMs))
        qDebug() << "partprobe did not finish in time";
    stopIfRunning(partprobe);

    if (!_waitForPartitionNode(partition)) {
        emit error(tr("Partitioning did not create expected FAT partition %1")
                       .arg(QString::fromUtf8(partition)));
        return;
    }
    if (_makeFileSystem(partition))
        emit success();
}

bool DriveFormatThread::_partition()
{
    QProcess sfdisk;
    sfdisk.setProcessChannelMode(QProcess::MergedChannels);
    sfdisk.start(QStringLiteral("sfdisk"), {QStringLiteral("-uS"), QString::fromUtf8(_device)});
    if (!sfdisk.waitForStarted(kToolTimeoutMs)) {
        emit error(tr("Error starting sfdisk"));
        return false;
    }
    sfdisk.write(kSfdiskScript);
    sfdisk.closeWriteChannel();
    const bool finished = sfdisk.waitForFinished(kToolTimeoutMs);
    stopIfRunning(sfdisk);
    const QByteArray output = sfdisk.readAll();
    qDebug() << "sfdisk:" << output;
    if (!finished || !exitedCleanly(sfdisk)) {
        emit error(tr("Error partitioning: %1").arg(QString::fromUtf8(output)));
        return false;
    }
    return true;
}

bool DriveFormatThread::_waitForPartitionNode(const QByteArray &partition)
{
    for (int check = 0; check < kNodeChecks; ++check) {
        if (QFile::exists(QString::fromUtf8(partition)))
            return true;
        QThread::msleep(kNodeCheckIntervalMs);
    }
    return false;
}

bool DriveFormatThread::_makeFileSystem(const QByteArray &partition)
{
    QProcess mkfs;
    mkfs.setProcessChannelMode(QProcess::MergedChannels);
    mkfs.start(QStringLiteral("mkfs.fat"), {QString::fromUtf8(partition)});
    if (!mkfs.waitForStarted(kToolTimeoutMs)) {
        emit error(tr("Error starting mkfs.fat"));
        return false;
    }
    const bool finished = mkfs.waitForFinished(kToolTimeoutMs);
    stopIfRunning(mkfs);
    const QByteArray output = mkfs.readAll();
    qDebug() << "mkfs.fat:" << output;
    if (!finished || !exitedCleanly(mkfs)) {
        emit error(tr("Error running mkfs.fat: %1").arg(QString::fromUtf8(output)));
        return false;
    }
    return true;
}
