#include "dhcpserver.h"

#include <QDebug>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr uint16_t serverPort = 67;
constexpr int receiveBufferSize = 4096;
constexpr int maxServerNameLength = 63;
constexpr int maxBootFileLength = 127;

void log(const QString &line)
{
    qDebug().noquote() << line;
}

QString systemError()
{
    return QString::fromLocal8Bit(strerror(errno));
}

// Network byte order; 0.0.0.0 for text that is no IPv4 address.
uint32_t ipv4FromText(const QString &text)
{
    in_addr address{};
    if (inet_pton(AF_INET, text.toLatin1().constData(), &address) != 1)
        return 0;
    return address.s_addr;
}

QByteArray ipv4ToText(uint32_t networkOrder)
{
    char text[INET_ADDRSTRLEN] = {};
    in_addr address{};
    address.s_addr = networkOrder;
    inet_ntop(AF_INET, &address, text, sizeof text);
    return QByteArray(text);
}

void copyText(char *field, int maxLength, const QString &text)
{
    const QByteArray bytes = text.toUtf8().left(maxLength);
    std::memcpy(field, bytes.constData(), size_t(bytes.size()));
    field[bytes.size()] = '\0';
}

class OptionWriter
{
public:
    explicit OptionWriter(uint8_t *options) : _options(options) {}
    void add(OptionType code, const void *value, int length)
    {
        _options[_length++] = uint8_t(code);
        _options[_length++] = uint8_t(length);
        std::memcpy(_options + _length, value, size_t(length));
        _length += length;
    }
    void add(OptionType code, uint32_t networkOrder) { add(code, &networkOrder, 4); }
    void add(uint8_t code) { _options[_length++] = code; }
    int length() const { return _length; }

private:
    uint8_t *_options;
    int _length = 0;
};

// Boot-reply option 28 (broadcast address) and option 66 (TFTP server name) have no names of
// their own among the record's enumerations.
constexpr auto broadcastAddressOption = OptionType(28);
constexpr auto tftpServerNameOption = OptionType(66);
constexpr auto domainNameServersOption = OptionType(6);

int setSocketFlag(int socket, int option)
{
    const int enable = 1;
    return setsockopt(socket, SOL_SOCKET, option, &enable, sizeof enable);
}

int failSetup(int &socket, const QString &line, int exitCode)
{
    log(line);
    cleanSocket(socket);
    socket = -1;
    return exitCode;
}

} // namespace

bool initSocket()
{
    return true;
}

void cleanSocket(int socket)
{
    if (socket > 0)
        close(socket);
}

int setupDhcpSocket(const QString &interface, int &sock)
{
    sock = -1;
    if (!initSocket())
        return failSetup(sock, QStringLiteral("initSocket() failed!"), 3);
    sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return failSetup(sock, QStringLiteral("Socket creation failed"), 3);
    timeval timeout{0, 100000};
    if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) < 0)
        return failSetup(sock, QStringLiteral("Set socket option recv timeout failed"), 4);
    if (setSocketFlag(sock, SO_REUSEADDR) < 0)
        return failSetup(sock, "Set socket option reuseaddr enable failed: " + systemError(), 6);
    if (setSocketFlag(sock, SO_BROADCAST) < 0)
        return failSetup(sock, "Set socket option broadcast enable failed: " + systemError(), 5);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(serverPort);
    if (bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0)
        return failSetup(sock, "Socket bind to port failed! " + systemError(), 8);
    const QByteArray device = interface.toLocal8Bit();
    if (setsockopt(sock, SOL_SOCKET, SO_BINDTODEVICE, device.constData(),
                   socklen_t(device.size())) < 0)
        return failSetup(sock, QStringLiteral("Socket bind to device failed!"), 7);
    return 0;
}

