// The controller: preconditions of a write, local image sizing, cache bookkeeping, settings,
// the customization check, progress relay and sleep inhibition while a job is polled.

#include "imagefiles.h"
#include "imagewriter.h"
#include "privatebus.h"
#include "testenv.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace q5test;

namespace {
constexpr qint64 MiB = 1024 * 1024;

QStringList errorsOf(const QSignalSpy &spy)
{
    QStringList out;
    for (const QList<QVariant> &args : spy)
        out << args.at(0).toString();
    return out;
}

// Waits for the job's end as the UI would: success or error from the controller.
bool waitForEnd(ImageWriter &w, QSignalSpy &success, QSignalSpy &error, int timeoutMs = 60000)
{
    Q_UNUSED(w);
    QDeadlineTimer deadline(timeoutMs);
    while (success.isEmpty() && error.isEmpty() && !deadline.hasExpired())
        QTest::qWait(20);
    return !success.isEmpty() || !error.isEmpty();
}
} // namespace

class tst_ImageWriter : public QObject
{
    Q_OBJECT

    QTemporaryDir _home;
    std::unique_ptr<PrivateBus> _bus;
    QString _logindLog;

    QString cacheDir() const
    {
        return QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    }

    QList<QJsonObject> logindEvents() const
    {
        QList<QJsonObject> events;
        for (const QByteArray &line : readFile(_logindLog).split('\n'))
            if (!line.trimmed().isEmpty())
                events << QJsonDocument::fromJson(line).object();
        return events;
    }

private slots:
    void initTestCase()
    {
        _bus = std::make_unique<PrivateBus>();
        QVERIFY2(_bus->isValid(), qPrintable(_bus->errorString()));
        qputenv("XDG_CONFIG_HOME", _home.filePath("config").toLocal8Bit());
        qputenv("XDG_CACHE_HOME", _home.filePath("cache").toLocal8Bit());
        QCoreApplication::setOrganizationName("Orlith");
        QCoreApplication::setApplicationName("Q5 Orlith Imager");
        _logindLog = _home.filePath("logind.log");
        QVERIFY2(_bus->startService(PrivateBus::mockPath("mock_logind.py"), {"--log", _logindLog}),
                 qPrintable(_bus->errorString()));
    }

    void cleanupTestCase() { _bus.reset(); }

    void init() { QSettings().clear(); }

    void nothingHappensWithoutSourceAndDestination()
    {
        ImageWriter w;
        QSignalSpy error(&w, &ImageWriter::error);
        QSignalSpy status(&w, &ImageWriter::preparationStatusUpdate);
        QVERIFY(!w.readyToWrite());
        w.startWrite();
        w.setDst("/dev/null");
        w.startWrite();
        QTest::qWait(50);
        QCOMPARE(error.count(), 0);
        QCOMPARE(status.count(), 0);
    }

