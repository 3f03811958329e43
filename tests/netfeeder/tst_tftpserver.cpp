// The TFTP server class on the loopback interface, driven by the tests' own step-by-step client:
// block layout, refusals, split mode, TI mode, acknowledgement handling, hooks and flags.

#include "tftpprobe.h"
#include "tftpserver.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <atomic>
#include <sys/stat.h>
#include <thread>

using q5test::TftpPacket;
using q5test::TftpProbe;

namespace
{

QByteArray pattern(int size, int seed = 0)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + seed + i / 251) & 0xff);
    return bytes;
}

quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::AnyIPv4, 0);
    return probe.localPort();
}

// Runs one run() of the server on a thread of its own while the test plays the client.
class ServeOnce
{
public:
    explicit ServeOnce(TFTP &server) : _thread([this, &server]() { _result = server.run(true); }) {}
    ~ServeOnce()
    {
        if (_thread.joinable())
            _thread.join();
    }
    int result()
    {
        _thread.join();
        return _result;
    }

private:
    std::atomic<int> _result{1};
    std::thread _thread;
};

} // namespace

class TstTftpServer : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void sendsFileInBlocks_data();
    void sendsFileInBlocks();
    void reportsProgressOneBlockBehind();
    void refusesUnservableNames_data();
    void refusesUnservableNames();
    void servesInsideLinksAndSubdirectories_data();
    void servesInsideLinksAndSubdirectories();
    void refusesWriteRequest();
    void servesSplitPart_data();
    void servesSplitPart();
    void refusesInvalidSplitRequest_data();
    void refusesInvalidSplitRequest();
    void tiModeCountsWithheldLastAck_data();
    void tiModeCountsWithheldLastAck();
    void resendsBlockOnOutOfOrderAck();
    void answersGarbledAckWithError();
    void ignoresRepeatedRequest();
    void takesUpNewBlockSizeBeforeNextRequest();
    void noRequestTimesOut();

private:
    void writeFile(const QString &name, const QByteArray &content);
    TftpPacket requestAndReceive(TftpProbe &client, quint16 opcode, const QByteArray &name);

    std::unique_ptr<QTemporaryDir> _dir;
    std::unique_ptr<TFTP> _server;
    quint16 _port = 0;
    QList<float> _progressReports;
    QList<QByteArray> _sentFiles;
};

void TstTftpServer::init()
{
    _dir = std::make_unique<QTemporaryDir>();
    QVERIFY(_dir->isValid());
    _port = freeUdpPort();
    _server = std::make_unique<TFTP>(_port, 512, _dir->path());
    _server->setCommandWaitTimeout(5000);
    _server->setTIMode(true);
    _progressReports.clear();
    _sentFiles.clear();
    _server->setProgressUpdateCallback([this](float p) { _progressReports << p; });
    _server->setOnReadSuccess([this](const QByteArray &name) { _sentFiles << name; });
    QCOMPARE(_server->start(), 0);
}

void TstTftpServer::cleanup()
{
    _server.reset();
    _dir.reset();
}

void TstTftpServer::writeFile(const QString &name, const QByteArray &content)
{
    QFile file(_dir->filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
}

TftpPacket TstTftpServer::requestAndReceive(TftpProbe &client, quint16 opcode,
                                            const QByteArray &name)
{
    client.setServer("127.0.0.1", _port);
    ServeOnce serve(*_server);
    client.request(opcode, name);
    const TftpPacket reply = client.receive();
    serve.result();
    return reply;
}

void TstTftpServer::sendsFileInBlocks_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("blocks");
    QTest::newRow("empty") << 0 << QList<int>{0};
    QTest::newRow("one short block") << 511 << QList<int>{511};
    QTest::newRow("one full block") << 512 << QList<int>{512, 0};
    QTest::newRow("1024 bytes") << 1024 << QList<int>{512, 512, 0};
    QTest::newRow("1500 bytes") << 1500 << QList<int>{512, 512, 476};
}

