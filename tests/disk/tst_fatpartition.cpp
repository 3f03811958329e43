// Reading and writing root-directory files of FAT16/FAT32 file systems made by mkfs.fat, each
// result checked with fsck.fat and mtools, and files written by mtools read back by our reader.

#include "devicewrapper.h"
#include "devicewrapperfatpartition.h"
#include "fatimage.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTest>
#include <QtEndian>
#include <algorithm>
#include <map>
#include <memory>
#include <stdexcept>

using q5test::FatImage;
using Files = std::map<QString, QByteArray>;

Q_DECLARE_METATYPE(FatImage::Options)

namespace
{

// The wrapper and FAT object over an image, synced and closed when it goes out of scope.
class OpenFat
{
public:
    explicit OpenFat(const FatImage &img) : _file(img.path())
    {
        if (!_file.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
            qFatal("cannot open the image");
        _dw = std::make_unique<DeviceWrapper>(&_file);
        _fat = _dw->fatPartition(1);
    }
    DeviceWrapperFatPartition *operator->() const { return _fat; }
    void sync() { _dw->sync(); }

private:
    QFile _file;
    std::unique_ptr<DeviceWrapper> _dw;
    DeviceWrapperFatPartition *_fat;
};

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

quint32 clusterSizeOf(const FatImage &img)
{
    const QByteArray bs = img.readBytes(img.partitionOffset(), 14);
    return quint32(qFromLittleEndian<quint16>(bs.constData() + 11)) * quint8(bs[13]);
}

quint32 fsinfoFreeCount(const FatImage &img)
{
    const QByteArray bs = img.readBytes(img.partitionOffset(), 512);
    const quint64 fsinfo =
        img.partitionOffset() + quint64(qFromLittleEndian<quint16>(bs.constData() + 48)) *
                                    qFromLittleEndian<quint16>(bs.constData() + 11);
    return qFromLittleEndian<quint32>(img.readBytes(fsinfo + 488, 4).constData());
}

FatImage::Options fs(int fatBits, int sectorsPerCluster, int fats,
                     FatImage::Table table = FatImage::Table::Mbr, const QString &label = QString())
{
    FatImage::Options o;
    o.fatBits = fatBits;
    o.sectorsPerCluster = sectorsPerCluster;
    o.fats = fats;
    o.table = table;
    o.label = label;
    return o;
}

void addFileSystems()
{
    QTest::addColumn<FatImage::Options>("options");
    QTest::newRow("FAT16 512 B clusters, 2 FATs") << fs(16, 1, 2);
    QTest::newRow("FAT16 2 KiB clusters, 1 FAT, GPT, label")
        << fs(16, 4, 1, FatImage::Table::Gpt, QStringLiteral("BOOT"));
    QTest::newRow("FAT16 4 KiB clusters, 2 FATs") << fs(16, 8, 2);
    QTest::newRow("FAT32 512 B clusters, 2 FATs, label")
        << fs(32, 1, 2, FatImage::Table::Mbr, QStringLiteral("BOOT"));
    QTest::newRow("FAT32 1 KiB clusters, 1 FAT, GPT") << fs(32, 2, 1, FatImage::Table::Gpt);
    QTest::newRow("FAT32 4 KiB clusters, 2 FATs") << fs(32, 8, 2);
}

} // namespace

class TestFatPartition : public QObject
{
    Q_OBJECT

private:
    // fsck finds nothing, and mtype prints exactly the expected bytes of every file.
    static void verifyWithRealTools(const FatImage &img, const Files &files)
    {
        const q5test::CommandResult fsck = img.fsck();
        QVERIFY2(fsck.ok(), fsck.out + fsck.err);
        const q5test::CommandResult dir = img.mdir();
        QVERIFY2(dir.ok(), dir.err);
        for (const auto &[name, content] : files) {
            const q5test::CommandResult type = img.mtype(name);
            QVERIFY2(type.ok(), qPrintable(name + QStringLiteral(": ") + type.err));
            QVERIFY2(type.out == content, qPrintable(name));
        }
    }

    static void verifyWithOurReader(const FatImage &img, const Files &files)
    {
        OpenFat fat(img);
        for (const auto &[name, content] : files) {
            QVERIFY2(fat->fileExists(name), qPrintable(name));
            QVERIFY2(fat->readFile(name) == content, qPrintable(name));
        }
    }

    static void writeAll(const FatImage &img, const Files &files)
    {
        OpenFat fat(img);
        for (const auto &[name, content] : files)
            fat->writeFile(name, content);
        fat.sync();
    }

