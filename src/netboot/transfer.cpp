#include "transfer.h"

#include "crc16-xmodem.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QtDebug>

namespace
{

constexpr char SOH = 0x01;
constexpr char EOT = 0x04;
constexpr char ACK = 0x06;
constexpr char NAK = 0x15;
constexpr char CRC_REQUEST = 'C';

constexpr int blockSize = 128;
constexpr char paddingByte = char(0x80);
constexpr int writeTimeoutMs = 30000;
constexpr int replyTimeoutMs = 5000;
// A receiver that keeps refusing one block will not take it on a further try either.
constexpr int maxRefusalsPerBlock = 10;
// Waits are cut into slices so that cancel() takes effect quickly.
constexpr int waitSliceMs = 100;

QByteArray checkField(const QByteArray &data, Transfer::CheckMode mode)
{
    if (mode == Transfer::CheckMode::Checksum) {
        unsigned sum = 0;
        for (char byte : data)
            sum += static_cast<unsigned char>(byte);
        return QByteArray(1, static_cast<char>(sum & 0xff));
    }
    const uint16_t crc = crc_update(0, data.constData(), static_cast<std::size_t>(data.size()));
    const char bytes[] = {static_cast<char>(crc >> 8), static_cast<char>(crc & 0xff)};
    return QByteArray(bytes, 2);
}

QByteArray blockPacket(quint32 block, const QByteArray &data, Transfer::CheckMode mode)
{
    const auto number = static_cast<unsigned char>(block % 256);
    QByteArray packet;
    packet.reserve(3 + blockSize + 2);
    packet.append(SOH);
    packet.append(static_cast<char>(number));
    packet.append(static_cast<char>(255 - number));
    packet.append(data);
    packet.append(checkField(data, mode));
    return packet;
}

// Fills a short last block PKCS#7-style: n missing bytes are n bytes of value n.
void padBlock(QByteArray &data)
{
    const int missing = blockSize - static_cast<int>(data.size());
    if (missing > 0)
        data.append(missing, static_cast<char>(missing));
}

} // namespace

Transfer::Transfer(const QString &, int, const QString &filePath, QObject *parent)
    : QThread(parent), _filePath(filePath)
{
}

Transfer::~Transfer()
{
    _cancelled = true;
    wait(QDeadlineTimer(writeTimeoutMs + replyTimeoutMs));
}

bool Transfer::setSerialPortAndConfigure(const QString &portName, quint32 baudRate)
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports) {
        if (port.portName() == portName) {
            _portName = portName;
            _portLocation = port.systemLocation();
            _baudRate = baudRate;
            return true;
        }
    }
    qWarning() << "Transfer: no serial port named" << portName;
    return !_portLocation.isEmpty();
}

bool Transfer::setSerialDeviceAndConfigure(const QString &devicePath, quint32 baudRate)
{
    if (!QFileInfo::exists(devicePath)) {
        qWarning() << "Transfer: no device" << devicePath;
        return !_portLocation.isEmpty();
    }
    _portName = devicePath;
    _portLocation = QFileInfo(devicePath).absoluteFilePath();
    _baudRate = baudRate;
    return true;
}

void Transfer::setFilePath(const QString &filePath)
{
    _filePath = filePath;
}

void Transfer::setPkcsPadding(bool enabled)
{
    _pkcsPadding = enabled;
}

void Transfer::setStartTimeout(int milliseconds)
{
    _startTimeoutMs = milliseconds;
}

void Transfer::launch()
{
    start(QThread::InheritPriority);
}

void Transfer::cancel()
{
    _cancelled = true;
    emit transferFailed(tr("Transfer cancelled"));
}

void Transfer::run()
{
    emit updateProgress(0.0f);
    if (_portLocation.isEmpty()) {
        _fail(tr("Cannot find serial port!"));
        emit updateProgress(1.0f);
        return;
    }

    bool completed = false;
    {
        QSerialPort port;
        QFile file(_filePath);
        _openPort(port);
        if (!file.open(QIODevice::ReadOnly)) {
            qWarning() << "Transfer: cannot open" << _filePath << file.errorString();
            _fail(tr("Unable to open file: %1").arg(_filePath));
        }
        if (!_failed)
            completed = _sendBlocks(port, file);
        file.close();
        port.close();
    }
    _portName.clear();
    _portLocation.clear();

    emit updateProgress(1.0f);
    if (completed && !_cancelled)
        emit transferCompleted();
}

bool Transfer::_openPort(QSerialPort &port)
{
    port.setPortName(_portLocation);
    port.setBaudRate(static_cast<qint32>(_baudRate));
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
    if (!port.open(QIODevice::ReadWrite)) {
        qWarning() << "Transfer: cannot open" << _portLocation << port.errorString();
        _fail(tr("Unable to open port: %1").arg(_portName));
        return false;
    }
    // Not every line has modem-control signals (a pty has none); the transfer works without.
    if (!port.setDataTerminalReady(true) || !port.setRequestToSend(true))
        qDebug() << "Transfer: cannot assert DTR/RTS on" << _portLocation << port.errorString();
    port.clearError();
    return true;
}

