// Kernel-level unmount of every file system of a drive. tmpfs mounts stand in for partitions:
// their source field can be any text, so "/dev/…" names of partitions are made up freely while
// the drive path itself is a real file.

#include "mountutils.h"
#include "testenv.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <unistd.h>

using namespace q5test;

namespace
{
bool isMounted(const QString &dir)
{
    QFile mounts("/proc/mounts");
    if (!mounts.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : mounts.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 1 && QString::fromLocal8Bit(fields[1]) == dir)
            return true;
    }
    return false;
}

// Mounts created by a test, removed again on every path.
class Mounts
{
public:
    bool add(const QString &source, const QString &dir)
    {
        QDir().mkpath(dir);
        if (!run("mount", {"-t", "tmpfs", "-o", "size=64k", source, dir}).ok())
            return false;
        _dirs << dir;
        return true;
    }
    ~Mounts()
    {
        for (const QString &dir : _dirs)
            while (isMounted(dir) && run("umount", {"-l", dir}).ok()) {
            }
    }

private:
    QStringList _dirs;
};
} // namespace

class tst_MountUtils : public QObject
{
    Q_OBJECT

private slots:
    void resultsWithoutMounts()
    {
        QTemporaryDir dir;
        const QString drive = dir.filePath("sdq");
        QVERIFY(QFile(drive).open(QIODevice::WriteOnly));
        QCOMPARE(unmount_disk(drive.toLocal8Bit().constData()), 0);
        QCOMPARE(unmount_disk(dir.path().toLocal8Bit().constData()), 1);
        QCOMPARE(unmount_disk("/nonexistent/sdq"), 4);
        QCOMPARE(eject_disk("/nonexistent/sdq"), 4);
        QCOMPARE(eject_disk(drive.toLocal8Bit().constData()), 0);
    }

    void unmountsPartitionsOfTheDriveOnly_data()
    {
        QTest::addColumn<QString>("drive");
        QTest::addColumn<QStringList>("ours");
        QTest::addColumn<QStringList>("others");
        QTest::newRow("sd names") << "sdq" << QStringList{"sdq", "sdq1", "sdq10"}
                                  << QStringList{"sdqa1", "sdr1"};
        QTest::newRow("names ending in a digit") << "loop9" << QStringList{"loop9p1", "loop9p12"}
                                                 << QStringList{"loop90", "loop91p1", "loop9x"};
    }
    void unmountsPartitionsOfTheDriveOnly()
    {
        Q5_REQUIRE_ROOT();
        QFETCH(QString, drive);
        QFETCH(QStringList, ours);
        QFETCH(QStringList, others);
        QTemporaryDir dir;
        const QString drivePath = dir.filePath(drive);
        QVERIFY(QFile(drivePath).open(QIODevice::WriteOnly));
        Mounts mounts;
        for (const QString &name : ours + others)
            QVERIFY(mounts.add(dir.filePath(name), dir.filePath("mnt-" + name)));

        QCOMPARE(eject_disk(drivePath.toLocal8Bit().constData()), 0);
        for (const QString &name : ours)
            QVERIFY2(!isMounted(dir.filePath("mnt-" + name)), qPrintable(name));
        for (const QString &name : others)
            QVERIFY2(isMounted(dir.filePath("mnt-" + name)), qPrintable(name));
    }

    void busyMountIsDetached()
    {
        Q5_REQUIRE_ROOT();
        QTemporaryDir dir;
        const QString drivePath = dir.filePath("sdq");
        QVERIFY(QFile(drivePath).open(QIODevice::WriteOnly));
        Mounts mounts;
        const QString mnt = dir.filePath("busy");
        QVERIFY(mounts.add(drivePath + "1", mnt));
        // An open file keeps the mount busy: expiring fails, the lazy detach succeeds.
        const int fd = ::open(QFile::encodeName(mnt + "/held").constData(), O_CREAT | O_RDWR, 0600);
        QVERIFY(fd >= 0);
        const int result = unmount_disk(drivePath.toLocal8Bit().constData());
        ::close(fd);
        QCOMPARE(result, 0);
        QVERIFY(!isMounted(mnt));
    }
};

QTEST_GUILESS_MAIN(tst_MountUtils)
#include "tst_mountutils.moc"
