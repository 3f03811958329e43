// Damaged and hostile FAT file systems: every case ends in a clear error text (or a bounded
// result), never in a crash, a hang or an allocation the file system cannot back.

#include "devicewrapper.h"
#include "devicewrapperfatpartition.h"
#include "fatimage.h"

#include <QFile>
#include <QTest>
#include <QtEndian>
#include <functional>
#include <stdexcept>

namespace
{

enum class Damage {
    NoBootSignature,
    BytesPerSectorZero,
    BytesPerSectorOdd,
    SectorsPerClusterZero,
    ReservedSectorsZero,
    FatCountZero,
    TotalSectorsTooSmall,
    RootClusterZero,
    Fat12,
    CircularChain,
    ChainIntoFreeCluster,
    ChainBeyondLastCluster,
    HugeFileSize,
    CircularRootDirectory,
    EndlessRootDirectory,
    LongNameFragmentFlood,
    Fat16RootWithoutEndMarker,
    FsInfoSignature,
    TruncatedDevice,
    PartitionPastDeviceEnd,
};

enum class Operation { Open, Read, Write };

// Offsets of the structures of the file system in the image, read from its boot sector.
struct Layout {
    quint64 part = 0;
    quint16 bytesPerSector = 0;
    quint32 clusterSize = 0;
    quint64 fat = 0;
    quint64 rootDir16 = 0;
    quint64 data = 0;
    quint32 rootCluster = 0;
    quint64 fsinfo = 0;
    bool fat32 = false;

    quint64 fatEntry(quint32 cluster) const { return fat + cluster * (fat32 ? 4 : 2); }
    quint64 cluster(quint32 n) const { return data + quint64(n - 2) * clusterSize; }
    quint64 rootDir() const { return fat32 ? cluster(rootCluster) : rootDir16; }
};

Layout layoutOf(const q5test::FatImage &img)
{
    Layout l;
    l.part = img.partitionOffset();
    const QByteArray bs = img.readBytes(l.part, 512);
    const auto *b = reinterpret_cast<const uchar *>(bs.constData());
    l.bytesPerSector = qFromLittleEndian<quint16>(b + 11);
    l.clusterSize = quint32(l.bytesPerSector) * b[13];
    const quint16 reserved = qFromLittleEndian<quint16>(b + 14);
    const quint16 rootEntries = qFromLittleEndian<quint16>(b + 17);
    const quint16 fat16Size = qFromLittleEndian<quint16>(b + 22);
    l.fat32 = fat16Size == 0;
    const quint32 fatSize = l.fat32 ? qFromLittleEndian<quint32>(b + 36) : fat16Size;
    l.fat = l.part + quint64(reserved) * l.bytesPerSector;
    l.rootDir16 = l.fat + quint64(b[16]) * fatSize * l.bytesPerSector;
    l.data = l.rootDir16 + (l.fat32 ? 0 : quint64(rootEntries) * 32);
    l.rootCluster = qFromLittleEndian<quint32>(b + 44);
    l.fsinfo = l.part + quint64(qFromLittleEndian<quint16>(b + 48)) * l.bytesPerSector;
    return l;
}

QByteArray le16(quint16 v)
{
    QByteArray b(2, '\0');
    qToLittleEndian(v, b.data());
    return b;
}

QByteArray le32(quint32 v)
{
    QByteArray b(4, '\0');
    qToLittleEndian(v, b.data());
    return b;
}

// The first cluster of the (only) file that mcopy put in the root directory.
quint32 firstClusterOfFirstFile(const q5test::FatImage &img, const Layout &l)
{
    const QByteArray entry = img.readBytes(l.rootDir(), 32);
    const auto *e = reinterpret_cast<const uchar *>(entry.constData());
    return qFromLittleEndian<quint16>(e + 26) | (quint32(qFromLittleEndian<quint16>(e + 20)) << 16);
}

// Chains the root directory over `clusters` clusters filled with copies of `entry`; an
// all-zero entry leaves the last cluster empty as the end of the directory.
bool longRootDirectory(q5test::FatImage &img, const Layout &l, quint32 clusters,
                       const QByteArray &entry, bool terminated)
{
    QByteArray fat;
    for (quint32 c = l.rootCluster; c < l.rootCluster + clusters - 1; c++)
        fat += le32(c + 1);
    fat += le32(0x0FFFFFFF);
    QByteArray entries;
    for (quint32 i = 0; i < clusters * l.clusterSize / 32; i++)
        entries += entry;
    if (terminated)
        entries.replace(entries.size() - int(l.clusterSize), int(l.clusterSize),
                        QByteArray(int(l.clusterSize), '\0'));
    return img.writeBytes(l.fatEntry(l.rootCluster), fat) &&
           img.writeBytes(l.cluster(l.rootCluster), entries);
}

QByteArray longNameFragment()
{
    QByteArray entry(32, '\0');
    entry[0] = 0x01; // a sequence number without the "last" flag: never starts a name
    for (int offset : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30})
        entry[offset] = 'a';
    entry[11] = 0x0F;
    return entry;
}

} // namespace

