// The write engine's storage-service route for real: the program runs as an unprivileged user
// against a loop device that user cannot open; the mock UDisks2 (running as root) opens the
// device in OpenDevice and passes the descriptor back over the private system bus.

#include "imagefiles.h"
#include "imagercli.h"
#include "loopdevice.h"
#include "mockudisks2.h"
#include "privatebus.h"
#include "testenv.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <sys/stat.h>

namespace
{
constexpr int kNobody = 65534;
constexpr qint64 kImageSize = 3 * 1024 * 1024 + 512;
constexpr qint64 kCardSize = 16 * 1024 * 1024;
} // namespace

class TestWriteAuthOpen : public QObject
{
    Q_OBJECT

    std::unique_ptr<q5test::PrivateBus> _bus;
    QTemporaryDir _dir;
    QString _image;
    QByteArray _imageBytes;

    bool nobodyCanOpen(const QString &path)
    {
        return q5test::run("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "sh",
                                       "-c", "exec 3<>'" + path + "'"})
            .ok();
    }

private slots:
    void initTestCase()
    {
        Q5_REQUIRE_ROOT();
        Q5_REQUIRE_TOOL("setpriv");
        _bus = std::make_unique<q5test::PrivateBus>();
        QVERIFY2(_bus->isValid(), qPrintable(_bus->errorString()));
        // The unprivileged program must reach the bus socket and read the image.
        const QString socketDir =
            QFileInfo(_bus->address().mid(QStringLiteral("unix:path=").size())).absolutePath();
        QCOMPARE(::chmod(socketDir.toLocal8Bit().constData(), 0755), 0);
        QCOMPARE(::chmod(_dir.path().toLocal8Bit().constData(), 0755), 0);
        _image = _dir.filePath("image.img");
        _imageBytes = q5test::randomBytes(kImageSize, 7);
        QVERIFY(q5test::writeFile(_image, _imageBytes));
    }

    void cleanupTestCase() { _bus.reset(); }

    void writesThroughTheServiceDescriptor()
    {
        const QString backing = _dir.filePath("card.img");
        QVERIFY(q5test::writeFile(backing, QByteArray(kCardSize, '\x55')));
        Q5_LOOP_OR_SKIP(loop, backing);
        QVERIFY2(!nobodyCanOpen(loop.device()), "the unprivileged user can open the loop device");
        q5test::MockUDisks2 mock(*_bus, {"--device", loop.device(), "--hint-auto"});
        QVERIFY2(mock.isRunning(), qPrintable(mock.errorString()));

        q5test::ImagerCli cli(kNobody, kNobody);
        cli.setEnv("DBUS_SYSTEM_BUS_ADDRESS", _bus->address());
        const auto r = cli.run({"--enable-writing-system-drives", _image, loop.device()});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(loop.read(0, kImageSize), _imageBytes);

        const QList<QJsonObject> opens = mock.callsOf("OpenDevice");
        QCOMPARE(opens.size(), 1);
        QCOMPARE(opens.constFirst().value("args").toArray(),
                 (QJsonArray{
                     QJsonArray{"String", "rw"},
                     QJsonArray{"Dictionary", QJsonObject{{"flags", QJsonArray{"Int32", 128}}}}}));
        // After the write: auto-mount switched off, then rescan, then the drive is ejected.
        const QStringList names = mock.callNames();
        const int set = names.indexOf("Set");
        QVERIFY(set > names.indexOf("OpenDevice"));
        QVERIFY(names.indexOf("Rescan") > set);
        QVERIFY(names.indexOf("Eject") > names.indexOf("Rescan"));
    }

    void refusalIsReported()
    {
        const QString backing = _dir.filePath("refused.img");
        QVERIFY(q5test::writeFile(backing, QByteArray(kCardSize, '\x55')));
        Q5_LOOP_OR_SKIP(loop, backing);
        q5test::MockUDisks2 mock(*_bus, {"--device", loop.device(), "--refuse", "OpenDevice"});
        QVERIFY2(mock.isRunning(), qPrintable(mock.errorString()));

        q5test::ImagerCli cli(kNobody, kNobody);
        cli.setEnv("DBUS_SYSTEM_BUS_ADDRESS", _bus->address());
        const auto r = cli.run({"--enable-writing-system-drives", _image, loop.device()});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(
            r.err.contains("Error: Cannot open storage device '" + loop.device().toUtf8() + "'.\n"),
            r.err.constData());
        QCOMPARE(mock.callsOf("OpenDevice").size(), 1);
        QCOMPARE(loop.read(0, 4096), QByteArray(4096, '\x55'));
    }
};

QTEST_GUILESS_MAIN(TestWriteAuthOpen)
#include "tst_writeauthopen.moc"
