// netfeeder's control channel, spoken to by a local server of the test in the main program's
// place while a board's TFTP client fetches files over the veth pair.

#include "netfeederrun.h"
#include "netnspair.h"
#include "shimdir.h"
#include "testenv.h"
#include "tftpprobe.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>

using q5test::NetfeederRun;
using q5test::NetnsPair;
using q5test::TftpProbe;

class TstNetfeederControl : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void acknowledgesThenAnswers_data();
    void acknowledgesThenAnswers();
    void changesLinkSpeed_data();
    void changesLinkSpeed();
    void reportsSentBootFile();
    void reportsProgressDuringTransfer();
    void notifiesNextSentFileOnly();
    void forgetsFileSentBeforeNotifyRequest();
    void reportsRefusedRequest();
    void switchesBlockSize();
    void quitEndsInOrder();
    void closedChannelEndsInOrder();

private:
    void send(const QByteArray &line);
    QByteArray readLine(int timeoutMs = 5000);
    QList<QByteArray> exchange(const QByteArray &command, int replies);
    bool tftpGet(const QString &name);
    bool tftpRefused(const QByteArray &name);
    void expectRevertedAtExit();

    q5test::ShimDir _shims;
    QTemporaryDir _root;
    QString _served;
    std::unique_ptr<NetnsPair> _pair;
    std::unique_ptr<QLocalServer> _server;
    std::unique_ptr<NetfeederRun> _feeder;
    QLocalSocket *_channel = nullptr;
};

void TstNetfeederControl::initTestCase()
{
    Q5_REQUIRE_ROOT();
    Q5_REQUIRE_TOOL("tftp");
    _shims.addPkexec();
    qputenv("TMPDIR", _root.path().toLocal8Bit());
    QVERIFY(QDir(_root.path()).mkdir("served"));
    _served = QDir(_root.path()).filePath("served");
    const QList<QPair<QString, int>> files = {
        {"tiboot3.bin", 1024}, {"u-boot.img", 700}, {"uniflash", 10 * 512}};
    for (const auto &file : files) {
        QFile f(QDir(_served).filePath(file.first));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(file.second, 'x'));
    }
}

void TstNetfeederControl::init()
{
    QFile::remove(_shims.logPath());
    NetnsPair::Options addresses;
    addresses.boardAddress = "10.42.0.12/24";
    _pair = std::make_unique<NetnsPair>(addresses);
    QVERIFY2(_pair->isValid(), qPrintable(_pair->error()));
    _server = std::make_unique<QLocalServer>();
    QLocalServer::removeServer("NetfeederCommChannel");
    QVERIFY(_server->listen("NetfeederCommChannel"));
    _feeder = std::make_unique<NetfeederRun>(
        NETFEEDER_PATH, _pair->serverNs(),
        QStringList{"--interface", _pair->serverIf(), "--target-directory", _served});
    QVERIFY2(_feeder->waitForServing(), _feeder->log().constData());
    QVERIFY(_server->waitForNewConnection(5000));
    _channel = _server->nextPendingConnection();
    QVERIFY(_channel);
}

void TstNetfeederControl::cleanup()
{
    _feeder.reset();
    _server.reset(); // owns the accepted connection
    _channel = nullptr;
    _pair.reset();
}

void TstNetfeederControl::send(const QByteArray &line)
{
    _channel->write(line + '\n');
    _channel->waitForBytesWritten(1000);
}

QByteArray TstNetfeederControl::readLine(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!_channel->canReadLine()) {
        if (deadline.hasExpired() || !_channel->waitForReadyRead(int(deadline.remainingTime())))
            return QByteArray();
    }
    const QByteArray line = _channel->readLine();
    return line.endsWith('\n') ? line.chopped(1) : line;
}

QList<QByteArray> TstNetfeederControl::exchange(const QByteArray &command, int replies)
{
    send(command);
    QList<QByteArray> lines;
    for (int i = 0; i < replies; ++i)
        lines << readLine(35000);
    return lines;
}

bool TstNetfeederControl::tftpGet(const QString &name)
{
    const QString out = QDir(_root.path()).filePath("got");
    QFile::remove(out);
    return _pair->runInBoard("tftp", {"-m", "binary", "10.42.0.11", "-c", "get", name, out}, 20000)
        .ok();
}

