// netfeeder's TFTP service as real RFC 1350 clients in the board's namespace see it: files fetched
// byte-exact, parts of the split image, and refusals of names it must not serve.

#include "netfeederrun.h"
#include "netnspair.h"
#include "shimdir.h"
#include "testenv.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using q5test::NetfeederRun;
using q5test::NetnsPair;

namespace
{

const QString server = QStringLiteral("10.42.0.11");

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(uint(size) + 17u);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(generator.generate() & 0xff);
    return bytes;
}

// The client's command line to fetch `name` into `out`.
QStringList fetchCommand(const QString &client, const QString &name, const QString &out)
{
    if (client == "tftp-hpa")
        return {"tftp", "-m", "binary", server, "-c", "get", name, out};
    if (client == "curl")
        return {"curl", "-sS", "-o", out, "tftp://" + server + "/" + name};
    if (client == "curl-no-options")
        return {"curl", "-sS", "--tftp-no-options", "-o", out, "tftp://" + server + "/" + name};
    if (client == "atftp")
        return {"atftp", "--get", "-r", name, "-l", out, server};
    return {"busybox", "tftp", "-g", "-r", name, "-l", out, server};
}

} // namespace

class TstNetfeederTftp : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void clientFetchesFile_data();
    void clientFetchesFile();
    void clientFetchesImagePart_data();
    void clientFetchesImagePart();
    void clientIsRefused_data();
    void clientIsRefused();

private:
    void writeServed(const QString &name, const QByteArray &content);
    q5test::CommandResult fetch(const QString &client, const QString &name, const QString &out);

    q5test::ShimDir _shims;
    QTemporaryDir _root;
    QString _served;
    QString _received;
    std::unique_ptr<NetnsPair> _pair;
    std::unique_ptr<NetfeederRun> _feeder;
    QByteArray _image;
};

void TstNetfeederTftp::initTestCase()
{
    Q5_REQUIRE_ROOT();
    Q5_REQUIRE_TOOL("tftp");
    Q5_REQUIRE_TOOL("curl");
    Q5_REQUIRE_TOOL("atftp");
    Q5_REQUIRE_TOOL("busybox");
    _shims.addPkexec();
    qputenv("TMPDIR", _root.path().toLocal8Bit());
    QDir root(_root.path());
    QVERIFY(root.mkdir("served") && root.mkdir("received"));
    _served = root.filePath("served");
    _received = root.filePath("received");
    // Right next to the served directory, where "../secret" leads.
    QFile secret(root.filePath("secret"));
    QVERIFY(secret.open(QIODevice::WriteOnly));
    secret.write("administrator's secret\n");
    secret.close();
    QVERIFY(QFile::link(secret.fileName(), QDir(_served).filePath("link-to-secret")));

    for (int size : {0, 1, 511, 512, 1024, 100000})
        writeServed(QString("file%1").arg(size), randomBytes(size));
    // Past 65535 blocks of 512 bytes the block number wraps.
    writeServed("wrap", randomBytes(65536 * 512 + 1000));
    _image = randomBytes(10 * 8192 + 5);
    writeServed("uniflash", _image);

    NetnsPair::Options addresses;
    addresses.boardAddress = "10.42.0.12/24"; // as the BOOTP reply gives it
    _pair = std::make_unique<NetnsPair>(addresses);
    QVERIFY2(_pair->isValid(), qPrintable(_pair->error()));
    _feeder = std::make_unique<NetfeederRun>(
        NETFEEDER_PATH, _pair->serverNs(),
        QStringList{"--interface", _pair->serverIf(), "--target-directory", _served});
    QVERIFY2(_feeder->waitForServing(), _feeder->log().constData());
}

void TstNetfeederTftp::cleanupTestCase()
{
    _feeder.reset();
    _pair.reset();
}

