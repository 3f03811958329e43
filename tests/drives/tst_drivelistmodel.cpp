// The drive list model as the UI and the command-line writer see it: rows, roles, and model
// resets only when a drive comes, goes, or changes size or write protection.

#include "drivelistitem.h"
#include "drivelistmodel.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>

using Drivelist::DeviceDescriptor;
using DriveList = std::vector<DeviceDescriptor>;

namespace
{

constexpr int kDeviceRole = Qt::UserRole + 1;
constexpr int kDescriptionRole = Qt::UserRole + 2;
constexpr int kReadOnlyRole = Qt::UserRole + 6;

DeviceDescriptor drive(const std::string &device, uint64_t size, bool readOnly = false,
                       std::vector<std::string> mountpoints = {},
                       const std::string &description = "Card")
{
    DeviceDescriptor d;
    d.device = device;
    d.description = description;
    d.size = size;
    d.isReadOnly = readOnly;
    d.isRemovable = true;
    d.mountpoints = std::move(mountpoints);
    return d;
}

// One line per row: device, description and write protection as the roles give them.
QStringList rows(const DriveListModel &model)
{
    QStringList lines;
    for (int row = 0; row < model.rowCount(); ++row) {
        const QModelIndex index = model.index(row);
        lines << model.data(index, kDeviceRole).toString() + ' ' +
                     model.data(index, kDescriptionRole).toString() +
                     (model.data(index, kReadOnlyRole).toBool() ? " ro" : "");
    }
    return lines;
}

} // namespace

Q_DECLARE_METATYPE(DriveList)

class TestDriveListModel : public QObject
{
    Q_OBJECT

private slots:
    void updates_data();
    void updates();
    void emptyListThenBack();
    void roleTable();
    void dataOfEveryRole();
    void dataOutsideTheTable_data();
    void dataOutsideTheTable();
    void removedItemsAreDeletedLater();
    void sizeInGb_data();
    void sizeInGb();
};

void TestDriveListModel::updates_data()
{
    QTest::addColumn<DriveList>("before");
    QTest::addColumn<DriveList>("after");
    QTest::addColumn<int>("resets");
    QTest::addColumn<QStringList>("rowsAfter");

    const DeviceDescriptor sdb = drive("/dev/sdb", 31914983424);
    const DeviceDescriptor sdc = drive("/dev/sdc", 15931539456);

    QTest::newRow("unchanged list") << DriveList{sdb, sdc} << DriveList{sdb, sdc} << 0
                                    << QStringList{"/dev/sdb Card", "/dev/sdc Card"};
    QTest::newRow("two drives appear in one list")
        << DriveList{} << DriveList{sdc, sdb} << 1 << QStringList{"/dev/sdb Card", "/dev/sdc Card"};
    QTest::newRow("one drive goes")
        << DriveList{sdb, sdc} << DriveList{sdc} << 1 << QStringList{"/dev/sdc Card"};
    QTest::newRow("one comes, one goes")
        << DriveList{sdb} << DriveList{sdc} << 1 << QStringList{"/dev/sdc Card"};
    QTest::newRow("write protection switched on")
        << DriveList{sdb} << DriveList{drive("/dev/sdb", 31914983424, true)} << 1
        << QStringList{"/dev/sdb Card ro"};
    QTest::newRow("card of another size")
        << DriveList{sdb} << DriveList{drive("/dev/sdb", 7818182656, false, {}, "Smaller card")}
        << 1 << QStringList{"/dev/sdb Smaller card"};
    QTest::newRow("description and mount points alone do not count")
        << DriveList{sdb}
        << DriveList{drive("/dev/sdb", 31914983424, false, {"/media/u/boot"}, "Renamed")} << 0
        << QStringList{"/dev/sdb Card"};
    QTest::newRow("drive holding / is never shown")
        << DriveList{} << DriveList{drive("/dev/sda", 500107862016, false, {"/boot", "/"})} << 0
        << QStringList{};
    QTest::newRow("drive holding C:// is never shown")
        << DriveList{} << DriveList{drive("/dev/sda", 500107862016, false, {"C://"})} << 0
        << QStringList{};
    QTest::newRow("empty card reader is never shown")
        << DriveList{} << DriveList{drive("/dev/sdb", 0)} << 0 << QStringList{};
    QTest::newRow("drive that gets mounted on / goes")
        << DriveList{sdb} << DriveList{drive("/dev/sdb", 31914983424, false, {"/"})} << 1
        << QStringList{};
    QTest::newRow("rows follow the text order of the keys")
        << DriveList{}
        << DriveList{sdc, drive("/dev/sda", 4004511744), drive("/dev/mmcblk0", 63864569856), sdb}
        << 1 << QStringList{"/dev/mmcblk0 Card", "/dev/sda Card", "/dev/sdb Card", "/dev/sdc Card"};
}

