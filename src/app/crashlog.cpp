#include "crashlog.h"

#include "config.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringList>
#include <QSysInfo>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <execinfo.h>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace
{
constexpr qint64 kTailBytesToCheck = 4096;
constexpr int kLogsKeptBeforeNewOne = 9;
constexpr size_t kCrashBufferSize = 1024;
constexpr size_t kAltStackSize = 65536;
constexpr int kMaxStackFrames = 64;
const char kSessionEndedMarker[] = "=== Session ended";
const char kLogFilePrefix[] = "q5-orl-imager-";

QString g_logDirectory;
QString g_logPath;
int g_logFd = -1;
std::mutex g_writeMutex;
bool g_cleanExit = false;
std::atomic<bool> g_crashing{false};
bool g_consoleEcho = false;
QtMessageHandler g_previousHandler = nullptr;

// Everything the crash paths touch exists before they run: they may not allocate.
char g_crashBuffer[kCrashBufferSize];
char g_terminateBuffer[kCrashBufferSize];
void *g_stackFrames[kMaxStackFrames];
alignas(16) char g_altStack[kAltStackSize];

// Fixed-size text composition for the crash paths; text past the end is cut.
class CrashLine
{
public:
    explicit CrashLine(char *buffer) : _buffer(buffer) {}

    CrashLine &text(const char *s)
    {
        while (*s && _length < kCrashBufferSize)
            _buffer[_length++] = *s++;
        return *this;
    }

    CrashLine &decimal(long long value)
    {
        char digits[24];
        int count = 0;
        const bool negative = value < 0;
        unsigned long long rest = negative ? 0ULL - static_cast<unsigned long long>(value) : value;
        do {
            digits[count++] = static_cast<char>('0' + rest % 10);
            rest /= 10;
        } while (rest);
        if (negative)
            digits[count++] = '-';
        return reversed(digits, count);
    }

    CrashLine &hex(uintptr_t value)
    {
        char digits[2 * sizeof(value)];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value & 0xf];
            value >>= 4;
        } while (value);
        return reversed(digits, count);
    }

    const char *data() const { return _buffer; }
    size_t length() const { return _length; }

private:
    CrashLine &reversed(const char *digits, int count)
    {
        while (count > 0 && _length < kCrashBufferSize)
            _buffer[_length++] = digits[--count];
        return *this;
    }

    char *_buffer;
    size_t _length = 0;
};

// Plain write(2) loop: retried after partial writes and interruptions, ends at 0 or an error.
void writeAll(int fd, const char *data, size_t length)
{
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        length -= static_cast<size_t>(written);
    }
}

const char *signalName(int signal)
{
    switch (signal) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGILL:
        return "SIGILL";
    case SIGABRT:
        return "SIGABRT";
    case SIGBUS:
        return "SIGBUS";
    case SIGFPE:
        return "SIGFPE";
    default:
        return "signal";
    }
}

char levelLetter(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return 'D';
    case QtWarningMsg:
        return 'W';
    case QtCriticalMsg:
        return 'C';
    case QtFatalMsg:
        return 'F';
    case QtInfoMsg:
        return 'I';
    }
    return '?';
}

const QRegularExpression &secretAssignmentPattern()
{
    static const QRegularExpression pattern(
        QStringLiteral("\\b([A-Za-z0-9_-]*(?:passw|psk|secret|token)[A-Za-z0-9_-]*)(\\s*[=:]\\s*)"
                       "(?:'[^']*'|\"[^\"]*\"|[^\\s\\\\,;]+)"),
        QRegularExpression::CaseInsensitiveOption);
    return pattern;
}

const QRegularExpression &cryptHashPattern()
{
    static const QRegularExpression pattern(
        QStringLiteral("\\$(?:1|2a|2b|2y|2|5|6|y|gy|7)\\$[^\\s'\"\\\\]+"));
    return pattern;
}

QString currentLocalTime(const QString &format)
{
    return QDateTime::currentDateTime().toString(format);
}
} // namespace

