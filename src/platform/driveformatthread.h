#pragma once

#include <QByteArray>
#include <QString>
#include <QThread>

// Gives a drive a fresh DOS partition table with one FAT partition filling it: with the
// system tools when the device node is writable, otherwise through the storage service.
class DriveFormatThread : public QThread
{
    Q_OBJECT
public:
    DriveFormatThread(const QByteArray &device, QObject *parent = nullptr);
    ~DriveFormatThread() override;

    // /dev/sdb -> /dev/sdb1, /dev/mmcblk0 -> /dev/mmcblk0p1
    static QByteArray firstPartitionPath(const QByteArray &device);

signals:
    void success();
    void error(QString msg);

protected:
    void run() override;

private:
    void _formatThroughStorageService();
    void _formatWithTools();
    bool _partition();
    bool _waitForPartitionNode(const QByteArray &partition);
    bool _makeFileSystem(const QByteArray &partition);

    QByteArray _device;
};
