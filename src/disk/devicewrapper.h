#pragma once
// Byte-addressed access to a raw device or image through a write-back cache of 4096-byte
// blocks. Nothing reaches the device before sync(), and block 0 (the partition table) is
// always written last. Failures are raised as std::runtime_error carrying the message text.

#include <QObject>
#include <map>

class QFile;
class DeviceWrapperBlockCacheEntry;
class DeviceWrapperFatPartition;

class DeviceWrapper : public QObject
{
    Q_OBJECT
public:
    static constexpr quint64 BlockSize = 4096;

    explicit DeviceWrapper(QFile *file, QObject *parent = nullptr);
    ~DeviceWrapper() override;

    void pread(char *buf, quint64 size, quint64 offset);
    void pwrite(const char *buf, quint64 size, quint64 offset);
    void sync();
    DeviceWrapperFatPartition *fatPartition(int nr);

protected:
    bool _dirty = false;
    std::map<quint64, DeviceWrapperBlockCacheEntry *> _blockcache;
    QFile *_file;

    void _seekToBlock(quint64 blockNr);
    void _readIntoBlockCacheIfNeeded(quint64 offset, quint64 size);

private:
    void _writeBlock(quint64 blockNr, DeviceWrapperBlockCacheEntry *entry, const char *errorPrefix);
    void _findGptPartition(const char *gptHeader, int nr, quint64 &start, quint64 &len);
    void _findMbrPartition(int nr, quint64 &start, quint64 &len);
};
