#pragma once
// The control channel to the main program: a line-based exchange over the local socket
// "NetfeederCommChannel", run on a thread of the shared pool while the main loop serves.

#include "feederflags.h"

#include <QByteArray>
#include <QRunnable>
#include <QString>

class QLocalSocket;
class TFTP;

class ControlChannel : public QRunnable
{
public:
    ControlChannel(TFTP &server, const QString &interface, const QString &serverIp,
                   FeederFlags &flags);
    void run() override;

private:
    bool connectToMainProgram(QLocalSocket &socket);
    void announceOrForgetSentFile(QLocalSocket &socket);
    bool waitForLine(QLocalSocket &socket);
    // Carries out one acknowledged command; false when the channel is to end.
    bool execute(QLocalSocket &socket, const QByteArray &command);
    void sendLine(QLocalSocket &socket, const QByteArray &line);
    QByteArray okOrNok(bool ok) const;

    TFTP &_server;
    QString _interface;
    QString _serverIp;
    FeederFlags &_flags;
};
