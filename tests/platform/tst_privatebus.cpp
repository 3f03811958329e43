// The private system bus fixture itself: the environment it sets and puts back, mock services
// that come up or fail in time, and nothing left running afterwards.

#include "privatebus.h"
#include "testenv.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

namespace
{

const char *const kAddressVariable = "DBUS_SYSTEM_BUS_ADDRESS";

// A connection of its own, so that the process-wide system bus connection is never created.
bool nameOwned(const QString &address, const QString &name)
{
    const QString connectionName = QStringLiteral("tst_privatebus-check");
    bool owned = false;
    {
        QDBusConnection bus = QDBusConnection::connectToBus(address, connectionName);
        owned = bus.isConnected() && bus.interface()->isServiceRegistered(name).value();
    }
    QDBusConnection::disconnectFromBus(connectionName);
    return owned;
}

bool answers(const QString &address)
{
    const QString connectionName = QStringLiteral("tst_privatebus-probe");
    bool connected = false;
    {
        connected = QDBusConnection::connectToBus(address, connectionName).isConnected();
    }
    QDBusConnection::disconnectFromBus(connectionName);
    return connected;
}

} // namespace

class TestPrivateBus : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void exportsAndRestoresTheAddress_data();
    void exportsAndRestoresTheAddress();
    void serviceOwnsItsNameUntilStopped();
    void serviceThatNeverComesUpFailsInTime();
};

void TestPrivateBus::initTestCase()
{
    Q5_REQUIRE_TOOL("dbus-daemon");
    if (!q5test::run("/usr/bin/python3", {"-c", "import dbus, gi"}).ok())
        QSKIP("needs python3-dbus and python3-gi for /usr/bin/python3");
}

void TestPrivateBus::exportsAndRestoresTheAddress_data()
{
    QTest::addColumn<bool>("wasSet");
    QTest::newRow("variable unset before") << false;
    QTest::newRow("variable set before") << true;
}

void TestPrivateBus::exportsAndRestoresTheAddress()
{
    QFETCH(bool, wasSet);
    const QByteArray before = "unix:path=/nonexistent/bus";
    if (wasSet)
        qputenv(kAddressVariable, before);
    else
        qunsetenv(kAddressVariable);

    QString address;
    {
        q5test::PrivateBus bus;
        QVERIFY2(bus.isValid(), qPrintable(bus.errorString()));
        address = bus.address();
        QCOMPARE(qgetenv(kAddressVariable), address.toLocal8Bit());
        QVERIFY(answers(address));
    }
    QCOMPARE(qEnvironmentVariableIsSet(kAddressVariable), wasSet);
    if (wasSet)
        QCOMPARE(qgetenv(kAddressVariable), before);
    QVERIFY(!answers(address));
    qunsetenv(kAddressVariable);
}

void TestPrivateBus::serviceOwnsItsNameUntilStopped()
{
    q5test::PrivateBus bus;
    QVERIFY2(bus.isValid(), qPrintable(bus.errorString()));
    const QString logind = QStringLiteral("org.freedesktop.login1");

    QVERIFY2(bus.startService(q5test::PrivateBus::mockPath("mock_logind.py")),
             qPrintable(bus.errorString()));
    QVERIFY(nameOwned(bus.address(), logind));

    bus.stopServices();
    QTRY_VERIFY_WITH_TIMEOUT(!nameOwned(bus.address(), logind), 3000);
}

void TestPrivateBus::serviceThatNeverComesUpFailsInTime()
{
    QTemporaryDir dir;
    const QString script = dir.filePath(QStringLiteral("silent.py"));
    QFile f(script);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("import time\ntime.sleep(60)\n");
    f.close();

    q5test::PrivateBus bus;
    QVERIFY2(bus.isValid(), qPrintable(bus.errorString()));
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!bus.startService(script, {}, 500));
    QVERIFY(timer.elapsed() < 5000);
    QVERIFY(!bus.errorString().isEmpty());
    QVERIFY(bus.isValid());
}

QTEST_GUILESS_MAIN(TestPrivateBus)
#include "tst_privatebus.moc"
