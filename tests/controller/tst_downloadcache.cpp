// The controller's download cache with real downloads from a local HTTP server: the cache file
// and its hash in the settings store, the next job served from it, a different image replacing
// it, the free-space rule on a volume of known size, and a custom cache file kept out of the
// settings.

#include "logcapture.h"
#include "httpserver.h"
#include "imagefiles.h"
#include "imagewriter.h"
#include "testenv.h"

#include <QMutex>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace q5test;

namespace
{
constexpr qint64 MiB = 1024 * 1024;
constexpr qint64 GiB = 1024 * MiB;
const QString HASH_KEY = QStringLiteral("caching/lastDownloadSHA256");

struct Image {
    QByteArray raw;
    QByteArray compressed;
    QString url;
    QByteArray hash() const { return sha256Hex(raw); }
};

struct JobResult {
    QStringList errors;
    QStringList status;
    bool succeeded = false;
};

QString cacheDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
}
QString defaultCacheFile()
{
    return cacheDir() + "/lastdownload.cache";
}
} // namespace

class tst_DownloadCache : public QObject
{
    Q_OBJECT

    QTemporaryDir _home;
    std::unique_ptr<HttpServer> _server;

    Image serve(const QString &name, quint32 seed)
    {
        QTemporaryDir work;
        Image image;
        image.raw = randomBytes(3 * MiB, seed);
        writeFile(work.filePath(name), image.raw);
        image.compressed = readFile(packImage(work.path(), name, "zst"));
        _server->addFile(name + ".zst", image.compressed);
        image.url = _server->url("/" + name + ".zst");
        return image;
    }

