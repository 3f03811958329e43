#include "devicewrapperfatpartition.h"

#include <QDateTime>
#include <QDebug>
#include <QtEndian>
#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace
{

constexpr quint8 AttrReadOnlyHiddenSystemVolume = 0x0F;
constexpr quint8 AttrVolumeLabel = 0x08;
constexpr quint8 AttrDirectory = 0x10;
constexpr quint8 AttrArchive = 0x20;
constexpr uchar DeletedMarker = 0xE5;
constexpr uchar LastLongEntryFlag = 0x40;
constexpr int LongNameCharsPerEntry = 13;
constexpr int MaxLongNameLength = 255;
constexpr quint32 Fat32ClusterMask = 0x0FFFFFFF;
constexpr quint32 Fat32EndOfChain = 0x0FFFFFFF;
constexpr quint32 Fat32FirstEndMarker = 0x0FFFFFF8;
constexpr quint32 Fat32LastClusterValue = 0x0FFFFFF7;
constexpr quint32 Fat16EndOfChain = 0xFFFF;
constexpr quint32 Fat16LastClusterValue = 0xFFF7;
constexpr quint32 Fat32MaxClusterCount = 0x0FFFFFF5;
// The FAT standard's limit for one directory; more means a corrupt or hostile chain.
constexpr quint64 MaxDirectoryBytes = 65536 * 32;
// 20 long-name entries carry the longest name (255 characters and its NUL).
constexpr int MaxLongNameBuffer = 20 * LongNameCharsPerEntry;

const char *const CorruptBootSector = "FAT file system: invalid boot sector";
const char *const InvalidCluster = "Corrupt file system. Invalid cluster number in FAT table";
const char *const Fat16RootDirFull = "FAT16: ran out of root directory entry space";
const char *const CircularDirectory = "Circular cluster references in FAT32 directory detected";

bool isLongNameEntry(const dir_entry &entry)
{
    return (entry.attributes & 0x3F) == AttrReadOnlyHiddenSystemVolume;
}

bool isDeleted(const dir_entry &entry)
{
    return entry.name[0] == DeletedMarker;
}

bool isVolumeLabel(const dir_entry &entry)
{
    return !isLongNameEntry(entry) && (entry.attributes & AttrVolumeLabel);
}

QString longNameChars(const longfn_entry &lfn)
{
    QString chars;
    for (char16_t c : lfn.name1)
        chars += QChar(c);
    for (char16_t c : lfn.name2)
        chars += QChar(c);
    for (char16_t c : lfn.name3)
        chars += QChar(c);
    return chars;
}

// The lower-case "name.ext" form of an 8.3 entry, as it is compared with wanted names.
QString shortNameAsText(const dir_entry &entry)
{
    QByteArray raw(reinterpret_cast<const char *>(entry.name), 11);
    if (uchar(raw[0]) == 0x05) // stands for a real first byte of 0xE5
        raw[0] = char(DeletedMarker);
    QString text = QString::fromLatin1(raw.left(8)).trimmed().toLower();
    const QString ext = QString::fromLatin1(raw.mid(8, 3)).trimmed().toLower();
    if (!ext.isEmpty())
        text += QLatin1Char('.') + ext;
    return text;
}

// Characters a short name may not hold are replaced, so that the real tools accept the entry.
QByteArray sanitizedShortName(QByteArray name)
{
    static const QByteArray forbidden = QByteArrayLiteral("\"*+,./:;<=>?[\\]|");
    for (char &c : name) {
        if (uchar(c) < 0x20 || uchar(c) == 0x7F || forbidden.contains(c))
            c = '_';
    }
    if (name[0] == ' ')
        name[0] = '_';
    else if (uchar(name[0]) == DeletedMarker)
        name[0] = 0x05;
    return name;
}

QByteArray basicShortName(const QString &longFilename)
{
    QByteArray name;
    if (longFilename.count(QLatin1Char('.')) == 1) {
        const QByteArray upper = longFilename.toLatin1().toUpper();
        const int dot = upper.indexOf('.');
        name = upper.left(dot).left(8).leftJustified(8, ' ') +
               upper.mid(dot + 1).left(3).leftJustified(3, ' ');
    } else {
        name = longFilename.toLatin1().left(11).leftJustified(11, ' ');
    }
    return sanitizedShortName(name);
}

quint8 shortNameChecksum(const QByteArray &shortName)
{
    quint8 sum = 0;
    for (char c : shortName)
        sum = quint8(((sum & 1) << 7) + (sum >> 1) + uchar(c));
    return sum;
}

} // namespace

