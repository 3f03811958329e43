// Sleep inhibition on a machine without a system bus: a log line, and the job goes on.

#include "powersaveblocker.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

class TestPowerSaveBlockerNoBus : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Before the first use of the system bus, which keeps the address it first sees.
        QVERIFY(_dir.isValid());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS",
                "unix:path=" + _dir.filePath(QStringLiteral("no_bus_here")).toLocal8Bit());
    }

    void applyAndRemoveWithoutABus()
    {
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^Error inhibiting sleep through logind: \\S.*"));
        PowerSaveBlocker blocker;
        blocker.applyBlock(QStringLiteral("Downloading and writing image"));
        blocker.removeBlock();
    }

private:
    QTemporaryDir _dir;
};

QTEST_GUILESS_MAIN(TestPowerSaveBlockerNoBus)
#include "tst_powersaveblocker_nobus.moc"
