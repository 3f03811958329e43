#include "interfacesettings.h"

#include <QDebug>
#include <QProcess>
#include <QStringList>
#include <memory>

namespace
{

constexpr int toolTimeoutMs = 30000;

// A tool run through pkexec. One that overruns its time limit is killed when the object goes,
// and counts neither as success nor as a crash.
class PrivilegedCommand
{
public:
    explicit PrivilegedCommand(const QStringList &arguments)
    {
        _process.start(QStringLiteral("pkexec"), arguments);
    }
    ~PrivilegedCommand()
    {
        if (_process.state() != QProcess::NotRunning) {
            qWarning().noquote() << "killing" << _process.arguments().join(' ')
                                 << "after its time limit";
            _process.kill();
            _process.waitForFinished(1000);
        }
    }
    PrivilegedCommand(const PrivilegedCommand &) = delete;
    PrivilegedCommand &operator=(const PrivilegedCommand &) = delete;

    void wait() { _finished = _process.waitForFinished(toolTimeoutMs); }
    bool crashed() const { return _finished && _process.exitStatus() == QProcess::CrashExit; }
    bool exitedNormally() const
    {
        return _finished && _process.exitStatus() == QProcess::NormalExit;
    }
    QByteArray output() { return _process.readAllStandardOutput(); }
    QByteArray errorOutput() { return _process.readAllStandardError(); }

private:
    QProcess _process;
    bool _finished = false;
};

void runAndWait(const QStringList &arguments)
{
    PrivilegedCommand command(arguments);
    command.wait();
}

QString addressWithPrefix(const QString &serverIp)
{
    return serverIp + QStringLiteral("/24");
}

} // namespace

bool setInterfaceSettings(const QString &interface, const QString &serverIp, const QString &speed,
                          const QString &duplex)
{
    runAndWait({"ip", "link", "set", interface, "down"});

    const QStringList ethtoolArguments = {"ethtool", "-s",   interface, "speed", speed,
                                          "duplex",  duplex, "autoneg", "off"};
    const QStringList addressArguments = {"ip",  "addr",   "add", addressWithPrefix(serverIp),
                                          "dev", interface};
    qDebug() << ethtoolArguments << addressArguments;

    runAndWait(ethtoolArguments);
    PrivilegedCommand address(addressArguments);
    address.wait();
    PrivilegedCommand linkUp({"ip", "link", "set", interface, "up"});
    linkUp.wait();

    if (linkUp.crashed() || address.crashed()) {
        qDebug().noquote() << "Command crashed.";
        return false;
    }
    qDebug().noquote() << "Command output:" << linkUp.output();
    qDebug().noquote() << "Command error:" << linkUp.errorOutput();
    return true;
}

bool changeSpeedTo1000MBit(const QString &interface)
{
    const QStringList arguments = {"ethtool", "-s",   interface, "speed", "1000",
                                   "duplex",  "full", "autoneg", "on"};
    qDebug() << arguments;
    PrivilegedCommand command(arguments);
    command.wait();
    return command.exitedNormally();
}

void revertInterfaceSettings(const QString &interface, const QString &serverIp)
{
    const QStringList autonegArguments = {"ethtool", "-s", interface, "autoneg", "on"};
    const QStringList addressArguments = {"ip",  "addr",   "del", addressWithPrefix(serverIp),
                                          "dev", interface};
    qDebug() << autonegArguments << addressArguments;
    PrivilegedCommand autoneg(autonegArguments);
    PrivilegedCommand address(addressArguments);
    autoneg.wait();
    address.wait();
}