bool Transfer::_sendBlocks(QSerialPort &port, QFile &file)
{
    const qint64 fileSize = file.size();
    bool paddingPending = _pkcsPadding && fileSize % blockSize == 0;
    const std::optional<CheckMode> mode = _waitForStartByte(port);
    if (!mode)
        return false;

    quint32 block = 1;
    int refusals = 0;
    for (;;) {
        QByteArray packet;
        bool paddingBlock = false;
        if (!file.atEnd()) {
            QByteArray data;
            if (!_readBlockData(file, data))
                return false;
            packet = blockPacket(block, data, *mode);
        } else if (paddingPending) {
            packet = blockPacket(block, QByteArray(blockSize, paddingByte), *mode);
            paddingBlock = true;
        } else {
            return _endTransmission(port);
        }

        const std::optional<char> reply = _exchange(port, packet);
        if (!reply) {
            _failUnlessCancelled(tr("Status timeout"));
            emit updateProgress(_progress(block - 1, fileSize));
            return false;
        }
        if (*reply == ACK) {
            if (paddingBlock)
                paddingPending = false;
            ++block;
            refusals = 0;
        } else {
            qDebug() << "Transfer: block" << block << "answered with" << Qt::hex
                     << static_cast<unsigned char>(*reply) << ", sending it again";
            if (++refusals > maxRefusalsPerBlock) {
                _fail(tr("Block %1 was refused %2 times").arg(block).arg(refusals));
                emit updateProgress(_progress(block - 1, fileSize));
                return false;
            }
            if (!paddingBlock)
                file.seek(static_cast<qint64>(block - 1) * blockSize);
        }
        emit updateProgress(_progress(block - 1, fileSize));
    }
}

// Receivers differ in how they close: some acknowledge the first EOT, others refuse it and
// acknowledge only a repeated one (and drop whatever else was queued behind the first). One EOT at
// a time, repeated on NAK, satisfies both. Every data block is acknowledged by now, so any answer
// ends the transfer; only a receiver that never answers at all makes it fail.
bool Transfer::_endTransmission(QSerialPort &port)
{
    for (int attempt = 0;; ++attempt) {
        const std::optional<char> reply = _exchange(port, QByteArray(1, EOT));
        if (!reply && (attempt == 0 || _cancelled)) {
            _failUnlessCancelled(tr("Status timeout"));
            return false;
        }
        if (!reply || *reply != NAK || attempt == maxRefusalsPerBlock) {
            if (!reply || *reply != ACK)
                qDebug() << "Transfer: end of transmission not acknowledged, taking it as done";
            return true;
        }
    }
}

std::optional<char> Transfer::_exchange(QSerialPort &port, const QByteArray &packet)
{
    // Anything that arrived before this packet went out (repeated start requests, noise) is no
    // answer to it, and reading it as one would put every later reply off by one.
    port.clear(QSerialPort::Input);
    port.write(packet);
    port.waitForBytesWritten(writeTimeoutMs);
    return _readByte(port, replyTimeoutMs);
}

std::optional<Transfer::CheckMode> Transfer::_waitForStartByte(QSerialPort &port)
{
    const std::optional<char> start = _readByte(port, _startTimeoutMs);
    if (!start) {
        _failUnlessCancelled(tr("Timeout"));
        return std::nullopt;
    }
    if (*start == CRC_REQUEST)
        return CheckMode::Crc;
    if (*start == NAK)
        return CheckMode::Checksum;
    const QString hex = QString::number(static_cast<unsigned char>(*start), 16);
    _fail(tr("Incorrect start of XMODEM transmission (0x%1)").arg(hex));
    return std::nullopt;
}

std::optional<char> Transfer::_readByte(QSerialPort &port, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (port.bytesAvailable() == 0) {
        if (_cancelled || deadline.hasExpired() || port.error() == QSerialPort::ResourceError)
            return std::nullopt;
        port.waitForReadyRead(
            static_cast<int>(qMin<qint64>(deadline.remainingTime(), waitSliceMs)));
    }
    char byte = 0;
    port.getChar(&byte);
    return byte;
}

bool Transfer::_readBlockData(QFile &file, QByteArray &data)
{
    data = file.read(blockSize);
    // Only the end of the file may cut a block short; anything else would send padding in
    // place of data.
    if (file.error() != QFileDevice::NoError || (data.size() < blockSize && !file.atEnd())) {
        qWarning() << "Transfer: cannot read" << _filePath << file.errorString();
        _fail(tr("Unable to read file: %1").arg(_filePath));
        return false;
    }
    padBlock(data);
    return true;
}

float Transfer::_progress(quint32 blocksAcknowledged, qint64 fileSize) const
{
    if (fileSize == 0)
        return blocksAcknowledged > 0 ? 1.0f : 0.0f;
    const qint64 sent = qMin<qint64>(static_cast<qint64>(blocksAcknowledged) * blockSize, fileSize);
    return static_cast<float>(sent) / static_cast<float>(fileSize);
}

void Transfer::_fail(const QString &reason)
{
    _failed = true;
    emit transferFailed(reason);
}

void Transfer::_failUnlessCancelled(const QString &reason)
{
    if (_cancelled) {
        _failed = true;
        return;
    }
    _fail(reason);
}