// tftp-hpa ends with 0 even after an error, so the refusal is read by the test's own client.
bool TstNetfeederControl::tftpRefused(const QByteArray &name)
{
    TftpProbe client(NetnsPair::socketIn(_pair->boardNs(), SOCK_DGRAM));
    client.setServer("10.42.0.11", 69);
    client.readRequest(name);
    const q5test::TftpPacket reply = client.receive();
    return reply.opcode == 5 && reply.number == 1 && reply.payload == "cannot open file";
}

void TstNetfeederControl::expectRevertedAtExit()
{
    QVERIFY2(_feeder->waitForExit(10000), _feeder->log().constData());
    QCOMPARE(_feeder->exitCode(), 0);
    const QStringList calls = _shims.loggedCalls();
    QVERIFY(calls.size() >= 6);
    const QStringList revert = calls.mid(calls.size() - 2);
    QVERIFY(revert.contains("ethtool -s q5srv0 autoneg on"));
    QVERIFY(revert.contains("ip addr del 10.42.0.11/24 dev q5srv0"));
}

void TstNetfeederControl::acknowledgesThenAnswers_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QList<QByteArray>>("replies");
    QTest::newRow("progress") << QByteArray("getFileSendProgress")
                              << QList<QByteArray>{"ok", "0.000000"};
    QTest::newRow("white space around a command")
        << QByteArray("  getFileSendProgress\t") << QList<QByteArray>{"ok", "0.000000"};
    QTest::newRow("boot file not yet sent")
        << QByteArray("isSblUartReady") << QList<QByteArray>{"ok", "nok"};
    QTest::newRow("transfer ok") << QByteArray("isFileTransferOk") << QList<QByteArray>{"ok", "ok"};
    QTest::newRow("block size") << QByteArray("tftpBlokSize1468") << QList<QByteArray>{"ok", "ok"};
    QTest::newRow("DHCP notice") << QByteArray("notifyDHCP") << QList<QByteArray>{"ok"};
    QTest::newRow("file notice") << QByteArray("notifyFileSend") << QList<QByteArray>{"ok"};
    QTest::newRow("unknown command") << QByteArray("format c:") << QList<QByteArray>{"ok"};
}

void TstNetfeederControl::acknowledgesThenAnswers()
{
    QFETCH(QByteArray, command);
    QFETCH(QList<QByteArray>, replies);
    QCOMPARE(exchange(command, int(replies.size())), replies);
    QCOMPARE(readLine(300), QByteArray()); // nothing more follows
    send("");                              // an empty line is not acknowledged
    QCOMPARE(readLine(300), QByteArray());
}

void TstNetfeederControl::changesLinkSpeed_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QStringList>("calls");
    QTest::newRow("1000MB") << QByteArray("1000MB")
                            << QStringList{"ethtool -s q5srv0 speed 1000 duplex full autoneg on"};
    QTest::newRow("100MB") << QByteArray("100MB")
                           << QStringList{"ip link set q5srv0 down",
                                          "ethtool -s q5srv0 speed 100 duplex full autoneg off",
                                          "ip addr add 10.42.0.11/24 dev q5srv0",
                                          "ip link set q5srv0 up"};
}

void TstNetfeederControl::changesLinkSpeed()
{
    QFETCH(QByteArray, command);
    QFETCH(QStringList, calls);
    QFile::remove(_shims.logPath());
    // veth has no speed setting: ethtool fails, which is no failure of the command.
    QCOMPARE(exchange(command, 2), (QList<QByteArray>{"ok", "ok"}));
    QCOMPARE(_shims.loggedCalls(), calls);
    QVERIFY(tftpGet("u-boot.img")); // still serving afterwards
}

void TstNetfeederControl::reportsSentBootFile()
{
    QVERIFY(tftpGet("tiboot3.bin"));
    QTest::qWait(200); // the client is done once its last acknowledgement is out
    QCOMPARE(exchange("getFileSendProgress", 2), (QList<QByteArray>{"ok", "1.000000"}));
    QCOMPARE(exchange("isSblUartReady", 2), (QList<QByteArray>{"ok", "ok"}));
    QCOMPARE(exchange("isSblUartReady", 2), (QList<QByteArray>{"ok", "nok"}));
    QVERIFY(tftpGet("u-boot.img"));
    QCOMPARE(exchange("isSblUartReady", 2), (QList<QByteArray>{"ok", "nok"}));
}

