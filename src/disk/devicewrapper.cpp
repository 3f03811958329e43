#include "devicewrapper.h"

#include "devicewrapperblockcacheentry.h"
#include "devicewrapperfatpartition.h"

#include <QDebug>
#include <QFile>
#include <QtEndian>
#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

namespace
{

constexpr quint64 SectorSize = 512;
constexpr quint64 MaxSectorNumber = std::numeric_limits<quint64>::max() / SectorSize;

std::string deviceErrorText(const QFile *file)
{
    // A short read without an error from the device means the device ended early.
    if (file->error() == QFileDevice::NoError)
        return "unexpected end of device";
    return file->errorString().toStdString();
}

} // namespace

DeviceWrapper::DeviceWrapper(QFile *file, QObject *parent) : QObject(parent), _file(file) {}

DeviceWrapper::~DeviceWrapper()
{
    try {
        sync();
    } catch (const std::runtime_error &e) {
        qWarning() << "Error writing the last changes to the device:" << e.what();
    }
}

void DeviceWrapper::_seekToBlock(quint64 blockNr)
{
    if (blockNr > quint64(std::numeric_limits<qint64>::max()) / BlockSize ||
        !_file->seek(qint64(blockNr * BlockSize)))
        throw std::runtime_error("Error seeking device");
}

void DeviceWrapper::_readIntoBlockCacheIfNeeded(quint64 offset, quint64 size)
{
    if (!size)
        return;

    const quint64 firstBlock = offset / BlockSize;
    const quint64 lastBlock = (offset + size - 1) / BlockSize;
    for (quint64 blockNr = firstBlock; blockNr <= lastBlock; blockNr++) {
        if (_blockcache.count(blockNr))
            continue;

        _seekToBlock(blockNr);
        auto entry = std::make_unique<DeviceWrapperBlockCacheEntry>(nullptr, BlockSize);
        if (_file->read(entry->block, BlockSize) != qint64(BlockSize))
            throw std::runtime_error("Error reading from device: " + deviceErrorText(_file));
        entry->setParent(this);
        _blockcache[blockNr] = entry.release();
    }
}

void DeviceWrapper::pread(char *buf, quint64 size, quint64 offset)
{
    if (!size)
        return;
    if (size - 1 > std::numeric_limits<quint64>::max() - offset)
        throw std::runtime_error("Error seeking device");

    _readIntoBlockCacheIfNeeded(offset, size);

    quint64 blockNr = offset / BlockSize;
    quint64 inBlock = offset % BlockSize;
    while (size) {
        const quint64 chunk = std::min(size, BlockSize - inBlock);
        std::memcpy(buf, _blockcache.at(blockNr)->block + inBlock, chunk);
        buf += chunk;
        size -= chunk;
        inBlock = 0;
        blockNr++;
    }
}

void DeviceWrapper::pwrite(const char *buf, quint64 size, quint64 offset)
{
    if (!size)
        return;
    if (size - 1 > std::numeric_limits<quint64>::max() - offset)
        throw std::runtime_error("Error seeking device");

    // Partly written blocks must keep the device's content in their untouched bytes.
    if (offset % BlockSize || size % BlockSize)
        _readIntoBlockCacheIfNeeded(offset, size);

    quint64 blockNr = offset / BlockSize;
    quint64 inBlock = offset % BlockSize;
    while (size) {
        DeviceWrapperBlockCacheEntry *&entry = _blockcache[blockNr];
        if (!entry)
            entry = new DeviceWrapperBlockCacheEntry(this, BlockSize);
        const quint64 chunk = std::min(size, BlockSize - inBlock);
        entry->dirty = true;
        std::memcpy(entry->block + inBlock, buf, chunk);
        buf += chunk;
        size -= chunk;
        inBlock = 0;
        blockNr++;
    }
    _dirty = true;
}