void CrashLog::install(int argc, char *argv[])
{
    if (!g_logPath.isEmpty())
        return;
    g_logDirectory = _determineLogDirectory();

    QDir dir(g_logDirectory);
    const QStringList logs = dir.entryList({QLatin1String(kLogFilePrefix) + QLatin1String("*.log")},
                                           QDir::Files, QDir::Name | QDir::Reversed);
    const QString uncleanPreviousLog = _findUncleanPreviousLog(logs);
    _pruneOldLogs(logs);

    if (!_openLogFile())
        return;
    _writeHeader(argc, argv, uncleanPreviousLog);
    _installFatalHandlers();
}

QString CrashLog::_determineLogDirectory()
{
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
                        QStringLiteral("/logs");
    if (QDir().mkpath(dir))
        return dir;
    return QDir::tempPath();
}

QString CrashLog::_findUncleanPreviousLog(const QStringList &logsNewestFirst)
{
    if (logsNewestFirst.isEmpty())
        return QString();
    const QString path = QDir(g_logDirectory).filePath(logsNewestFirst.first());
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    if (f.size() > kTailBytesToCheck)
        f.seek(f.size() - kTailBytesToCheck);
    if (f.read(kTailBytesToCheck).contains(kSessionEndedMarker))
        return QString();
    return path;
}

void CrashLog::_pruneOldLogs(const QStringList &logsNewestFirst)
{
    const QDir dir(g_logDirectory);
    for (int i = kLogsKeptBeforeNewOne; i < logsNewestFirst.size(); ++i) {
        const QString log = logsNewestFirst.at(i);
        QFile::remove(dir.filePath(log));
        QFile::remove(dir.filePath(QFileInfo(log).completeBaseName() + QStringLiteral(".dmp")));
    }
}

bool CrashLog::_openLogFile()
{
    const QString name =
        QStringLiteral("%1%2-%3.log")
            .arg(QLatin1String(kLogFilePrefix), currentLocalTime(QStringLiteral("yyyyMMdd-HHmmss")))
            .arg(static_cast<qlonglong>(getpid()));
    const QString path = QDir(g_logDirectory).filePath(name);
    g_logFd = ::open(QFile::encodeName(path).constData(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (g_logFd < 0)
        return false;
    g_logPath = path;
    return true;
}

void CrashLog::_writeHeader(int argc, char *argv[], const QString &uncleanPreviousLog)
{
    QString header;
    header += QStringLiteral("=== Q5 Orlith Imager " Q5_VERSION_STR " session started %1\n")
                  .arg(QDateTime::currentDateTime().toString(Qt::ISODateWithMs));
    header += QStringLiteral("OS: %1 (%2 %3, %4)\n")
                  .arg(QSysInfo::prettyProductName(), QSysInfo::kernelType(),
                       QSysInfo::kernelVersion(), QSysInfo::currentCpuArchitecture());
    header += QStringLiteral("Qt: %1 (built against " QT_VERSION_STR ")\n")
                  .arg(QLatin1String(qVersion()));
    header += QStringLiteral("Command line:");
    for (int i = 0; i < argc; ++i)
        header += QLatin1Char(' ') + QString::fromLocal8Bit(argv[i]);
    header += QLatin1Char('\n');
    header += QStringLiteral("Log: %1\n").arg(QDir::toNativeSeparators(g_logPath));
    if (!uncleanPreviousLog.isEmpty())
        header += QStringLiteral("Previous session did not end normally (crashed, was killed or "
                                 "is still running): %1\n")
                      .arg(QDir::toNativeSeparators(uncleanPreviousLog));
    _writeLocked(header.toUtf8());
}

void CrashLog::_installFatalHandlers()
{
    // The first backtrace() loads the unwinder; do it now, not inside a signal handler.
    backtrace(g_stackFrames, kMaxStackFrames);

    stack_t altStack{};
    altStack.ss_sp = g_altStack;
    altStack.ss_size = sizeof(g_altStack);
    sigaltstack(&altStack, nullptr);

    struct sigaction action {
    };
    action.sa_sigaction = &CrashLog::_signalHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT})
        sigaction(signal, &action, nullptr);

    std::set_terminate(&CrashLog::_terminateHandler);
    std::atexit(&CrashLog::_exitHook);
    g_previousHandler = qInstallMessageHandler(&CrashLog::_messageHandler);
}