void TestDriveListModel::updates()
{
    QFETCH(DriveList, before);
    QFETCH(DriveList, after);
    QFETCH(int, resets);
    QFETCH(QStringList, rowsAfter);

    DriveListModel model;
    model.processDriveList(before);
    QSignalSpy aboutToReset(&model, &QAbstractItemModel::modelAboutToBeReset);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

    model.processDriveList(after);

    QCOMPARE(aboutToReset.count(), resets);
    QCOMPARE(reset.count(), resets);
    QCOMPARE(inserted.count() + removed.count() + changed.count(), 0);
    QCOMPARE(rows(model), rowsAfter);
}

// A failed enumeration empties the list in one reset; the next good one brings the rows back.
void TestDriveListModel::emptyListThenBack()
{
    const DriveList drives = {drive("/dev/sdb", 31914983424), drive("/dev/sdc", 15931539456),
                              drive("/dev/sdd", 4004511744)};
    DriveListModel model;
    model.processDriveList(drives);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);

    model.processDriveList({});
    QCOMPARE(reset.count(), 1);
    QCOMPARE(model.rowCount(), 0);

    model.processDriveList(drives);
    QCOMPARE(reset.count(), 2);
    QCOMPARE(model.rowCount(), 3);
}

void TestDriveListModel::roleTable()
{
    const QHash<int, QByteArray> expected = {
        {257, "device"}, {258, "description"}, {259, "size"},     {260, "isUsb"},
        {261, "isScsi"}, {262, "isReadOnly"},  {263, "isSystem"}, {264, "mountpoints"},
    };
    QCOMPARE(DriveListModel().roleNames(), expected);
}

void TestDriveListModel::dataOfEveryRole()
{
    DeviceDescriptor stick =
        drive("/dev/sdb", 31914983424, true, {"/media/u/boot", "/media/u/rootfs"},
              "Generic Flash Disk (boot, rootfs)");
    stick.isUsb = true;
    stick.isSystem = true;
    DriveListModel model;
    model.processDriveList({stick});
    const QModelIndex row = model.index(0);

    QCOMPARE(model.data(row, 257).toString(), QStringLiteral("/dev/sdb"));
    QCOMPARE(model.data(row, 258).toString(), QStringLiteral("Generic Flash Disk (boot, rootfs)"));
    QCOMPARE(model.data(row, 259).toULongLong(), Q_UINT64_C(31914983424));
    QCOMPARE(model.data(row, 260).toBool(), true);
    QCOMPARE(model.data(row, 261).toBool(), false);
    QCOMPARE(model.data(row, 262).toBool(), true);
    QCOMPARE(model.data(row, 263).toBool(), true);
    QCOMPARE(model.data(row, 264).toStringList(),
             QStringList({"/media/u/boot", "/media/u/rootfs"}));
}

void TestDriveListModel::dataOutsideTheTable_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("role");
    QTest::newRow("display role") << 0 << int(Qt::DisplayRole);
    QTest::newRow("role 256") << 0 << 256;
    QTest::newRow("role 265") << 0 << 265;
    QTest::newRow("row -1") << -1 << 257;
    QTest::newRow("row left over from a longer list") << 1 << 257;
}

void TestDriveListModel::dataOutsideTheTable()
{
    QFETCH(int, row);
    QFETCH(int, role);
    DriveListModel model;
    model.processDriveList({drive("/dev/sdb", 31914983424), drive("/dev/sdc", 15931539456)});
    const QModelIndex index = model.index(row);
    model.processDriveList({drive("/dev/sdb", 31914983424)});
    QVERIFY(!model.data(index, role).isValid());
}

// The UI may still hold a removed row's item while the change is handled: it goes afterwards.
void TestDriveListModel::removedItemsAreDeletedLater()
{
    DriveListModel model;
    model.processDriveList({drive("/dev/sdb", 31914983424), drive("/dev/sdc", 15931539456)});
    const QList<DriveListItem *> items = model.findChildren<DriveListItem *>();
    QCOMPARE(items.size(), 2);
    QList<QPointer<DriveListItem>> watched(items.begin(), items.end());

    model.processDriveList({});
    for (const QPointer<DriveListItem> &item : watched)
        QVERIFY(!item.isNull());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (const QPointer<DriveListItem> &item : watched)
        QVERIFY(item.isNull());
}

void TestDriveListModel::sizeInGb_data()
{
    QTest::addColumn<quint64>("size");
    QTest::addColumn<int>("gigabytes");
    QTest::newRow("32 GB card") << Q_UINT64_C(31914983424) << 31;
    QTest::newRow("just under 1 GB") << Q_UINT64_C(999999999) << 0;
    QTest::newRow("exactly 1 GB") << Q_UINT64_C(1000000000) << 1;
    QTest::newRow("2 TB disk") << Q_UINT64_C(2000398934016) << 2000;
}

void TestDriveListModel::sizeInGb()
{
    QFETCH(quint64, size);
    QFETCH(int, gigabytes);
    const DriveListItem item(QStringLiteral("/dev/sdb"), QStringLiteral("Card"), size, true, false,
                             false, false, {});
    QCOMPARE(item.sizeInGb(), gigabytes);
}

QTEST_GUILESS_MAIN(TestDriveListModel)
#include "tst_drivelistmodel.moc"
