// The spanning-tree detector on a veth in a private namespace, fed with BPDUs built by scapy and
// sent from the peer end through a raw packet socket.

#include "netnspair.h"
#include "stpanalyzer.h"
#include "testenv.h"

#include <QFile>
#include <QHash>
#include <QSignalSpy>
#include <QTest>
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <memory>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr int threshold = 5;
constexpr int deliveryWaitMs = 200;

// Moves the calling thread into a named network namespace, and back when destroyed.
class NamespaceEntry
{
public:
    explicit NamespaceEntry(const QString &ns)
        : _home(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC))
    {
        const QByteArray path = QByteArrayLiteral("/var/run/netns/") + ns.toLocal8Bit();
        const int target = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        _entered = _home >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
        if (target >= 0)
            ::close(target);
    }
    ~NamespaceEntry()
    {
        if (_entered)
            setns(_home, CLONE_NEWNET);
        if (_home >= 0)
            ::close(_home);
    }
    NamespaceEntry(const NamespaceEntry &) = delete;
    NamespaceEntry &operator=(const NamespaceEntry &) = delete;

    bool entered() const { return _entered; }

private:
    int _home;
    bool _entered = false;
};

// Sends whole Ethernet frames out of one interface of the namespace it was created in.
class FrameSender
{
public:
    explicit FrameSender(const QString &interfaceName)
        : _fd(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0)),
          _interfaceIndex(static_cast<int>(if_nametoindex(interfaceName.toLocal8Bit().constData())))
    {
    }
    ~FrameSender()
    {
        if (_fd >= 0)
            ::close(_fd);
    }
    FrameSender(const FrameSender &) = delete;
    FrameSender &operator=(const FrameSender &) = delete;

    bool isValid() const { return _fd >= 0 && _interfaceIndex > 0; }

    bool send(const QByteArray &frame) const
    {
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_protocol = htons(ETH_P_802_2);
        to.sll_ifindex = _interfaceIndex;
        return ::sendto(_fd, frame.constData(), static_cast<size_t>(frame.size()), 0,
                        reinterpret_cast<const sockaddr *>(&to), sizeof to) == frame.size();
    }

private:
    int _fd;
    int _interfaceIndex;
};

// Packet sockets open in the calling thread's network namespace, as the kernel lists them.
int packetSocketsInNamespace()
{
    QFile list(QStringLiteral("/proc/thread-self/net/packet"));
    if (!list.open(QIODevice::ReadOnly))
        return -1;
    return static_cast<int>(list.readAll().count('\n')) - 1;
}

// Frames built by scapy, so that the layout the detector reads is checked against an
// independent encoder.
const char *scapyFrames = R"(
from scapy.all import Dot3, LLC, STP, SNAP, Padding
def bpdu(delay, proto=0):
    return Dot3(dst='01:80:c2:00:00:00', src='02:00:00:00:00:01') / \
        LLC(dsap=0x42, ssap=0x42, ctrl=3) / STP(proto=proto, fwddelay=delay)
frames = {
    'delay 15 s': bpdu(15),
    'delay 15 s padded to 60 bytes': bpdu(15) / Padding(load=bytes(8)),
    'delay 5.5 s': bpdu(5.5),
    'delay 5 s': bpdu(5),
    'delay 4.5 s': bpdu(4.5),
    'delay 4 s': bpdu(4),
    'protocol 1': bpdu(15, proto=1),
    'SNAP per-VLAN': Dot3(dst='01:00:0c:cc:cc:cd', src='02:00:00:00:00:01') /
        LLC(dsap=0xaa, ssap=0xaa, ctrl=3) / SNAP(OUI=0x00000c, code=0x010b) / STP(fwddelay=15),
}
for name, frame in frames.items():
    print(name + '=' + bytes(frame).hex())
print('40 bytes=' + bytes(bpdu(15))[:40].hex())
)";

} // namespace

class TestStpAnalyzer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void forwardDelayDecides_data();
    void forwardDelayDecides();
    void framesThatAreNotTheSwitchesBpdusAreIgnored_data();
    void framesThatAreNotTheSwitchesBpdusAreIgnored();
    void secondStartDoesNothing();
    void stopWhenIdleIsSafe();
    void unknownInterfaceIsSafe();
    void destructorStopsListening();

