// DriveFormatThread: the system-tool route on loop devices and files (checked with sfdisk -d and
// fsck.fat), its failure texts, and the storage-service route through a mock UDisks2.

#include "driveformatthread.h"
#include "imagefiles.h"
#include "loopdevice.h"
#include "mockudisks2.h"
#include "privatebus.h"
#include "shimdir.h"
#include "testenv.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

namespace
{
constexpr int kJobTimeoutMs = 60000;

struct Outcome {
    bool succeeded = false;
    QString error;
};

Outcome format(const QByteArray &device, const std::function<void()> &whileRunning = {})
{
    DriveFormatThread thread(device);
    QSignalSpy succeeded(&thread, &DriveFormatThread::success);
    QSignalSpy failed(&thread, &DriveFormatThread::error);
    thread.start();
    if (whileRunning)
        whileRunning();
    QDeadlineTimer deadline(kJobTimeoutMs);
    while (succeeded.isEmpty() && failed.isEmpty() && !deadline.hasExpired())
        QTest::qWait(50);
    thread.wait(kJobTimeoutMs);
    Outcome outcome;
    outcome.succeeded = succeeded.size() == 1 && failed.isEmpty();
    if (!failed.isEmpty())
        outcome.error = failed.constFirst().constFirst().toString();
    return outcome;
}

bool makeSparseFile(const QString &path, qint64 size)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.resize(size);
}
} // namespace

class TestDriveFormatThread : public QObject
{
    Q_OBJECT

    std::unique_ptr<q5test::PrivateBus> _bus;

private slots:
    void initTestCase()
    {
        _bus = std::make_unique<q5test::PrivateBus>();
        QVERIFY2(_bus->isValid(), qPrintable(_bus->errorString()));
    }

    void cleanupTestCase() { _bus.reset(); }

    void firstPartitionPath_data()
    {
        QTest::addColumn<QByteArray>("device");
        QTest::addColumn<QByteArray>("partition");
        QTest::newRow("sd") << QByteArray("/dev/sdb") << QByteArray("/dev/sdb1");
        QTest::newRow("mmc") << QByteArray("/dev/mmcblk0") << QByteArray("/dev/mmcblk0p1");
        QTest::newRow("nvme") << QByteArray("/dev/nvme0n1") << QByteArray("/dev/nvme0n1p1");
        QTest::newRow("loop") << QByteArray("/dev/loop7") << QByteArray("/dev/loop7p1");
    }
    void firstPartitionPath()
    {
        QFETCH(QByteArray, device);
        QFETCH(QByteArray, partition);
        QCOMPARE(DriveFormatThread::firstPartitionPath(device), partition);
    }

    void formatsALoopDevice()
    {
        Q5_REQUIRE_TOOL("sfdisk");
        Q5_REQUIRE_TOOL("partprobe");
        Q5_REQUIRE_TOOL("mkfs.fat");
        Q5_REQUIRE_TOOL("fsck.fat");
        QTemporaryDir dir;
        const QString backing = dir.filePath("card.img");
        QVERIFY(q5test::writeFile(backing, q5test::randomBytes(64 << 20)));
        Q5_LOOP_OR_SKIP(loop, backing);

        const Outcome outcome = format(loop.device().toLatin1());
        QVERIFY2(outcome.succeeded, qPrintable(outcome.error));

        const q5test::CommandResult dump = q5test::run("sfdisk", {"-d", loop.device()});
        QVERIFY(dump.ok());
        QVERIFY2(dump.out.contains("label: dos"), dump.out.constData());
        const QByteArray entry =
            loop.device().toLatin1() + "p1 : start=        8192, size=      122880, type=e";
        QVERIFY2(dump.out.contains(entry), dump.out.constData());
        QCOMPARE(dump.out.count(" : start="), 1);

        const q5test::CommandResult fsck = q5test::run("fsck.fat", {"-n", loop.device() + "p1"});
        QVERIFY2(fsck.ok(), (fsck.out + fsck.err).constData());
    }