void TstTftpServer::sendsFileInBlocks()
{
    QFETCH(int, size);
    QFETCH(QList<int>, blocks);
    const QByteArray content = pattern(size);
    writeFile("tiboot3.bin", content);

    TftpProbe client;
    client.setServer("127.0.0.1", _port);
    QList<int> received;
    ServeOnce serve(*_server);
    QCOMPARE(client.fetch("tiboot3.bin", &received), content);
    QCOMPARE(serve.result(), 0);
    QCOMPARE(received, blocks);
    QCOMPARE(_sentFiles, QList<QByteArray>{"tiboot3.bin"});
    QCOMPARE(_server->getLastFileName(), QByteArray("tiboot3.bin"));
    QCOMPARE(_server->getProgress(), 1.0f);
    QVERIFY(_server->isTiboot3BinSent());
    QVERIFY(!_server->isTiboot3BinSent());
    QVERIFY(!_server->hasError());
}

void TstTftpServer::reportsProgressOneBlockBehind()
{
    writeFile("a.bin", pattern(1024));
    writeFile("b.bin", pattern(512));
    TftpProbe client;
    client.setServer("127.0.0.1", _port);
    {
        ServeOnce serve(*_server);
        QCOMPARE(client.fetch("a.bin").size(), 1024);
        QCOMPARE(serve.result(), 0);
    }
    QCOMPARE(_progressReports, (QList<float>{0.0f, 0.5f, 1.0f}));
    {
        ServeOnce serve(*_server);
        QCOMPARE(client.fetch("b.bin").size(), 512);
        QCOMPARE(serve.result(), 0);
    }
    // The first report of a transfer carries the value the previous one ended with.
    QCOMPARE(_progressReports, (QList<float>{0.0f, 0.5f, 1.0f, 1.0f, 1.0f}));
    QCOMPARE(_sentFiles, (QList<QByteArray>{"a.bin", "b.bin"}));
    QVERIFY(!_server->isTiboot3BinSent());
}

void TstTftpServer::refusesUnservableNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("missing") << QByteArray("nothere.bin");
    QTest::newRow("parent") << QByteArray("../outside.bin");
    QTest::newRow("deep parent") << QByteArray("sub/../../outside.bin");
    QTest::newRow("absolute outside") << QByteArray("@OUTSIDE@");
    QTest::newRow("absolute system file") << QByteArray("/etc/passwd");
    QTest::newRow("link to outside") << QByteArray("escape.bin");
    QTest::newRow("link to outside dir") << QByteArray("escapedir/outside.bin");
    QTest::newRow("directory") << QByteArray("sub");
    QTest::newRow("fifo") << QByteArray("pipe");
    QTest::newRow("empty") << QByteArray("");
}

void TstTftpServer::refusesUnservableNames()
{
    QFETCH(QByteArray, name);
    QTemporaryDir outside;
    const QByteArray secret = "not to be served";
    QFile outsideFile(outside.filePath("outside.bin"));
    QVERIFY(outsideFile.open(QIODevice::WriteOnly));
    outsideFile.write(secret);
    outsideFile.close();
    // A copy right next to the served directory, where "../outside.bin" leads.
    QFile::remove(_dir->path() + "/../outside.bin");
    QVERIFY(QFile::copy(outsideFile.fileName(), _dir->path() + "/../outside.bin"));
    QVERIFY(QDir(_dir->path()).mkdir("sub"));
    QVERIFY(QFile::link(outsideFile.fileName(), _dir->filePath("escape.bin")));
    QVERIFY(QFile::link(outside.path(), _dir->filePath("escapedir")));
    QCOMPARE(mkfifo(QFile::encodeName(_dir->filePath("pipe")).constData(), 0600), 0);
    name.replace("@OUTSIDE@", QFile::encodeName(outsideFile.fileName()));

    TftpProbe client;
    const TftpPacket reply = requestAndReceive(client, 1, name);
    QFile::remove(_dir->path() + "/../outside.bin");
    QCOMPARE(reply.opcode, quint16(5));
    QCOMPARE(reply.number, quint16(1));
    QCOMPARE(reply.payload, QByteArray("cannot open file"));
    QVERIFY(_server->hasError());
    QVERIFY(!_server->hasError());
    QVERIFY(_sentFiles.isEmpty());
}

void TstTftpServer::servesInsideLinksAndSubdirectories_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("subdirectory") << QByteArray("sub/inner.bin");
    QTest::newRow("link inside") << QByteArray("alias.bin");
    QTest::newRow("dot segments inside") << QByteArray("./sub/../sub/inner.bin");
}

