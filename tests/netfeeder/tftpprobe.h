#pragma once
// A TFTP client of the tests' own that is driven step by step, so a test can see every block
// and can withhold, repeat or garble acknowledgements. Plain sockets, independent of the server.

#include <QByteArray>
#include <QList>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace q5test
{

struct TftpPacket {
    bool received = false;
    quint16 opcode = 0;
    quint16 number = 0; // block number or error code
    QByteArray payload; // data, or the error message without its NUL
};

class TftpProbe
{
public:
    // Takes ownership of a UDP socket (for example one made in a network namespace); without one
    // a socket of this process is used.
    explicit TftpProbe(int socketFd = -1)
        : _fd(socketFd >= 0 ? socketFd : ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
    }
    ~TftpProbe()
    {
        if (_fd >= 0)
            ::close(_fd);
    }
    TftpProbe(const TftpProbe &) = delete;
    TftpProbe &operator=(const TftpProbe &) = delete;

    bool isValid() const { return _fd >= 0; }

    void setServer(const char *address, quint16 port)
    {
        _server = sockaddr_in{};
        _server.sin_family = AF_INET;
        _server.sin_port = htons(port);
        inet_pton(AF_INET, address, &_server.sin_addr);
        _peer = _server;
    }

    bool request(quint16 opcode, const QByteArray &name, const QByteArray &mode = "octet")
    {
        _peer = _server;
        return sendRaw(number(opcode) + name + '\0' + mode + '\0');
    }
    bool readRequest(const QByteArray &name) { return request(1, name); }
    bool ack(quint16 block) { return sendRaw(number(4) + number(block)); }

    // Sends to the server's transfer address (the source of its last packet).
    bool sendRaw(const QByteArray &bytes)
    {
        return ::sendto(_fd, bytes.constData(), size_t(bytes.size()), 0,
                        reinterpret_cast<const sockaddr *>(&_peer), sizeof _peer) == bytes.size();
    }

    TftpPacket receive(int timeoutMs = 5000)
    {
        TftpPacket packet;
        pollfd p{_fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
            return packet;
        QByteArray buffer(70000, '\0');
        sockaddr_in source{};
        socklen_t length = sizeof source;
        const ssize_t n = ::recvfrom(_fd, buffer.data(), size_t(buffer.size()), 0,
                                     reinterpret_cast<sockaddr *>(&source), &length);
        if (n < 4)
            return packet;
        _peer = source;
        packet.received = true;
        packet.opcode = quint16((uchar(buffer[0]) << 8) | uchar(buffer[1]));
        packet.number = quint16((uchar(buffer[2]) << 8) | uchar(buffer[3]));
        packet.payload = buffer.mid(4, int(n) - 4);
        if (packet.opcode == 5 && packet.payload.endsWith('\0'))
            packet.payload.chop(1);
        return packet;
    }

    // Reads a whole file, acknowledging every block; the sizes of the blocks are recorded.
    // Stops at the first packet that is not the expected DATA block.
    QByteArray fetch(const QByteArray &name, QList<int> *blockSizes = nullptr, int blockSize = 512)
    {
        QByteArray content;
        if (!readRequest(name))
            return content;
        quint16 expected = 1;
        for (;;) {
            const TftpPacket packet = receive();
            if (!packet.received || packet.opcode != 3 || packet.number != expected) {
                _lastUnexpected = packet;
                return content;
            }
            content += packet.payload;
            if (blockSizes)
                blockSizes->append(int(packet.payload.size()));
            ack(packet.number);
            if (packet.payload.size() < blockSize)
                return content;
            ++expected;
        }
    }
    TftpPacket lastUnexpected() const { return _lastUnexpected; }

    static QByteArray number(quint16 value)
    {
        const char bytes[2] = {char(value >> 8), char(value & 0xff)};
        return QByteArray(bytes, 2);
    }

private:
    int _fd;
    sockaddr_in _server{};
    sockaddr_in _peer{};
    TftpPacket _lastUnexpected;
};

} // namespace q5test
