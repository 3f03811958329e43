#pragma once
// Two private network namespaces, a "server" and a "board", joined by a veth pair. Programs under
// test and peer tools run inside them through `ip netns exec`, so no traffic ever reaches the
// machine's own interfaces. Everything is removed again in the destructor.

#include "testenv.h"

#include <QAtomicInt>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <fcntl.h>
#include <memory>
#include <sched.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace q5test
{

class NetnsPair
{
public:
    struct Options {
        QString serverAddress = QStringLiteral("10.42.0.11/24"); // empty: no address
        QString boardAddress;                                    // empty: link up, no address
        QString serverIf = QStringLiteral("q5srv0");
        QString boardIf = QStringLiteral("q5brd0");
    };

    NetnsPair() : NetnsPair(Options()) {}

    explicit NetnsPair(const Options &options)
        : _serverIf(options.serverIf), _boardIf(options.boardIf)
    {
        const QString tag = QStringLiteral("%1-%2").arg(getpid()).arg(nextSerial());
        _serverNs = QStringLiteral("q5srv-") + tag;
        _boardNs = QStringLiteral("q5brd-") + tag;
        _valid = setUp(options);
    }

    ~NetnsPair()
    {
        killRemainingProcesses(_serverNs);
        killRemainingProcesses(_boardNs);
        deleteNamespace(_serverNs);
        deleteNamespace(_boardNs);
    }

    NetnsPair(const NetnsPair &) = delete;
    NetnsPair &operator=(const NetnsPair &) = delete;

    // False when a set-up step failed; error() then says which one.
    bool isValid() const { return _valid; }
    QString error() const { return _error; }

    QString serverNs() const { return _serverNs; }
    QString boardNs() const { return _boardNs; }
    QString serverIf() const { return _serverIf; }
    QString boardIf() const { return _boardIf; }

    // Runs a program to completion inside the given namespace.
    static CommandResult runIn(const QString &ns, const QString &program, const QStringList &args,
                               int timeoutMs = 60000, const QByteArray &input = QByteArray())
    {
        return run(QStringLiteral("ip"), execArguments(ns, program, args), timeoutMs, input);
    }
    CommandResult runInServer(const QString &program, const QStringList &args,
                              int timeoutMs = 60000) const
    {
        return runIn(_serverNs, program, args, timeoutMs);
    }
    CommandResult runInBoard(const QString &program, const QStringList &args,
                             int timeoutMs = 60000) const
    {
        return runIn(_boardNs, program, args, timeoutMs);
    }

    // Starts a long-running program inside the given namespace. The caller owns the process;
    // anything still running in the namespaces is killed by the destructor as a last resort.
    static std::unique_ptr<QProcess> startIn(const QString &ns, const QString &program,
                                             const QStringList &args)
    {
        auto process = std::make_unique<QProcess>();
        process->start(QStringLiteral("ip"), execArguments(ns, program, args));
        process->waitForStarted(10000);
        return process;
    }
    std::unique_ptr<QProcess> startInServer(const QString &program, const QStringList &args) const
    {
        return startIn(_serverNs, program, args);
    }
    std::unique_ptr<QProcess> startInBoard(const QString &program, const QStringList &args) const
    {
        return startIn(_boardNs, program, args);
    }

    // A socket that lives in the given namespace, for a test's own client or peer. Only a helper
    // thread enters the namespace; the socket stays there whichever thread uses it. -1 on failure.
    static int socketIn(const QString &ns, int type, int protocol = 0, int domain = AF_INET)
    {
        int fd = -1;
        std::thread([&]() {
            const QByteArray path = "/run/netns/" + ns.toLocal8Bit();
            const int nsFd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
            if (nsFd < 0)
                return;
            if (setns(nsFd, CLONE_NEWNET) == 0)
                fd = ::socket(domain, type | SOCK_CLOEXEC, protocol);
            ::close(nsFd);
        }).join();
        return fd;
    }

    static QStringList execArguments(const QString &ns, const QString &program,
                                     const QStringList &args)
    {
        return QStringList{QStringLiteral("netns"), QStringLiteral("exec"), ns, program} + args;
    }

private:
    static int nextSerial()
    {
        static QAtomicInt serial;
        return serial.fetchAndAddRelaxed(1);
    }

    bool step(const QStringList &args)
    {
        const CommandResult r = run(QStringLiteral("ip"), args, 10000);
        if (!r.ok())
            _error = QStringLiteral("ip %1: %2").arg(args.join(' '), QString::fromLocal8Bit(r.err));
        return r.ok();
    }

    bool setUp(const Options &o)
    {
        if (!step({QStringLiteral("netns"), QStringLiteral("add"), _serverNs}))
            return false;
        if (!step({QStringLiteral("netns"), QStringLiteral("add"), _boardNs}))
            return false;
        // Created straight inside the namespaces so the names never meet in the root namespace.
        if (!step({QStringLiteral("link"), QStringLiteral("add"), _serverIf,
                   QStringLiteral("netns"), _serverNs, QStringLiteral("type"),
                   QStringLiteral("veth"), QStringLiteral("peer"), QStringLiteral("name"), _boardIf,
                   QStringLiteral("netns"), _boardNs}))
            return false;
        return configureEnd(_serverNs, _serverIf, o.serverAddress) &&
               configureEnd(_boardNs, _boardIf, o.boardAddress);
    }

    bool configureEnd(const QString &ns, const QString &ifName, const QString &address)
    {
        const QString n = QStringLiteral("-n");
        if (!address.isEmpty() && !step({n, ns, QStringLiteral("addr"), QStringLiteral("add"),
                                         address, QStringLiteral("dev"), ifName}))
            return false;
        return step({n, ns, QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"),
                     QStringLiteral("up")}) &&
               step({n, ns, QStringLiteral("link"), QStringLiteral("set"), ifName,
                     QStringLiteral("up")});
    }

    static void killRemainingProcesses(const QString &ns)
    {
        const CommandResult r =
            run(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("pids"), ns}, 5000);
        const QStringList pids = QString::fromLatin1(r.out).split('\n', Qt::SkipEmptyParts);
        for (const QString &pid : pids)
            run(QStringLiteral("kill"), {QStringLiteral("-9"), pid.trimmed()}, 5000);
    }

    static void deleteNamespace(const QString &ns)
    {
        run(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("del"), ns}, 10000);
    }

    QString _serverNs;
    QString _boardNs;
    QString _serverIf;
    QString _boardIf;
    QString _error;
    bool _valid = false;
};

} // namespace q5test
