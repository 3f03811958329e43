// netfeeder's BOOTP/DHCP answers as a board sees them: requests from busybox udhcpc and from raw
// datagrams in the board's namespace, replies captured by tcpdump and decoded by tshark.

#include "netfeederrun.h"
#include "netnspair.h"
#include "shimdir.h"
#include "testenv.h"

#include <QMap>
#include <QTemporaryDir>
#include <QTest>
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

using q5test::NetfeederRun;
using q5test::NetnsPair;

namespace
{

using Fields = QMap<QString, QString>;

const QStringList decodedFields = {"ip.dst",
                                   "udp.dstport",
                                   "udp.length",
                                   "dhcp.type",
                                   "dhcp.hw.type",
                                   "dhcp.hw.len",
                                   "dhcp.hops",
                                   "dhcp.id",
                                   "dhcp.secs",
                                   "dhcp.flags",
                                   "dhcp.ip.client",
                                   "dhcp.ip.your",
                                   "dhcp.ip.server",
                                   "dhcp.ip.relay",
                                   "dhcp.hw.mac_addr",
                                   "dhcp.server",
                                   "dhcp.file",
                                   "dhcp.cookie",
                                   "dhcp.option.type",
                                   "dhcp.option.dhcp",
                                   "dhcp.option.subnet_mask",
                                   "dhcp.option.broadcast_address",
                                   "dhcp.option.domain_name_server",
                                   "dhcp.option.router",
                                   "dhcp.option.tftp_server_name",
                                   "dhcp.option.end"};

// tshark lists the end option under a field of its own (its entry in the type list reads 0).
QString optionOrder(const Fields &packet)
{
    QStringList types = packet.value("dhcp.option.type").split(',');
    types.removeLast();
    return types.join(',') + ',' + packet.value("dhcp.option.end");
}

// Every packet of a capture file as tshark decodes it, one field map per packet.
QList<Fields> decode(const QString &pcap)
{
    QStringList args = {"-r",           pcap, "-T",           "fields", "-E",
                        "separator=/t", "-E", "occurrence=a", "-E",     "aggregator=,"};
    for (const QString &field : decodedFields)
        args << "-e" << field;
    const q5test::CommandResult r = q5test::run("tshark", args, 30000);
    QList<Fields> packets;
    for (const QString &line : QString::fromUtf8(r.out).split('\n', Qt::SkipEmptyParts)) {
        const QStringList values = line.split('\t');
        Fields fields;
        for (int i = 0; i < decodedFields.size(); ++i)
            fields[decodedFields[i]] = values.value(i);
        packets << fields;
    }
    return packets;
}

// tcpdump in a namespace, writing a capture file until it has seen `count` packets.
class Capture
{
public:
    Capture(const QString &ns, const QString &ifName, const QString &file, int count,
            const QString &filter)
    {
        _process = NetnsPair::startIn(ns, "tcpdump",
                                      {"-i", ifName, "-n", "-U", "-Z", "root", "-w", file, "-c",
                                       QString::number(count), filter});
    }
    bool waitForListening()
    {
        QByteArray err;
        for (int i = 0; i < 50 && !err.contains("listening on"); ++i) {
            _process->waitForReadyRead(200);
            err += _process->readAllStandardError();
        }
        return err.contains("listening on");
    }
    bool waitForPackets() { return _process->waitForFinished(10000); }
    ~Capture()
    {
        if (_process->state() != QProcess::NotRunning) {
            _process->terminate();
            _process->waitForFinished(5000);
        }
    }

private:
    std::unique_ptr<QProcess> _process;
};

QByteArray bootRequest(int size, quint8 messageType)
{
    QByteArray p(size, '\0');
    p[0] = 1; // BOOTREQUEST
    p[1] = 1; // Ethernet
    p[2] = 6;
    p[3] = 3; // hops, not echoed
    const char xid[] = {0x12, 0x34, 0x56, 0x78};
    memcpy(p.data() + 4, xid, 4);
    p[8] = 0;
    p[9] = 5;           // secs, not echoed
    p[10] = char(0x80); // broadcast flag
    const char giaddr[] = {10, 1, 2, 3};
    memcpy(p.data() + 24, giaddr, 4);
    const char mac[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    memcpy(p.data() + 28, mac, 6);
    memcpy(p.data() + 108, "ignored.bin", 11);
    const char cookie[] = {99, char(130), 83, 99};
    memcpy(p.data() + 236, cookie, 4);
    int o = 240;
    if (messageType != 0) {
        p[o++] = 53;
        p[o++] = 1;
        p[o++] = char(messageType);
    }
    p[o] = char(255);
    return p;
}

// A UDP socket on the board's side, bound to port 68 on its interface, as a DHCP client has.
int boardClientSocket(const NetnsPair &pair)
{
    const int fd = NetnsPair::socketIn(pair.boardNs(), SOCK_DGRAM);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const QByteArray device = pair.boardIf().toLatin1();
    setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.constData(), socklen_t(device.size()));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(68);
    bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
    return fd;
}

bool sendTo(int fd, const char *address, const QByteArray &datagram)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(67);
    inet_pton(AF_INET, address, &to.sin_addr);
    return sendto(fd, datagram.constData(), size_t(datagram.size()), 0,
                  reinterpret_cast<sockaddr *>(&to), sizeof to) == datagram.size();
}

