// The download-statistics record as the telemetry server receives it: form encoding, the
// embedded-mode fields, the board revision from /proc/cpuinfo, silence when telemetry is off,
// and the controller starting it only for downloads from the built-in repository.

#include "logcapture.h"
#include "downloadstatstelemetry.h"
#include "httpserver.h"
#include "imagefiles.h"
#include "imagewriter.h"
#include "testenv.h"

#include <QLocale>
#include <QMutex>
#include <QSettings>
#include <QSignalSpy>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtTest>

using namespace q5test;

namespace
{
// Form encoding as the server side expects it: unreserved bytes as they are, all others %XX.
QByteArray formEncode(const QByteArray &utf8)
{
    QByteArray out;
    for (unsigned char c : utf8) {
        const bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~';
        if (unreserved)
            out += char(c);
        else
            out += '%' + QByteArray::number(c, 16).rightJustified(2, '0').toUpper();
    }
    return out;
}

QByteArray expectedRecord(const QByteArray &url, const QByteArray &os, const QByteArray &image,
                          bool embedded, const QString &language)
{
    return "url=" + formEncode(url) + "&os=" + formEncode(os) + "&image=" + formEncode(image) +
           "&imagerVersion=1.2.0&imagerOsType=" +
           (embedded ? QByteArray("embedded") : formEncode(QSysInfo::productType().toUtf8())) +
           "&imagerOsVersion=" + formEncode(QSysInfo::productVersion().toUtf8()) +
           "&imagerOsArch=" + formEncode(QSysInfo::currentCpuArchitecture().toUtf8()) +
           "&imagerLocale=" +
           formEncode(embedded ? language.toUtf8() : QLocale::system().name().toUtf8());
}

QList<QJsonObject> posts(const HttpServer &server)
{
    QList<QJsonObject> out;
    for (const QJsonObject &r : server.requests())
        if (r.value("method").toString() == "POST")
            out << r;
    return out;
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs = 20000)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (condition())
            return true;
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
}
} // namespace

class tst_Telemetry : public QObject
{
    Q_OBJECT

    QTemporaryDir _home;
    QTemporaryDir _board;
    std::unique_ptr<HttpServer> _server;

