// The block cache, partition-table lookup and partition view, on image files. The device is a
// QFile that records the offsets of the reads and writes that reach it.

#include "devicewrapper.h"
#include "devicewrapperfatpartition.h"
#include "devicewrapperpartition.h"
#include "fatimage.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>
#include <functional>
#include <memory>
#include <stdexcept>

namespace
{

constexpr qint64 Block = 4096;

class RecordingFile : public QFile
{
public:
    using QFile::QFile;
    QList<qint64> reads;
    QList<qint64> writes;

protected:
    qint64 readData(char *data, qint64 maxlen) override
    {
        reads << pos();
        return QFile::readData(data, maxlen);
    }
    qint64 writeData(const char *data, qint64 len) override
    {
        writes << pos();
        return QFile::writeData(data, len);
    }
};

// Block n filled with the byte 'a' + n, so every block's origin is visible.
QByteArray patternedDevice(int blocks)
{
    QByteArray bytes;
    for (int n = 0; n < blocks; n++)
        bytes += QByteArray(Block, char('a' + n));
    return bytes;
}

QString errorOf(const std::function<void()> &operation)
{
    try {
        operation();
    } catch (const std::runtime_error &e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

} // namespace

class TestDeviceWrapper : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir _dir;

    QString deviceFile(const QByteArray &content)
    {
        const QString path = _dir.filePath(QStringLiteral("device.img"));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            f.write(content) != content.size())
            qFatal("cannot write the device file");
        return path;
    }

    QByteArray fileContent(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private slots:
    void preadLoadsOnlyTheTouchedBlocks_data()
    {
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QList<qint64>>("expectedReads");
        QTest::newRow("512 bytes at 0") << qint64(0) << qint64(512) << QList<qint64>{0};
        QTest::newRow("across a block boundary")
            << qint64(4000) << qint64(200) << QList<qint64>{0, Block};
        QTest::newRow("one whole block") << 2 * Block << Block << QList<qint64>{2 * Block};
        QTest::newRow("three blocks from inside one")
            << Block + 1 << 2 * Block << QList<qint64>{Block, 2 * Block, 3 * Block};
        QTest::newRow("nothing") << qint64(100) << qint64(0) << QList<qint64>{};
    }

    void preadLoadsOnlyTheTouchedBlocks()
    {
        QFETCH(qint64, offset);
        QFETCH(qint64, size);
        QFETCH(QList<qint64>, expectedReads);
        const QByteArray content = patternedDevice(6);
        RecordingFile file(deviceFile(content));
        QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
        DeviceWrapper dw(&file);

        QByteArray buf(size, '\0');
        dw.pread(buf.data(), quint64(size), quint64(offset));
        QCOMPARE(buf, content.mid(offset, size));
        QCOMPARE(file.reads, expectedReads);

        // Cached blocks are served from memory.
        dw.pread(buf.data(), quint64(size), quint64(offset));
        QCOMPARE(file.reads, expectedReads);
    }

    void pwriteReachesTheDeviceOnlyOnSync()
    {
        const QString path = deviceFile(patternedDevice(3));
        {
            RecordingFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
            DeviceWrapper dw(&file);
            dw.pwrite("XYZ", 3, 5000);
            QCOMPARE(fileContent(path), patternedDevice(3));

            QByteArray back(3, '\0');
            dw.pread(back.data(), 3, 5000);
            QCOMPARE(back, QByteArray("XYZ"));

            dw.sync();
            QCOMPARE(file.writes, QList<qint64>{Block});
            dw.sync(); // nothing dirty any more
            QCOMPARE(file.writes, QList<qint64>{Block});
        }
        QByteArray expected = patternedDevice(3);
        expected.replace(5000, 3, "XYZ");
        QCOMPARE(fileContent(path), expected);
    }

    void wholeBlockWriteIsNotReadFirst()
    {
        // The device ends before block 2: reading it would fail.
        const QString path = deviceFile(patternedDevice(2));
        RecordingFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
        DeviceWrapper dw(&file);
        const QByteArray block(Block, 'Q');
        dw.pwrite(block.constData(), Block, 2 * Block);
        QVERIFY(file.reads.isEmpty());
        dw.sync();
        QCOMPARE(file.writes, QList<qint64>{2 * Block});
        QCOMPARE(fileContent(path), patternedDevice(2) + block);
    }

    void partialBlockWriteKeepsTheRestOfTheBlock()
    {
        const QString path = deviceFile(patternedDevice(4));
        RecordingFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
        DeviceWrapper dw(&file);
        const QByteArray hundred(100, 'Q');
        dw.pwrite(hundred.constData(), 100, 2 * Block);
        QCOMPARE(file.reads, QList<qint64>{2 * Block});
        dw.sync();
        QByteArray expected = patternedDevice(4);
        expected.replace(2 * Block, 100, hundred);
        QCOMPARE(fileContent(path), expected);
    }

    void syncWritesBlockZeroLast()
    {
        const QString path = deviceFile(patternedDevice(6));
        RecordingFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
        DeviceWrapper dw(&file);
        dw.pwrite("0", 1, 0);
        dw.pwrite("5", 1, 5 * Block + 7);
        dw.pwrite("2", 1, 2 * Block);
        dw.sync();
        QCOMPARE(file.writes, (QList<qint64>{2 * Block, 5 * Block, 0}));
    }

    void destructorWritesPendingChanges()
    {
        const QString path = deviceFile(patternedDevice(2));
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
            DeviceWrapper dw(&file);
            dw.pwrite("late", 4, 10);
        }
        QCOMPARE(fileContent(path).mid(10, 4), QByteArray("late"));
    }

