#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <csignal>

// The run log of a windowed run: one time-stamped file per run with secrets masked, a header,
// an end marker, and a last record when the process dies by a fatal signal, an uncaught
// exception or an exit outside the normal path. All state is class-wide; install once.
class CrashLog
{
public:
    CrashLog() = delete;

    static void install(int argc, char *argv[]);
    static void markCleanExit(int exitCode);
    static QString logDirectory();
    static QString logFilePath();
    static void setConsoleEcho(bool enabled);

    // The message text with password values and crypt hashes replaced, as it is logged.
    static QString maskSecrets(const QString &text);

private:
    static QString _determineLogDirectory();
    static QString _findUncleanPreviousLog(const QStringList &logsNewestFirst);
    static void _pruneOldLogs(const QStringList &logsNewestFirst);
    static bool _openLogFile();
    static void _writeHeader(int argc, char *argv[], const QString &uncleanPreviousLog);
    static void _installFatalHandlers();
    static void _writeLocked(const QByteArray &bytes);
    static void _messageHandler(QtMsgType type, const QMessageLogContext &context,
                                const QString &message);
    static void _signalHandler(int signal, siginfo_t *info, void *ucontext);
    static void _terminateHandler();
    static void _exitHook();
};
