#pragma once
// A netfeeder process started inside a network namespace, with its log (standard output and
// error together) collected. Ended with SIGTERM, and killed if it does not end, on every path.

#include "netnspair.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QTemporaryFile>
#include <QTest>

namespace q5test
{

class NetfeederRun
{
public:
    NetfeederRun(const QString &program, const QString &ns, const QStringList &arguments)
    {
        // A file, not a pipe: a full pipe would stall the program in the middle of a transfer.
        _logFile.open();
        _process.setProcessChannelMode(QProcess::MergedChannels);
        _process.setStandardOutputFile(_logFile.fileName());
        _process.start(QStringLiteral("ip"), NetnsPair::execArguments(ns, program, arguments));
        _process.waitForStarted(10000);
    }
    ~NetfeederRun() { terminate(); }
    NetfeederRun(const NetfeederRun &) = delete;
    NetfeederRun &operator=(const NetfeederRun &) = delete;

    // Waits until the log holds `text`; false when the program ended or the time ran out first.
    bool waitForLog(const QByteArray &text, int timeoutMs = 10000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!log().contains(text)) {
            if (_process.state() == QProcess::NotRunning || deadline.hasExpired())
                return log().contains(text);
            QTest::qSleep(50);
        }
        return true;
    }
    bool waitForServing() { return waitForLog("Main loop started!"); }

    // Everything the program has written so far.
    QByteArray log()
    {
        _log += _logFile.readAll();
        return _log;
    }

    bool waitForExit(int timeoutMs)
    {
        const bool ended =
            _process.state() == QProcess::NotRunning || _process.waitForFinished(timeoutMs);
        log();
        return ended;
    }
    bool isRunning() const { return _process.state() != QProcess::NotRunning; }
    // The exit code, or -1 after a crash or a kill.
    int exitCode() const
    {
        return _process.exitStatus() == QProcess::NormalExit ? _process.exitCode() : -1;
    }

    void terminate()
    {
        if (_process.state() == QProcess::NotRunning)
            return;
        _process.terminate();
        if (!_process.waitForFinished(10000)) {
            _process.kill();
            _process.waitForFinished(5000);
        }
    }

private:
    QTemporaryFile _logFile;
    QProcess _process;
    QByteArray _log;
};

} // namespace q5test