    // Sends one record and returns the POST bodies the server saw for it.
    QList<QByteArray> send(const QByteArray &url, const QByteArray &os, const QByteArray &image,
                           bool embedded, const QString &language)
    {
        const int before = posts(*_server).size();
        const int connectsBefore = _server->connections();
        DownloadStatsTelemetry telemetry(url, os, image, embedded, language);
        telemetry.start();
        if (!telemetry.wait(20000))
            return {QByteArray("telemetry thread did not end")};
        QList<QByteArray> bodies;
        for (const QJsonObject &p : posts(*_server).mid(before))
            bodies << p.value("body").toString().toUtf8();
        if (bodies.isEmpty() && _server->connections() != connectsBefore)
            bodies << QByteArray("a connection without a POST");
        return bodies;
    }

private slots:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", _home.filePath("config").toLocal8Bit());
        qputenv("XDG_CACHE_HOME", _home.filePath("cache").toLocal8Bit());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/q5-test-bus");
        QCoreApplication::setOrganizationName("Orlith");
        QCoreApplication::setApplicationName("Q5 Orlith Imager");
        qInstallMessageHandler(captureMessage);
        _server = std::make_unique<HttpServer>();
        QVERIFY(_server->isValid());
        DownloadStatsTelemetry::setEndpoint(_server->baseUrl().toLatin1());
        // A host without the board's word in its cpuinfo, unless a test writes one.
        DownloadStatsTelemetry::setSystemRoot(_board.path());
        ImageWriter::setClockSetter([](qint64) { return true; });
    }

    void cleanupTestCase()
    {
        qInstallMessageHandler(nullptr);
        DownloadStatsTelemetry::setSystemRoot(QString());
        DownloadStatsTelemetry::setEndpoint(QByteArray());
        ImageWriter::setRepositoryServer(QString());
    }

    void init()
    {
        QSettings().setValue("telemetry", true);
        QFile::remove(_board.filePath("proc/cpuinfo"));
        takeLog();
    }

    void recordIsFormEncoded_data()
    {
        QTest::addColumn<QByteArray>("url");
        QTest::addColumn<QByteArray>("os");
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<bool>("embedded");
        QTest::addColumn<QString>("language");
        QTest::newRow("plain") << QByteArray("https://dl.example/img/os-1.2.img.xz")
                               << QByteArray("Orlith OS") << QByteArray("Orlith OS Lite") << false
                               << "de";
        QTest::newRow("spaces, & and = and non-ASCII")
            << QByteArray("https://dl.example/a b&c=d.img") << QByteArray("Kat & Co=1")
            << QByteArray("Bild \xc3\xbc ~x_y-z.") << false << "";
        QTest::newRow("embedded") << QByteArray("https://dl.example/e.img")
                                  << QByteArray("Embedded") << QByteArray("Img") << true << "pt_BR";
        QTest::newRow("embedded, no language") << QByteArray("https://dl.example/e.img")
                                               << QByteArray("E") << QByteArray("I") << true << "";
    }
    void recordIsFormEncoded()
    {
        QFETCH(QByteArray, url);
        QFETCH(QByteArray, os);
        QFETCH(QByteArray, image);
        QFETCH(bool, embedded);
        QFETCH(QString, language);
        const QByteArray expected = expectedRecord(url, os, image, embedded, language);
        QCOMPARE(send(url, os, image, embedded, language), QList<QByteArray>{expected});

        const QJsonObject headers = posts(*_server).last().value("headers").toObject();
        QCOMPARE(headers.value("User-Agent").toString(),
                 QString("Mozilla/5.0 q5-orl-imager/1.2.0"));
        QCOMPARE(headers.value("Content-Type").toString(),
                 QString("application/x-www-form-urlencoded"));
        QCOMPARE(posts(*_server).last().value("path").toString(), QString("/"));
        const QStringList log = takeLog();
        QVERIFY2(log.contains("Telemetry done. cURL status code = 0 info sent = \"" +
                              QString::fromUtf8(expected) + "\""),
                 qPrintable(log.join('\n')));
        if (url.contains(' '))
            QVERIFY(expected.contains("a%20b%26c%3Dd.img") && expected.contains("%C3%BC"));
    }

    void boardRevision_data()
    {
        QTest::addColumn<QByteArray>("cpuinfo");
        QTest::addColumn<QByteArray>("field");
        QTest::newRow("no board word")
            << QByteArray("model name\t: x\nRevision\t: 00a1\n") << QByteArray();
        QTest::newRow("board, no revision") << QByteArray("Model\t: Pomelo Q5\n") << QByteArray();
        QTest::newRow("board, tab") << QByteArray("Revision\t: 00a1f\nModel\t: Pomelo Q5\n")
                                    << QByteArray("&imagerPmlRevision=00a1f");
        QTest::newRow("blanks and upper case end it")
            << QByteArray("Model : Pomelo\nRevision  : 1aBc\n")
            << QByteArray("&imagerPmlRevision=1a");
        QTest::newRow("value starting wrong")
            << QByteArray("Model : Pomelo\nRevision: Xab\n") << QByteArray();
        QTest::newRow("board word is case-sensitive")
            << QByteArray("Model : pomelo\nRevision : ab\n") << QByteArray();
    }
    void boardRevision()
    {
        QFETCH(QByteArray, cpuinfo);
        QFETCH(QByteArray, field);
        QVERIFY(QDir().mkpath(_board.filePath("proc")));
        QVERIFY(writeFile(_board.filePath("proc/cpuinfo"), cpuinfo));
        const QByteArray expected =
            expectedRecord("https://x/y.img", "c", "n", false, QString()) + field;
        QCOMPARE(send("https://x/y.img", "c", "n", false, QString()), QList<QByteArray>{expected});
    }

    void silentWhenSwitchedOff_data()
    {
        QTest::addColumn<bool>("absent");
        QTest::newRow("absent") << true;
        QTest::newRow("false") << false;
    }
    void silentWhenSwitchedOff()
    {
        QFETCH(bool, absent);
        if (absent)
            QSettings().remove("telemetry");
        else
            QSettings().setValue("telemetry", false);
        const int connections = _server->connections();
        QCOMPARE(send("https://x/y.img", "c", "n", false, QString()), QList<QByteArray>());
        QCOMPARE(_server->connections(), connections);
        for (const QString &line : takeLog())
            QVERIFY2(!line.startsWith("Telemetry done"), qPrintable(line));
    }

    void controllerSendsOnlyForTheBuiltInRepository_data()
    {
        QTest::addColumn<bool>("customRepository");
        QTest::newRow("built-in repository") << false;
        QTest::newRow("custom repository") << true;
    }
    void controllerSendsOnlyForTheBuiltInRepository()
    {
        QFETCH(bool, customRepository);
        QSettings().setValue("eject", false);
        QTemporaryDir work;
        const QByteArray raw = randomBytes(1024 * 1024, 9);
        QVERIFY(writeFile(work.filePath("os.img"), raw));
        _server->addFile("os.img.zst", readFile(packImage(work.path(), "os.img", "zst")));
        const QString source = _server->url("/os.img.zst");
        const int before = posts(*_server).size();

        ImageWriter::setRepositoryServer(_server->baseUrl());
        ImageWriter w;
        if (customRepository)
            w.setCustomOsListUrl(QUrl(_server->url("/mine/list.json")));
        QSignalSpy success(&w, &ImageWriter::success);
        QSignalSpy error(&w, &ImageWriter::error);
        w.setSrc(QUrl(source), 0, 0, sha256Hex(raw), false, "Orlith OS", "Orlith OS Lite");
        w.setDst(work.filePath("target.bin"));
        w.startWrite();
        QVERIFY(waitFor([&] { return !success.isEmpty() || !error.isEmpty(); }));
        QCOMPARE(error.count(), 0);
        QCOMPARE(readFile(work.filePath("target.bin"), 0, raw.size()), raw);

        if (customRepository) {
            QTest::qWait(500);
            QCOMPARE(posts(*_server).size(), before);
        } else {
            QVERIFY(waitFor([&] { return posts(*_server).size() == before + 1; }));
            QCOMPARE(
                posts(*_server).last().value("body").toString().toUtf8(),
                expectedRecord(source.toLatin1(), "Orlith OS", "Orlith OS Lite", false, QString()));
        }
        ImageWriter::setRepositoryServer(QString());
    }
};

QTEST_GUILESS_MAIN(tst_Telemetry)
#include "tst_telemetry.moc"