    void failedWritesRaiseTheirMessage_data()
    {
        QTest::addColumn<bool>("touchOtherBlock");
        QTest::addColumn<QString>("expectedPrefix");
        QTest::newRow("data block") << true << QStringLiteral("Error writing to device: ");
        QTest::newRow("block 0 only") << false << QStringLiteral("Error writing MBR to device: ");
    }

    void failedWritesRaiseTheirMessage()
    {
        QFETCH(bool, touchOtherBlock);
        QFETCH(QString, expectedPrefix);
        const QString path = deviceFile(patternedDevice(3));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
        auto dw = std::make_unique<DeviceWrapper>(&file);
        dw->pwrite("0", 1, 0);
        if (touchOtherBlock)
            dw->pwrite("2", 1, 2 * Block);

        const QRegularExpression readOnly(QStringLiteral("ReadOnly device"));
        QTest::ignoreMessage(QtWarningMsg, readOnly);
        const QString error = errorOf([&] { dw->sync(); });
        QVERIFY2(error.startsWith(expectedPrefix), qPrintable(error));
        QVERIFY(error.size() > expectedPrefix.size());

        // The blocks stay dirty; the destructor tries again and only logs.
        QTest::ignoreMessage(QtWarningMsg, readOnly);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^Error writing the last changes to the device:"));
        dw.reset();
        QCOMPARE(fileContent(path), patternedDevice(3));
    }

    void readingPastTheEndOfTheDeviceFails()
    {
        QFile file(deviceFile(patternedDevice(2) + "short"));
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
        DeviceWrapper dw(&file);
        char buf[8];
        QCOMPARE(errorOf([&] { dw.pread(buf, sizeof(buf), 2 * Block); }),
                 QStringLiteral("Error reading from device: unexpected end of device"));
    }

    void partitionViewKeepsItsBounds()
    {
        QFile file(deviceFile(patternedDevice(3)));
        QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
        DeviceWrapper dw(&file);
        DeviceWrapperPartition part(&dw, 1000, 5000);

        char buf[4];
        part.seek(4095);
        part.read(buf, 2);
        QCOMPARE(QByteArray(buf, 2), QByteArray("bb"));
        QCOMPARE(part.pos(), quint64(4097));

        part.seek(5000);
        QCOMPARE(part.pos(), quint64(5000));
        QCOMPARE(errorOf([&] { part.read(buf, 1); }),
                 QStringLiteral("Error: trying to read beyond partition"));
        QCOMPARE(errorOf([&] { part.write(buf, 1); }),
                 QStringLiteral("Error: trying to write beyond partition"));
        QCOMPARE(errorOf([&] { part.seek(5001); }),
                 QStringLiteral("Error: trying to seek beyond partition"));
        part.seek(4999);
        QCOMPARE(errorOf([&] { part.read(buf, quint64(-1)); }),
                 QStringLiteral("Error: trying to read beyond partition"));
    }

