// UDisks2Api against a mock UDisks2 service on a private system bus: the exact calls and
// arguments the service receives, and the results when it refuses or is absent.

#include "imagefiles.h"
#include "mockudisks2.h"
#include "privatebus.h"
#include "udisks2api.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <unistd.h>

using q5test::MockUDisks2;

namespace
{
const QString kDisk = QStringLiteral("/dev/q5mockdisk");
const QString kPartition = QStringLiteral("/dev/q5mockdisk1");

QJsonArray typedArg(const char *type, const QJsonValue &value)
{
    return QJsonArray{QString::fromLatin1(type), value};
}

QJsonArray emptyOptions()
{
    return typedArg("Dictionary", QJsonObject());
}
} // namespace

class TestUDisks2Api : public QObject
{
    Q_OBJECT

    std::unique_ptr<q5test::PrivateBus> _bus;

    std::unique_ptr<MockUDisks2> startMock(const QStringList &args)
    {
        auto mock = std::make_unique<MockUDisks2>(*_bus, args);
        if (!mock->isRunning())
            qWarning() << "mock UDisks2 did not start:" << mock->errorString();
        return mock;
    }

private slots:
    void initTestCase()
    {
        _bus = std::make_unique<q5test::PrivateBus>();
        QVERIFY2(_bus->isValid(), qPrintable(_bus->errorString()));
    }

    void cleanupTestCase() { _bus.reset(); }

    void unknownDeviceStopsAfterResolving()
    {
        auto mock = startMock({"--device", kDisk});
        QVERIFY(mock->isRunning());
        UDisks2Api api;
        QCOMPARE(api.authOpen(QStringLiteral("/dev/q5unknown"), QStringLiteral("rw")), -1);
        QCOMPARE(api.formatDrive(QStringLiteral("/dev/q5unknown"), true), false);
        api.ejectDrive(QStringLiteral("/dev/q5unknown"));
        QCOMPARE(api.mountDevice(QStringLiteral("/dev/q5unknown")), QString());
        QCOMPARE(mock->callNames(), QStringList(4, QStringLiteral("ResolveDevice")));
        const QJsonObject resolve = mock->calls().constFirst();
        QCOMPARE(resolve.value("args").toArray(),
                 (QJsonArray{typedArg("Dictionary",
                                      QJsonObject{{"path", typedArg("String", "/dev/q5unknown")}}),
                             emptyOptions()}));
    }

    void authOpenUnmountsThenHandsOverTheDescriptor()
    {
        QTemporaryDir dir;
        const QString node = dir.filePath("q5disk");
        QVERIFY(q5test::writeFile(node, QByteArray(8192, 'x')));
        auto mock = startMock({"--device", node, "--mounted-partition", node + "1"});
        QVERIFY(mock->isRunning());

        UDisks2Api api;
        const int fd = api.authOpen(node, QStringLiteral("rw"));
        QVERIFY(fd >= 0);
        QCOMPARE(::pwrite(fd, "written through the descriptor", 30, 100), ssize_t(30));
        ::close(fd);
        QCOMPARE(q5test::readFile(node, 100, 30), QByteArray("written through the descriptor"));

        // Every block object of the drive is asked to unmount, the mounted partition included.
        QCOMPARE(mock->callNames(), (QStringList{"ResolveDevice", "GetBlockDevices", "Unmount",
                                                 "Unmount", "OpenDevice"}));
        QCOMPARE(mock->callsOf("Unmount").at(1).value("object").toString(),
                 MockUDisks2::blockPath(node + "1"));
        QVERIFY(UDisks2Api().mountPoints(node + "1").isEmpty());
        const QJsonObject open = mock->callsOf("OpenDevice").constFirst();
        QCOMPARE(open.value("object").toString(), MockUDisks2::blockPath(node));
        QCOMPARE(
            open.value("args").toArray(),
            (QJsonArray{typedArg("String", "rw"),
                        typedArg("Dictionary", QJsonObject{{"flags", typedArg("Int32", 128)}})}));
    }

    void refusalsGiveFailureResults()
    {
        auto mock = startMock({"--device", kDisk, "--refuse", "OpenDevice", "--refuse", "Format"});
        QVERIFY(mock->isRunning());
        UDisks2Api api;
        QCOMPARE(api.authOpen(kDisk, QStringLiteral("rw")), -1);
        QCOMPARE(api.formatDrive(kDisk, true), false);
        QVERIFY(!mock->callNames().contains("CreatePartition"));
    }

    void formatDriveCallsInOrderWithExactArguments()
    {
        auto mock = startMock({"--device", kDisk});
        QVERIFY(mock->isRunning());
        UDisks2Api api;
        QVERIFY(api.formatDrive(kDisk, true));

        QStringList names = mock->callNames();
        names.removeAll("GetBlockDevices");
        names.removeAll("Unmount");
        QCOMPARE(names,
                 (QStringList{"ResolveDevice", "Format", "CreatePartition", "Format", "Mount"}));
        const QList<QJsonObject> formats = mock->callsOf("Format");
        QCOMPARE(formats.at(0).value("object").toString(), MockUDisks2::blockPath(kDisk));
        QCOMPARE(formats.at(0).value("args").toArray(),
                 (QJsonArray{typedArg("String", "dos"), emptyOptions()}));
        const QJsonObject create = mock->callsOf("CreatePartition").constFirst();
        QCOMPARE(create.value("object").toString(), MockUDisks2::blockPath(kDisk));
        QCOMPARE(create.value("args").toArray(),
                 (QJsonArray{typedArg("UInt64", 4194304), typedArg("UInt64", 0),
                             typedArg("String", "0x0e"), typedArg("String", ""), emptyOptions()}));
        QCOMPARE(formats.at(1).value("object").toString(), MockUDisks2::blockPath(kPartition));
        QCOMPARE(formats.at(1).value("args").toArray(),
                 (QJsonArray{typedArg("String", "vfat"), emptyOptions()}));
        QCOMPARE(mock->callsOf("Mount").constFirst().value("object").toString(),
                 MockUDisks2::blockPath(kPartition));
        QCOMPARE(api.mountPoints(kPartition), QByteArrayList{"/media/mock-q5mockdisk1"});
    }

