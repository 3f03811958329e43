#pragma once
// A private D-Bus system bus for tests: a dbus-daemon of its own on a socket in a temporary
// directory, exported to this process as DBUS_SYSTEM_BUS_ADDRESS, and mock services on it.
//
// QDBusConnection::systemBus() connects once per process and keeps that address for good. Create
// the PrivateBus before anything in the test program touches the system bus (for example as a
// member set up in initTestCase()) and keep it until the program ends (cleanupTestCase()).
//
// A mock service is a script run with /usr/bin/python3 (python3-dbus, GLib main loop) that prints
// one line "READY <well-known name>" once it owns its name; mocks/mockbus.py does this. Mocks
// live in tests/support/mocks/; mockPath() finds them.

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QtGlobal>
#include <memory>
#include <signal.h>
#include <sys/prctl.h>
#include <vector>

namespace q5test
{

class PrivateBus
{
public:
    explicit PrivateBus(int timeoutMs = 10000)
        : _hadOldAddress(qEnvironmentVariableIsSet(kAddressVariable)),
          _oldAddress(qgetenv(kAddressVariable))
    {
        if (!_dir.isValid()) {
            _error = QStringLiteral("cannot create a temporary directory");
            return;
        }
        _address =
            QStringLiteral("unix:path=") + _dir.filePath(QStringLiteral("system_bus_socket"));
        _running = _writeConfig() && _startDaemon(QDeadlineTimer(timeoutMs));
        if (_running)
            qputenv(kAddressVariable, _address.toLocal8Bit());
    }

    ~PrivateBus()
    {
        stopServices();
        _disconnectProbe();
        if (_daemon)
            _stop(*_daemon);
        if (_hadOldAddress)
            qputenv(kAddressVariable, _oldAddress);
        else
            qunsetenv(kAddressVariable);
    }

    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;

    // The daemon runs and answers; errorString() says why not, or why a service did not start.
    bool isValid() const { return _running; }
    QString errorString() const { return _error; }
    QString address() const { return _address; }

    static QString mockPath(const QString &script)
    {
        return QStringLiteral(Q5_SOURCE_DIR "/tests/support/mocks/") + script;
    }

    // Starts a mock service and returns once its well-known name is owned on this bus. On failure
    // the service is stopped again and errorString() says why.
    bool startService(const QString &scriptPath, const QStringList &args = {},
                      int timeoutMs = 10000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        auto service = _newChild();
        service->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        service->start(QStringLiteral("/usr/bin/python3"), QStringList{scriptPath} + args);
        const QString name = _readReadyLine(*service, deadline);
        if (name.isEmpty() || !_waitForOwner(name, deadline)) {
            _error = QStringLiteral("service %1 did not take its bus name in time").arg(scriptPath);
            _stop(*service);
            return false;
        }
        _services.push_back(std::move(service));
        return true;
    }

    // Stops every service started so far (SIGTERM, then SIGKILL), newest first.
    void stopServices()
    {
        while (!_services.empty()) {
            _stop(*_services.back());
            _services.pop_back();
        }
    }

private:
    static constexpr const char *kAddressVariable = "DBUS_SYSTEM_BUS_ADDRESS";
    static constexpr int kStopTimeoutMs = 3000;
    static constexpr int kPollMs = 20;

    bool _writeConfig()
    {
        _configPath = _dir.filePath(QStringLiteral("bus.conf"));
        QFile conf(_configPath);
        if (!conf.open(QIODevice::WriteOnly)) {
            _error = QStringLiteral("cannot write ") + _configPath;
            return false;
        }
        conf.write(
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig>\n"
            "  <type>system</type>\n"
            "  <listen>" +
            _address.toUtf8() +
            "</listen>\n"
            "  <auth>EXTERNAL</auth>\n"
            "  <policy context=\"default\">\n"
            "    <allow user=\"*\"/>\n"
            "    <allow own=\"*\"/>\n"
            "    <allow send_destination=\"*\"/>\n"
            "    <allow receive_sender=\"*\"/>\n"
            "  </policy>\n"
            "</busconfig>\n");
        return true;
    }

    // The daemon prints its address once it listens; a probe connection proves it answers.
    bool _startDaemon(const QDeadlineTimer &deadline)
    {
        _daemon = _newChild();
        _daemon->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        _daemon->start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--config-file=") + _configPath, QStringLiteral("--nofork"),
                        QStringLiteral("--print-address=1")});
        if (!_daemon->waitForStarted(int(deadline.remainingTime()))) {
            _error = QStringLiteral("cannot start dbus-daemon: ") + _daemon->errorString();
            _daemon.reset();
            return false;
        }
        while (!_daemon->canReadLine() && !deadline.hasExpired() &&
               _daemon->state() == QProcess::Running)
            _daemon->waitForReadyRead(kPollMs);
        _probe = QDBusConnection::connectToBus(_address, _probeName());
        if (!_probe.isConnected()) {
            _error = QStringLiteral("dbus-daemon does not answer on ") + _address;
            return false;
        }
        return true;
    }

    QString _readReadyLine(QProcess &service, const QDeadlineTimer &deadline)
    {
        while (!deadline.hasExpired() && service.state() != QProcess::NotRunning) {
            if (service.canReadLine()) {
                const QByteArray line = service.readLine().trimmed();
                if (line.startsWith("READY "))
                    return QString::fromUtf8(line.mid(6));
                continue;
            }
            service.waitForReadyRead(kPollMs);
        }
        return QString();
    }

    bool _waitForOwner(const QString &name, const QDeadlineTimer &deadline)
    {
        QDBusConnectionInterface *bus = _probe.interface();
        while (!deadline.hasExpired()) {
            if (bus && bus->isServiceRegistered(name).value())
                return true;
            QThread::msleep(kPollMs);
        }
        return false;
    }

    // A test program killed by its time limit must not leave a bus or a mock behind.
    static std::unique_ptr<QProcess> _newChild()
    {
        auto child = std::make_unique<QProcess>();
        child->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        return child;
    }

    static void _stop(QProcess &process)
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(kStopTimeoutMs)) {
            process.kill();
            process.waitForFinished(kStopTimeoutMs);
        }
    }

    QString _probeName() const
    {
        return QStringLiteral("q5test-privatebus-%1").arg(quintptr(this), 0, 16);
    }

    void _disconnectProbe()
    {
        if (!_probe.name().isEmpty())
            QDBusConnection::disconnectFromBus(_probe.name());
    }

    QTemporaryDir _dir;
    QString _address;
    QString _configPath;
    QString _error;
    bool _running = false;
    const bool _hadOldAddress;
    const QByteArray _oldAddress;
    std::unique_ptr<QProcess> _daemon;
    QDBusConnection _probe{QString()};
    std::vector<std::unique_ptr<QProcess>> _services;
};

} // namespace q5test