NetnsPair::Options pairWithoutServerAddress()
{
    NetnsPair::Options options;
    options.serverAddress.clear(); // netfeeder puts it there itself
    return options;
}

} // namespace

class TstNetfeederDhcp : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void answersRawRequest_data();
    void answersRawRequest();
    void answersUdhcpcDiscover();
    void staysOnItsInterface();

private:
    QStringList feederArguments(const NetnsPair &pair) const
    {
        return {"--interface", pair.serverIf(), "--target-directory", _dir.path()};
    }

    q5test::ShimDir _shims;
    QTemporaryDir _dir;
};

void TstNetfeederDhcp::initTestCase()
{
    Q5_REQUIRE_ROOT();
    Q5_REQUIRE_TOOL("tcpdump");
    Q5_REQUIRE_TOOL("tshark");
    Q5_REQUIRE_TOOL("busybox");
    QVERIFY(_dir.isValid());
    _shims.addPkexec();
    // A private place for the control channel's socket, so no other test's listener is found.
    qputenv("TMPDIR", _dir.path().toLocal8Bit());
}

void TstNetfeederDhcp::answersRawRequest_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QStringList>("extraArguments");
    QTest::addColumn<Fields>("expected");

    const Fields bootReply = {{"ip.dst", "255.255.255.255"},
                              {"udp.dstport", "68"},
                              {"udp.length", "288"}, // 280 bytes of BOOTP plus the UDP header
                              {"dhcp.type", "2"},
                              {"dhcp.hw.type", "0x01"},
                              {"dhcp.hw.len", "6"},
                              {"dhcp.hops", "0"},
                              {"dhcp.id", "0x12345678"},
                              {"dhcp.secs", "0"},
                              {"dhcp.flags", "0x8000"},
                              {"dhcp.ip.client", "0.0.0.0"},
                              {"dhcp.ip.your", "10.42.0.12"},
                              {"dhcp.ip.server", "10.42.0.11"},
                              {"dhcp.ip.relay", "10.1.2.3"},
                              {"dhcp.hw.mac_addr", "11:22:33:44:55:66"},
                              {"dhcp.file", "tiboot3.bin"},
                              {"dhcp.option.dhcp", "2"},
                              {"dhcp.option.subnet_mask", "255.255.255.0"},
                              {"dhcp.option.broadcast_address", "10.42.0.255"},
                              {"dhcp.option.domain_name_server", "10.42.0.11"},
                              {"dhcp.option.router", "10.42.0.11"},
                              {"dhcp.option.tftp_server_name", "10.42.0.11"}};
    QTest::newRow("300-byte BOOTREQUEST") << bootRequest(300, 0) << QStringList() << bootReply;
    QTest::newRow("DHCPREQUEST gets an offer too")
        << bootRequest(300, 3) << QStringList() << bootReply;

    Fields zeroed = bootReply;
    zeroed["dhcp.hw.type"] = "0x00";
    zeroed["dhcp.hw.len"] = "0";
    zeroed["dhcp.id"] = "0x00000000";
    zeroed["dhcp.flags"] = "0x0000";
    zeroed["dhcp.ip.relay"] = "0.0.0.0";
    zeroed.remove("dhcp.hw.mac_addr");
    QTest::newRow("200-byte datagram answered from a zeroed request")
        << bootRequest(300, 0).left(200) << QStringList() << zeroed;

    Fields otherServer = bootReply;
    otherServer["udp.length"] = "289";
    otherServer["dhcp.ip.server"] = "192.168.7.1";
    otherServer["dhcp.ip.your"] = "192.168.7.2";
    otherServer["dhcp.file"] = "boot.img";
    otherServer["dhcp.server"] = "feeder";
    otherServer["dhcp.option.broadcast_address"] = "192.168.7.255";
    otherServer["dhcp.option.domain_name_server"] = "192.168.7.1";
    otherServer["dhcp.option.router"] = "192.168.7.1";
    otherServer["dhcp.option.tftp_server_name"] = "192.168.7.1";
    QTest::newRow("other server address, name and boot file")
        << bootRequest(300, 1)
        << QStringList{"--server-ip", "192.168.7.1", "--offered-ip", "192.168.7.2",
                       "-sn",         "feeder",      "-f",           "boot.img"}
        << otherServer;
}