DeviceWrapperFatPartition::DeviceWrapperFatPartition(DeviceWrapper *dw, quint64 partStart,
                                                     quint64 partLen, QObject *parent)
    : DeviceWrapperPartition(dw, partStart, partLen, parent)
{
    uchar bs[512];
    read(reinterpret_cast<char *>(bs), sizeof(bs));
    if (bs[510] != 0x55 || bs[511] != 0xAA)
        throw std::runtime_error("Partition does not have a FAT file system");

    _bytesPerSector = qFromLittleEndian<quint16>(bs + 11);
    if (!_bytesPerSector)
        throw std::runtime_error("exFAT file system not supported");
    const quint8 sectorsPerCluster = bs[13];
    if (!sectorsPerCluster)
        throw std::runtime_error("FAT file system: invalid sectors per cluster");

    const quint16 reservedSectors = qFromLittleEndian<quint16>(bs + 14);
    const quint8 numberOfFats = bs[16];
    const quint16 rootEntryCount = qFromLittleEndian<quint16>(bs + 17);
    const quint16 totalSectors16 = qFromLittleEndian<quint16>(bs + 19);
    const quint16 fatSize16 = qFromLittleEndian<quint16>(bs + 22);
    const quint32 totalSectors32 = qFromLittleEndian<quint32>(bs + 32);
    const quint32 fatSize32 = qFromLittleEndian<quint32>(bs + 36);

    _fat16_rootDirSectors = (quint32(rootEntryCount) * 32 + _bytesPerSector - 1) / _bytesPerSector;
    _fatSize = fatSize16 ? fatSize16 : fatSize32;
    const quint32 totalSectors = totalSectors16 ? totalSectors16 : totalSectors32;
    _bytesPerCluster = quint32(_bytesPerSector) * sectorsPerCluster;

    // Zero counts would put the FAT over the boot sector or leave no FAT at all, and sizes
    // that do not add up would make the cluster count below wrap around.
    const quint64 metaSectors =
        quint64(_fat16_rootDirSectors) + reservedSectors + quint64(numberOfFats) * _fatSize;
    if (!reservedSectors || !numberOfFats || !_fatSize || totalSectors <= metaSectors)
        throw std::runtime_error(CorruptBootSector);

    _clusterCount = quint32((totalSectors - metaSectors) / sectorsPerCluster);
    if (_clusterCount < 4085)
        throw std::runtime_error("FAT12 file system not supported");
    _type = _clusterCount < 65525 ? FAT16 : FAT32;

    if (_bytesPerSector % 4)
        throw std::runtime_error("FAT file system: invalid bytes per sector");

    const quint64 fatEntrySize = _type == FAT16 ? 2 : 4;
    if (_bytesPerCluster % sizeof(dir_entry) || _clusterCount > Fat32MaxClusterCount ||
        (quint64(_clusterCount) + 2) * fatEntrySize > quint64(_fatSize) * _bytesPerSector)
        throw std::runtime_error(CorruptBootSector);

    _fatStartOffset = quint64(_bytesPerSector) * reservedSectors;
    for (quint8 i = 0; i < numberOfFats; i++)
        _fatStartOffsets.append(_fatStartOffset + quint64(i) * _bytesPerSector * _fatSize);

    _fat16_firstRootDirSector = reservedSectors + quint32(numberOfFats) * _fatSize;
    if (_type == FAT16) {
        _firstDataSectorOffset =
            quint64(_bytesPerSector) * (quint64(_fat16_rootDirSectors) + _fat16_firstRootDirSector);
        _fat32_firstRootClusterNr = 0;
        _fat32_fsinfoSector = 0;
    } else {
        _firstDataSectorOffset =
            _fatStartOffset + quint64(numberOfFats) * _bytesPerSector * _fatSize;
        _fat32_firstRootClusterNr = qFromLittleEndian<quint32>(bs + 44);
        _fat32_fsinfoSector = qFromLittleEndian<quint16>(bs + 48);
        if (_fat32_firstRootClusterNr < 2 || _fat32_firstRootClusterNr > _clusterCount + 1)
            throw std::runtime_error(CorruptBootSector);
    }
    _fat32_currentRootDirCluster = _fat32_firstRootClusterNr;
}