    void formatDriveWithoutMountStopsAfterFormat()
    {
        auto mock = startMock({"--device", kDisk});
        QVERIFY(mock->isRunning());
        UDisks2Api api;
        QVERIFY(api.formatDrive(kDisk, false));
        QVERIFY(!mock->callNames().contains("Mount"));
    }

    void formatDriveFailsWhenPartitioningIsRefused()
    {
        auto mock = startMock({"--device", kDisk, "--refuse", "CreatePartition"});
        QVERIFY(mock->isRunning());
        UDisks2Api api;
        QCOMPARE(api.formatDrive(kDisk, true), false);
        QCOMPARE(mock->callsOf("Format").size(), 1);
    }

    void autoMountedPartitionCountsAsMounted()
    {
        auto mock = startMock({"--device", kDisk, "--auto-mount", "/media/desktop/CARD"});
        QVERIFY(mock->isRunning());
        UDisks2Api api;
        QVERIFY(api.formatDrive(kDisk, true));
        QCOMPARE(mock->callsOf("Mount").size(), 1);
        QCOMPARE(api.mountDevice(kPartition), QStringLiteral("/media/desktop/CARD"));
    }

    void mountRetriesOneSecondApart_data()
    {
        QTest::addColumn<int>("failures");
        QTest::addColumn<QString>("result");
        QTest::addColumn<int>("attempts");
        QTest::newRow("fails twice") << 2 << QStringLiteral("/media/mock-q5mockdisk") << 3;
        QTest::newRow("refused ten times") << 10 << QString() << 10;
    }
    void mountRetriesOneSecondApart()
    {
        QFETCH(int, failures);
        QFETCH(QString, result);
        QFETCH(int, attempts);
        auto mock = startMock({"--device", kDisk, "--mount-failures", QString::number(failures)});
        QVERIFY(mock->isRunning());
        UDisks2Api api;
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(api.mountDevice(kDisk), result);
        QCOMPARE(mock->callsOf("Mount").size(), attempts);
        QVERIFY(timer.elapsed() >= 1000 * qMin(failures, attempts - 1));
    }

    void ejectClearsHintAutoUnmountsAndEjects()
    {
        auto mock =
            startMock({"--device", kDisk, "--mounted-partition", kPartition, "--hint-auto"});
        QVERIFY(mock->isRunning());
        UDisks2Api api;
        api.ejectDrive(kDisk);
        QCOMPARE(mock->callNames(),
                 (QStringList{"ResolveDevice", "Set", "Rescan", "GetBlockDevices", "Unmount",
                              "Unmount", "Eject"}));
        QCOMPARE(mock->callsOf("Set").constFirst().value("args").toArray(),
                 (QJsonArray{typedArg("String", "org.freedesktop.UDisks2.Block"),
                             typedArg("String", "HintAuto"), typedArg("Boolean", false)}));
        QCOMPARE(mock->callsOf("Eject").constFirst().value("object").toString(),
                 QStringLiteral("/org/freedesktop/UDisks2/drives/Mock_Card_0123"));
        QVERIFY(api.mountPoints(kPartition).isEmpty());
    }

    void rootDrivePathMeansNoDrive()
    {
        auto mock = startMock({"--device", kDisk, "--mounted-partition", kPartition, "--no-drive"});
        QVERIFY(mock->isRunning());
        UDisks2Api api;
        api.ejectDrive(kDisk);
        api.unmountDrive(kDisk);
        QVERIFY(api.formatDrive(kDisk, false));
        const QStringList names = mock->callNames();
        QVERIFY(!names.contains("GetBlockDevices"));
        QVERIFY(!names.contains("Unmount"));
        QVERIFY(!names.contains("Eject"));
        QVERIFY(!names.contains("Set"));
        QVERIFY(names.contains("Rescan"));
        QCOMPARE(api.mountPoints(kPartition), QByteArrayList{"/media/mock-q5mockdisk1"});
    }

    void mountPointsThroughAProxy()
    {
        auto mock = startMock({"--device", kDisk, "--mounted-partition", kPartition});
        QVERIFY(mock->isRunning());
        QDBusInterface filesystem(
            QStringLiteral("org.freedesktop.UDisks2"), MockUDisks2::blockPath(kPartition),
            QStringLiteral("org.freedesktop.UDisks2.Filesystem"), QDBusConnection::systemBus());
        UDisks2Api api;
        QCOMPARE(api.mountPoints(filesystem), QByteArrayList{"/media/mock-q5mockdisk1"});
        QVERIFY(api.mountPoints(kDisk).isEmpty());
    }

    void absentServiceGivesFailureResults()
    {
        _bus->stopServices();
        UDisks2Api api;
        QCOMPARE(api.authOpen(kDisk, QStringLiteral("rw")), -1);
        QCOMPARE(api.formatDrive(kDisk, true), false);
        QCOMPARE(api.mountDevice(kDisk), QString());
        QVERIFY(api.mountPoints(kDisk).isEmpty());
        api.ejectDrive(kDisk);
        api.unmountDrive(kDisk);
    }
};

QTEST_GUILESS_MAIN(TestUDisks2Api)
#include "tst_udisks2api.moc"