    void sfdiskFailureCarriesItsOutput()
    {
        Q5_REQUIRE_TOOL("sfdisk");
        QTemporaryDir dir;
        const QString tooSmall = dir.filePath("tiny.img");
        QVERIFY(makeSparseFile(tooSmall, 1 << 20));
        const Outcome outcome = format(tooSmall.toLocal8Bit());
        QVERIFY(!outcome.succeeded);
        QVERIFY2(outcome.error.startsWith("Error partitioning: "), qPrintable(outcome.error));
        QVERIFY2(outcome.error.contains("Start sector 8192 out of range"),
                 qPrintable(outcome.error));
    }

    void partitionNodeWait_data()
    {
        QTest::addColumn<int>("appearsAfterMs");
        QTest::newRow("appears after 2 s") << 2000;
        QTest::newRow("never appears") << -1;
    }
    // A file stands in for the drive: sfdisk partitions it, but only the test creates the
    // "partition node" (a file made into a FAT file system by mkfs.fat).
    void partitionNodeWait()
    {
        QFETCH(int, appearsAfterMs);
        Q5_REQUIRE_TOOL("sfdisk");
        Q5_REQUIRE_TOOL("mkfs.fat");
        QTemporaryDir dir;
        const QString drive = dir.filePath("disk");
        const QString partition = drive + "1";
        QVERIFY(makeSparseFile(drive, 64 << 20));

        const Outcome outcome = format(drive.toLocal8Bit(), [&] {
            if (appearsAfterMs >= 0) {
                QTimer::singleShot(appearsAfterMs, [&] {
                    makeSparseFile(partition + ".new", 32 << 20);
                    QFile::rename(partition + ".new", partition);
                });
            }
        });
        if (appearsAfterMs < 0) {
            QCOMPARE(outcome.error,
                     QStringLiteral("Partitioning did not create expected FAT partition %1")
                         .arg(partition));
            return;
        }
        QVERIFY2(outcome.succeeded, qPrintable(outcome.error));
        const q5test::CommandResult fsck = q5test::run("fsck.fat", {"-n", partition});
        QVERIFY2(fsck.ok(), (fsck.out + fsck.err).constData());
    }

    void mkfsFailureCarriesItsOutput()
    {
        Q5_REQUIRE_TOOL("sfdisk");
        QTemporaryDir dir;
        const QString drive = dir.filePath("disk");
        QVERIFY(makeSparseFile(drive, 64 << 20));
        QVERIFY(q5test::writeFile(drive + "1", QByteArray())); // no room for a file system
        const Outcome outcome = format(drive.toLocal8Bit());
        QVERIFY2(outcome.error.startsWith("Error running mkfs.fat: "), qPrintable(outcome.error));
        QVERIFY(outcome.error.size() > int(strlen("Error running mkfs.fat: ")));
    }

    void storageServiceRouteWhenNotWritable_data()
    {
        QTest::addColumn<QStringList>("mockArgs");
        QTest::addColumn<QString>("error");
        QTest::newRow("formatted") << QStringList{} << QString();
        QTest::newRow("refused") << QStringList{"--refuse", "Format"}
                                 << QStringLiteral("Error formatting (through udisks2)");
    }
    void storageServiceRouteWhenNotWritable()
    {
        QFETCH(QStringList, mockArgs);
        QFETCH(QString, error);
        const QString node = QStringLiteral("/dev/q5-not-writable-card");
        q5test::ShimDir shims;
        for (const char *tool : {"sfdisk", "partprobe", "mkfs.fat"})
            shims.add(tool, "echo " + QByteArray(tool) + " >> '" + shims.logPath().toLocal8Bit() +
                                "'\nexit 1\n");
        q5test::MockUDisks2 mock(*_bus, QStringList{"--device", node} + mockArgs);
        QVERIFY2(mock.isRunning(), qPrintable(mock.errorString()));

        const Outcome outcome = format(node.toLatin1());
        QCOMPARE(outcome.error, error);
        QCOMPARE(outcome.succeeded, error.isEmpty());
        QVERIFY(shims.loggedCalls().isEmpty());
        QVERIFY(mock.callNames().contains("Format"));
        if (error.isEmpty())
            QCOMPARE(mock.callsOf("Mount").size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestDriveFormatThread)
#include "tst_driveformatthread.moc"