    static void requireTools()
    {
        Q5_REQUIRE_TOOL("sfdisk");
        Q5_REQUIRE_TOOL("mkfs.fat");
        Q5_REQUIRE_TOOL("fsck.fat");
        Q5_REQUIRE_TOOL("mtype");
    }

private slots:
    void writtenFilesPassTheRealTools_data() { addFileSystems(); }

    void writtenFilesPassTheRealTools()
    {
        QFETCH(FatImage::Options, options);
        requireTools();
        FatImage img(options);
        QVERIFY2(img.ok(), qPrintable(img.error()));
        const int cluster = int(clusterSizeOf(img));

        Files files = {
            {QStringLiteral("config.txt"), "dtparam=audio=on\n"},
            {QStringLiteral("user-data"), "#cloud-config\nhostname: q5\n"},
            {QStringLiteral("network-config"), "version: 2\n"},
            {QStringLiteral("empty.txt"), ""},
            {QStringLiteral("multi.bin"), randomBytes(cluster * 3 + cluster / 2)},
            {QStringLiteral("a-rather-long-file-name-for-lfn.txt"), "lfn\n"},
            // Names whose plain short form would hold characters FAT forbids there.
            {QStringLiteral(".hidden"), "dot first\n"},
            {QStringLiteral("a+b,c.txt"), "plus and comma\n"},
            {QStringLiteral("two.dots.txt"), "two dots\n"},
        };
        writeAll(img, files);
        verifyWithRealTools(img, files);
        verifyWithOurReader(img, files);

        // Shrink, grow, fill an empty file and empty a filled one.
        Files changes = {
            {QStringLiteral("multi.bin"), "x"},
            {QStringLiteral("config.txt"), randomBytes(cluster * 5 + 1)},
            {QStringLiteral("empty.txt"), "now filled\n"},
            {QStringLiteral("user-data"), ""},
        };
        writeAll(img, changes);
        for (const auto &[name, content] : changes)
            files[name] = content;
        verifyWithRealTools(img, files);
        verifyWithOurReader(img, files);
    }

    void filesWrittenByMtoolsAreReadExactly_data() { addFileSystems(); }

    void filesWrittenByMtoolsAreReadExactly()
    {
        QFETCH(FatImage::Options, options);
        requireTools();
        Q5_REQUIRE_TOOL("mcopy");
        FatImage img(options);
        QVERIFY2(img.ok(), qPrintable(img.error()));
        const int cluster = int(clusterSizeOf(img));
        const Files files = {
            {QStringLiteral("cmdline.txt"), "console=ttyS2,115200n8 root=/dev/mmcblk1p2\n"},
            {QStringLiteral("README.TXT"), "upper case short name\n"},
            {QStringLiteral("Mixed Case Long Name.txt"), "long name\n"},
            {QStringLiteral("noext"), "no extension\n"},
            {QStringLiteral("multi.bin"), randomBytes(cluster * 5 + 17)},
            {QStringLiteral("empty.txt"), ""},
        };
        for (const auto &[name, content] : files)
            QVERIFY(img.mcopy(name, content));
        verifyWithOurReader(img, files);

        OpenFat fat(img);
        QCOMPARE(fat->readFile(QStringLiteral("CMDLINE.TXT")),
                 files.at(QStringLiteral("cmdline.txt")));
        QCOMPARE(fat->readFile(QStringLiteral("readme.txt")),
                 files.at(QStringLiteral("README.TXT")));
        QCOMPARE(fat->readFile(QStringLiteral("MIXED case long NAME.TXT")),
                 files.at(QStringLiteral("Mixed Case Long Name.txt")));
        QVERIFY(!fat->fileExists(QStringLiteral("missing.txt")));
        QVERIFY(fat->readFile(QStringLiteral("missing.txt")).isEmpty());
    }

    void differentCaseReplacesTheSameFile()
    {
        requireTools();
        FatImage img(fs(32, 1, 2));
        QVERIFY2(img.ok(), qPrintable(img.error()));
        writeAll(img, {{QStringLiteral("Config.TXT"), "first\n"}});
        writeAll(img, {{QStringLiteral("config.txt"), "second\n"}});
        verifyWithRealTools(img, {{QStringLiteral("Config.TXT"), "second\n"}});
        QVERIFY(img.mdir().out.contains("1 file"));
    }

    void shortNameCollisionsGetANumber_data()
    {
        QTest::addColumn<FatImage::Options>("options");
        QTest::newRow("FAT16") << fs(16, 1, 2);
        QTest::newRow("FAT32") << fs(32, 1, 2);
    }