void DeviceWrapperFatPartition::_checkCluster(quint32 cluster) const
{
    if (cluster < 2 || cluster > _clusterCount + 1)
        throw std::runtime_error(InvalidCluster);
}

quint32 DeviceWrapperFatPartition::_endOfChain() const
{
    return _type == FAT16 ? Fat16EndOfChain : Fat32EndOfChain;
}

quint32 DeviceWrapperFatPartition::_firstCluster(const dir_entry &entry) const
{
    quint32 cluster = entry.firstClusterLow;
    if (_type == FAT32)
        cluster |= quint32(entry.firstClusterHigh) << 16;
    return cluster;
}

quint64 DeviceWrapperFatPartition::_clusterOffset(quint32 cluster) const
{
    return _firstDataSectorOffset + quint64(cluster - 2) * _bytesPerCluster;
}

quint64 DeviceWrapperFatPartition::_fat16RootDirEnd() const
{
    return (quint64(_fat16_firstRootDirSector) + _fat16_rootDirSectors) * _bytesPerSector;
}

quint32 DeviceWrapperFatPartition::getFAT(quint32 cluster)
{
    _checkCluster(cluster);
    if (_type == FAT16) {
        quint16 value;
        seek(_fatStartOffset + quint64(cluster) * 2);
        read(reinterpret_cast<char *>(&value), sizeof(value));
        return qFromLittleEndian(value);
    }
    quint32 value;
    seek(_fatStartOffset + quint64(cluster) * 4);
    read(reinterpret_cast<char *>(&value), sizeof(value));
    return qFromLittleEndian(value) & Fat32ClusterMask;
}

void DeviceWrapperFatPartition::_noteClusterValue(quint32 cluster, quint32 value)
{
    if (!value)
        _lowestPossiblyFreeCluster = std::min(_lowestPossiblyFreeCluster, cluster);
    else if (cluster == _lowestPossiblyFreeCluster)
        _lowestPossiblyFreeCluster++;
}

void DeviceWrapperFatPartition::setFAT16(quint32 cluster, quint16 value)
{
    _checkCluster(cluster);
    _noteClusterValue(cluster, value);
    const quint16 le = qToLittleEndian(value);
    for (quint64 fatStart : qAsConst(_fatStartOffsets)) {
        seek(fatStart + quint64(cluster) * 2);
        write(reinterpret_cast<const char *>(&le), sizeof(le));
    }
}

void DeviceWrapperFatPartition::setFAT32(quint32 cluster, quint32 value)
{
    _checkCluster(cluster);
    _noteClusterValue(cluster, value & Fat32ClusterMask);
    for (quint64 fatStart : qAsConst(_fatStartOffsets)) {
        quint32 entry;
        seek(fatStart + quint64(cluster) * 4);
        read(reinterpret_cast<char *>(&entry), sizeof(entry));
        // The top four bits are reserved and must keep whatever they hold.
        entry = qToLittleEndian((qFromLittleEndian(entry) & ~Fat32ClusterMask) |
                                (value & Fat32ClusterMask));
        seek(fatStart + quint64(cluster) * 4);
        write(reinterpret_cast<const char *>(&entry), sizeof(entry));
    }
}

void DeviceWrapperFatPartition::setFAT(quint32 cluster, quint32 value)
{
    if (_type == FAT16)
        setFAT16(cluster, quint16(value));
    else
        setFAT32(cluster, value);
}

QList<quint32> DeviceWrapperFatPartition::_findFreeClusters(quint32 wanted)
{
    QList<quint32> found;
    const quint32 entrySize = _type == FAT16 ? 2 : 4;
    const quint32 entriesPerSector = _bytesPerSector / entrySize;
    const quint32 lastCluster = _clusterCount + 1;
    QByteArray sector(_bytesPerSector, Qt::Uninitialized);

    const quint64 startSector = _lowestPossiblyFreeCluster / entriesPerSector;

    for (quint64 firstInSector = startSector * entriesPerSector;
         firstInSector <= lastCluster && found.size() < qsizetype(wanted);
         firstInSector += entriesPerSector) {
        seek(_fatStartOffset + firstInSector * entrySize);
        read(sector.data(), _bytesPerSector);
        const auto *entries = reinterpret_cast<const uchar *>(sector.constData());
        for (quint32 i = 0; i < entriesPerSector && found.size() < qsizetype(wanted); i++) {
            const quint64 cluster = firstInSector + i;
            if (cluster < _lowestPossiblyFreeCluster)
                continue;
            if (cluster > lastCluster)
                break;
            const quint32 value =
                entrySize == 2 ? qFromLittleEndian<quint16>(entries + i * 2)
                               : qFromLittleEndian<quint32>(entries + i * 4) & Fat32ClusterMask;
            if (!value)
                found.append(quint32(cluster));
        }
    }
    return found;
}

