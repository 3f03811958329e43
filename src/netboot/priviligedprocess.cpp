#include "priviligedprocess.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>

namespace
{

constexpr int connectionWaitMs = 10000;
constexpr int acknowledgementWaitMs = 1000;
constexpr int commandSendWaitMs = 1000;

} // namespace

PriviligedProcess::PriviligedProcess(QObject *parent)
    : QObject(parent), _server(new QLocalServer(this))
{
    connect(_server, &QLocalServer::newConnection, this, &PriviligedProcess::onNewConnection);
}

PriviligedProcess::~PriviligedProcess()
{
    if (_process.state() != QProcess::NotRunning) {
        _process.kill();
        _process.waitForFinished(1000);
    }
    _dropConnection();
    _server->close();
}

void PriviligedProcess::setArguments(const QStringList &arguments)
{
    _arguments = arguments;
    _process.setProcessChannelMode(QProcess::ForwardedChannels);
}

void PriviligedProcess::start()
{
    _process.start(QStringLiteral("pkexec"), _arguments, QIODevice::ReadWrite);
}

bool PriviligedProcess::waitForFinished(int milliseconds)
{
    return _process.waitForFinished(milliseconds);
}

QProcess::ExitStatus PriviligedProcess::exitStatus() const
{
    return _process.exitStatus();
}

void PriviligedProcess::kill()
{
    _process.kill();
}

QProcess *PriviligedProcess::getQProcess()
{
    return &_process;
}

bool PriviligedProcess::startCommunicationChannel(const QByteArray &channelName)
{
    _channelName = channelName;
    const QString name = QString::fromLatin1(channelName);
    QLocalServer::removeServer(name);
    // Only this user (and the administrator the child runs as) may connect.
    _server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!_server->listen(name)) {
        qWarning() << "local server listen failed:" << _server->errorString();
        return false;
    }
    return true;
}

bool PriviligedProcess::waitForCommunicationChannelReady()
{
    if (!_server->hasPendingConnections() && !_server->waitForNewConnection(connectionWaitMs))
        return false;
    _dropConnection();
    _connection = _server->nextPendingConnection();
    return _connection != nullptr;
}

void PriviligedProcess::onNewConnection() {}

void PriviligedProcess::_dropConnection()
{
    if (!_connection)
        return;
    _connection->close();
    delete _connection;
    _connection = nullptr;
}

bool PriviligedProcess::sendMessage(const QByteArray &line, int timeoutMs)
{
    if (!_connection) {
        qDebug() << "no peer found: " << line;
        return false;
    }
    _connection->write(line + '\n');
    const QDeadlineTimer deadline(timeoutMs);
    while (_connection->bytesToWrite() > 0) {
        if (!_connection->waitForBytesWritten(int(deadline.remainingTime()))) {
            qDebug() << "send failed: " << _connection->errorString();
            return false;
        }
    }
    // A file notice can precede the acknowledgement when it was sent just before the command
    // was read; it is no answer to this command.
    const QDeadlineTimer ackDeadline(acknowledgementWaitMs);
    for (;;) {
        const QByteArray reply = recvMessage(int(ackDeadline.remainingTime()));
        if (reply == "ok")
            return true;
        if (reply.isEmpty())
            return false;
        qDebug() << "discarding unsolicited line:" << reply;
    }
}

bool PriviligedProcess::_waitForLine(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!_connection->canReadLine()) {
        if (deadline.hasExpired() || !_connection->waitForReadyRead(int(deadline.remainingTime())))
            return false;
    }
    return true;
}

QByteArray PriviligedProcess::recvMessage(int timeoutMs)
{
    if (!_connection || !_waitForLine(timeoutMs))
        return QByteArray();
    return _connection->readLine().trimmed();
}

QByteArray PriviligedProcess::getValue(const QByteArray &command, int timeoutMs)
{
    if (!sendMessage(command, commandSendWaitMs))
        return QByteArray();
    return recvMessage(timeoutMs);
}

bool PriviligedProcess::checkValue(const QByteArray &command, const QByteArray &expected,
                                   int timeoutMs)
{
    return getValue(command, timeoutMs) == expected;
}
