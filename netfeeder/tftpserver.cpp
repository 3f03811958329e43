#include "tftpserver.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFileInfo>
#include <QMutexLocker>
#include <QNetworkProxy>
#include <QUdpSocket>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

constexpr int ackTimeoutMs = 2000;
constexpr int sendTries = 3;
constexpr int headerSize = 4;
constexpr int partCount = 10;
constexpr qint64 sectorSize = 512;
const QByteArray splitFileName = QByteArrayLiteral("uniflash");
const QByteArray tiboot3FileName = QByteArrayLiteral("tiboot3.bin");

void logTagged(const QString &text)
{
    qDebug().noquote() << "[feedertftp]" << text;
}
void log(const QString &text)
{
    qDebug().noquote() << text;
}

quint16 readNumber(const char *bytes)
{
    return quint16((uchar(bytes[0]) << 8) | uchar(bytes[1]));
}

void writeNumber(char *bytes, quint16 value)
{
    bytes[0] = char(value >> 8);
    bytes[1] = char(value & 0xff);
}

// The decimal number that follows the first "uniflash"; -1 unless it names one of the ten parts
// (anything else would be served from past the end of the image).
int partIndexOf(const QByteArray &requested)
{
    const QByteArray rest = requested.mid(requested.indexOf(splitFileName) + splitFileName.size());
    int digits = 0;
    while (digits < rest.size() && rest.at(digits) >= '0' && rest.at(digits) <= '9')
        ++digits;
    bool ok = false;
    const int index = digits > 0 && digits <= 9 ? rest.left(digits).toInt(&ok) : -1;
    return ok && index < partCount ? index : -1;
}

QString printable(const QByteArray &bytes)
{
    QByteArray text = bytes;
    text.replace('\0', ' ');
    return QString::fromLatin1(text);
}

} // namespace

TFTP::TFTP(quint16 port, int blockSize, const QString &directory)
    : _port(port), _directory(directory), _blockSize(blockSize),
      _bufferSize(blockSize + headerSize), _requestedBlockSize(blockSize)
{
}

TFTP::~TFTP()
{
    stop();
}

void TFTP::setCommandWaitTimeout(quint32 milliseconds)
{
    _commandWaitTimeout = milliseconds;
}
void TFTP::setTIMode(bool on)
{
    _tiMode = on;
}
void TFTP::setTftpBlockSize(int blockSize)
{
    _requestedBlockSize = blockSize;
}
void TFTP::setError(bool error)
{
    _error = error;
}
void TFTP::setProgressUpdateCallback(std::function<void(float)> hook)
{
    _progressHook = std::move(hook);
}
void TFTP::setOnReadSuccess(std::function<void(const QByteArray &)> hook)
{
    _readSuccessHook = std::move(hook);
}

float TFTP::getProgress() const
{
    return _progress;
}

QByteArray TFTP::getLastFileName() const
{
    QMutexLocker locker(&_lastFileNameLock);
    return _lastFileName;
}

bool TFTP::isTiboot3BinSent()
{
    return _tiboot3Sent.exchange(false);
}
bool TFTP::hasError()
{
    return _error.exchange(false);
}

int TFTP::start()
{
    if (_socket) {
        logTagged(QStringLiteral("already started!"));
        return 0;
    }
    _socket = std::make_unique<QUdpSocket>();
    // The board sits on the local link; asking for a system proxy would only start a resolver
    // thread.
    _socket->setProxy(QNetworkProxy::NoProxy);
    _packetBuffer.resize(_bufferSize);
    if (!_socket->bind(QHostAddress::AnyIPv4, _port,
                       QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint)) {
        logTagged(QStringLiteral("binding error"));
        qWarning().noquote() << "[feedertftp]" << _socket->errorString();
        _socket.reset();
        return -5;
    }
    _socket->flush();
    logTagged(QStringLiteral("Started on port %1, blocksize %2, directory %3")
                  .arg(_port)
                  .arg(_blockSize)
                  .arg(_directory.absolutePath()));
    return 0;
}