void TstNetfeederTftp::writeServed(const QString &name, const QByteArray &content)
{
    QFile file(QDir(_served).filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
}

q5test::CommandResult TstNetfeederTftp::fetch(const QString &client, const QString &name,
                                              const QString &out)
{
    QFile::remove(out);
    const QStringList command = fetchCommand(client, name, out);
    return _pair->runInBoard(command.first(), command.mid(1), 20000);
}

void TstNetfeederTftp::clientFetchesFile_data()
{
    QTest::addColumn<QString>("client");
    QTest::addColumn<QString>("name");
    for (const char *client : {"tftp-hpa", "curl", "curl-no-options", "atftp", "busybox"}) {
        for (const char *name : {"file0", "file1", "file511", "file512", "file1024", "file100000"})
            QTest::addRow("%s %s", client, name) << QString(client) << QString(name);
    }
    QTest::newRow("tftp-hpa block number wrap") << QString("tftp-hpa") << QString("wrap");
}

void TstNetfeederTftp::clientFetchesFile()
{
    QFETCH(QString, client);
    QFETCH(QString, name);
    const QString out = QDir(_received).filePath(name);
    const q5test::CommandResult r = fetch(client, name, out);
    QVERIFY2(r.ok(), r.out + r.err + _feeder->log().right(8000));
    QFile got(out);
    QFile want(QDir(_served).filePath(name));
    QVERIFY(got.open(QIODevice::ReadOnly) && want.open(QIODevice::ReadOnly));
    QCOMPARE(got.size(), want.size());
    QVERIFY(got.readAll() == want.readAll());
}

void TstNetfeederTftp::clientFetchesImagePart_data()
{
    QTest::addColumn<QString>("client");
    QTest::addColumn<int>("part");
    QTest::newRow("curl part 0") << QString("curl") << 0;
    QTest::newRow("tftp-hpa part 3") << QString("tftp-hpa") << 3;
    QTest::newRow("atftp part 9") << QString("atftp") << 9;
}

void TstNetfeederTftp::clientFetchesImagePart()
{
    QFETCH(QString, client);
    QFETCH(int, part);
    const QString name = QString("uniflash%1").arg(part);
    const QString out = QDir(_received).filePath(name);
    const q5test::CommandResult r = fetch(client, name, out);
    QVERIFY2(r.ok(), r.out + r.err);
    QFile got(out);
    QVERIFY(got.open(QIODevice::ReadOnly));
    QVERIFY(got.readAll() == _image.mid(part * 8192, 8192));
}

void TstNetfeederTftp::clientIsRefused_data()
{
    QTest::addColumn<QString>("client");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("clientMessage");
    QTest::newRow("unknown file") << QString("tftp-hpa") << QString("nothere")
                                  << QByteArray("Error code 1: cannot open file");
    QTest::newRow("parent directory") << QString("tftp-hpa") << QString("../secret")
                                      << QByteArray("Error code 1: cannot open file");
    QTest::newRow("shadow") << QString("tftp-hpa") << QString("../../../../../etc/shadow")
                            << QByteArray("Error code 1: cannot open file");
    QTest::newRow("absolute path")
        << QString("atftp") << QString("/etc/shadow") << QByteArray("cannot open file");
    QTest::newRow("link out of the directory")
        << QString("busybox") << QString("link-to-secret") << QByteArray("cannot open file");
    QTest::newRow("image part past the tenth") << QString("tftp-hpa") << QString("uniflash10")
                                               << QByteArray("Error code 1: cannot open file");
}

void TstNetfeederTftp::clientIsRefused()
{
    QFETCH(QString, client);
    QFETCH(QString, name);
    QFETCH(QByteArray, clientMessage);
    const QString out = QDir(_received).filePath("refused");
    const q5test::CommandResult r = fetch(client, name, out);
    QVERIFY2((r.out + r.err).contains(clientMessage), r.out + r.err);
    QFile got(out);
    QVERIFY(!got.open(QIODevice::ReadOnly) || got.readAll().isEmpty());
    QVERIFY(_feeder->waitForLog("failed to open file " + name.toLocal8Bit() + " for reading"));
}

QTEST_GUILESS_MAIN(TstNetfeederTftp)
#include "tst_netfeedertftp.moc"