void CrashLog::markCleanExit(int exitCode)
{
    g_cleanExit = true;
    _writeLocked(QByteArray(kSessionEndedMarker) + " normally (exit code " +
                 QByteArray::number(exitCode) + ")\n");
}

QString CrashLog::logDirectory()
{
    return g_logDirectory;
}

QString CrashLog::logFilePath()
{
    return g_logPath;
}

void CrashLog::setConsoleEcho(bool enabled)
{
    g_consoleEcho = enabled;
}

QString CrashLog::maskSecrets(const QString &text)
{
    QString masked = text;
    masked.replace(secretAssignmentPattern(), QStringLiteral("\\1\\2***"));
    masked.replace(cryptHashPattern(), QStringLiteral("$***"));
    return masked;
}

void CrashLog::_writeLocked(const QByteArray &bytes)
{
    std::lock_guard<std::mutex> lock(g_writeMutex);
    if (g_logFd < 0 || bytes.isEmpty())
        return;
    writeAll(g_logFd, bytes.constData(), static_cast<size_t>(bytes.size()));
}

void CrashLog::_messageHandler(QtMsgType type, const QMessageLogContext &context,
                               const QString &message)
{
    const QString masked = maskSecrets(message);

    QByteArray line = currentLocalTime(QStringLiteral("HH:mm:ss.zzz")).toUtf8();
    line += ' ';
    line += levelLetter(type);
    line += " [" + QByteArray::number(static_cast<qlonglong>(gettid())) + "] ";
    if (context.category && std::strcmp(context.category, "default") != 0)
        line += QByteArray(context.category) + ": ";
    line += masked.toUtf8() + '\n';
    _writeLocked(line);

    if (g_consoleEcho) {
        std::fprintf(stderr, "%s\n", masked.toLocal8Bit().constData());
        std::fflush(stderr);
    } else if (g_previousHandler) {
        g_previousHandler(type, context, masked);
    }
}

void CrashLog::_signalHandler(int signal, siginfo_t *info, void *)
{
    if (g_crashing.exchange(true)) {
        raise(signal);
        return;
    }

    CrashLine line(g_crashBuffer);
    line.text("\n=== FATAL ").text(signalName(signal)).text(" (").decimal(signal).text(")");
    if (info && info->si_code > 0 && signal != SIGABRT)
        line.text(" at address 0x").hex(reinterpret_cast<uintptr_t>(info->si_addr));
    else if (info && info->si_code <= 0)
        line.text(" sent by process ").decimal(info->si_pid);
    writeAll(g_logFd, line.data(), line.length());
    writeAll(g_logFd, "\n", 1);

    writeAll(g_logFd, "Stack:\n", 7);
    const int frames = backtrace(g_stackFrames, kMaxStackFrames);
    backtrace_symbols_fd(g_stackFrames, frames, g_logFd);

    raise(signal);
}

void CrashLog::_terminateHandler()
{
    CrashLine line(g_terminateBuffer);
    line.text("\n=== FATAL std::terminate called");
    if (std::current_exception()) {
        try {
            throw;
        } catch (const std::exception &e) {
            line.text(" after an uncaught exception: ").text(e.what());
        } catch (...) {
            line.text(" after an uncaught non-standard exception");
        }
    }
    writeAll(g_logFd, line.data(), line.length());
    writeAll(g_logFd, "\n", 1);
    std::abort();
}

void CrashLog::_exitHook()
{
    if (!g_cleanExit)
        _writeLocked(QByteArray(kSessionEndedMarker) +
                     " before reaching the normal shutdown path\n");
}