private:
    QByteArray boardIf() const { return _pair->boardIf().toLocal8Bit(); }
    bool sendFromPeer(const QString &frameName) const
    {
        return _peerSender->send(_frames.value(frameName));
    }

    QHash<QString, QByteArray> _frames;
    std::unique_ptr<q5test::NetnsPair> _pair;
    std::unique_ptr<FrameSender> _peerSender;
    // Declared last so that the thread leaves the namespace before the pair deletes it.
    std::unique_ptr<NamespaceEntry> _inBoard;
};

static const QString otherIf = QStringLiteral("q5oth0");
static const QString otherPeerIf = QStringLiteral("q5oth1");

void TestStpAnalyzer::initTestCase()
{
    Q5_REQUIRE_ROOT();
    Q5_REQUIRE_TOOL("ip");
    const q5test::CommandResult frames =
        q5test::run(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), scapyFrames});
    if (!frames.ok())
        QSKIP("needs python3-scapy for /usr/bin/python3");
    for (const QByteArray &line : frames.out.split('\n')) {
        const int equals = line.indexOf('=');
        if (equals > 0)
            _frames.insert(QString::fromLatin1(line.left(equals)),
                           QByteArray::fromHex(line.mid(equals + 1)));
    }
    QCOMPARE(_frames.size(), 9);

    q5test::NetnsPair::Options options;
    options.serverAddress.clear();
    _pair = std::make_unique<q5test::NetnsPair>(options);
    QVERIFY2(_pair->isValid(), qPrintable(_pair->error()));
    // A second link inside the board's namespace, for frames that must not count.
    const QString n = QStringLiteral("-n");
    QVERIFY(q5test::run(QStringLiteral("ip"), {n, _pair->boardNs(), "link", "add", otherIf, "type",
                                               "veth", "peer", "name", otherPeerIf})
                .ok());
    QVERIFY(q5test::run(QStringLiteral("ip"), {n, _pair->boardNs(), "link", "set", otherIf, "up"})
                .ok());
    QVERIFY(
        q5test::run(QStringLiteral("ip"), {n, _pair->boardNs(), "link", "set", otherPeerIf, "up"})
            .ok());

    {
        NamespaceEntry inServer(_pair->serverNs());
        QVERIFY(inServer.entered());
        _peerSender = std::make_unique<FrameSender>(_pair->serverIf());
        QVERIFY(_peerSender->isValid());
    }
    _inBoard = std::make_unique<NamespaceEntry>(_pair->boardNs());
    QVERIFY(_inBoard->entered());
}

void TestStpAnalyzer::cleanupTestCase()
{
    _inBoard.reset();
    _peerSender.reset();
    _pair.reset();
}

void TestStpAnalyzer::forwardDelayDecides_data()
{
    QTest::addColumn<QString>("frame");
    QTest::addColumn<int>("detections");
    QTest::newRow("15 s") << "delay 15 s" << 1;
    QTest::newRow("15 s in a padded frame") << "delay 15 s padded to 60 bytes" << 1;
    QTest::newRow("5.5 s") << "delay 5.5 s" << 1;
    QTest::newRow("5 s, at the threshold") << "delay 5 s" << 0;
    QTest::newRow("4.5 s") << "delay 4.5 s" << 0;
    QTest::newRow("4 s") << "delay 4 s" << 0;
}

void TestStpAnalyzer::forwardDelayDecides()
{
    QFETCH(QString, frame);
    QFETCH(int, detections);
    const int idle = packetSocketsInNamespace();
    StpAnalyzer analyzer(threshold);
    QSignalSpy detected(&analyzer, &StpAnalyzer::detected);
    analyzer.startListening(boardIf());
    QCOMPARE(packetSocketsInNamespace(), idle + 1);

    QVERIFY(sendFromPeer(frame));
    QTRY_COMPARE_WITH_TIMEOUT(packetSocketsInNamespace(), idle, 2000);
    QCOMPARE(detected.count(), detections);

    // One BPDU ends the listening period: a further one is not looked at.
    QVERIFY(sendFromPeer(QStringLiteral("delay 15 s")));
    QTest::qWait(deliveryWaitMs);
    QCOMPARE(detected.count(), detections);
}