void DeviceWrapper::_writeBlock(quint64 blockNr, DeviceWrapperBlockCacheEntry *entry,
                                const char *errorPrefix)
{
    _seekToBlock(blockNr);
    if (_file->write(entry->block, BlockSize) != qint64(BlockSize) || !_file->flush())
        throw std::runtime_error(errorPrefix + _file->errorString().toStdString());
    entry->dirty = false;
}

void DeviceWrapper::sync()
{
    if (!_dirty)
        return;

    for (const auto &[blockNr, entry] : _blockcache) {
        if (blockNr != 0 && entry->dirty)
            _writeBlock(blockNr, entry, "Error writing to device: ");
    }
    const auto block0 = _blockcache.find(0);
    if (block0 != _blockcache.end() && block0->second->dirty)
        _writeBlock(0, block0->second, "Error writing MBR to device: ");

    _dirty = false;
}

void DeviceWrapper::_findGptPartition(const char *gptHeader, int nr, quint64 &start, quint64 &len)
{
    const auto *hdr = reinterpret_cast<const uchar *>(gptHeader);
    const quint32 numEntries = qFromLittleEndian<quint32>(hdr + 80);
    if (quint32(nr) > numEntries)
        throw std::runtime_error("Partition does not exist");

    const quint64 entriesSector = qFromLittleEndian<quint64>(hdr + 72);
    const quint32 entrySize = qFromLittleEndian<quint32>(hdr + 84);
    if (entrySize < 128 || entriesSector > MaxSectorNumber / 2)
        throw std::runtime_error("Corrupt GPT partition table");

    uchar entry[128];
    pread(reinterpret_cast<char *>(entry), sizeof(entry),
          entriesSector * SectorSize + quint64(nr - 1) * entrySize);

    // An unused slot has an all-zero type GUID.
    static const uchar unusedType[16] = {};
    const quint64 firstSector = qFromLittleEndian<quint64>(entry + 32);
    const quint64 lastSector = qFromLittleEndian<quint64>(entry + 40);
    if (!std::memcmp(entry, unusedType, sizeof(unusedType)) || firstSector == 0 ||
        lastSector < firstSector)
        throw std::runtime_error("Partition does not exist");
    if (lastSector >= MaxSectorNumber)
        throw std::runtime_error("Corrupt GPT partition table");

    start = firstSector * SectorSize;
    len = (lastSector - firstSector + 1) * SectorSize;
}

void DeviceWrapper::_findMbrPartition(int nr, quint64 &start, quint64 &len)
{
    uchar mbr[SectorSize];
    pread(reinterpret_cast<char *>(mbr), sizeof(mbr), 0);
    if (mbr[510] != 0x55 || mbr[511] != 0xAA)
        throw std::runtime_error("MBR does not have valid signature");

    const uchar *record = mbr + 446 + (nr - 1) * 16;
    const quint32 startSector = qFromLittleEndian<quint32>(record + 8);
    const quint32 sectorCount = qFromLittleEndian<quint32>(record + 12);
    if (!startSector || !sectorCount)
        throw std::runtime_error("Partition does not exist");

    start = quint64(startSector) * SectorSize;
    len = quint64(sectorCount) * SectorSize;
}

DeviceWrapperFatPartition *DeviceWrapper::fatPartition(int nr)
{
    if (nr < 1 || nr > 4)
        throw std::runtime_error("Only basic partitions 1-4 supported");

    char gptHeader[SectorSize];
    pread(gptHeader, sizeof(gptHeader), SectorSize);

    quint64 start = 0;
    quint64 len = 0;
    const auto *hdr = reinterpret_cast<const uchar *>(gptHeader);
    if (!std::memcmp(gptHeader, "EFI PART", 8) && qFromLittleEndian<quint64>(hdr + 24) == 1) {
        qDebug() << "Using GPT partition table";
        _findGptPartition(gptHeader, nr, start, len);
    } else {
        _findMbrPartition(nr, start, len);
    }

    return new DeviceWrapperFatPartition(this, start, len, this);
}