quint32 DeviceWrapperFatPartition::allocateCluster()
{
    const QList<quint32> free = _findFreeClusters(1);
    if (free.isEmpty())
        throw std::runtime_error("Out of disk space on FAT partition");

    const quint32 cluster = free.first();
    _lowestPossiblyFreeCluster = cluster; // the scan found every cluster below it in use
    setFAT(cluster, _endOfChain());
    if (_type == FAT32)
        updateFSinfo(-1, cluster);
    return cluster;
}

quint32 DeviceWrapperFatPartition::allocateCluster(quint32 previousCluster)
{
    const quint32 cluster = allocateCluster();
    if (previousCluster)
        setFAT(previousCluster, cluster);
    return cluster;
}

void DeviceWrapperFatPartition::updateFSinfo(int deltaClusters, quint32 nextFreeClusterHint)
{
    if (!_fat32_fsinfoSector)
        return;

    uchar fsinfo[512];
    const quint64 offset = quint64(_fat32_fsinfoSector) * _bytesPerSector;
    seek(offset);
    read(reinterpret_cast<char *>(fsinfo), sizeof(fsinfo));
    static const uchar trailSignature[4] = {0x00, 0x00, 0x55, 0xAA};
    if (std::memcmp(fsinfo, "RRaA", 4) || std::memcmp(fsinfo + 484, "rrAa", 4) ||
        std::memcmp(fsinfo + 508, trailSignature, 4))
        throw std::runtime_error("FAT32 FSinfo structure corrupt. Signature does not match.");

    const quint32 freeCount = qFromLittleEndian<quint32>(fsinfo + 488);
    if (deltaClusters && freeCount != 0xFFFFFFFF)
        qToLittleEndian<quint32>(freeCount + quint32(deltaClusters), fsinfo + 488);
    if (nextFreeClusterHint)
        qToLittleEndian<quint32>(nextFreeClusterHint, fsinfo + 492);

    seek(offset);
    write(reinterpret_cast<const char *>(fsinfo), sizeof(fsinfo));
}

QList<quint32> DeviceWrapperFatPartition::getClusterChain(quint32 firstCluster, quint32 maxLength)
{
    QList<quint32> chain;
    std::vector<bool> seen(size_t(_clusterCount) + 2, false);
    const quint32 lastClusterValue = _type == FAT16 ? Fat16LastClusterValue : Fat32LastClusterValue;

    for (quint32 cluster = firstCluster;
         cluster <= lastClusterValue && quint32(chain.size()) < maxLength;
         cluster = getFAT(cluster)) {
        _checkCluster(cluster);
        if (seen[cluster])
            throw std::runtime_error("Corrupt file system. Circular references in FAT table");
        // No file can be longer than its 32-bit size field allows.
        if (quint32(chain.size()) == _maxFileClusters())
            throw std::runtime_error("Corrupt file system. Cluster chain too long");
        chain.append(cluster);
        seen[cluster] = true;
    }
    return chain;
}

quint32 DeviceWrapperFatPartition::_maxFileClusters() const
{
    return quint32((quint64(std::numeric_limits<quint32>::max()) + _bytesPerCluster - 1) /
                   _bytesPerCluster);
}

void DeviceWrapperFatPartition::seekCluster(quint32 cluster)
{
    _checkCluster(cluster);
    seek(_clusterOffset(cluster));
}

void DeviceWrapperFatPartition::_zeroCluster(quint32 cluster)
{
    const QByteArray zeros(_bytesPerCluster, '\0');
    seekCluster(cluster);
    write(zeros.constData(), _bytesPerCluster);
}

