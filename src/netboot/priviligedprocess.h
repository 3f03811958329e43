#pragma once
// The main program's side of the privileged network-boot server: the pkexec child and the local
// server it connects back to, over which newline-terminated text lines are exchanged.

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QStringList>

class QLocalServer;
class QLocalSocket;

class PriviligedProcess : public QObject
{
    Q_OBJECT
public:
    explicit PriviligedProcess(QObject *parent = nullptr);
    ~PriviligedProcess() override;

    void setArguments(const QStringList &arguments);
    void start();
    bool waitForFinished(int milliseconds);
    QProcess::ExitStatus exitStatus() const;
    void kill();
    QProcess *getQProcess();

    bool startCommunicationChannel(const QByteArray &channelName);
    bool waitForCommunicationChannelReady();
    bool sendMessage(const QByteArray &line, int timeoutMs);
    QByteArray recvMessage(int timeoutMs);
    QByteArray getValue(const QByteArray &command, int timeoutMs);
    bool checkValue(const QByteArray &command, const QByteArray &expected, int timeoutMs);

public slots:
    void onNewConnection();

private:
    bool _waitForLine(int timeoutMs);
    void _dropConnection();

    QStringList _arguments;
    QProcess _process;
    QByteArray _channelName;
    QLocalServer *_server;
    QLocalSocket *_connection = nullptr;
};