void TstTftpServer::servesInsideLinksAndSubdirectories()
{
    QFETCH(QByteArray, name);
    QVERIFY(QDir(_dir->path()).mkdir("sub"));
    const QByteArray content = pattern(700, 3);
    writeFile("sub/inner.bin", content);
    QVERIFY(QFile::link("sub/inner.bin", _dir->filePath("alias.bin")));
    TftpProbe client;
    client.setServer("127.0.0.1", _port);
    ServeOnce serve(*_server);
    QCOMPARE(client.fetch(name), content);
    QCOMPARE(serve.result(), 0);
}

void TstTftpServer::refusesWriteRequest()
{
    TftpProbe client;
    const TftpPacket reply = requestAndReceive(client, 2, "upload.bin");
    QCOMPARE(reply.opcode, quint16(5));
    QCOMPARE(reply.number, quint16(2));
    QCOMPARE(reply.payload, QByteArray("cannot open file"));
    QVERIFY(!QFile::exists(_dir->filePath("upload.bin")));
}

void TstTftpServer::servesSplitPart_data()
{
    QTest::addColumn<int>("part");
    QTest::addColumn<int>("remainder");
    QTest::newRow("first") << 0 << 0;
    QTest::newRow("third") << 2 << 0;
    QTest::newRow("last") << 9 << 0;
    QTest::newRow("last, image with remainder") << 9 << 7;
}

void TstTftpServer::servesSplitPart()
{
    QFETCH(int, part);
    QFETCH(int, remainder);
    const int partSize = 5120;
    const QByteArray image = pattern(10 * partSize + remainder, 5); // the remainder is never sent
    const float progressAfter = float(double((part + 1) * partSize) / image.size());
    writeFile("uniflash", image);

    TftpProbe client;
    client.setServer("127.0.0.1", _port);
    QList<int> blocks;
    ServeOnce serve(*_server);
    const QByteArray name = "uniflash" + QByteArray::number(part);
    QCOMPARE(client.fetch(name, &blocks), image.mid(part * partSize, partSize));
    QCOMPARE(serve.result(), 0);
    QCOMPARE(blocks, (QList<int>{512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 0}));
    QCOMPARE(_server->getLastFileName(), name);
    QCOMPARE(_sentFiles, QList<QByteArray>{name});
    QVERIFY(qAbs(_server->getProgress() - progressAfter) < 1e-6f);
    QVERIFY(qAbs(_progressReports.last() - progressAfter) < 1e-6f);
    if (part == 9 && remainder == 0)
        QCOMPARE(_server->getProgress(), 1.0f); // the main program takes exactly 1 as the end
}

void TstTftpServer::refusesInvalidSplitRequest_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("part not a multiple of 512") << 10 * 5121 << QByteArray("uniflash3");
    QTest::newRow("no part number") << 10 * 5120 << QByteArray("uniflash");
    QTest::newRow("text after uniflash") << 10 * 5120 << QByteArray("uniflashX");
    QTest::newRow("part past the tenth") << 10 * 5120 << QByteArray("uniflash10");
    QTest::newRow("no image") << -1 << QByteArray("uniflash1");
}

void TstTftpServer::refusesInvalidSplitRequest()
{
    QFETCH(int, imageSize);
    QFETCH(QByteArray, name);
    if (imageSize >= 0)
        writeFile("uniflash", pattern(imageSize));
    TftpProbe client;
    const TftpPacket reply = requestAndReceive(client, 1, name);
    QCOMPARE(reply.opcode, quint16(5));
    QCOMPARE(reply.number, quint16(1));
    QCOMPARE(reply.payload, QByteArray("cannot open file"));
    QVERIFY(_server->hasError());
}

void TstTftpServer::tiModeCountsWithheldLastAck_data()
{
    QTest::addColumn<bool>("tiMode");
    QTest::newRow("TI mode") << true;
    QTest::newRow("plain mode") << false;
}