    void shortNameCollisionsGetANumber()
    {
        QFETCH(FatImage::Options, options);
        requireTools();
        FatImage img(options);
        QVERIFY2(img.ok(), qPrintable(img.error()));

        // All three have the short name CONFIG.TXT in their plain form.
        const QStringList names = {QStringLiteral("config .txt"), QStringLiteral("config.txt"),
                                   QStringLiteral("config  .txt")};
        const QStringList expectedShort = {QStringLiteral("CONFIG   TXT"),
                                           QStringLiteral("CONFIG 0 TXT"),
                                           QStringLiteral("CONFIG 1 TXT")};
        Files files;
        for (const QString &name : names)
            files[name] = name.toUtf8() + '\n';
        {
            OpenFat fat(img); // in this order, not the map's
            for (const QString &name : names)
                fat->writeFile(name, files[name]);
        }
        verifyWithOurReader(img, files);
        // mtools, like other FAT drivers, also matches short aliases: "config.txt" names the
        // first file's alias there, so only the other two are looked up by name.
        Files unambiguous = files;
        unambiguous.erase(QStringLiteral("config.txt"));
        verifyWithRealTools(img, unambiguous);

        const QList<QByteArray> lines = img.mdir().out.split('\n');
        for (int i = 0; i < names.size(); i++) {
            const bool listed = std::any_of(lines.begin(), lines.end(), [&](const QByteArray &l) {
                return l.startsWith(expectedShort[i].toLatin1()) &&
                       l.endsWith(' ' + names[i].toUtf8());
            });
            QVERIFY2(listed, qPrintable(names[i] + QStringLiteral(" -> ") + expectedShort[i]));
        }
    }

    void shortNamesRunOutAfterOneHundredNumbers()
    {
        requireTools();
        FatImage img(fs(16, 1, 2));
        QVERIFY2(img.ok(), qPrintable(img.error()));
        Files files;
        OpenFat fat(img);
        for (int i = 0; i < 101; i++) {
            const QString name = QStringLiteral("configxx%1.txt").arg(i);
            files[name] = name.toUtf8();
            fat->writeFile(name, files[name]);
        }
        try {
            fat->writeFile(QStringLiteral("configxx-last.txt"), "no");
            QFAIL("the 102nd colliding name was accepted");
        } catch (const std::runtime_error &e) {
            QCOMPARE(QString::fromUtf8(e.what()),
                     QStringLiteral("Error finding available short filename"));
        }
        fat.sync();
        verifyWithRealTools(img, files);
        QVERIFY(img.mdir().out.contains("CONFIG99 TXT"));
    }

    void fat32RootDirectoryGrowsByACluster()
    {
        requireTools();
        FatImage img(fs(32, 1, 2)); // 512-byte clusters: 16 directory entries each
        QVERIFY2(img.ok(), qPrintable(img.error()));
        const quint32 freeBefore = fsinfoFreeCount(img);

        // Eight files of two entries each fill the root cluster; the end marker needs a new one.
        Files files;
        for (int i = 1; i <= 8; i++)
            files[QStringLiteral("f%1.txt").arg(i)] = QByteArray::number(i);
        writeAll(img, files);
        verifyWithRealTools(img, files);
        QCOMPARE(fsinfoFreeCount(img), freeBefore - 9);

        files[QStringLiteral("f9.txt")] = "9";
        writeAll(img, {{QStringLiteral("f9.txt"), "9"}});
        verifyWithRealTools(img, files);
        verifyWithOurReader(img, files);
        QCOMPARE(fsinfoFreeCount(img), freeBefore - 10);
    }

    void fsinfoFreeCountFollowsTheClustersInUse()
    {
        requireTools();
        FatImage img(fs(32, 2, 2));
        QVERIFY2(img.ok(), qPrintable(img.error()));
        const int cluster = int(clusterSizeOf(img));
        const quint32 freeBefore = fsinfoFreeCount(img);
        const QString name = QStringLiteral("firstrun.sh");

        writeAll(img, {{name, randomBytes(cluster * 5)}});
        QCOMPARE(fsinfoFreeCount(img), freeBefore - 5);
        writeAll(img, {{name, randomBytes(cluster * 2 - 1)}});
        QCOMPARE(fsinfoFreeCount(img), freeBefore - 2);
        writeAll(img, {{name, QByteArray()}});
        QCOMPARE(fsinfoFreeCount(img), freeBefore);
        verifyWithRealTools(img, {{name, QByteArray()}});
    }

    void fullFat16RootDirectoryIsLeftUntouched()
    {
        requireTools();
        FatImage::Options options = fs(16, 1, 2);
        options.rootEntries = 16;
        FatImage img(options);
        QVERIFY2(img.ok(), qPrintable(img.error()));

        // Seven files of two entries and the end marker leave one free slot.
        Files files;
        for (int i = 1; i <= 7; i++)
            files[QStringLiteral("f%1.txt").arg(i)] = QByteArray::number(i);
        writeAll(img, files);
        const QByteArray before = img.readAll();

        QString error;
        try {
            OpenFat fat(img);
            fat->writeFile(QStringLiteral("f8.txt"), "8");
        } catch (const std::runtime_error &e) {
            error = QString::fromUtf8(e.what());
        }
        QCOMPARE(error, QStringLiteral("FAT16: ran out of root directory entry space"));
        QVERIFY(img.readAll() == before);
        verifyWithRealTools(img, files);
    }