void TstNetfeederControl::reportsProgressDuringTransfer()
{
    TftpProbe client(NetnsPair::socketIn(_pair->boardNs(), SOCK_DGRAM));
    QVERIFY(client.isValid());
    client.setServer("10.42.0.11", 69);
    client.readRequest("tiboot3.bin");
    QCOMPARE(client.receive().number, quint16(1));
    client.ack(1);
    QCOMPARE(client.receive().number, quint16(2));
    client.ack(2);
    QCOMPARE(client.receive().number, quint16(3));
    // Block 3 stays unacknowledged for now; the last report is the value after block 1 of 2.
    QCOMPARE(exchange("getFileSendProgress", 2), (QList<QByteArray>{"ok", "0.500000"}));
    client.ack(3);
    QTest::qWait(300);
    QCOMPARE(exchange("getFileSendProgress", 2), (QList<QByteArray>{"ok", "1.000000"}));
}

void TstNetfeederControl::notifiesNextSentFileOnly()
{
    QCOMPARE(exchange("notifyFileSend", 1), QList<QByteArray>{"ok"});
    QVERIFY(tftpGet("uniflash3"));
    QCOMPARE(readLine(5000), QByteArray("uniflash3"));
    QVERIFY(tftpGet("tiboot3.bin"));
    QCOMPARE(readLine(1500), QByteArray());
    QCOMPARE(exchange("getFileSendProgress", 2), (QList<QByteArray>{"ok", "1.000000"}));
}

void TstNetfeederControl::forgetsFileSentBeforeNotifyRequest()
{
    QVERIFY(tftpGet("tiboot3.bin"));
    QCOMPARE(exchange("notifyFileSend", 1), QList<QByteArray>{"ok"});
    QCOMPARE(readLine(1500), QByteArray());
}

void TstNetfeederControl::reportsRefusedRequest()
{
    QVERIFY(tftpRefused("nothere"));
    QCOMPARE(exchange("isFileTransferOk", 2), (QList<QByteArray>{"ok", "nok"}));
    QCOMPARE(exchange("isFileTransferOk", 2), (QList<QByteArray>{"ok", "ok"}));
    QVERIFY(tftpRefused("../served/tiboot3.bin"));
    QCOMPARE(exchange("notifyFileSend", 1), QList<QByteArray>{"ok"}); // clears the error
    QCOMPARE(exchange("isFileTransferOk", 2), (QList<QByteArray>{"ok", "ok"}));
}

void TstNetfeederControl::switchesBlockSize()
{
    QCOMPARE(exchange("tftpBlokSize1468", 2), (QList<QByteArray>{"ok", "ok"}));
    QTest::qWait(300); // taken up before the next request
    TftpProbe client(NetnsPair::socketIn(_pair->boardNs(), SOCK_DGRAM));
    client.setServer("10.42.0.11", 69);
    QList<int> blocks;
    QCOMPARE(client.fetch("uniflash0", &blocks, 1468).size(), 512);
    QCOMPARE(blocks, QList<int>{512});
    QCOMPARE(client.fetch("tiboot3.bin", &blocks, 1468).size(), 1024);
    QCOMPARE(blocks, (QList<int>{512, 1024}));
}

void TstNetfeederControl::quitEndsInOrder()
{
    QCOMPARE(exchange("quit", 1), QList<QByteArray>{"ok"});
    expectRevertedAtExit();
    QVERIFY(_feeder->log().contains("[ipc] quit"));
    QVERIFY(_feeder->log().contains("[feedertftp] Stopped"));
}

void TstNetfeederControl::closedChannelEndsInOrder()
{
    _channel->disconnectFromServer();
    expectRevertedAtExit();
    QVERIFY(_feeder->log().contains("[netfeeder] server closed exiting..."));
}

QTEST_GUILESS_MAIN(TstNetfeederControl)
#include "tst_netfeedercontrol.moc"