void TstTftpServer::tiModeCountsWithheldLastAck()
{
    QFETCH(bool, tiMode);
    _server->setTIMode(tiMode);
    writeFile("tiboot3.bin", pattern(700));
    TftpProbe client;
    client.setServer("127.0.0.1", _port);
    ServeOnce serve(*_server);
    client.readRequest("tiboot3.bin");
    const TftpPacket first = client.receive();
    QCOMPARE(first.number, quint16(1));
    client.ack(1);
    int lastBlockCopies = 0;
    while (client.receive(3000).number == 2)
        ++lastBlockCopies;
    if (tiMode) {
        QCOMPARE(serve.result(), 0);
        QCOMPARE(lastBlockCopies, 1);
        QCOMPARE(_sentFiles, QList<QByteArray>{"tiboot3.bin"});
        QVERIFY(_server->isTiboot3BinSent());
    } else {
        QCOMPARE(serve.result(), -1);
        QCOMPARE(lastBlockCopies, 3);
        QVERIFY(_sentFiles.isEmpty());
        QVERIFY(!_server->isTiboot3BinSent());
    }
}

void TstTftpServer::resendsBlockOnOutOfOrderAck()
{
    const QByteArray content = pattern(1024);
    writeFile("f.bin", content);
    TftpProbe client;
    client.setServer("127.0.0.1", _port);
    ServeOnce serve(*_server);
    client.readRequest("f.bin");
    QCOMPARE(client.receive().number, quint16(1));
    client.ack(1);
    const TftpPacket second = client.receive();
    QCOMPARE(second.number, quint16(2));
    client.ack(1); // stale: block 2 is expected
    const TftpPacket resent = client.receive();
    QCOMPARE(resent.opcode, quint16(3));
    QCOMPARE(resent.number, quint16(2));
    QCOMPARE(resent.payload, second.payload);
    client.ack(2);
    const TftpPacket last = client.receive();
    QCOMPARE(last.number, quint16(3));
    QCOMPARE(last.payload.size(), 0);
    client.ack(3);
    QCOMPARE(serve.result(), 0);
}

void TstTftpServer::answersGarbledAckWithError()
{
    writeFile("f.bin", pattern(1024));
    TftpProbe client;
    client.setServer("127.0.0.1", _port);
    ServeOnce serve(*_server);
    client.readRequest("f.bin");
    QCOMPARE(client.receive().number, quint16(1));
    client.sendRaw(QByteArray("\x00\x04", 2)); // too short to be an acknowledgement
    const TftpPacket error = client.receive();
    QCOMPARE(error.opcode, quint16(5));
    QCOMPARE(error.number, quint16(0));
    QCOMPARE(error.payload, QByteArray("incorrect ack"));
    // The garbled packet counted as the acknowledgement: the transfer goes on.
    const TftpPacket next = client.receive();
    QCOMPARE(next.opcode, quint16(3));
    QCOMPARE(next.number, quint16(2));
    client.ack(2);
    QCOMPARE(client.receive().number, quint16(3));
    client.ack(3);
    QCOMPARE(serve.result(), 0);
}

void TstTftpServer::ignoresRepeatedRequest()
{
    const QByteArray content = pattern(1024);
    writeFile("f.bin", content);
    TftpProbe client;
    client.setServer("127.0.0.1", _port);
    ServeOnce serve(*_server);
    client.readRequest("f.bin");
    const TftpPacket first = client.receive();
    QCOMPARE(first.number, quint16(1));
    client.readRequest("f.bin"); // a client that gave up waiting too early
    client.ack(1);
    QByteArray received = first.payload;
    for (quint16 block = 2; block <= 3; ++block) {
        const TftpPacket packet = client.receive();
        QCOMPARE(packet.opcode, quint16(3));
        QCOMPARE(packet.number, block);
        received += packet.payload;
        client.ack(block);
    }
    QCOMPARE(serve.result(), 0);
    QCOMPARE(received, content);
    QVERIFY(!client.receive(300).received);
}

void TstTftpServer::takesUpNewBlockSizeBeforeNextRequest()
{
    const QByteArray content = pattern(3000);
    writeFile("f.bin", content);
    std::thread([this]() { _server->setTftpBlockSize(1468); }).join();
    TftpProbe client;
    client.setServer("127.0.0.1", _port);
    QList<int> blocks;
    ServeOnce serve(*_server);
    QCOMPARE(client.fetch("f.bin", &blocks, 1468), content);
    QCOMPARE(serve.result(), 0);
    QCOMPARE(blocks, (QList<int>{1468, 1468, 64}));
}

void TstTftpServer::noRequestTimesOut()
{
    _server->setCommandWaitTimeout(100);
    QCOMPARE(_server->run(true), -12);
}

QTEST_GUILESS_MAIN(TstTftpServer)
#include "tst_tftpserver.moc"