void DeviceWrapperFatPartition::openDir()
{
    if (_type == FAT16) {
        seek(quint64(_fat16_firstRootDirSector) * _bytesPerSector);
        return;
    }
    _fat32_currentRootDirCluster = _fat32_firstRootClusterNr;
    _fat32_visitedRootDirClusters = {_fat32_firstRootClusterNr};
    seekCluster(_fat32_firstRootClusterNr);
}

void DeviceWrapperFatPartition::_enterNextRootDirCluster(bool zeroExistingCluster)
{
    if (quint64(_fat32_visitedRootDirClusters.size() + 1) * _bytesPerCluster > MaxDirectoryBytes)
        throw std::runtime_error("Corrupt file system. Root directory has more than 65536 entries");

    quint32 next = getFAT(_fat32_currentRootDirCluster);
    bool allocated = false;
    if (next >= Fat32FirstEndMarker) {
        if (!zeroExistingCluster)
            qDebug() << "Reached end of FAT32 root directory, but no end-of-directory marker "
                        "found. Adding one in new cluster.";
        next = allocateCluster(_fat32_currentRootDirCluster);
        allocated = true;
    } else if (_fat32_visitedRootDirClusters.contains(next)) {
        throw std::runtime_error(CircularDirectory);
    }

    _checkCluster(next);
    _fat32_visitedRootDirClusters.insert(next);
    _fat32_currentRootDirCluster = next;
    if (allocated || zeroExistingCluster)
        _zeroCluster(next);
    seekCluster(next);
}

bool DeviceWrapperFatPartition::readDir(struct dir_entry *result)
{
    if (_type == FAT16 && pos() + sizeof(dir_entry) > _fat16RootDirEnd())
        throw std::runtime_error(
            "Reached end of FAT16 root directory section, but no end-of-directory marker found");

    read(reinterpret_cast<char *>(result), sizeof(dir_entry));
    if (result->name[0] == 0) {
        seek(pos() - sizeof(dir_entry));
        return false;
    }
    if (_type == FAT32 && pos() == _clusterOffset(_fat32_currentRootDirCluster) + _bytesPerCluster)
        _enterNextRootDirCluster(false);
    return true;
}

void DeviceWrapperFatPartition::writeDirEntryAtCurrentPos(const struct dir_entry &dirEntry)
{
    if (_type == FAT16 && pos() + sizeof(dir_entry) > _fat16RootDirEnd())
        throw std::runtime_error(Fat16RootDirFull);

    write(reinterpret_cast<const char *>(&dirEntry), sizeof(dir_entry));
    if (_type == FAT32 && pos() == _clusterOffset(_fat32_currentRootDirCluster) + _bytesPerCluster)
        _enterNextRootDirCluster(true);
}

bool DeviceWrapperFatPartition::dirNameExists(const QByteArray &dirname)
{
    dir_entry entry;
    openDir();
    while (readDir(&entry)) {
        if (isDeleted(entry) || isLongNameEntry(entry))
            continue;
        if (!std::memcmp(entry.name, dirname.constData(), sizeof(entry.name)))
            return true;
    }
    return false;
}

void DeviceWrapperFatPartition::updateDirEntry(const struct dir_entry &dirEntry)
{
    dir_entry entry;
    openDir();
    for (;;) {
        // Written in place: the cluster-following of writeDirEntryAtCurrentPos() would zero the
        // next directory cluster when the entry is the last of its cluster.
        const quint64 entryPos = pos();
        if (!readDir(&entry))
            throw std::runtime_error("Error locating existing directory entry");
        if (isDeleted(entry) || isLongNameEntry(entry) || isVolumeLabel(entry))
            continue;
        if (!std::memcmp(entry.name, dirEntry.name, sizeof(entry.name))) {
            seek(entryPos);
            write(reinterpret_cast<const char *>(&dirEntry), sizeof(dir_entry));
            return;
        }
    }
}

