#include "stpanalyzer.h"

#include <QtDebug>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// Ethernet header, LLC header and a configuration BPDU up to and including the forward delay.
constexpr std::size_t examinedLength = 52;
constexpr std::size_t dsapOffset = 14;
constexpr std::size_t ssapOffset = 15;
constexpr std::size_t protocolOffset = 17;
constexpr std::size_t forwardDelayOffset = 50;
constexpr unsigned char spanningTreeSap = 0x42;

const unsigned char bridgeGroupAddress[ETH_ALEN] = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x00};
const unsigned char perVlanSpanningTreeAddress[ETH_ALEN] = {0x01, 0x00, 0x0C, 0xCC, 0xCC, 0xCD};

bool isSpanningTreeBpdu(const unsigned char *frame)
{
    return frame[dsapOffset] == spanningTreeSap && frame[ssapOffset] == spanningTreeSap &&
           frame[protocolOffset] == 0 && frame[protocolOffset + 1] == 0;
}

// BPDU timers are big-endian counts of 1/256 s: the first byte holds the whole seconds.
int forwardDelayIn256ths(const unsigned char *frame)
{
    return frame[forwardDelayOffset] * 256 + frame[forwardDelayOffset + 1];
}

void joinMulticastGroup(int socket, int interfaceIndex, const unsigned char *address)
{
    packet_mreq membership{};
    membership.mr_ifindex = interfaceIndex;
    membership.mr_type = PACKET_MR_MULTICAST;
    membership.mr_alen = ETH_ALEN;
    std::memcpy(membership.mr_address, address, ETH_ALEN);
    setsockopt(socket, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &membership, sizeof membership);
}

} // namespace

StpAnalyzer::StpAnalyzer(int threshold, QObject *parent) : QObject(parent), _threshold(threshold) {}

StpAnalyzer::~StpAnalyzer()
{
    stopListening();
}

void StpAnalyzer::startListening(const QByteArray &interfaceName)
{
    if (_socket >= 0)
        return;

    const unsigned interfaceIndex = if_nametoindex(interfaceName.constData());
    if (interfaceIndex == 0) {
        qDebug() << "StpAnalyzer: no interface named" << interfaceName;
        return;
    }
    // Opened with protocol 0, which delivers nothing, then bound to the one interface with the
    // 802.2 protocol: an unbound socket would also take BPDUs arriving on the host's other links
    // (local bridges, virtual machines), which say nothing about the switch towards the board.
    _socket = socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (_socket < 0) {
        qDebug() << "StpAnalyzer: cannot open a packet socket:" << std::strerror(errno);
        return;
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_802_2);
    address.sll_ifindex = static_cast<int>(interfaceIndex);
    if (bind(_socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        qDebug() << "StpAnalyzer: cannot bind to" << interfaceName << std::strerror(errno);
        close(_socket);
        _socket = -1;
        return;
    }
    joinMulticastGroup(_socket, address.sll_ifindex, bridgeGroupAddress);
    joinMulticastGroup(_socket, address.sll_ifindex, perVlanSpanningTreeAddress);

    _notifier = new QSocketNotifier(_socket, QSocketNotifier::Read, this);
    connect(_notifier, &QSocketNotifier::activated, this, &StpAnalyzer::onPacket);
}

void StpAnalyzer::stopListening()
{
    if (_socket < 0)
        return;
    // Deferred: this may run inside the notifier's own activation.
    _notifier->setEnabled(false);
    _notifier->deleteLater();
    _notifier = nullptr;
    close(_socket);
    _socket = -1;
}

void StpAnalyzer::onPacket(QSocketDescriptor, QSocketNotifier::Type)
{
    unsigned char frame[examinedLength] = {};
    const ssize_t length = recvfrom(_socket, frame, sizeof frame, 0, nullptr, nullptr);
    if (length != static_cast<ssize_t>(examinedLength) || !isSpanningTreeBpdu(frame))
        return;

    const bool tooSlow = forwardDelayIn256ths(frame) > _threshold * 256;
    qDebug() << "StpAnalyzer: BPDU with forward delay" << forwardDelayIn256ths(frame) / 256.0
             << "s";
    // Stopped before signalling, so that a receiver may restart or delete the detector.
    stopListening();
    if (tooSlow)
        emit detected();
}