    void outOfSpaceKeepsTheOldFile()
    {
        requireTools();
        FatImage img(fs(16, 1, 2));
        QVERIFY2(img.ok(), qPrintable(img.error()));
        const Files files = {{QStringLiteral("config.txt"), "keep me\n"}};
        writeAll(img, files);
        const QByteArray before = img.readAll();
        const QByteArray tooBig(int(img.partitionSize()), 'b');

        for (const QString &name : {QStringLiteral("config.txt"), QStringLiteral("new.txt")}) {
            QString error;
            try {
                OpenFat fat(img);
                fat->writeFile(name, tooBig);
            } catch (const std::runtime_error &e) {
                error = QString::fromUtf8(e.what());
            }
            QCOMPARE(error, QStringLiteral("Out of disk space on FAT partition"));
            QVERIFY(img.readAll() == before);
        }
        verifyWithRealTools(img, files);
    }

    void newEntriesHaveTheStandardLayout_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("shortName");
        QTest::newRow("with extension")
            << QStringLiteral("config.txt") << QByteArray("CONFIG  TXT");
        QTest::newRow("without dot") << QStringLiteral("user-data") << QByteArray("user-data  ");
    }

    void newEntriesHaveTheStandardLayout()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, shortName);
        requireTools();
        FatImage img(fs(16, 1, 2));
        QVERIFY2(img.ok(), qPrintable(img.error()));
        writeAll(img, {{name, "x"}});

        const QByteArray bs = img.readBytes(img.partitionOffset(), 512);
        const auto *b = reinterpret_cast<const uchar *>(bs.constData());
        const quint64 rootDir =
            img.partitionOffset() + (qFromLittleEndian<quint16>(b + 14) +
                                     quint64(b[16]) * qFromLittleEndian<quint16>(b + 22)) *
                                        qFromLittleEndian<quint16>(b + 11);
        const QByteArray dir = img.readBytes(rootDir, 3 * 32);

        // One long-name entry: the name, a NUL, then 0xFFFF fillers in the three runs.
        QByteArray chars;
        for (QChar c : name + QChar(0))
            chars += char(c.unicode() & 0xFF) + QByteArray(1, '\0');
        chars = chars.leftJustified(26, '\xFF');
        QCOMPARE(uchar(dir[0]), uchar(0x41));
        QCOMPARE(uchar(dir[11]), uchar(0x0F));
        QCOMPARE(dir.mid(1, 10) + dir.mid(14, 12) + dir.mid(28, 4), chars);
        QCOMPARE(dir.mid(32, 11), shortName);
        QCOMPARE(uchar(dir[32 + 11]), uchar(0x20));
        QCOMPARE(dir.mid(64, 32), QByteArray(32, '\0'));
        verifyWithRealTools(img, {{name, "x"}});
    }

    void directoryIsNotReplacedByAFile()
    {
        requireTools();
        Q5_REQUIRE_TOOL("mmd");
        FatImage img(fs(32, 1, 2));
        QVERIFY2(img.ok(), qPrintable(img.error()));
        QVERIFY(img.mtools(QStringLiteral("mmd"), {QStringLiteral("::/overlays")}).ok());
        QVERIFY(img.mcopy(QStringLiteral("overlays/keep.dtbo"), "overlay\n"));
        try {
            OpenFat fat(img);
            fat->writeFile(QStringLiteral("overlays"), "file");
            QFAIL("a directory was replaced");
        } catch (const std::runtime_error &e) {
            QCOMPARE(QString::fromUtf8(e.what()),
                     QStringLiteral("Cannot replace a directory with a file"));
        }
        verifyWithRealTools(img, {{QStringLiteral("overlays/keep.dtbo"), "overlay\n"}});
    }

    void emptyNameIsRejected()
    {
        requireTools();
        FatImage img(fs(16, 1, 2));
        QVERIFY2(img.ok(), qPrintable(img.error()));
        OpenFat fat(img);
        try {
            fat->writeFile(QString(), "x");
            QFAIL("an empty name was accepted");
        } catch (const std::runtime_error &e) {
            QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("Filename cannot not be empty"));
        }
    }
};

QTEST_GUILESS_MAIN(TestFatPartition)
#include "tst_fatpartition.moc"