bool DeviceWrapperFatPartition::getDirEntry(const QString &longFilename, struct dir_entry *entry,
                                            bool create)
{
    if (longFilename.isEmpty())
        throw std::runtime_error("Filename cannot not be empty");

    const QString wanted = longFilename.toLower();
    QString longName;
    dir_entry candidate;
    openDir();
    while (readDir(&candidate)) {
        if (isDeleted(candidate)) {
            longName.clear();
        } else if (isLongNameEntry(candidate)) {
            longfn_entry lfn;
            std::memcpy(&lfn, &candidate, sizeof(lfn));
            // The entry flagged as last comes first on disk and starts a new name.
            if ((lfn.sequence & LastLongEntryFlag) || longName.size() >= MaxLongNameBuffer)
                longName.clear();
            longName.prepend(longNameChars(lfn));
        } else if (isVolumeLabel(candidate)) {
            longName.clear();
        } else {
            const int nul = longName.indexOf(QChar(0));
            if (nul >= 0)
                longName.truncate(nul);
            const bool match = longName.isEmpty()
                                   ? shortNameAsText(candidate) == wanted
                                   : longName.compare(longFilename, Qt::CaseInsensitive) == 0;
            if (match) {
                *entry = candidate;
                return true;
            }
            longName.clear();
        }
    }

    if (create)
        _createDirEntry(longFilename, entry);
    return false;
}

QByteArray DeviceWrapperFatPartition::_uniqueShortName(const QString &longFilename)
{
    const QByteArray shortName = basicShortName(longFilename);
    if (!dirNameExists(shortName))
        return shortName;

    for (int n = 0; n <= 99; n++) {
        const QByteArray digits = QByteArray::number(n);
        const QByteArray numbered = shortName.left(8 - digits.size()) + digits + shortName.right(3);
        if (!dirNameExists(numbered))
            return numbered;
    }
    throw std::runtime_error("Error finding available short filename");
}

void DeviceWrapperFatPartition::_seekToEndOfDir()
{
    dir_entry entry;
    openDir();
    while (readDir(&entry)) {
    }
}

void DeviceWrapperFatPartition::_createDirEntry(const QString &longFilename, dir_entry *entry)
{
    if (longFilename.size() > MaxLongNameLength)
        throw std::runtime_error("Filename too long");

    const QByteArray shortName = _uniqueShortName(longFilename);
    const quint8 checksum = shortNameChecksum(shortName);

    QList<char16_t> units;
    for (QChar c : longFilename)
        units.append(c.unicode());
    units.append(0);
    const int runs = (units.size() + LongNameCharsPerEntry - 1) / LongNameCharsPerEntry;
    while (units.size() < runs * LongNameCharsPerEntry)
        units.append(0xFFFF);

    _seekToEndOfDir();
    // Checked up front so that a full root directory is left exactly as it was.
    const quint64 entriesNeeded = runs + 2;
    if (_type == FAT16 && pos() + entriesNeeded * sizeof(dir_entry) > _fat16RootDirEnd())
        throw std::runtime_error(Fat16RootDirFull);

    for (int k = runs; k >= 1; k--) {
        longfn_entry lfn;
        std::memset(&lfn, 0, sizeof(lfn));
        lfn.sequence = quint8(k | (k == runs ? LastLongEntryFlag : 0));
        lfn.attributes = AttrReadOnlyHiddenSystemVolume;
        lfn.checksum = checksum;
        const char16_t *chars = units.constData() + (k - 1) * LongNameCharsPerEntry;
        for (int i = 0; i < 5; i++)
            lfn.name1[i] = chars[i];
        for (int i = 0; i < 6; i++)
            lfn.name2[i] = chars[5 + i];
        for (int i = 0; i < 2; i++)
            lfn.name3[i] = chars[11 + i];
        dir_entry raw;
        std::memcpy(&raw, &lfn, sizeof(raw));
        writeDirEntryAtCurrentPos(raw);
    }

    const QDateTime now = QDateTime::currentDateTime();
    dir_entry shortEntry;
    std::memset(&shortEntry, 0, sizeof(shortEntry));
    std::memcpy(shortEntry.name, shortName.constData(), sizeof(shortEntry.name));
    shortEntry.attributes = AttrArchive;
    shortEntry.createTime = QTimeToFATtime(now.time());
    shortEntry.createDate = QDateToFATdate(now.date());
    writeDirEntryAtCurrentPos(shortEntry);

    dir_entry endMarker;
    std::memset(&endMarker, 0, sizeof(endMarker));
    writeDirEntryAtCurrentPos(endMarker);

    *entry = shortEntry;
}

bool DeviceWrapperFatPartition::fileExists(const QString &filename)
{
    dir_entry entry;
    return getDirEntry(filename, &entry, false);
}