Q_DECLARE_METATYPE(Damage)
Q_DECLARE_METATYPE(Operation)

class TestFatHostile : public QObject
{
    Q_OBJECT

private:
    // Applies the damage to a freshly made image holding "file.bin" (three clusters).
    static bool damage(q5test::FatImage &img, Damage kind)
    {
        const Layout l = layoutOf(img);
        const quint32 first = firstClusterOfFirstFile(img, l);
        switch (kind) {
        case Damage::NoBootSignature:
            return img.writeBytes(l.part + 510, QByteArray(2, '\0'));
        case Damage::BytesPerSectorZero:
            return img.writeBytes(l.part + 11, le16(0));
        case Damage::BytesPerSectorOdd:
            return img.writeBytes(l.part + 11, le16(514));
        case Damage::SectorsPerClusterZero:
            return img.writeBytes(l.part + 13, QByteArray(1, '\0'));
        case Damage::ReservedSectorsZero:
            return img.writeBytes(l.part + 14, le16(0));
        case Damage::FatCountZero:
            return img.writeBytes(l.part + 16, QByteArray(1, '\0'));
        case Damage::TotalSectorsTooSmall:
            return img.writeBytes(l.part + 19, le16(0)) && img.writeBytes(l.part + 32, le32(8));
        case Damage::RootClusterZero:
            return img.writeBytes(l.part + 44, le32(0));
        case Damage::Fat12:
            return true;
        case Damage::CircularChain:
            return img.writeBytes(l.fatEntry(first + 1), l.fat32 ? le32(first) : le16(first));
        case Damage::ChainIntoFreeCluster:
            return img.writeBytes(l.fatEntry(first + 1), l.fat32 ? le32(0) : le16(0));
        case Damage::ChainBeyondLastCluster:
            return img.writeBytes(l.fatEntry(first + 1), l.fat32 ? le32(0x0FFFFFF0) : le16(0xFFF0));
        case Damage::HugeFileSize:
            return img.writeBytes(l.rootDir() + 28, le32(0xFFFFFFF0));
        case Damage::CircularRootDirectory:
            // Every slot of the root cluster in use, and the cluster chained to itself.
            return img.writeBytes(l.rootDir() + 32, QByteArray(l.clusterSize - 32, 'x')) &&
                   img.writeBytes(l.fatEntry(l.rootCluster), le32(l.rootCluster));
        case Damage::EndlessRootDirectory:
            return longRootDirectory(img, l, 65536 * 32 / l.clusterSize + 1,
                                     QByteArray("FILLER  TXT\x20") + QByteArray(20, '\0'), false);
        case Damage::LongNameFragmentFlood:
            return longRootDirectory(img, l, 4000, longNameFragment(), true);
        case Damage::Fat16RootWithoutEndMarker: {
            QByteArray deleted;
            for (int i = 0; i < 512; i++)
                deleted += '\xE5' + QByteArray(31, 'x');
            return img.writeBytes(l.rootDir16 + 32, deleted.left(int(l.data - l.rootDir16 - 32)));
        }
        case Damage::FsInfoSignature:
            return img.writeBytes(l.fsinfo, "XXXX");
        case Damage::TruncatedDevice:
            return img.truncate(l.cluster(first) - l.cluster(first) % 4096);
        case Damage::PartitionPastDeviceEnd:
            return img.writeBytes(446 + 8, le32(0x10000000));
        }
        return false;
    }

private slots:
    void hostileFileSystemsRaiseClearErrors_data()
    {
        QTest::addColumn<int>("fatBits");
        QTest::addColumn<Damage>("kind");
        QTest::addColumn<Operation>("operation");
        QTest::addColumn<QString>("expected");
        const QString badBootSector = QStringLiteral("FAT file system: invalid boot sector");
        const QString circular =
            QStringLiteral("Corrupt file system. Circular references in FAT table");
        const QString badCluster =
            QStringLiteral("Corrupt file system. Invalid cluster number in FAT table");
        const QString endOfDevice =
            QStringLiteral("Error reading from device: unexpected end of device");

        QTest::newRow("no boot signature")
            << 16 << Damage::NoBootSignature << Operation::Open
            << QStringLiteral("Partition does not have a FAT file system");
        QTest::newRow("bytes per sector 0") << 32 << Damage::BytesPerSectorZero << Operation::Open
                                            << QStringLiteral("exFAT file system not supported");
        QTest::newRow("bytes per sector 514")
            << 16 << Damage::BytesPerSectorOdd << Operation::Open
            << QStringLiteral("FAT file system: invalid bytes per sector");
        QTest::newRow("sectors per cluster 0")
            << 32 << Damage::SectorsPerClusterZero << Operation::Open
            << QStringLiteral("FAT file system: invalid sectors per cluster");
        QTest::newRow("reserved sectors 0")
            << 16 << Damage::ReservedSectorsZero << Operation::Open << badBootSector;
        QTest::newRow("no FAT") << 32 << Damage::FatCountZero << Operation::Open << badBootSector;
        QTest::newRow("total sectors below the metadata")
            << 32 << Damage::TotalSectorsTooSmall << Operation::Open << badBootSector;
        QTest::newRow("FAT32 root cluster 0")
            << 32 << Damage::RootClusterZero << Operation::Open << badBootSector;
        QTest::newRow("FAT12") << 12 << Damage::Fat12 << Operation::Open
                               << QStringLiteral("FAT12 file system not supported");
        for (int bits : {16, 32}) {
            const QByteArray fat = QByteArray("FAT") + QByteArray::number(bits) + ' ';
            QTest::newRow(fat + "circular chain, read")
                << bits << Damage::CircularChain << Operation::Read << circular;
            QTest::newRow(fat + "circular chain, write")
                << bits << Damage::CircularChain << Operation::Write << circular;
            QTest::newRow(fat + "chain into a free cluster")
                << bits << Damage::ChainIntoFreeCluster << Operation::Read << badCluster;
            QTest::newRow(fat + "chain beyond the last cluster")
                << bits << Damage::ChainBeyondLastCluster << Operation::Write << badCluster;
            QTest::newRow(fat + "truncated device")
                << bits << Damage::TruncatedDevice << Operation::Read << endOfDevice;
        }
        QTest::newRow("partition past the device end")
            << 16 << Damage::PartitionPastDeviceEnd << Operation::Open << endOfDevice;
        QTest::newRow("FAT32 circular root directory")
            << 32 << Damage::CircularRootDirectory << Operation::Read
            << QStringLiteral("Circular cluster references in FAT32 directory detected");
        QTest::newRow("FAT32 root directory beyond 65536 entries")
            << 32 << Damage::EndlessRootDirectory << Operation::Read
            << QStringLiteral("Corrupt file system. Root directory has more than 65536 entries");
        QTest::newRow("FAT32 root directory of stray long-name fragments")
            << 32 << Damage::LongNameFragmentFlood << Operation::Read << QString();
        QTest::newRow("FAT16 root directory without end marker")
            << 16 << Damage::Fat16RootWithoutEndMarker << Operation::Read
            << QStringLiteral("Reached end of FAT16 root directory section, but no "
                              "end-of-directory marker found");
        QTest::newRow("FAT32 FSInfo signature")
            << 32 << Damage::FsInfoSignature << Operation::Write
            << QStringLiteral("FAT32 FSinfo structure corrupt. Signature does not match.");
    }

