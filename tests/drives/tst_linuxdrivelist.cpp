// Drive enumeration: lsblk reports of both output formats, fed through an lsblk shim on PATH,
// failures of the tool, and one read-only run against the machine's own lsblk.

#include "linuxdrivelist.h"
#include "shimdir.h"
#include "testenv.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>
#include <optional>
#include <signal.h>

using Drivelist::DeviceDescriptor;

namespace
{

const QString kFixtures = QStringLiteral(Q5_TEST_FIXTURES_DIR "/");

QString describe(const DeviceDescriptor &d)
{
    QStringList mountpoints;
    for (const std::string &m : d.mountpoints)
        mountpoints << QString::fromStdString(m);
    QStringList flags;
    if (d.isReadOnly)
        flags << QStringLiteral("ro");
    if (d.isRemovable)
        flags << QStringLiteral("removable");
    if (d.isSystem)
        flags << QStringLiteral("system");
    if (d.isUsb)
        flags << QStringLiteral("usb");
    if (d.isScsi)
        flags << QStringLiteral("scsi");
    return QStringLiteral("%1|%2|%3|%4|%5")
        .arg(QString::fromStdString(d.device), QString::fromStdString(d.description))
        .arg(d.size)
        .arg(mountpoints.join(QLatin1Char(',')), flags.join(QLatin1Char(' ')));
}

QStringList describeAll(const std::vector<DeviceDescriptor> &devices)
{
    QStringList lines;
    for (const DeviceDescriptor &d : devices)
        lines << describe(d);
    return lines;
}

// What the two recorded reports of the same machine must give, in lsblk's order.
const QStringList kExpectedMachine = {
    "/dev/sda|ATA Samsung SSD 860 EVO 500GB (EFI, root)|500107862016|/boot/efi,/|system scsi",
    "/dev/sdb|Generic Flash Disk (boot, rootfs)|31914983424|/media/user/boot,/media/user/rootfs|"
    "removable usb",
    "/dev/sdc|Mass Storage Device|15931539456||ro removable usb",
    "/dev/mmcblk0|Internal SD card reader (boot, root)|63864569856||removable",
    "/dev/mmcblk1||7818182656||removable",
    "/dev/nvme0n1|WD Blue SN570 1TB (spare)|1000204886016||",
    "/dev/nvme1n1|KXG60ZNV256G (data, photos)|256060514304|/media/user/data,/media/user/photos|",
    "/dev/nvme2n1|Samsung SSD 970 (data)|512110190592|/media/user/data2,/|system",
    "/dev/sdd|ATA ST2000DM008 (boot, ext, data, tail)|2000398934016|"
    "/mnt/boot,/mnt/data,/mnt/other,/mnt/tail|system scsi",
    "/dev/sde|CAMERA SanDisk Cruzer Blade|4004511744|/media/user/CAMERA|removable usb",
    "/dev/dm-0||104857600|/srv|removable",
};

} // namespace

class TestLinuxDriveList : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { _shims.reset(); }
    void recordedReports_data();
    void recordedReports();
    void passesTheDocumentedArguments();
    void unexpectedJsonTypes();
    void toolFailures_data();
    void toolFailures();
    void hangingToolIsKilled();
    void machineLsblk();

private:
    // Replaces lsblk with a script; it records its arguments, one per line, in argsPath().
    void _shimLsblk(const QByteArray &body)
    {
        if (!_shims)
            _shims.emplace();
        _shims->add(QStringLiteral("lsblk"),
                    "printf '%s\\n' \"$@\" > '" + argsPath().toLocal8Bit() + "'\n" + body);
    }
    void _shimPrinting(const QString &fixture)
    {
        _shimLsblk("cat '" + (kFixtures + fixture).toLocal8Bit() + "'\n");
    }
    QString argsPath() const { return _shims->path() + QStringLiteral("/args"); }

    std::optional<q5test::ShimDir> _shims;
};

void TestLinuxDriveList::recordedReports_data()
{
    QTest::addColumn<QString>("fixture");
    QTest::newRow("current format (booleans, numbers)") << QStringLiteral("lsblk-current.json");
    QTest::newRow("legacy format (digits as text)") << QStringLiteral("lsblk-legacy.json");
}

void TestLinuxDriveList::recordedReports()
{
    QFETCH(QString, fixture);
    _shimPrinting(fixture);
    QCOMPARE(describeAll(Drivelist::ListStorageDevices()), kExpectedMachine);
}