void TFTP::stop()
{
    if (!_socket)
        return;
    logTagged(QStringLiteral("Stopped"));
    _socket.reset();
    _packetBuffer.clear();
}

void TFTP::adoptRequestedBlockSize()
{
    const int requested = _requestedBlockSize;
    if (requested == _blockSize)
        return;
    _blockSize = requested;
    _bufferSize = requested + headerSize;
    _packetBuffer.resize(_bufferSize);
}

int TFTP::run(bool)
{
    if (!_socket)
        return -1;
    adoptRequestedBlockSize();
    if (!_socket->waitForReadyRead(int(_commandWaitTimeout)))
        return -12;
    log(QStringLiteral("[feedertftp] Packet received"));
    if (!_socket->hasPendingDatagrams()) {
        logTagged(QStringLiteral("No datagram inside received packat!!!"));
        return -1;
    }
    _lastDatagramLength =
        _socket->readDatagram(_packetBuffer.data(), _bufferSize, &_peerAddress, &_peerPort);
    if (_lastDatagramLength < 0)
        _lastDatagramLength = 0;
    logTagged(
        QStringLiteral("Received packet from %1:%2").arg(_peerAddress.toString()).arg(_peerPort));
    logTagged("Data:" + printable(_packetBuffer.left(int(_lastDatagramLength))));
    return parseRq();
}

int TFTP::parseRq()
{
    const quint16 opcode = _lastDatagramLength >= 2 ? readNumber(_packetBuffer.constData()) : 0;
    switch (opcode) {
    case RRQ: {
        if (!parseRrq(requestedFileName()))
            return 0;
        const int result = processRead();
        onClose();
        return result;
    }
    case WRQ:
        parseWrq(requestedFileName());
        return 0;
    default:
        logTagged(QStringLiteral("unknown command %1").arg(opcode));
        return 0;
    }
}

QByteArray TFTP::requestedFileName() const
{
    const QByteArray request = _packetBuffer.left(int(_lastDatagramLength)).mid(2);
    const int end = request.indexOf('\0');
    return end < 0 ? request : request.left(end);
}

bool TFTP::parseRrq(const QByteArray &fileName)
{
    if (onRead(fileName.constData()) < 0) {
        logTagged("failed to open file " + QString::fromLocal8Bit(fileName) + " for reading");
        // Set before the board hears of it, so a query that follows the refusal sees it.
        _error = true;
        sendError(1, QByteArrayLiteral("cannot open file"));
        return false;
    }
    logTagged("sending file: " + QString::fromLocal8Bit(fileName));
    return true;
}

bool TFTP::parseWrq(const QByteArray &fileName)
{
    if (onWrite(fileName.constData()) < 0) {
        logTagged("failed to open file " + QString::fromLocal8Bit(fileName) + " for writing");
        sendError(2, QByteArrayLiteral("cannot open file"));
        return false;
    }
    return true;
}

int TFTP::onWrite(const char *fileName)
{
    log("onWrite(): " + QString::fromLocal8Bit(fileName));
    return -10;
}

qint64 TFTP::onReadData(char *buffer, qint64 size)
{
    return _file.read(buffer, size);
}

void TFTP::onClose()
{
    _file.close();
}

int TFTP::onRead(const char *fileName)
{
    _file.close();
    _splitMode = false;
    const QByteArray requested(fileName);
    _openedPath = _directory.absoluteFilePath(QString::fromLocal8Bit(requested));
    if (requested.contains(splitFileName))
        return openSplitPart(requested);
    return openPlainFile(requested);
}