void TstNetfeederDhcp::answersRawRequest()
{
    QFETCH(QByteArray, request);
    QFETCH(QStringList, extraArguments);
    QFETCH(Fields, expected);

    NetnsPair pair(pairWithoutServerAddress());
    QVERIFY2(pair.isValid(), qPrintable(pair.error()));
    NetfeederRun feeder(NETFEEDER_PATH, pair.serverNs(), feederArguments(pair) + extraArguments);
    QVERIFY2(feeder.waitForServing(), feeder.log().constData());

    const QString pcap = _dir.filePath("raw.pcap");
    Capture capture(pair.boardNs(), pair.boardIf(), pcap, 1, "udp src port 67");
    QVERIFY(capture.waitForListening());
    const int fd = boardClientSocket(pair);
    QVERIFY(fd >= 0);
    const bool sent = sendTo(fd, "255.255.255.255", request);
    close(fd);
    QVERIFY(sent);
    QVERIFY2(capture.waitForPackets(), feeder.log().constData());

    const QList<Fields> packets = decode(pcap);
    QCOMPARE(packets.size(), 1);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(packets[0].value(it.key()), it.value());
    QCOMPARE(optionOrder(packets[0]), QString("53,1,28,6,3,66,255"));
}

void TstNetfeederDhcp::answersUdhcpcDiscover()
{
    NetnsPair pair(pairWithoutServerAddress());
    QVERIFY2(pair.isValid(), qPrintable(pair.error()));
    NetfeederRun feeder(NETFEEDER_PATH, pair.serverNs(), feederArguments(pair));
    QVERIFY2(feeder.waitForServing(), feeder.log().constData());

    const QString pcap = _dir.filePath("udhcpc.pcap");
    Capture capture(pair.boardNs(), pair.boardIf(), pcap, 2, "udp port 67 or udp port 68");
    QVERIFY(capture.waitForListening());
    // udhcpc gives up after the offers (no acknowledgement ever comes); only its DISCOVER and
    // the first answer matter here.
    pair.runInBoard(
        "busybox",
        {"udhcpc", "-f", "-q", "-n", "-t", "1", "-T", "1", "-i", pair.boardIf(), "-s", "/bin/true"},
        15000);
    QVERIFY2(capture.waitForPackets(), feeder.log().constData());

    const QList<Fields> packets = decode(pcap);
    QCOMPARE(packets.size(), 2);
    const Fields &discover = packets[0];
    const Fields &offer = packets[1];
    QCOMPARE(discover.value("dhcp.option.dhcp"), QString("1"));
    QCOMPARE(offer.value("dhcp.type"), QString("2"));
    QCOMPARE(offer.value("ip.dst"), QString("255.255.255.255"));
    QCOMPARE(offer.value("udp.dstport"), QString("68"));
    QCOMPARE(offer.value("udp.length"), QString("288"));
    QCOMPARE(offer.value("dhcp.id"), discover.value("dhcp.id"));
    // The DISCOVER names the address twice (chaddr and the client identifier).
    QCOMPARE(offer.value("dhcp.hw.mac_addr"),
             discover.value("dhcp.hw.mac_addr").section(',', 0, 0));
    QCOMPARE(offer.value("dhcp.flags"), discover.value("dhcp.flags"));
    QCOMPARE(offer.value("dhcp.option.dhcp"), QString("2"));
    QCOMPARE(optionOrder(offer), QString("53,1,28,6,3,66,255"));
    QCOMPARE(offer.value("dhcp.ip.your"), QString("10.42.0.12"));
    QCOMPARE(offer.value("dhcp.ip.server"), QString("10.42.0.11"));
    QCOMPARE(offer.value("dhcp.file"), QString("tiboot3.bin"));
    QCOMPARE(offer.value("dhcp.option.tftp_server_name"), QString("10.42.0.11"));
}

void TstNetfeederDhcp::staysOnItsInterface()
{
    NetnsPair pair(pairWithoutServerAddress());
    QVERIFY2(pair.isValid(), qPrintable(pair.error()));
    NetfeederRun feeder(NETFEEDER_PATH, pair.serverNs(), feederArguments(pair));
    QVERIFY2(feeder.waitForServing(), feeder.log().constData());

    // A request on the server's own loopback interface never reaches a socket bound to the veth.
    const int local = NetnsPair::socketIn(pair.serverNs(), SOCK_DGRAM);
    QVERIFY(local >= 0);
    const bool sentLocally = sendTo(local, "127.0.0.1", bootRequest(300, 1));
    close(local);
    QVERIFY(sentLocally);
    QVERIFY(!feeder.waitForLog("[feederdhcp] Packet received", 1500));

    const int board = boardClientSocket(pair);
    const bool sentFromBoard = sendTo(board, "255.255.255.255", bootRequest(300, 1));
    close(board);
    QVERIFY(sentFromBoard);
    QVERIFY(feeder.waitForLog("[feederdhcp] Packet received", 5000));
}

QTEST_GUILESS_MAIN(TstNetfeederDhcp)
#include "tst_netfeederdhcp.moc"
