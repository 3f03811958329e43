// Sleep inhibition against a mock logind on a private system bus: one inhibitor while the block
// is applied, released when it is removed or the blocker goes, and only a log line when the
// login manager refuses or does not answer.

#include "powersaveblocker.h"
#include "privatebus.h"
#include "testenv.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace
{

const QString kReason = QStringLiteral("Downloading and writing image");

struct Inhibitor {
    QString what, who, why, mode;
};

} // namespace

class TestPowerSaveBlocker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase() { _bus.reset(); }

    void applyTwiceTakesOneInhibitor();
    void removeReleasesAndApplyTakesAgain();
    void destructionReleases();
    void childProcessesDoNotHoldTheLock();
    void failureIsOnlyLogged_data();
    void failureIsOnlyLogged();

private:
    void _startLogind(const QStringList &extraArgs = {})
    {
        QVERIFY2(_bus->startService(q5test::PrivateBus::mockPath("mock_logind.py"),
                                    QStringList{"--log", _logPath()} + extraArgs),
                 qPrintable(_bus->errorString()));
    }
    QString _logPath() const { return _dir->filePath(QStringLiteral("logind.log")); }
    QList<QJsonObject> _log(const QString &kind, const QString &value) const;
    QList<Inhibitor> _inhibitors() const;

    std::unique_ptr<q5test::PrivateBus> _bus;
    std::unique_ptr<QTemporaryDir> _dir;
};

void TestPowerSaveBlocker::initTestCase()
{
    Q5_REQUIRE_TOOL("dbus-daemon");
    if (!q5test::run("/usr/bin/python3", {"-c", "import dbus, gi"}).ok())
        QSKIP("needs python3-dbus and python3-gi for /usr/bin/python3");
    // Before anything uses the system bus: the connection keeps the first address it sees.
    _bus = std::make_unique<q5test::PrivateBus>();
    QVERIFY2(_bus->isValid(), qPrintable(_bus->errorString()));
}

void TestPowerSaveBlocker::init()
{
    _dir = std::make_unique<QTemporaryDir>();
}

void TestPowerSaveBlocker::cleanup()
{
    _bus->stopServices();
}

// The lines of the mock's log whose `kind` ("call" or "event") has the given value.
QList<QJsonObject> TestPowerSaveBlocker::_log(const QString &kind, const QString &value) const
{
    QList<QJsonObject> entries;
    QFile f(_logPath());
    if (!f.open(QIODevice::ReadOnly))
        return entries;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        if (entry.value(kind).toString() == value)
            entries << entry;
    }
    return entries;
}

// What the login manager holds right now, as a peer on the bus asks for it.
QList<Inhibitor> TestPowerSaveBlocker::_inhibitors() const
{
    const QDBusMessage call =
        QDBusMessage::createMethodCall("org.freedesktop.login1", "/org/freedesktop/login1",
                                       "org.freedesktop.login1.Manager", "ListInhibitors");
    const QDBusMessage reply = QDBusConnection::systemBus().call(call, QDBus::Block, 5000);
    QList<Inhibitor> held;
    if (reply.type() != QDBusMessage::ReplyMessage) {
        qWarning() << "ListInhibitors failed:" << reply.errorMessage();
        return held;
    }
    const QDBusArgument array = reply.arguments().first().value<QDBusArgument>();
    array.beginArray();
    while (!array.atEnd()) {
        Inhibitor inhibitor;
        uint uid = 0, pid = 0;
        array.beginStructure();
        array >> inhibitor.what >> inhibitor.who >> inhibitor.why >> inhibitor.mode >> uid >> pid;
        array.endStructure();
        held << inhibitor;
    }
    array.endArray();
    return held;
}

void TestPowerSaveBlocker::applyTwiceTakesOneInhibitor()
{
    _startLogind();
    PowerSaveBlocker blocker;
    blocker.applyBlock(kReason);
    blocker.applyBlock(kReason);

    const QList<QJsonObject> calls = _log("call", "Inhibit");
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls[0]["what"].toString(), QStringLiteral("sleep:idle"));
    QCOMPARE(calls[0]["who"].toString(), QStringLiteral("Q5 Orlith Imager"));
    QCOMPARE(calls[0]["why"].toString(), kReason);
    QCOMPARE(calls[0]["mode"].toString(), QStringLiteral("block"));

    const QList<Inhibitor> held = _inhibitors();
    QCOMPARE(held.size(), 1);
    QCOMPARE(held[0].why, kReason);
}

void TestPowerSaveBlocker::removeReleasesAndApplyTakesAgain()
{
    _startLogind();
    PowerSaveBlocker blocker;
    blocker.applyBlock(kReason);
    QCOMPARE(_inhibitors().size(), 1);

    blocker.removeBlock();
    QCOMPARE(_inhibitors().size(), 0);
    QCOMPARE(_log("event", "released").size(), 1);
    blocker.removeBlock();

    blocker.applyBlock(kReason);
    QCOMPARE(_log("call", "Inhibit").size(), 2);
    QCOMPARE(_inhibitors().size(), 1);
}

void TestPowerSaveBlocker::destructionReleases()
{
    _startLogind();
    {
        PowerSaveBlocker blocker;
        blocker.applyBlock(kReason);
        QCOMPARE(_inhibitors().size(), 1);
    }
    QCOMPARE(_inhibitors().size(), 0);
    QCOMPARE(_log("event", "released").size(), 1);
}

// Helpers started during a job (lsblk, pkexec, mkfs) must not keep the machine awake after it.
void TestPowerSaveBlocker::childProcessesDoNotHoldTheLock()
{
    _startLogind();
    PowerSaveBlocker blocker;
    blocker.applyBlock(kReason);
    QProcess child;
    child.start("sleep", {"30"});
    QVERIFY(child.waitForStarted(5000));

    blocker.removeBlock();
    QCOMPARE(_inhibitors().size(), 0);
    child.kill();
    child.waitForFinished(5000);
}

void TestPowerSaveBlocker::failureIsOnlyLogged_data()
{
    QTest::addColumn<QStringList>("logindArgs");
    QTest::addColumn<bool>("withLogind");
    QTest::newRow("no login manager on the bus") << QStringList{} << false;
    QTest::newRow("login manager refuses")
        << QStringList{"--fail", "org.freedesktop.DBus.Error.AccessDenied"} << true;
    QTest::newRow("login manager does not answer") << QStringList{"--stall"} << true;
}

void TestPowerSaveBlocker::failureIsOnlyLogged()
{
    QFETCH(QStringList, logindArgs);
    QFETCH(bool, withLogind);
    if (withLogind)
        _startLogind(logindArgs);

    const QRegularExpression logLine("^Error inhibiting sleep through logind: \\S.*");
    QTest::ignoreMessage(QtWarningMsg, logLine);
    PowerSaveBlocker blocker;
    blocker.applyBlock(kReason);
    blocker.removeBlock();

    // Not held, so the next job asks again rather than believing it has the lock.
    QTest::ignoreMessage(QtWarningMsg, logLine);
    blocker.applyBlock(kReason);
    if (withLogind)
        QCOMPARE(_log("call", "Inhibit").size(), 2);
}

QTEST_GUILESS_MAIN(TestPowerSaveBlocker)
#include "tst_powersaveblocker.moc"