// Opens `name` relative to the served directory. The process runs with administrator rights and
// the directory belongs to the user, so the kernel resolves the name: nothing that leads out of
// the directory (.., absolute paths, symbolic links pointing elsewhere) and only regular files.
int TFTP::openInDirectory(const QByteArray &name)
{
    const QByteArray directory = QFile::encodeName(_directory.absolutePath());
    const int directoryFd = ::open(directory.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd < 0)
        return -1;
    open_how how{};
    how.flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const int fd = int(syscall(SYS_openat2, directoryFd, name.constData(), &how, sizeof how));
    const int openError = errno;
    ::close(directoryFd);
    if (fd < 0) {
        errno = openError;
        return -1;
    }
    struct stat status {
    };
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

int TFTP::openPlainFile(const QByteArray &requested)
{
    const int fd = openInDirectory(requested);
    if (fd < 0 || !_file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        qWarning().noquote() << "[feedertftp] refusing" << requested << ":" << strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    logTagged("current file is now: " + QString::fromLocal8Bit(requested));
    return 0;
}

int TFTP::openSplitPart(const QByteArray &requested)
{
    log(QStringLiteral("[feedertftp] file mode is uniflash!"));
    const int partIndex = partIndexOf(requested);
    if (partIndex < 0) {
        qWarning().noquote() << "[feedertftp] no part number 0 to 9 in" << requested;
        return -1;
    }
    _partIndex = partIndex;
    _openedPath = _directory.absoluteFilePath(QString::fromLatin1(splitFileName));

    log("opening: " + _openedPath);
    const int fd = openInDirectory(splitFileName);
    if (fd < 0 || !_file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        logTagged("file open failed: " + QString::fromLocal8Bit(strerror(errno)));
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    const qint64 fileSize = _file.size();
    _splitModeSize = quint32(fileSize / partCount);
    logTagged(QStringLiteral("current file is now: %1 with offset: %2 filesize: %3 partsize: %4")
                  .arg(QString::fromLocal8Bit(requested))
                  .arg(_partIndex)
                  .arg(fileSize)
                  .arg(_splitModeSize));
    if (_splitModeSize % sectorSize != 0) {
        log(QStringLiteral("image part size not multiples of 512 this cannot write to mmc"));
        _file.close();
        return -4;
    }
    if (_splitModeSize == 0) {
        qWarning().noquote() << "[feedertftp] image too small to be split into ten parts";
        _file.close();
        return -4;
    }
    if (!_file.seek(qint64(_splitModeSize) * _partIndex))
        log(QStringLiteral("set file offset failed!"));
    _splitMode = true;
    return 0;
}

qint64 TFTP::readBlockInto(char *data, qint64 bytesSent)
{
    qint64 wanted = _blockSize;
    if (_splitMode) {
        wanted = std::min<qint64>(wanted, std::max<qint64>(qint64(_splitModeSize) - bytesSent, 0));
        if (wanted == 0) {
            _splitMode = false;
            return 0;
        }
    }
    return std::max<qint64>(onReadData(data, wanted), 0);
}

int TFTP::processRead()
{
    log(QStringLiteral("process read loop started"));
    const bool splitTransfer = _splitMode;
    _fileSize = _file.size();
    const qint64 partOffset = splitTransfer ? qint64(_splitModeSize) * _partIndex : 0;
    quint16 blockNumber = 1;
    qint64 bytesSent = 0;
    for (;;) {
        char *packet = _packetBuffer.data();
        writeNumber(packet, DATA);
        writeNumber(packet + 2, blockNumber);
        const qint64 dataLength = readBlockInto(packet + headerSize, bytesSent);
        const bool lastBlock = dataLength < _blockSize;

        if (!sendBlock(QByteArray::fromRawData(packet, int(headerSize + dataLength)), lastBlock,
                       blockNumber))
            return -1;

        if (_progressHook)
            _progressHook(_progress);
        bytesSent += dataLength;
        _progress = progressAfter(partOffset + bytesSent);
        if (lastBlock)
            break;
        ++blockNumber;
    }
    finishTransfer(bytesSent);
    return 0;
}

float TFTP::progressAfter(qint64 bytesSent) const
{
    const qint64 fileSize = _fileSize;
    // An empty file is complete as soon as its one empty block is through.
    return fileSize > 0 ? float(double(bytesSent) / double(fileSize)) : 1.0f;
}

bool TFTP::sendBlock(const QByteArray &packet, bool lastBlock, quint16 blockNumber)
{
    for (int attempt = 1; attempt <= sendTries; ++attempt) {
        const qint64 sent = _socket->writeDatagram(packet, _peerAddress, _peerPort);
        if (sent != packet.size()) {
            logPacketState(packet, sent);
            return false;
        }
        if (waitForAck(blockNumber))
            return true;
        log(QStringLiteral("No ack/wrong ack, retrying"));
        if (lastBlock && _tiMode) {
            log(QStringLiteral("TI Mode skipping last ack!"));
            return true;
        }
    }
    return false;
}

void TFTP::logPacketState(const QByteArray &packet, qint64 sent) const
{
    log(QStringLiteral("_splittedFileMode: ") +
        (_splitMode ? QStringLiteral("true") : QStringLiteral("false")));
    log(QStringLiteral("_tftpBlokSize: %1").arg(_blockSize));
    log(QStringLiteral("_splitModeSize: %1").arg(_splitModeSize));
    log(QStringLiteral("totalSize: %1").arg(_file.size()));
    log(QStringLiteral("sendSize: %1").arg(packet.size()));
    log(QStringLiteral("Extended block size request reject failed! Expected %1 got %2")
            .arg(packet.size())
            .arg(sent));
    qWarning().noquote() << "[feedertftp]" << _socket->errorString();
}

bool TFTP::waitForAck(quint16 blockNumber)
{
    const QDeadlineTimer deadline(ackTimeoutMs);
    for (;;) {
        if (!_socket->waitForReadyRead(int(deadline.remainingTime())))
            return false;
        char ack[headerSize];
        QHostAddress sender;
        quint16 senderPort = 0;
        // Read straight away rather than asking first whether a datagram is there: one system
        // call less for every block.
        const qint64 length = _socket->readDatagram(ack, headerSize, &sender, &senderPort);
        if (length < 0 && _socket->error() == QAbstractSocket::TemporaryError) {
            logTagged(QStringLiteral("No datagram inside received packat!!!"));
            return true;
        }
        if (length < 0) {
            // A socket error (such as a port-unreachable notice about an earlier peer) is no
            // answer from this one.
            qWarning().noquote() << "[feedertftp] receive failed:" << _socket->errorString();
            return false;
        }
        const quint16 opcode = length >= 2 ? readNumber(ack) : 0;
        // Clients that time out quickly repeat their request while the first block is on its
        // way; the repeat is no reason to break off the transfer.
        if (opcode == RRQ && sender == _peerAddress && senderPort == _peerPort) {
            logTagged(QStringLiteral("ignoring repeated read request"));
            continue;
        }
        _peerAddress = sender;
        _peerPort = senderPort;
        if (length < headerSize || opcode != ACK) {
            logTagged(QStringLiteral("received wrong ack packet: %1").arg(opcode));
            sendError(0, QByteArrayLiteral("incorrect ack"));
            return true;
        }
        if (readNumber(ack + 2) != blockNumber) {
            logTagged(QStringLiteral("received ack not in order"));
            return false;
        }
        return true;
    }
}

void TFTP::sendError(quint16 code, const QByteArray &message)
{
    QByteArray packet(headerSize, '\0');
    writeNumber(packet.data(), ERROR);
    writeNumber(packet.data() + 2, code);
    packet += message;
    packet += '\0';
    const qint64 sent = _socket->writeDatagram(packet, _peerAddress, _peerPort);
    if (sent != packet.size())
        log(QStringLiteral("Extended block size request reject failed! Expected %1 got %2")
                .arg(packet.size())
                .arg(sent));
}

void TFTP::finishTransfer(qint64 bytesSent)
{
    QByteArray name = QFile::encodeName(QFileInfo(_openedPath).fileName());
    if (name == splitFileName) {
        name += QByteArray::number(_partIndex);
        log("_lastFileName: " + QString::fromLocal8Bit(name));
    }
    {
        QMutexLocker locker(&_lastFileNameLock);
        _lastFileName = name;
    }
    logTagged(
        QStringLiteral("Sent file %1(%2 bytes )").arg(QString::fromLocal8Bit(name)).arg(bytesSent));
    if (name == tiboot3FileName)
        _tiboot3Sent = true;
    if (_readSuccessHook)
        _readSuccessHook(name);
}