    void fatPartitionFindsThePartition_data()
    {
        QTest::addColumn<int>("table");
        QTest::newRow("MBR") << int(q5test::FatImage::Table::Mbr);
        QTest::newRow("GPT") << int(q5test::FatImage::Table::Gpt);
    }

    void fatPartitionFindsThePartition()
    {
        QFETCH(int, table);
        Q5_REQUIRE_TOOL("sfdisk");
        Q5_REQUIRE_TOOL("mkfs.fat");
        Q5_REQUIRE_TOOL("mcopy");
        q5test::FatImage::Options options;
        options.fatBits = 16;
        options.table = q5test::FatImage::Table(table);
        q5test::FatImage img(options);
        QVERIFY2(img.ok(), qPrintable(img.error()));
        QVERIFY(img.mcopy(QStringLiteral("hello.txt"), "found it\n"));

        QFile file(img.path());
        QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
        DeviceWrapper dw(&file);
        if (options.table == q5test::FatImage::Table::Gpt)
            QTest::ignoreMessage(QtDebugMsg, "Using GPT partition table");
        DeviceWrapperFatPartition *fat = dw.fatPartition(1);
        QCOMPARE(fat->parent(), &dw);
        QCOMPARE(fat->readFile(QStringLiteral("hello.txt")), QByteArray("found it\n"));
    }

    void partitionTableErrors_data()
    {
        QTest::addColumn<int>("table");
        QTest::addColumn<int>("patchOffset");
        QTest::addColumn<QByteArray>("patch");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("expected");
        const int mbr = int(q5test::FatImage::Table::Mbr);
        const int gpt = int(q5test::FatImage::Table::Gpt);
        const QString noPartition = QStringLiteral("Partition does not exist");
        QTest::newRow("number 0") << mbr << -1 << QByteArray() << 0
                                  << QStringLiteral("Only basic partitions 1-4 supported");
        QTest::newRow("number 5") << mbr << -1 << QByteArray() << 5
                                  << QStringLiteral("Only basic partitions 1-4 supported");
        QTest::newRow("empty MBR record") << mbr << -1 << QByteArray() << 2 << noPartition;
        QTest::newRow("no MBR signature") << mbr << 510 << QByteArray(2, '\0') << 1
                                          << QStringLiteral("MBR does not have valid signature");
        QTest::newRow("MBR start past the device")
            << mbr << 446 + 8 << QByteArray("\x00\x00\x00\x10", 4) << 1
            << QStringLiteral("Error reading from device: unexpected end of device");
        QTest::newRow("unused GPT entry") << gpt << -1 << QByteArray() << 2 << noPartition;
        QTest::newRow("GPT with one entry")
            << gpt << 512 + 80 << QByteArray("\x01\0\0\0", 4) << 2 << noPartition;
        QTest::newRow("GPT entry size too small")
            << gpt << 512 + 84 << QByteArray("\x10\0\0\0", 4) << 1
            << QStringLiteral("Corrupt GPT partition table");
        // With the header's own-sector field not 1 the protective MBR is used, whose
        // partition starts at the GPT header: not a FAT boot sector.
        QTest::newRow("GPT header not at sector 1")
            << gpt << 512 + 24 << QByteArray("\x02", 1) << 1
            << QStringLiteral("Partition does not have a FAT file system");
    }

    void partitionTableErrors()
    {
        QFETCH(int, table);
        QFETCH(int, patchOffset);
        QFETCH(QByteArray, patch);
        QFETCH(int, number);
        QFETCH(QString, expected);
        Q5_REQUIRE_TOOL("sfdisk");
        Q5_REQUIRE_TOOL("mkfs.fat");
        q5test::FatImage::Options options;
        options.fatBits = 16;
        options.table = q5test::FatImage::Table(table);
        q5test::FatImage img(options);
        QVERIFY2(img.ok(), qPrintable(img.error()));
        if (patchOffset >= 0)
            QVERIFY(img.writeBytes(quint64(patchOffset), patch));

        QFile file(img.path());
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
        DeviceWrapper dw(&file);
        QCOMPARE(errorOf([&] { dw.fatPartition(number); }), expected);
    }
};

QTEST_GUILESS_MAIN(TestDeviceWrapper)
#include "tst_devicewrapper.moc"
