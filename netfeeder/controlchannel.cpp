#include "controlchannel.h"

#include "interfacesettings.h"
#include "tftpserver.h"

#include <QDebug>
#include <QLocalSocket>

namespace
{

constexpr int connectTimeoutMs = 2000;
constexpr int commandWaitMs = 1000;
constexpr int lineRestWaitMs = 100;
constexpr int writeWaitMs = 100;

void log(const QString &text)
{
    qDebug().noquote() << text;
}

} // namespace

ControlChannel::ControlChannel(TFTP &server, const QString &interface, const QString &serverIp,
                               FeederFlags &flags)
    : _server(server), _interface(interface), _serverIp(serverIp), _flags(flags)
{
}

void ControlChannel::run()
{
    QLocalSocket socket;
    if (!connectToMainProgram(socket))
        return;
    while (_flags.channelEnabled && !_flags.quit) {
        announceOrForgetSentFile(socket);
        if (socket.state() != QLocalSocket::ConnectedState) {
            log(QStringLiteral("[netfeeder] server closed exiting..."));
            _flags.quit = true;
            return;
        }
        if (!waitForLine(socket))
            continue;
        const QByteArray command = socket.readLine().trimmed();
        if (command.isEmpty())
            continue;
        sendLine(socket, QByteArrayLiteral("ok"));
        if (!execute(socket, command))
            return;
    }
}

bool ControlChannel::connectToMainProgram(QLocalSocket &socket)
{
    socket.connectToServer(QStringLiteral("NetfeederCommChannel"), QIODevice::ReadWrite);
    if (socket.waitForConnected(connectTimeoutMs))
        return true;
    log("Connection to the main proc failed! " + socket.errorString());
    log(QStringLiteral("IPC disabled"));
    _flags.channelEnabled = false;
    return false;
}

void ControlChannel::announceOrForgetSentFile(QLocalSocket &socket)
{
    if (!_flags.fileSent.exchange(false) || !_flags.fileNotificationWanted)
        return;
    const QByteArray name = _server.getLastFileName();
    log("sending notification for file: " + QString::fromLocal8Bit(name));
    sendLine(socket, name);
    _flags.fileNotificationWanted = false;
}

// A partial line stays buffered until its line feed arrives.
bool ControlChannel::waitForLine(QLocalSocket &socket)
{
    if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(commandWaitMs))
        return false;
    if (!socket.canReadLine())
        socket.waitForReadyRead(lineRestWaitMs);
    return socket.canReadLine();
}

bool ControlChannel::execute(QLocalSocket &socket, const QByteArray &command)
{
    if (command == "quit") {
        log(QStringLiteral("[ipc] quit"));
        _flags.quit = true;
        return false;
    }
    if (command == "1000MB") {
        const bool ok = changeSpeedTo1000MBit(_interface);
        log(ok ? QStringLiteral("[ipc] Speed 1000MB")
               : QStringLiteral("[ipc] set interface speed to 1000MB failed!"));
        sendLine(socket, okOrNok(ok));
    } else if (command == "100MB") {
        const bool ok = setInterfaceSettings(_interface, _serverIp, QStringLiteral("100"),
                                             QStringLiteral("full"));
        log(ok ? QStringLiteral("[ipc] Speed 100MB")
               : QStringLiteral("[ipc] set interface speed to 100MB failed!"));
        sendLine(socket, okOrNok(ok));
    } else if (command == "isSblUartReady") {
        const bool sent = _server.isTiboot3BinSent();
        if (sent)
            log(QStringLiteral("[ipc] SblUartReady!"));
        sendLine(socket, okOrNok(sent));
    } else if (command == "tftpBlokSize1468") {
        log(QStringLiteral("[ipc] TFTP Blocksize 1468"));
        _server.setTftpBlockSize(1468);
        sendLine(socket, QByteArrayLiteral("ok"));
    } else if (command == "notifyDHCP") {
        _flags.dhcpNotificationWanted = true;
    } else if (command == "notifyFileSend") {
        // Only a file completed after this command is announced.
        _flags.fileSent = false;
        _flags.fileNotificationWanted = true;
        _server.setError(false);
    } else if (command == "getFileSendProgress") {
        sendLine(socket, QByteArray::number(double(_flags.progress.load()), 'f', 6));
    } else if (command == "isFileTransferOk") {
        sendLine(socket, okOrNok(!_server.hasError()));
    }
    return true;
}

void ControlChannel::sendLine(QLocalSocket &socket, const QByteArray &line)
{
    socket.write(line + '\n');
    socket.waitForBytesWritten(writeWaitMs);
}

QByteArray ControlChannel::okOrNok(bool ok) const
{
    return ok ? QByteArrayLiteral("ok") : QByteArrayLiteral("nok");
}