DhcpPacket parseDhcpPacket(const uint8_t *buffer, ssize_t length)
{
    DhcpPacket packet = emptyDhcpPacket();
    if (length <= dhcpHeaderSize + 1)
        return packet;
    DhcpPacket wire;
    std::memcpy(&wire, buffer, size_t(std::min<ssize_t>(length, ssize_t(sizeof wire))));
    packet.op = wire.op;
    packet.htype = wire.htype;
    packet.hlen = wire.hlen;
    packet.hops = wire.hops;
    packet.xid = ntohl(wire.xid);
    packet.secs = ntohs(wire.secs);
    packet.flags = ntohs(wire.flags);
    packet.ciaddr = ntohl(wire.ciaddr);
    packet.yiaddr = ntohl(wire.yiaddr);
    packet.siaddr = ntohl(wire.siaddr);
    packet.giaddr = ntohl(wire.giaddr);
    std::memcpy(packet.chaddr, wire.chaddr, sizeof packet.chaddr);
    std::memcpy(packet.sname, wire.sname, sizeof packet.sname);
    std::memcpy(packet.file, wire.file, sizeof packet.file);
    std::memcpy(packet.magicCookie, wire.magicCookie, sizeof packet.magicCookie);
    const ssize_t optionBytes = std::min<ssize_t>(length - dhcpHeaderSize, dhcpOptionsSize);
    std::memcpy(packet.options, buffer + dhcpHeaderSize, size_t(optionBytes));
    return packet;
}

int generateBootReply(const DhcpPacket &request, const QString &offeredIp, const QString &bootFile,
                      const QString &serverIp, const QString &serverName, DhcpPacket &reply)
{
    const uint32_t server = ipv4FromText(serverIp);
    const uint32_t broadcast = server | htonl(0x000000ff);
    const uint32_t netmask = htonl(0xffffff00);

    reply.op = uint8_t(OpType::BOOTREPLY);
    reply.htype = request.htype;
    reply.hlen = request.hlen;
    reply.hops = 0;
    reply.xid = htonl(request.xid);
    reply.secs = 0;
    reply.flags = htons(request.flags);
    reply.ciaddr = htonl(request.ciaddr);
    reply.yiaddr = ipv4FromText(offeredIp);
    reply.siaddr = server;
    reply.giaddr = htonl(request.giaddr);
    std::memset(reply.chaddr, 0, sizeof reply.chaddr);
    std::memcpy(reply.chaddr, request.chaddr, std::min<size_t>(request.hlen, sizeof reply.chaddr));
    copyText(reply.sname, maxServerNameLength, serverName);
    copyText(reply.file, maxBootFileLength, bootFile);
    const uint8_t cookie[4] = {99, 130, 83, 99};
    std::memcpy(reply.magicCookie, cookie, sizeof cookie);

    const QByteArray tftpServerName = ipv4ToText(server);
    const uint8_t offer = uint8_t(DhcpMessageType::DHCPOFFER);
    OptionWriter options(reply.options);
    options.add(OptionType::DHCP_MESSAGE_TYPE, &offer, 1);
    options.add(OptionType::SUBNET_MASK, netmask);
    options.add(broadcastAddressOption, broadcast);
    options.add(domainNameServersOption, server);
    options.add(OptionType::ROUTERS, server);
    options.add(tftpServerNameOption, tftpServerName.constData(), int(tftpServerName.size()));
    options.add(uint8_t(OptionType::END));
    return dhcpHeaderSize + options.length();
}

int dhcpServerRun(int socket, const QString &offeredIp, const QString &bootFile,
                  const QString &serverIp, const QString &serverName)
{
    uint8_t buffer[receiveBufferSize];
    sockaddr_in source{};
    socklen_t sourceLength = sizeof source;
    const ssize_t received = recvfrom(socket, buffer, sizeof buffer, 0,
                                      reinterpret_cast<sockaddr *>(&source), &sourceLength);
    if (received < 0)
        return -9;
    log(QStringLiteral("[feederdhcp] Packet received"));

    const DhcpPacket request = parseDhcpPacket(buffer, received);
    log("[feederdhcp] " + describeDhcpPacket(request));
    DhcpPacket reply = emptyDhcpPacket();
    const int length = generateBootReply(request, offeredIp, bootFile, serverIp, serverName, reply);

    sockaddr_in destination = source;
    destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    const ssize_t sent = sendto(socket, &reply, size_t(length), 0,
                                reinterpret_cast<sockaddr *>(&destination), sizeof destination);
    if (sent != length) {
        log("Send reply failed! " + systemError());
        return -11;
    }
    return 0;
}