void TestLinuxDriveList::passesTheDocumentedArguments()
{
    _shimPrinting(QStringLiteral("lsblk-current.json"));
    Drivelist::ListStorageDevices();
    QFile args(argsPath());
    QVERIFY(args.open(QIODevice::ReadOnly));
    const QStringList expected = {
        "--bytes",
        "--json",
        "--paths",
        "--tree",
        "--output",
        "kname,type,subsystems,ro,rm,hotplug,size,phy-sec,log-sec,label,vendor,model,mountpoint",
        "--exclude",
        "7"};
    QCOMPARE(QString::fromUtf8(args.readAll()).split('\n', Qt::SkipEmptyParts), expected);
}

void TestLinuxDriveList::unexpectedJsonTypes()
{
    _shimPrinting(QStringLiteral("lsblk-oddities.json"));
    const QStringList expected = {
        "/dev/sdf|Card|0||removable usb",
        "/dev/sdg||0|/media/x|removable usb",
        "/dev/sdh||0||system",
        "/dev/sdi||2048||system",
    };
    QCOMPARE(describeAll(Drivelist::ListStorageDevices()), expected);
}

void TestLinuxDriveList::toolFailures_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("reportsExecError");
    const QByteArray report = "cat '" + (kFixtures + "lsblk-current.json").toLocal8Bit() + "'\n";
    QTest::newRow("non-zero exit with a report") << report + "exit 1\n" << true;
    QTest::newRow("no output") << QByteArray("exit 0\n") << true;
    QTest::newRow("killed") << QByteArray("kill -9 $$\n") << true;
    QTest::newRow("not JSON") << QByteArray("echo 'lsblk: unknown column'\n") << false;
    QTest::newRow("truncated JSON")
        << QByteArray("head -c 300 '" + (kFixtures + "lsblk-current.json").toLocal8Bit() + "'\n")
        << false;
    QTest::newRow("no blockdevices key") << QByteArray("echo '{\"devices\": []}'\n") << false;
}

void TestLinuxDriveList::toolFailures()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, reportsExecError);
    _shimLsblk(body);
    if (reportsExecError) {
        QTest::ignoreMessage(QtDebugMsg, "Error executing lsblk");
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^lsblk finished:"));
    }
    QVERIFY(Drivelist::ListStorageDevices().empty());
}

void TestLinuxDriveList::hangingToolIsKilled()
{
    _shimLsblk(QByteArray());
    const QString pidPath = _shims->path() + QStringLiteral("/pid");
    _shimLsblk("echo $$ > '" + pidPath.toLocal8Bit() + "'\nexec sleep 30\n");
    QTest::ignoreMessage(QtDebugMsg, "Error executing lsblk");
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^lsblk finished: false"));

    QElapsedTimer timer;
    timer.start();
    QVERIFY(Drivelist::ListStorageDevices().empty());
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));

    QFile pidFile(pidPath);
    QVERIFY(pidFile.open(QIODevice::ReadOnly));
    const pid_t pid = pidFile.readAll().trimmed().toInt();
    QVERIFY(pid > 0);
    QCOMPARE(::kill(pid, 0), -1); // killed and reaped, not left behind
}

// Read-only: compares our list with lsblk's own list of top-level devices on this machine.
void TestLinuxDriveList::machineLsblk()
{
    Q5_REQUIRE_TOOL("lsblk");
    const q5test::CommandResult lsblk =
        q5test::run(QStringLiteral("lsblk"), {"--bytes", "--json", "--paths", "--nodeps",
                                              "--exclude", "7", "--output", "kname,size"});
    QVERIFY(lsblk.ok());
    QStringList expected;
    const QJsonArray devices =
        QJsonDocument::fromJson(lsblk.out).object().value("blockdevices").toArray();
    for (const QJsonValue &v : devices) {
        const QString kname = v["kname"].toString();
        if (!QRegularExpression("^/dev/(loop|sr|ram|zram)").match(kname).hasMatch())
            expected << kname + ':' + QString::number(v["size"].toInteger());
    }

    QStringList found;
    for (const DeviceDescriptor &d : Drivelist::ListStorageDevices())
        found << QString::fromStdString(d.device) + ':' + QString::number(d.size);
    QCOMPARE(found, expected);
}

QTEST_GUILESS_MAIN(TestLinuxDriveList)
#include "tst_linuxdrivelist.moc"
