// The head-less writer with an http source, run as the real program against a local HTTP
// server and a loop device: decompression on the way, a dropped connection resumed, the
// custom cache file kept or deleted by the hash, and a later run served from that cache.

#include "httpserver.h"
#include "imagefiles.h"
#include "loopdevice.h"
#include "testenv.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace q5test;

namespace
{
constexpr qint64 MiB = 1024 * 1024;

struct Run {
    int exitCode = -1;
    QByteArray err;
};
} // namespace

class tst_CliDownload : public QObject
{
    Q_OBJECT

    QTemporaryDir _home;
    std::unique_ptr<HttpServer> _server;
    QByteArray _raw;
    QByteArray _compressed;

    Run runCli(const QStringList &args)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", _home.path());
        env.insert("XDG_CONFIG_HOME", _home.filePath("config"));
        env.insert("XDG_CACHE_HOME", _home.filePath("cache"));
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/q5-test-bus");
        env.remove("http_proxy");
        p.setProcessEnvironment(env);
        p.start(Q5_IMAGER_PATH,
                QStringList{"--cli", "--disable-eject", "--enable-writing-system-drives"} + args);
        Run r;
        if (!p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished(5000);
            return r;
        }
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.err = p.readAllStandardError();
        return r;
    }

private slots:
    void initTestCase()
    {
        _server = std::make_unique<HttpServer>();
        QVERIFY(_server->isValid());
        QTemporaryDir work;
        _raw = randomBytes(24 * MiB, 77);
        QVERIFY(writeFile(work.filePath("os.img"), _raw));
        const QString packed = packImage(work.path(), "os.img", "zst");
        QVERIFY(!packed.isEmpty());
        _compressed = readFile(packed);
        _server->addFile("os.img.zst", _compressed);
    }

    void cleanupTestCase() { _server.reset(); }

    void downloadWritesResumesAndCaches()
    {
        QTemporaryDir dir;
        const QString backing = dir.filePath("drive.bin");
        QVERIFY(writeFile(backing, QByteArray()));
        QVERIFY(QFile::resize(backing, 40 * MiB));
        Q5_LOOP_OR_SKIP(loop, backing);
        const QString cache = dir.filePath("mine.cache");
        const QString url =
            _server->url("/os.img.zst?drop=" + QString::number(_compressed.size() / 2));

        Run r = runCli({"--sha256", QString::fromLatin1(sha256Hex(_raw)), "--cache-file", cache,
                        url, loop.device()});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY(r.err.contains("Write successful."));
        QCOMPARE(loop.read(0, _raw.size()), _raw);
        QCOMPARE(readFile(cache), _compressed);
        const QList<QJsonObject> requests = _server->requests();
        QCOMPARE(requests.size(), 2);
        QCOMPARE(requests.at(1).value("headers").toObject().value("Range").toString(),
                 QString("bytes=%1-").arg(_compressed.size() / 2));

        // The same image again comes from the cache file, without asking the server.
        QVERIFY(writeFile(backing, QByteArray(40 * MiB, '\0')));
        r = runCli({"--sha256", QString::fromLatin1(sha256Hex(_raw)), "--cache-file", cache,
                    _server->url("/os.img.zst"), loop.device()});
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QVERIFY(r.err.contains("Image found in cache, skipping download"));
        QCOMPARE(_server->requests().size(), 2);
        QCOMPARE(loop.read(0, _raw.size()), _raw);
    }

    void wrongHashDeletesTheCacheFile()
    {
        QTemporaryDir dir;
        const QString backing = dir.filePath("drive.bin");
        QVERIFY(writeFile(backing, QByteArray()));
        QVERIFY(QFile::resize(backing, 40 * MiB));
        Q5_LOOP_OR_SKIP(loop, backing);
        const QString cache = dir.filePath("mine.cache");
        const Run r = runCli({"--sha256", QString::fromLatin1(sha256Hex("other")), "--cache-file",
                              cache, _server->url("/os.img.zst"), loop.device()});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("Error: Download corrupt. Hash does not match"), r.err.constData());
        QVERIFY(!QFile::exists(cache));
    }

    void downloadFailureIsReported()
    {
        QTemporaryDir dir;
        const Run r = runCli({_server->url("/nothing.img.zst"), dir.filePath("target.bin")});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("Error: Error downloading: The requested URL returned error: 404 "
                                "- Server IP: 127.0.0.1"),
                 r.err.constData());
    }
};

QTEST_GUILESS_MAIN(tst_CliDownload)
#include "tst_clidownload.moc"