    void hostileFileSystemsRaiseClearErrors()
    {
        QFETCH(int, fatBits);
        QFETCH(Damage, kind);
        QFETCH(Operation, operation);
        QFETCH(QString, expected);
        Q5_REQUIRE_TOOL("mkfs.fat");
        Q5_REQUIRE_TOOL("mcopy");

        q5test::FatImage::Options options;
        options.fatBits = fatBits;
        q5test::FatImage img(options);
        QVERIFY2(img.ok(), qPrintable(img.error()));
        const Layout l = layoutOf(img);
        QVERIFY(img.mcopy(QStringLiteral("file.bin"), QByteArray(int(l.clusterSize) * 3, 'f')));
        QVERIFY(damage(img, kind));

        QString error;
        try {
            QFile file(img.path());
            QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
            DeviceWrapper dw(&file);
            DeviceWrapperFatPartition *fat = dw.fatPartition(1);
            if (operation == Operation::Read) {
                fat->readFile(QStringLiteral("file.bin"));
                fat->readFile(QStringLiteral("absent.txt"));
            } else if (operation == Operation::Write) {
                fat->writeFile(QStringLiteral("file.bin"),
                               QByteArray(int(l.clusterSize) * 40, 'w'));
            }
            dw.sync();
        } catch (const std::runtime_error &e) {
            error = QString::fromUtf8(e.what());
        }
        QCOMPARE(error, expected);
    }

    void sizeBeyondTheChainIsNotAllocated()
    {
        Q5_REQUIRE_TOOL("mkfs.fat");
        Q5_REQUIRE_TOOL("mcopy");
        q5test::FatImage img;
        QVERIFY2(img.ok(), qPrintable(img.error()));
        const Layout l = layoutOf(img);
        const QByteArray content(int(l.clusterSize) * 3, 'f');
        QVERIFY(img.mcopy(QStringLiteral("file.bin"), content));
        QVERIFY(damage(img, Damage::HugeFileSize));

        QFile file(img.path());
        QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
        DeviceWrapper dw(&file);
        const QByteArray back = dw.fatPartition(1)->readFile(QStringLiteral("file.bin"));
        QCOMPARE(back, content);
    }
};

QTEST_GUILESS_MAIN(TestFatHostile)
#include "tst_fathostile.moc"