    void preconditionErrors_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<quint64>("deviceSize");
        QTest::addColumn<QString>("message");
        QTest::newRow("capacity") << "big" << quint64(3900000000ULL)
                                  << "Storage capacity is not large enough.<br>Needs to be at "
                                     "least 4.0 GB.";
        QTest::newRow("raw 1000 bytes")
            << "raw" << quint64(0)
            << "Input file is not a valid disk image.<br>File size 1000 bytes is not a multiple "
               "of 512 bytes.";
        QTest::newRow("xz of 1000 bytes")
            << "xz" << quint64(0)
            << "Input file is not a valid disk image.<br>File size 1000 bytes is not a multiple "
               "of 512 bytes.";
        QTest::newRow("zip of 100 bytes and an empty directory")
            << "zip" << quint64(0)
            << "Input file is not a valid disk image.<br>File size 100 bytes is not a multiple "
               "of 512 bytes.";
    }
    void preconditionErrors()
    {
        QFETCH(QString, kind);
        QFETCH(quint64, deviceSize);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QString src;
        quint64 extracted = 0;
        if (kind == "big") {
            src = dir.filePath("a.img");
            QVERIFY(writeFile(src, "x"));
            extracted = 4000000001ULL;
        } else if (kind == "raw") {
            src = dir.filePath("odd.img");
            QVERIFY(writeFile(src, QByteArray(1000, 'r')));
        } else if (kind == "xz") {
            QVERIFY(writeFile(dir.filePath("odd.img"), QByteArray(1000, 'r')));
            src = packImage(dir.path(), "odd.img", "xz");
        } else {
            QVERIFY(QDir(dir.path()).mkpath("pack/emptydir"));
            QVERIFY(writeFile(dir.filePath("pack/hundred.bin"), QByteArray(100, 'h')));
            src = dir.filePath("pack.zip");
            QVERIFY(sh(QString("cd '%1/pack' && zip -q -r '%2' hundred.bin emptydir").arg(dir.path(), src)).ok());
        }
        ImageWriter w;
        QSignalSpy error(&w, &ImageWriter::error);
        w.setSrc(QUrl::fromLocalFile(src), 0, extracted);
        w.setDst(dir.filePath("target"), deviceSize);
        w.startWrite();
        QCOMPARE(errorsOf(error), QStringList{message});
        QVERIFY(!QFile::exists(dir.filePath("target")));
    }

    void tinyXzIsNotSized()
    {
        QTemporaryDir dir;
        const QString src = dir.filePath("tiny.xz");
        QVERIFY(writeFile(src, "0123456789"));
        // Too short for an xz footer: its size stays unknown, so the 512-byte rule cannot
        // apply, and the bytes (no xz stream at all) are written as they are.
        ImageWriter w;
        QSignalSpy error(&w, &ImageWriter::error);
        QSignalSpy success(&w, &ImageWriter::success);
        w.setSrc(QUrl::fromLocalFile(src));
        w.setDst(dir.filePath("target"));
        w.startWrite();
        QVERIFY(waitForEnd(w, success, error));
        QCOMPARE(errorsOf(error), QStringList());
        QCOMPARE(readFile(dir.filePath("target"), 0, 512), "0123456789" + QByteArray(502, '\0'));
    }

    void fileSelectionRemembersTheDirectory()
    {
        QTemporaryDir dir;
        const QString img = dir.filePath("chosen.img");
        QVERIFY(writeFile(img, "x"));
        ImageWriter w;
        QSignalSpy selected(&w, &ImageWriter::fileSelected);
        QVERIFY(QMetaObject::invokeMethod(&w, "onFileSelected", Q_ARG(QString, dir.path())));
        QCOMPARE(selected.count(), 0);
        QVERIFY(QMetaObject::invokeMethod(&w, "onFileSelected", Q_ARG(QString, img)));
        QCOMPARE(selected.count(), 1);
        QCOMPARE(selected.first().at(0).toUrl(), QUrl::fromLocalFile(img));
        QCOMPARE(QSettings().value("lastpath").toString(), dir.path());
    }

    void cancelWithoutJobIsImmediate()
    {
        ImageWriter w;
        QSignalSpy cancelled(&w, &ImageWriter::cancelled);
        w.cancelWrite();
        QCOMPARE(cancelled.count(), 1);
    }

    void boolSettingDefaults_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("value");
        QTest::newRow("beep") << "beep" << false;
        QTest::newRow("eject") << "eject" << true;
        QTest::newRow("vnc") << "vnc" << true;
        QTest::newRow("check_version") << "check_version" << true;
        QTest::newRow("telemetry") << "telemetry" << false;
    }
    void boolSettingDefaults()
    {
        QFETCH(QString, key);
        QFETCH(bool, value);
        ImageWriter w;
        QCOMPARE(w.getBoolSetting(key), value);
        w.setSetting(key, !value);
        QCOMPARE(QSettings().value(key).toBool(), !value);
        QCOMPARE(w.getBoolSetting(key), !value);
    }

    void versionComparison_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("newer");
        QTest::newRow("same") << "1.2.0" << false;
        QTest::newRow("patch") << "1.2.1" << true;
        QTest::newRow("minor, two digits") << "1.10.0" << true;
        QTest::newRow("older") << "1.1.9" << false;
    }
    void versionComparison()
    {
        QFETCH(QString, version);
        QFETCH(bool, newer);
        ImageWriter w;
        QCOMPARE(w.constantVersion(), QString("1.2.0"));
        QCOMPARE(w.isVersionNewer(version), newer);
    }

    void customizationCheck_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QByteArray>("initFormat");
        QTest::addColumn<QByteArray>("firstrun");
        QTest::addColumn<QByteArray>("cloudinit");
        QTest::addColumn<QByteArray>("orlinit");
        QTest::addColumn<bool>("writes");
        QTest::newRow("auto, firstrun") << "file" << QByteArray("auto") << QByteArray("#!/bin/sh")
                                        << QByteArray() << QByteArray() << true;
        QTest::newRow("systemd, cloud-init only")
            << "file" << QByteArray("systemd") << QByteArray() << QByteArray("#cloud-config")
            << QByteArray() << false;
        QTest::newRow("cloudinit, cloud-init")
            << "file" << QByteArray("cloudinit") << QByteArray() << QByteArray("#cloud-config")
            << QByteArray() << true;
        QTest::newRow("network source is orlinit whatever the list says")
            << "http" << QByteArray("systemd") << QByteArray("#!/bin/sh") << QByteArray()
            << QByteArray("hostname=board") << true;
        QTest::newRow("orlinit switched off only")
            << "http" << QByteArray() << QByteArray() << QByteArray()
            << QByteArray("firstboot=1\n\n vnc=0 \nssh_enable=0\n") << false;
        QTest::newRow("orlinit with one real setting")
            << "http" << QByteArray() << QByteArray() << QByteArray()
            << QByteArray("firstboot=1\nvnc=0\nlocale=de_DE.UTF-8\n") << true;
        QTest::newRow("local file without format becomes orlinit")
            << "file" << QByteArray("none") << QByteArray() << QByteArray()
            << QByteArray("hostname=x") << true;
    }
    void customizationCheck()
    {
        QFETCH(QString, source);
        QFETCH(QByteArray, initFormat);
        QFETCH(QByteArray, firstrun);
        QFETCH(QByteArray, cloudinit);
        QFETCH(QByteArray, orlinit);
        QFETCH(bool, writes);
        ImageWriter w;
        const QUrl url = source == "http" ? QUrl("http://127.0.0.1:9/image.img.xz")
                                          : QUrl::fromLocalFile("/nonexistent/image.img");
        w.setSrc(url, 0, 0, QByteArray(), false, QString(), QString(), initFormat);
        w.setImageCustomization({}, {}, firstrun, cloudinit, {}, orlinit);
        QVERIFY(w.imageSupportsCustomization());
        QCOMPARE(w.customizationWritesToImage(), writes);
    }

    void customizationLogLineHasNoValues()
    {
        ImageWriter w;
        QTest::ignoreMessage(QtDebugMsg,
                             "Customization: config.txt 3 bytes, cmdline.txt 0 bytes, firstrun.sh "
                             "0 bytes, cloud-init 0 + 0 bytes, orlinit keys: \"user,pass\"");
        w.setImageCustomization("a=1", {}, {}, {}, {}, "user = pi\npass=secret\n==x=y\n=skip\n");
    }

    void staleCacheHashIsDropped()
    {
        QSettings().setValue("caching/lastDownloadSHA256", QByteArray(64, 'c'));
        QSettings().sync();
        {
            ImageWriter w;
            QVERIFY(!w.isCached(QUrl(), QByteArray(64, 'c')));
        }
        QVERIFY(!QSettings().contains("caching/lastDownloadSHA256"));

        QVERIFY(QDir().mkpath(cacheDir()));
        QVERIFY(writeFile(cacheDir() + "/lastdownload.cache", "cached"));
        QSettings().setValue("caching/lastDownloadSHA256", QByteArray(64, 'd'));
        QSettings().sync();
        ImageWriter w;
        QVERIFY(w.isCached(QUrl(), QByteArray(64, 'd')));
        QVERIFY(!w.isCached(QUrl(), QByteArray()));
        QFile::remove(cacheDir() + "/lastdownload.cache");
    }

    void secondInstanceLeavesTemporaryFilesAlone()
    {
        ImageWriter first;
        QTest::ignoreMessage(QtDebugMsg,
                             "Another instance is running; leaving temporary files alone");
        ImageWriter second;
    }

    void cacheHitWritesFromTheCacheFile()
    {
        QTemporaryDir dir;
        const QByteArray image = randomBytes(2 * MiB, 41);
        const QString cache = dir.filePath("my.cache");
        QVERIFY(writeFile(cache, image));
        const QString target = dir.filePath("target.img");

        ImageWriter w;
        QSignalSpy status(&w, &ImageWriter::preparationStatusUpdate);
        QSignalSpy progress(&w, &ImageWriter::downloadProgress);
        QSignalSpy success(&w, &ImageWriter::success);
        QSignalSpy error(&w, &ImageWriter::error);
        w.setCustomCacheFile(cache, sha256Hex(image));
        // Nothing listens there: the write must come from the cache.
        w.setSrc(QUrl("http://127.0.0.1:9/image.img.xz"), 0, 0, sha256Hex(image));
        w.setDst(target);
        w.setVerifyEnabled(true);
        w.startWrite();
        QVERIFY(waitForEnd(w, success, error));
        QCOMPARE(errorsOf(error), QStringList());
        QCOMPARE(status.first().at(0).toString(), QString("Image found in cache, skipping download"));
        QVERIFY(!w.isNetworkDownload());
        QCOMPARE(readFile(target, 0, image.size()), image);
        QVERIFY(!progress.isEmpty());
        QVERIFY(!QSettings().contains("caching/lastDownloadSHA256"));
    }

    void progressIsRelayedAndSleepBlockedWhilePolling()
    {
        QTemporaryDir dir;
        const QByteArray image = randomBytes(32 * MiB, 43);
        QVERIFY(writeFile(dir.filePath("disk.img"), image));
        QVERIFY(writeFile(_logindLog, QByteArray()));

        ImageWriter w;
        QSignalSpy progress(&w, &ImageWriter::downloadProgress);
        QSignalSpy verify(&w, &ImageWriter::verifyProgress);
        QSignalSpy success(&w, &ImageWriter::success);
        QSignalSpy error(&w, &ImageWriter::error);
        QSignalSpy finalizing(&w, &ImageWriter::finalizing);
        w.setSrc(QUrl::fromLocalFile(dir.filePath("disk.img")));
        w.setDst(dir.filePath("target.img"));
        w.setVerifyEnabled(true);
        w.startWrite();
        QVERIFY(waitForEnd(w, success, error));
        QCOMPARE(errorsOf(error), QStringList());
        QCOMPARE(finalizing.count(), 1);

        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last().at(0).toULongLong(), quint64(image.size()));
        QCOMPARE(progress.last().at(1).toULongLong(), quint64(image.size()));
        for (const QList<QVariant> &args : progress)
            QVERIFY(args.at(0).toULongLong() <= quint64(image.size()));
        QVERIFY(!verify.isEmpty());
        QCOMPARE(verify.last().at(0).toULongLong(), quint64(image.size()));
        QCOMPARE(readFile(dir.filePath("target.img")), image);

        QTRY_COMPARE_WITH_TIMEOUT(logindEvents().size(), 2, 5000);
        const QList<QJsonObject> events = logindEvents();
        QCOMPARE(events[0].value("call").toString(), QString("Inhibit"));
        QCOMPARE(events[0].value("what").toString(), QString("sleep:idle"));
        QCOMPARE(events[0].value("who").toString(), QString("Q5 Orlith Imager"));
        QCOMPARE(events[0].value("why").toString(), QString("Downloading and writing image"));
        QCOMPARE(events[0].value("mode").toString(), QString("block"));
        QCOMPARE(events[1].value("event").toString(), QString("released"));
    }
};

QTEST_GUILESS_MAIN(tst_ImageWriter)
#include "tst_imagewriter.moc"