QByteArray DeviceWrapperFatPartition::readFile(const QString &filename)
{
    dir_entry entry;
    if (!getDirEntry(filename, &entry, false))
        return QByteArray();

    const quint32 firstCluster = _firstCluster(entry);
    if (!entry.fileSize || !firstCluster)
        return QByteArray();

    // The size field may claim more than the chain holds; never allocate beyond the chain.
    const quint32 clustersNeeded =
        quint32((quint64(entry.fileSize) + _bytesPerCluster - 1) / _bytesPerCluster);
    const QList<quint32> chain = getClusterChain(firstCluster, clustersNeeded);
    const quint64 size =
        std::min<quint64>(entry.fileSize, quint64(chain.size()) * _bytesPerCluster);

    QByteArray result(qsizetype(size), '\0');
    quint64 done = 0;
    for (quint32 cluster : chain) {
        const quint64 chunk = std::min<quint64>(_bytesPerCluster, size - done);
        seekCluster(cluster);
        read(result.data() + done, chunk);
        done += chunk;
    }
    return result;
}

void DeviceWrapperFatPartition::_resizeChain(QList<quint32> &chain, quint32 clustersNeeded)
{
    if (quint32(chain.size()) > clustersNeeded) {
        int freed = 0;
        quint32 lastFreed = 0;
        while (quint32(chain.size()) > clustersNeeded) {
            lastFreed = chain.takeLast();
            _zeroCluster(lastFreed);
            setFAT(lastFreed, 0);
            freed++;
        }
        updateFSinfo(freed, lastFreed);
        if (!chain.isEmpty())
            setFAT(chain.last(), _endOfChain());
    }

    quint32 previous = chain.isEmpty() ? 0 : chain.last();
    while (quint32(chain.size()) < clustersNeeded) {
        previous = allocateCluster(previous);
        chain.append(previous);
    }
}

void DeviceWrapperFatPartition::writeFile(const QString &filename, const QByteArray &contents)
{
    const quint64 length = quint64(contents.size());
    const quint32 clustersNeeded = quint32((length + _bytesPerCluster - 1) / _bytesPerCluster);

    dir_entry entry;
    const bool exists = getDirEntry(filename, &entry, false);
    if (exists && (entry.attributes & AttrDirectory))
        throw std::runtime_error("Cannot replace a directory with a file");

    QList<quint32> chain;
    if (exists && _firstCluster(entry))
        chain = getClusterChain(_firstCluster(entry));

    // Checked before anything changes, so that a full file system keeps the old file intact.
    if (clustersNeeded > quint32(chain.size())) {
        const quint32 missing = clustersNeeded - quint32(chain.size());
        if (quint32(_findFreeClusters(missing).size()) < missing)
            throw std::runtime_error("Out of disk space on FAT partition");
    }

    if (!exists)
        getDirEntry(filename, &entry, true);
    _resizeChain(chain, clustersNeeded);

    quint64 done = 0;
    for (quint32 cluster : qAsConst(chain)) {
        const quint64 chunk = std::min<quint64>(_bytesPerCluster, length - done);
        seekCluster(cluster);
        write(contents.constData() + done, chunk);
        done += chunk;
        if (chunk < _bytesPerCluster) {
            const QByteArray zeros(qsizetype(_bytesPerCluster - chunk), '\0');
            write(zeros.constData(), zeros.size());
        }
    }

    // An empty file has first cluster 0; the end-of-chain value there is rejected by fsck.
    const quint32 firstCluster = chain.isEmpty() ? 0 : chain.first();
    entry.firstClusterLow = quint16(firstCluster & 0xFFFF);
    entry.firstClusterHigh = _type == FAT32 ? quint16(firstCluster >> 16) : 0;
    const QDateTime now = QDateTime::currentDateTime();
    entry.writeTime = QTimeToFATtime(now.time());
    entry.writeDate = QDateToFATdate(now.date());
    entry.lastAccessDate = entry.writeDate;
    entry.fileSize = quint32(length);
    updateDirEntry(entry);
}

quint16 DeviceWrapperFatPartition::QTimeToFATtime(const QTime &time)
{
    return quint16(time.hour() * 2048 + time.minute() * 32 + time.second() / 2);
}

quint16 DeviceWrapperFatPartition::QDateToFATdate(const QDate &date)
{
    return quint16(std::max(0, date.year() - 1980) * 512 + date.month() * 32 + date.day());
}
