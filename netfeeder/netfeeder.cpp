#include "netfeeder.h"

#include "controlchannel.h"
#include "dhcpserver.h"
#include "feederflags.h"
#include "interfacesettings.h"
#include "tftpserver.h"

#include <QDebug>
#include <QThreadPool>
#include <csignal>

namespace
{

// The longest the control thread can be busy: one speed change (a tool's 30 s limit) plus one
// wait for a command.
constexpr int controlThreadJoinMs = 35000;

volatile std::sig_atomic_t terminationSignal = 0;

extern "C" void recordTerminationSignal(int signal)
{
    terminationSignal = signal;
}

void log(const QString &text)
{
    qDebug().noquote() << text;
}

void installTftpHooks(TFTP &server, FeederFlags &flags)
{
    server.setProgressUpdateCallback([&flags](float progress) { flags.progress = progress; });
    server.setOnReadSuccess([&flags](const QByteArray &name) {
        flags.fileSent = true;
        log("file sent: " + QString::fromLocal8Bit(name));
    });
}

void removeTftpHooks(TFTP &server)
{
    server.setProgressUpdateCallback({});
    server.setOnReadSuccess({});
}

} // namespace

void installTerminationHandlers()
{
    struct sigaction action {
    };
    action.sa_handler = recordTerminationSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

int doWork(const QString &interface, const QString &speed, const QString &duplex,
           const QString &serverIp, const QString &offeredIp, const QString &bootFile,
           const QString &serverName, TFTP &server)
{
    if (!setInterfaceSettings(interface, serverIp, speed, duplex)) {
        log(QStringLiteral("setup interface failed!"));
        // Part of the set-up may have been applied before the failure.
        revertInterfaceSettings(interface, serverIp);
        return 2;
    }

    int dhcpSocket = -1;
    const int socketResult = setupDhcpSocket(interface, dhcpSocket);
    if (socketResult != 0) {
        revertInterfaceSettings(interface, serverIp);
        return socketResult;
    }

    FeederFlags flags;
    installTftpHooks(server, flags);
    QThreadPool *pool = QThreadPool::globalInstance();
    pool->start(new ControlChannel(server, interface, serverIp, flags));

    log(QStringLiteral("Main loop started!"));
    while (!flags.quit && terminationSignal == 0) {
        server.run(true);
        dhcpServerRun(dhcpSocket, offeredIp, bootFile, serverIp, serverName);
    }

    server.stop();
    flags.quit = true;
    if (!pool->waitForDone(controlThreadJoinMs))
        qWarning() << "control channel thread did not end in time";
    removeTftpHooks(server);
    cleanSocket(dhcpSocket);
    revertInterfaceSettings(interface, serverIp);
    if (terminationSignal != 0) {
        qWarning() << "ended by signal" << int(terminationSignal);
        return 128 + terminationSignal;
    }
    return 0;
}
