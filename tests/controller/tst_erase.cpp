// The erase job through the controller ("internal://format"): the drive gets one FAT partition,
// no progress is polled (so no sleep inhibition is asked for), and success or the formatting
// error reaches the controller's signals.

#include "imagefiles.h"
#include "imagewriter.h"
#include "loopdevice.h"
#include "privatebus.h"
#include "testenv.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace
{
bool waitForEnd(QSignalSpy &success, QSignalSpy &error, int timeoutMs = 60000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (success.isEmpty() && error.isEmpty() && !deadline.hasExpired())
        QTest::qWait(20);
    return !success.isEmpty() || !error.isEmpty();
}
} // namespace

class TestErase : public QObject
{
    Q_OBJECT

    QTemporaryDir _home;
    std::unique_ptr<q5test::PrivateBus> _bus;
    QString _logindLog;

private slots:
    void initTestCase()
    {
        _bus = std::make_unique<q5test::PrivateBus>();
        QVERIFY2(_bus->isValid(), qPrintable(_bus->errorString()));
        qputenv("XDG_CONFIG_HOME", _home.filePath("config").toLocal8Bit());
        qputenv("XDG_CACHE_HOME", _home.filePath("cache").toLocal8Bit());
        QCoreApplication::setOrganizationName("Orlith");
        QCoreApplication::setApplicationName("Q5 Orlith Imager");
        _logindLog = _home.filePath("logind.log");
        QVERIFY2(_bus->startService(q5test::PrivateBus::mockPath("mock_logind.py"),
                                    {"--log", _logindLog}),
                 qPrintable(_bus->errorString()));
    }

    void cleanupTestCase() { _bus.reset(); }

    void erasesTheDriveWithoutPolling()
    {
        Q5_REQUIRE_TOOL("sfdisk");
        Q5_REQUIRE_TOOL("mkfs.fat");
        QTemporaryDir dir;
        const QString backing = dir.filePath("card.img");
        QVERIFY(q5test::writeFile(backing, q5test::randomBytes(64 << 20, 5)));
        Q5_LOOP_OR_SKIP(loop, backing);

        ImageWriter w;
        QSignalSpy success(&w, &ImageWriter::success);
        QSignalSpy error(&w, &ImageWriter::error);
        QSignalSpy progress(&w, &ImageWriter::downloadProgress);
        QSignalSpy verify(&w, &ImageWriter::verifyProgress);
        w.setSrc(QUrl("internal://format"));
        w.setDst(loop.device(), 64 << 20);
        w.startWrite();
        QVERIFY(waitForEnd(success, error));
        QVERIFY2(error.isEmpty(), error.isEmpty() ? "" : qPrintable(error.at(0).at(0).toString()));
        QCOMPARE(success.size(), 1);
        QCOMPARE(progress.size(), 0);
        QCOMPARE(verify.size(), 0);
        QVERIFY(!q5test::readFile(_logindLog).contains("Inhibit"));

        const q5test::CommandResult dump = q5test::run("sfdisk", {"-d", loop.device()});
        QVERIFY2(dump.out.contains(loop.device().toLatin1() + "p1 : start=        8192,"),
                 dump.out.constData());
        const q5test::CommandResult fsck = q5test::run("fsck.fat", {"-n", loop.device() + "p1"});
        QVERIFY2(fsck.ok(), (fsck.out + fsck.err).constData());
    }

    void formattingErrorIsRelayed()
    {
        Q5_REQUIRE_TOOL("sfdisk");
        QTemporaryDir dir;
        const QString tooSmall = dir.filePath("tiny.img");
        QFile f(tooSmall);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(1 << 20));
        f.close();

        ImageWriter w;
        QSignalSpy success(&w, &ImageWriter::success);
        QSignalSpy error(&w, &ImageWriter::error);
        w.setSrc(QUrl("internal://format"));
        w.setDst(tooSmall);
        w.startWrite();
        QVERIFY(waitForEnd(success, error));
        QCOMPARE(success.size(), 0);
        QCOMPARE(error.size(), 1);
        const QString message = error.at(0).at(0).toString();
        QVERIFY2(message.startsWith("Error partitioning: "), qPrintable(message));
        QVERIFY2(message.contains("Start sector 8192 out of range"), qPrintable(message));
    }
};

QTEST_GUILESS_MAIN(TestErase)
#include "tst_erase.moc"
