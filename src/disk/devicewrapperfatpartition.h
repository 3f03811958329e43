#pragma once
// Reads and writes files in the root directory of a FAT16 or FAT32 file system that lies in a
// partition of a wrapped device, without mounting it. Long file names are read and written;
// subdirectories are neither created nor entered. Failures are raised as std::runtime_error.

#include "devicewrapperpartition.h"

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QSet>
#include <QString>
#include <QTime>
#include <QtGlobal>
#include <limits>
#include <vector>

static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "on-disk FAT structures are read in place");

enum fatType { FAT12 = 0, FAT16 = 1, FAT32 = 2, EXFAT = 3 };

struct __attribute__((packed)) dir_entry {
    unsigned char name[11];
    quint8 attributes;
    quint8 reserved;
    quint8 createTimeTenths;
    quint16 createTime;
    quint16 createDate;
    quint16 lastAccessDate;
    quint16 firstClusterHigh;
    quint16 writeTime;
    quint16 writeDate;
    quint16 firstClusterLow;
    quint32 fileSize;
};
static_assert(sizeof(dir_entry) == 32, "a directory entry is 32 bytes");

struct __attribute__((packed)) longfn_entry {
    quint8 sequence;
    char16_t name1[5];
    quint8 attributes;
    quint8 type;
    quint8 checksum;
    char16_t name2[6];
    quint16 firstClusterLow;
    char16_t name3[2];
};
static_assert(sizeof(longfn_entry) == 32, "a long-name entry is 32 bytes");

class DeviceWrapperFatPartition : public DeviceWrapperPartition
{
    Q_OBJECT
public:
    DeviceWrapperFatPartition(DeviceWrapper *dw, quint64 partStart, quint64 partLen,
                              QObject *parent = nullptr);

    QByteArray readFile(const QString &filename);
    void writeFile(const QString &filename, const QByteArray &contents);
    bool fileExists(const QString &filename);

    bool getDirEntry(const QString &longFilename, struct dir_entry *entry, bool create = false);
    void openDir();
    bool readDir(struct dir_entry *result);
    void writeDirEntryAtCurrentPos(const struct dir_entry &dirEntry);
    void updateDirEntry(const struct dir_entry &dirEntry);
    bool dirNameExists(const QByteArray &dirname);

    quint32 getFAT(quint32 cluster);
    void setFAT(quint32 cluster, quint32 value);
    void setFAT16(quint32 cluster, quint16 value);
    void setFAT32(quint32 cluster, quint32 value);
    quint32 allocateCluster();
    quint32 allocateCluster(quint32 previousCluster);
    QList<quint32> getClusterChain(quint32 firstCluster,
                                   quint32 maxLength = std::numeric_limits<quint32>::max());
    void seekCluster(quint32 cluster);
    void updateFSinfo(int deltaClusters, quint32 nextFreeClusterHint);

    static quint16 QTimeToFATtime(const QTime &time);
    static quint16 QDateToFATdate(const QDate &date);

protected:
    fatType _type;
    quint64 _fatStartOffset;
    quint32 _fatSize;
    quint32 _bytesPerCluster;
    quint64 _firstDataSectorOffset;
    quint32 _fat16_rootDirSectors;
    quint32 _fat16_firstRootDirSector;
    quint32 _fat32_firstRootClusterNr;
    quint32 _fat32_currentRootDirCluster;
    quint16 _bytesPerSector;
    quint16 _fat32_fsinfoSector;
    QList<quint64> _fatStartOffsets;
    QSet<quint32> _fat32_visitedRootDirClusters;

private:
    quint32 _clusterCount;
    // Every cluster below this one is known to be in use, so free-cluster scans start here.
    quint32 _lowestPossiblyFreeCluster = 2;

    void _checkCluster(quint32 cluster) const;
    quint32 _endOfChain() const;
    quint32 _firstCluster(const dir_entry &entry) const;
    quint64 _clusterOffset(quint32 cluster) const;
    quint64 _fat16RootDirEnd() const;
    quint32 _maxFileClusters() const;
    void _noteClusterValue(quint32 cluster, quint32 value);
    QList<quint32> _findFreeClusters(quint32 wanted);
    void _zeroCluster(quint32 cluster);
    void _enterNextRootDirCluster(bool zeroExistingCluster);
    void _seekToEndOfDir();
    QByteArray _uniqueShortName(const QString &longFilename);
    void _createDirEntry(const QString &longFilename, dir_entry *entry);
    void _resizeChain(QList<quint32> &chain, quint32 clustersNeeded);
};