void TestStpAnalyzer::framesThatAreNotTheSwitchesBpdusAreIgnored_data()
{
    QTest::addColumn<QString>("frame");
    QTest::addColumn<QString>("sentOn");
    QTest::newRow("40-byte frame") << "40 bytes"
                                   << "peer";
    QTest::newRow("SNAP-encapsulated") << "SNAP per-VLAN"
                                       << "peer";
    QTest::newRow("BPDU protocol 1") << "protocol 1"
                                     << "peer";
    QTest::newRow("sent by this host on the interface") << "delay 15 s"
                                                        << "own";
    QTest::newRow("arriving on another interface") << "delay 15 s"
                                                   << "other";
}

void TestStpAnalyzer::framesThatAreNotTheSwitchesBpdusAreIgnored()
{
    QFETCH(QString, frame);
    QFETCH(QString, sentOn);
    std::unique_ptr<FrameSender> localSender;
    if (sentOn != QLatin1String("peer")) {
        localSender = std::make_unique<FrameSender>(
            sentOn == QLatin1String("own") ? _pair->boardIf() : otherIf);
        QVERIFY(localSender->isValid());
    }
    const int idle = packetSocketsInNamespace();
    StpAnalyzer analyzer(threshold);
    QSignalSpy detected(&analyzer, &StpAnalyzer::detected);
    analyzer.startListening(boardIf());

    QVERIFY(localSender ? localSender->send(_frames.value(frame)) : sendFromPeer(frame));
    QTest::qWait(deliveryWaitMs);
    QCOMPARE(detected.count(), 0);
    QCOMPARE(packetSocketsInNamespace(), idle + 1);

    QVERIFY(sendFromPeer(QStringLiteral("delay 15 s")));
    QTRY_COMPARE_WITH_TIMEOUT(detected.count(), 1, 2000);
    QCOMPARE(packetSocketsInNamespace(), idle);
}

void TestStpAnalyzer::secondStartDoesNothing()
{
    const int idle = packetSocketsInNamespace();
    StpAnalyzer analyzer(threshold);
    QSignalSpy detected(&analyzer, &StpAnalyzer::detected);
    analyzer.startListening(boardIf());
    analyzer.startListening(boardIf());
    QCOMPARE(packetSocketsInNamespace(), idle + 1);

    QVERIFY(sendFromPeer(QStringLiteral("delay 15 s")));
    QTRY_COMPARE_WITH_TIMEOUT(detected.count(), 1, 2000);
    QCOMPARE(packetSocketsInNamespace(), idle);
}

void TestStpAnalyzer::stopWhenIdleIsSafe()
{
    const int idle = packetSocketsInNamespace();
    StpAnalyzer analyzer(threshold);
    QSignalSpy detected(&analyzer, &StpAnalyzer::detected);
    analyzer.stopListening();
    analyzer.startListening(boardIf());
    analyzer.stopListening();
    analyzer.stopListening();
    QCOMPARE(packetSocketsInNamespace(), idle);

    QVERIFY(sendFromPeer(QStringLiteral("delay 15 s")));
    QTest::qWait(deliveryWaitMs);
    QCOMPARE(detected.count(), 0);
}

void TestStpAnalyzer::unknownInterfaceIsSafe()
{
    const int idle = packetSocketsInNamespace();
    StpAnalyzer analyzer(threshold);
    QSignalSpy detected(&analyzer, &StpAnalyzer::detected);
    analyzer.startListening(QByteArrayLiteral("q5nosuch0"));
    QCOMPARE(packetSocketsInNamespace(), idle);
    analyzer.stopListening();

    analyzer.startListening(boardIf());
    QVERIFY(sendFromPeer(QStringLiteral("delay 15 s")));
    QTRY_COMPARE_WITH_TIMEOUT(detected.count(), 1, 2000);
}

void TestStpAnalyzer::destructorStopsListening()
{
    const int idle = packetSocketsInNamespace();
    {
        StpAnalyzer analyzer(threshold);
        analyzer.startListening(boardIf());
        QCOMPARE(packetSocketsInNamespace(), idle + 1);
    }
    QCOMPARE(packetSocketsInNamespace(), idle);
}

QTEST_GUILESS_MAIN(TestStpAnalyzer)
#include "tst_stpanalyzer.moc"