    // One write job on a fresh controller, as the UI starts it for a repository entry.
    JobResult write(const Image &image, quint64 downloadLen, const QByteArray &hash,
                    const QString &customCache = QString())
    {
        QTemporaryDir dir;
        ImageWriter w;
        QSignalSpy success(&w, &ImageWriter::success);
        QSignalSpy error(&w, &ImageWriter::error);
        QSignalSpy status(&w, &ImageWriter::preparationStatusUpdate);
        if (!customCache.isEmpty())
            w.setCustomCacheFile(customCache, hash);
        w.setSrc(QUrl(image.url), downloadLen, 0, hash);
        w.setDst(dir.filePath("target.bin"));
        w.startWrite();
        QDeadlineTimer deadline(60000);
        while (success.isEmpty() && error.isEmpty() && !deadline.hasExpired())
            QTest::qWait(20);
        JobResult r;
        r.succeeded = !success.isEmpty();
        for (const QList<QVariant> &args : error)
            r.errors << args.at(0).toString();
        for (const QList<QVariant> &args : status)
            r.status << args.at(0).toString();
        if (r.succeeded && readFile(dir.filePath("target.bin"), 0, image.raw.size()) != image.raw)
            r.errors << "target differs from the image";
        return r;
    }

private slots:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", _home.filePath("config").toLocal8Bit());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/q5-test-bus");
        QCoreApplication::setOrganizationName("Orlith");
        QCoreApplication::setApplicationName("Q5 Orlith Imager");
        ImageWriter::setClockSetter([](qint64) { return true; });
        qInstallMessageHandler(captureMessage);
        _server = std::make_unique<HttpServer>();
        QVERIFY(_server->isValid());
    }

    void cleanupTestCase()
    {
        qInstallMessageHandler(nullptr);
        _server.reset();
    }

    void init()
    {
        qputenv("XDG_CACHE_HOME", _home.filePath("cache").toLocal8Bit());
        QSettings s;
        s.clear();
        s.setValue("eject", false);
        s.sync();
        QFile::remove(defaultCacheFile());
        takeLog();
    }

    void downloadIsCachedAndServesTheNextJob()
    {
        const Image image = serve("first.img", 1);
        const int before = _server->requests().size();
        JobResult r = write(image, image.compressed.size(), image.hash());
        QCOMPARE(r.errors, QStringList());
        QVERIFY(r.succeeded);
        QCOMPARE(readFile(defaultCacheFile()), image.compressed);
        QCOMPARE(QSettings().value(HASH_KEY).toByteArray(), image.hash());
        QVERIFY(takeLog().contains("Done writing cache file"));

        r = write(image, image.compressed.size(), image.hash());
        QCOMPARE(r.errors, QStringList());
        QCOMPARE(r.status.value(0), QString("Image found in cache, skipping download"));
        QCOMPARE(_server->requests().size(), before + 1);
    }

    void differentImageReplacesTheCache()
    {
        const Image old = serve("old.img", 2);
        const Image fresh = serve("new.img", 3);
        QVERIFY(write(old, old.compressed.size(), old.hash()).succeeded);
        QCOMPARE(QSettings().value(HASH_KEY).toByteArray(), old.hash());

        const JobResult r = write(fresh, fresh.compressed.size(), fresh.hash());
        QCOMPARE(r.errors, QStringList());
        QCOMPARE(QSettings().value(HASH_KEY).toByteArray(), fresh.hash());
        QCOMPARE(readFile(defaultCacheFile()), fresh.compressed);
        ImageWriter w;
        QVERIFY(!w.isCached(QUrl(), old.hash()));
        QVERIFY(w.isCached(QUrl(), fresh.hash()));
    }

    void wrongHashLeavesNoCache()
    {
        const Image image = serve("corrupt.img", 4);
        const JobResult r = write(image, image.compressed.size(), sha256Hex("not it"));
        QCOMPARE(r.errors, QStringList{"Download corrupt. Hash does not match"});
        QVERIFY(!QFile::exists(defaultCacheFile()));
        QVERIFY(!QSettings().contains(HASH_KEY));
    }

    void noHashNoCache()
    {
        const Image image = serve("unhashed.img", 5);
        const JobResult r = write(image, image.compressed.size(), QByteArray());
        QCOMPARE(r.errors, QStringList());
        QVERIFY(!QFile::exists(defaultCacheFile()));
    }

    void freeSpaceRule_data()
    {
        QTest::addColumn<qint64>("announcedLength");
        QTest::addColumn<bool>("cached");
        QTest::newRow("5 GiB stay free") << 1 * MiB << true;
        QTest::newRow("less than 5 GiB would stay free") << 64 * MiB << false;
    }
    void freeSpaceRule()
    {
        QFETCH(qint64, announcedLength);
        QFETCH(bool, cached);
        Q5_REQUIRE_ROOT();
        // A volume of 5 GiB + 32 MiB; tmpfs takes memory only for what is written.
        QTemporaryDir volume;
        QVERIFY(run("mount", {"-t", "tmpfs", "-o", QString("size=%1").arg(5 * GiB + 32 * MiB),
                              "tmpfs", volume.path()})
                    .ok());
        struct Unmount {
            QString path;
            ~Unmount() { run("umount", {path}); }
        } unmount{volume.path()};
        qputenv("XDG_CACHE_HOME", volume.path().toLocal8Bit());

        const Image image = serve(cached ? "fits.img" : "toolarge.img", 6);
        const JobResult r = write(image, announcedLength, image.hash());
        QCOMPARE(r.errors, QStringList());
        const QStringList log = takeLog();
        QVERIFY(log.contains("Available disk space for caching: 5 GB"));
        QCOMPARE(log.contains("Low disk space. Not caching files to disk."), !cached);
        QCOMPARE(QFile::exists(defaultCacheFile()), cached);
        QCOMPARE(QSettings().contains(HASH_KEY), cached);
        if (cached)
            QCOMPARE(readFile(defaultCacheFile()), image.compressed);
        qputenv("XDG_CACHE_HOME", _home.filePath("cache").toLocal8Bit());
    }

    void customCacheFileIsNeverPersisted()
    {
        const Image image = serve("custom.img", 7);
        QTemporaryDir dir;
        const QString custom = dir.filePath("mine.cache");
        const JobResult r = write(image, 0, image.hash(), custom);
        QCOMPARE(r.errors, QStringList());
        QCOMPARE(readFile(custom), image.compressed);
        QVERIFY(!QSettings().contains(HASH_KEY));
        QVERIFY(!QFile::exists(defaultCacheFile()));
    }
};

QTEST_GUILESS_MAIN(tst_DownloadCache)
#include "tst_downloadcache.moc"
