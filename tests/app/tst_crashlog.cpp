// The run log, seen from outside: this program starts copies of itself ("--child <mode>") that
// install the run log, log, exit, crash or get killed; the tests read the log files they leave,
// their exit codes and the signals they die by.

#include "testenv.h"

#include "crashlog.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define Q5_SANITIZED_BUILD 1
#endif

namespace
{
constexpr int kChildTimeoutMs = 20000;
constexpr int kSecondSignalDelayMs = 300;
constexpr int kFreeRoomInBlockedLog = 200;
const char kAllocationMarker[] = "ALLOCATION ON THE CRASH PATH\n";

std::atomic<bool> g_forbidAllocation{false};

Q_LOGGING_CATEGORY(probeCategory, "q5.probe")
} // namespace

#ifndef Q5_SANITIZED_BUILD
// In the child, every allocation after g_forbidAllocation is set leaves a marker on stderr.
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);

static void noteAllocation()
{
    if (g_forbidAllocation.load(std::memory_order_relaxed)) {
        [[maybe_unused]] const ssize_t n =
            ::write(2, kAllocationMarker, sizeof(kAllocationMarker) - 1);
    }
}
void *malloc(size_t size)
{
    noteAllocation();
    return __libc_malloc(size);
}
void *calloc(size_t count, size_t size)
{
    noteAllocation();
    return __libc_calloc(count, size);
}
void *realloc(void *p, size_t size)
{
    noteAllocation();
    return __libc_realloc(p, size);
}
void free(void *p)
{
    __libc_free(p);
}
}
#endif

namespace child
{

void installRunLog(int argc, char *argv[])
{
    struct rlimit noCore {
    };
    setrlimit(RLIMIT_CORE, &noCore);
    QCoreApplication::setOrganizationName(QStringLiteral("Orlith"));
    QCoreApplication::setApplicationName(QStringLiteral("Q5 Orlith Imager"));
    CrashLog::install(argc, argv);
}

int logFileDescriptor()
{
    for (const QString &fd : QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files)) {
        if (QFile::symLinkTarget(QStringLiteral("/proc/self/fd/") + fd) == CrashLog::logFilePath())
            return fd.toInt();
    }
    return -1;
}

[[noreturn]] void segfault()
{
    g_forbidAllocation = true;
    *reinterpret_cast<volatile int *>(0xdead0) = 1;
    std::abort();
}

// "log <end> <message>...": logs each message (and $Q5_CHILD_MESSAGE) at debug level plus one
// line of every other kind,
// then ends as <end> says: clean, exit, kill or echo (console echo on, then clean).
int logMessages(int argc, char *argv[])
{
    const QByteArray end = argv[3];
    if (end == "echo")
        CrashLog::setConsoleEcho(true);
    for (int i = 4; i < argc; ++i)
        qDebug("%s", argv[i]);
    // Secrets come through the environment: the header shows the command line as it is.
    if (qEnvironmentVariableIsSet("Q5_CHILD_MESSAGE"))
        qDebug("%s", qgetenv("Q5_CHILD_MESSAGE").constData());
    qWarning("a warning");
    qCritical("a critical message");
    qInfo("an info message");
    qCDebug(probeCategory, "a categorised message");
    QThread *worker = QThread::create([] { qDebug("from a worker thread"); });
    worker->start();
    worker->wait();
    delete worker;
    if (end == "exit")
        std::exit(0);
    if (end == "kill")
        raise(SIGKILL);
    CrashLog::markCleanExit(3);
    return 0;
}

int waitForAbort()
{
    std::printf("ready\n");
    std::fflush(stdout);
    g_forbidAllocation = true;
    for (int i = 0; i < 200; ++i)
        usleep(100000);
    return 0;
}

// Points the log at a nearly full pipe so the report of the first signal blocks part-way, then
// has a second thread send SIGBUS while it is blocked.
int secondSignalDuringReport(const char *fifoPath)
{
    const int fifo = ::open(fifoPath, O_WRONLY);
    const int capacity = fcntl(fifo, F_SETPIPE_SZ, 4096);
    const QByteArray filler(capacity - kFreeRoomInBlockedLog - 1, 'f');
    if (fifo < 0 || capacity <= kFreeRoomInBlockedLog ||
        ::write(fifo, (filler + '\n').constData(), filler.size() + 1) != filler.size() + 1)
        return 2;
    dup2(fifo, logFileDescriptor());

    const pid_t self = getpid();
    std::thread sender([self] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        usleep(kSecondSignalDelayMs * 1000);
        kill(self, SIGBUS);
    });
    sender.detach();
    segfault();
}

int run(int argc, char *argv[])
{
    installRunLog(argc, argv);
    const QByteArray mode = argv[2];
    if (mode == "log" && argc >= 4)
        return logMessages(argc, argv);
    if (mode == "segv")
        segfault();
    if (mode == "abort-wait")
        return waitForAbort();
    if (mode == "throw-std")
        throw std::runtime_error("disk on fire");
    if (mode == "throw-other")
        throw 42;
    if (mode == "nested" && argc >= 4)
        return secondSignalDuringReport(argv[3]);
    return 2;
}
} // namespace child

class tst_CrashLog : public QObject
{
    Q_OBJECT

private:
    struct ChildEnd {
        bool finished = false;
        bool crashed = false;
        int code = -1; // exit code, or the signal that ended the child
        QByteArray err;
    };

    std::unique_ptr<QTemporaryDir> _home;

    QString logDir() const { return _home->filePath("data/Orlith/Q5 Orlith Imager/logs"); }

    void startChild(QProcess &p, const QStringList &args, const QString &message = QString())
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (!message.isNull())
            env.insert("Q5_CHILD_MESSAGE", message);
        env.insert("HOME", _home->path());
        env.insert("XDG_DATA_HOME", _home->filePath("data"));
        env.insert("XDG_CONFIG_HOME", _home->filePath("config"));
        p.setProcessEnvironment(env);
        p.start(QCoreApplication::applicationFilePath(), QStringList{"--child"} + args);
        QVERIFY(p.waitForStarted(kChildTimeoutMs));
    }

    ChildEnd finishChild(QProcess &p)
    {
        ChildEnd e;
        e.finished = p.waitForFinished(kChildTimeoutMs);
        if (!e.finished) {
            p.kill();
            p.waitForFinished(5000);
        }
        e.crashed = p.exitStatus() == QProcess::CrashExit;
        e.code = p.exitCode();
        e.err = p.readAllStandardError();
        return e;
    }

    ChildEnd runChild(const QStringList &args, const QString &message = QString())
    {
        QProcess p;
        startChild(p, args, message);
        return finishChild(p);
    }

    QStringList logs() const
    {
        return QDir(logDir()).entryList({"q5-orl-imager-*.log"}, QDir::Files,
                                        QDir::Name | QDir::Reversed);
    }

    QByteArray newestLog() const
    {
        const QStringList all = logs();
        if (all.isEmpty())
            return QByteArray();
        QFile f(QDir(logDir()).filePath(all.first()));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }

    void writeLog(const QString &name, const QByteArray &contents)
    {
        QDir().mkpath(logDir());
        QFile f(QDir(logDir()).filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(contents);
    }

    // The text of the logged line that carries `marker`, without time, level and thread.
    static QString loggedText(const QByteArray &log, const QString &marker)
    {
        const QRegularExpression line("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} [DWCFI] \\[\\d+\\] (.*)$",
                                      QRegularExpression::MultilineOption);
        auto it = line.globalMatch(QString::fromUtf8(log));
        while (it.hasNext()) {
            const QString text = it.next().captured(1);
            if (text.contains(marker))
                return text;
        }
        return QString();
    }

    static void verifyStack(const QByteArray &log, int fatalLines)
    {
        QCOMPARE(log.count("\n=== FATAL "), fatalLines);
        const int stack = log.indexOf("\nStack:\n");
        QVERIFY2(stack > log.indexOf("=== FATAL"), log.constData());
        QVERIFY2(log.mid(stack).contains("tst_crashlog"), "the stack names the program's frames");
    }

private slots:
    void init() { _home = std::make_unique<QTemporaryDir>(); }

    void header()
    {
        const ChildEnd end = runChild({"log", "clean", "with space"});
        QCOMPARE(end.code, 0);
        const QStringList all = logs();
        QCOMPARE(all.size(), 1);
        const QRegularExpression name("^q5-orl-imager-\\d{8}-\\d{6}-(\\d+)\\.log$");
        QVERIFY2(name.match(all.first()).hasMatch(), qPrintable(all.first()));

        const QList<QByteArray> lines = newestLog().split('\n');
        QVERIFY(lines.size() > 5);
        QVERIFY2(QRegularExpression("^=== Q5 Orlith Imager 1\\.2\\.0 session started "
                                    "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}$")
                     .match(QString::fromUtf8(lines[0]))
                     .hasMatch(),
                 lines[0].constData());
        QCOMPARE(QString::fromUtf8(lines[1]),
                 QStringLiteral("OS: %1 (%2 %3, %4)")
                     .arg(QSysInfo::prettyProductName(), QSysInfo::kernelType(),
                          QSysInfo::kernelVersion(), QSysInfo::currentCpuArchitecture()));
        QCOMPARE(lines[2], "Qt: " + QByteArray(qVersion()) + " (built against " QT_VERSION_STR ")");
        QCOMPARE(QString::fromUtf8(lines[3]),
                 "Command line: " + QCoreApplication::applicationFilePath() +
                     " --child log clean with space");
        QCOMPARE(QString::fromUtf8(lines[4]),
                 "Log: " + QDir::toNativeSeparators(QDir(logDir()).filePath(all.first())));
    }

    void lineFormat()
    {
        QProcess p;
        startChild(p, {"log", "clean", "hello"});
        const qint64 pid = p.processId();
        QCOMPARE(finishChild(p).code, 0);
        const QByteArray log = newestLog();
        const QString time = "\\d\\d:\\d\\d:\\d\\d\\.\\d{3}";
        const QString mainThread = QStringLiteral("\\[%1\\]").arg(pid);
        for (const QString &expected :
             {time + " D " + mainThread + " hello\n", time + " W " + mainThread + " a warning\n",
              time + " C " + mainThread + " a critical message\n",
              time + " I " + mainThread + " an info message\n",
              time + " D " + mainThread + " q5.probe: a categorised message\n"})
            QVERIFY2(QRegularExpression(expected).match(QString::fromUtf8(log)).hasMatch(),
                     qPrintable(expected));
        const QRegularExpressionMatch worker =
            QRegularExpression(time + " D \\[(\\d+)\\] from a worker thread\n")
                .match(QString::fromUtf8(log));
        QVERIFY(worker.hasMatch());
        QVERIFY(worker.captured(1).toLongLong() != pid);
    }

    void sessionEnd_data()
    {
        QTest::addColumn<QString>("end");
        QTest::addColumn<QByteArray>("lastLine");
        QTest::newRow("clean") << "clean" << QByteArray("=== Session ended normally (exit code 3)");
        QTest::newRow("exit outside the normal path")
            << "exit" << QByteArray("=== Session ended before reaching the normal shutdown path");
        QTest::newRow("killed") << "kill" << QByteArray("from a worker thread");
    }

    void sessionEnd()
    {
        QFETCH(QString, end);
        QFETCH(QByteArray, lastLine);
        runChild({"log", end, "x"});
        const QByteArray log = newestLog();
        QVERIFY2(log.endsWith(lastLine + '\n'), log.constData());
        QCOMPARE(log.count("=== Session ended"), end == "kill" ? 0 : 1);
    }

    void previousSession_data()
    {
        QTest::addColumn<QByteArray>("previous");
        QTest::addColumn<bool>("reported");
        QTest::newRow("ended normally")
            << QByteArray("=== Q5\n=== Session ended normally (exit code 0)\n") << false;
        QTest::newRow("ended outside the normal path")
            << QByteArray("=== Q5\n=== Session ended before reaching the normal shutdown path\n")
            << false;
        QTest::newRow("no end line") << QByteArray("=== Q5\n12:00:00.000 D [1] busy\n") << true;
        QTest::newRow("end line only before the last 4096 bytes")
            << QByteArray("=== Session ended normally (exit code 0)\n" + QByteArray(5000, 'x'))
            << true;
        QTest::newRow("empty") << QByteArray() << true;
    }

    void previousSession()
    {
        QFETCH(QByteArray, previous);
        QFETCH(bool, reported);
        writeLog("q5-orl-imager-20240101-000000-1.log", "crashed, but older");
        writeLog("q5-orl-imager-20250101-000000-2.log", previous);
        runChild({"log", "clean", "x"});
        const QByteArray line =
            "Previous session did not end normally (crashed, was killed or is still running): " +
            QDir::toNativeSeparators(QDir(logDir()).filePath("q5-orl-imager-20250101-000000-2.log"))
                .toUtf8() +
            "\n";
        QCOMPARE(newestLog().contains(line), reported);
        QCOMPARE(newestLog().count("Previous session"), reported ? 1 : 0);
    }

    void pruning()
    {
        for (int i = 1; i <= 12; ++i) {
            const QString base =
                QStringLiteral("q5-orl-imager-20240101-0000%1-7").arg(i, 2, 10, QLatin1Char('0'));
            writeLog(base + ".log", "=== Session ended normally (exit code 0)\n");
            writeLog(base + ".dmp", "dump");
        }
        writeLog("other.log", "not ours");
        writeLog("q5-orl-imager-notes.txt", "not a log");
        runChild({"log", "clean", "x"});

        const QStringList remaining = QDir(logDir()).entryList(QDir::Files, QDir::Name);
        QCOMPARE(logs().size(), 10);
        for (int i = 1; i <= 12; ++i) {
            const QString base =
                QStringLiteral("q5-orl-imager-20240101-0000%1-7").arg(i, 2, 10, QLatin1Char('0'));
            QCOMPARE(remaining.contains(base + ".log"), i > 3);
            QCOMPARE(remaining.contains(base + ".dmp"), i > 3);
        }
        QVERIFY(remaining.contains("other.log"));
        QVERIFY(remaining.contains("q5-orl-imager-notes.txt"));
    }

    void secretsAreMasked_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("logged");
        QTest::newRow("psk=value") << "wifi psk=hunter2 ssid=home"
                                   << "wifi psk=*** ssid=home";
        QTest::newRow("key containing psk") << "wpa_psk = s3cr3t,"
                                            << "wpa_psk = ***,";
        QTest::newRow("PASSWORD in capitals, single quotes")
            << "USER_PASSWORD: 'my secret words' done"
            << "USER_PASSWORD: *** done";
        QTest::newRow("double quotes") << "{\"pass\": 1, password=\"a b;c\"}"
                                       << "{\"pass\": 1, password=***}";
        QTest::newRow("token up to a backslash") << "api-token:abc\\ndef"
                                                 << "api-token:***\\ndef";
        QTest::newRow("secret up to a semicolon") << "client_secret=xyz;next=1"
                                                  << "client_secret=***;next=1";
        QTest::newRow("several keys") << "passwd=a token=b"
                                      << "passwd=*** token=***";
        QTest::newRow("sha-512 crypt hash") << "hash $6$rounds=5000$salt$abcDEF/123. end"
                                            << "hash $*** end";
        QTest::newRow("sha-256 crypt hash in quotes") << "user pw '$5$saltsalt$xyz' set"
                                                      << "user pw '$***' set";
        QTest::newRow("yescrypt hash") << "$y$j9T$F5Jx$abc"
                                       << "$***";
        QTest::newRow("key and hash") << "password=$6$s$h"
                                      << "password=***";
        QTest::newRow("key without separator") << "xpassword is not set"
                                               << "xpassword is not set";
        QTest::newRow("separator without value") << "password: , next"
                                                 << "password: , next";
        QTest::newRow("keyword without separator") << "tokenizer ready, secrets loaded"
                                                   << "tokenizer ready, secrets loaded";
        QTest::newRow("plain dollar text") << "costs $5 or $6 each"
                                           << "costs $5 or $6 each";
        QTest::newRow("unknown crypt id") << "$3$abc$def"
                                          << "$3$abc$def";
        QTest::newRow("device paths") << "Writing /dev/sdb: 512 bytes"
                                      << "Writing /dev/sdb: 512 bytes";
    }

    void secretsAreMasked()
    {
        QFETCH(QString, message);
        QFETCH(QString, logged);
        static int row = 0;
        const QString marker = QStringLiteral("@@%1@@").arg(++row);
        runChild({"log", "clean"}, marker + ' ' + message);
        QCOMPARE(loggedText(newestLog(), marker), marker + ' ' + logged);
        QVERIFY(!newestLog().contains(message.toUtf8()) || message == logged);
    }

    void consoleEchoWritesMaskedTextOnly()
    {
        const ChildEnd end = runChild({"log", "echo"}, "psk=hunter2");
        QVERIFY2(end.err.startsWith("psk=***\na warning\n"), end.err.constData());
        QVERIFY(!end.err.contains("hunter2"));
        QCOMPARE(loggedText(newestLog(), "psk="), QString("psk=***"));
    }

    void segmentationFault()
    {
        const ChildEnd end = runChild({"segv"});
        QVERIFY(end.crashed);
        QCOMPARE(end.code, SIGSEGV);
        const QByteArray log = newestLog();
        QVERIFY2(log.contains("\n\n=== FATAL SIGSEGV (11) at address 0xdead0\nStack:\n"),
                 log.constData());
        verifyStack(log, 1);
        QVERIFY(!log.contains("=== Session ended"));
#ifdef Q5_SANITIZED_BUILD
        QSKIP("allocation tracking replaces malloc, which the sanitizer runtime owns");
#else
        QVERIFY2(!end.err.contains(kAllocationMarker), "the signal handler allocated memory");
#endif
    }

    void abortSentByAnotherProcess()
    {
        QProcess p;
        startChild(p, {"abort-wait"});
        QVERIFY(p.waitForReadyRead(kChildTimeoutMs));
        QCOMPARE(p.readAllStandardOutput(), QByteArray("ready\n"));
        QCOMPARE(::kill(static_cast<pid_t>(p.processId()), SIGABRT), 0);
        const ChildEnd end = finishChild(p);
        QVERIFY(end.crashed);
        QCOMPARE(end.code, SIGABRT);
        const QByteArray log = newestLog();
        QVERIFY2(log.contains("\n=== FATAL SIGABRT (6) sent by process " +
                              QByteArray::number(QCoreApplication::applicationPid()) +
                              "\nStack:\n"),
                 log.constData());
        verifyStack(log, 1);
#ifndef Q5_SANITIZED_BUILD
        QVERIFY2(!end.err.contains(kAllocationMarker), "the signal handler allocated memory");
#endif
    }

    void uncaughtException_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QByteArray>("record");
        QTest::newRow("standard") << "throw-std"
                                  << QByteArray("\n=== FATAL std::terminate called after an "
                                                "uncaught exception: disk on fire\n");
        QTest::newRow("non-standard") << "throw-other"
                                      << QByteArray("\n=== FATAL std::terminate called after an "
                                                    "uncaught non-standard exception\n");
    }

    void uncaughtException()
    {
        QFETCH(QString, mode);
        QFETCH(QByteArray, record);
        QProcess p;
        startChild(p, {mode});
        const qint64 pid = p.processId();
        const ChildEnd end = finishChild(p);
        QVERIFY(end.crashed);
        QCOMPARE(end.code, SIGABRT);
        const QByteArray log = newestLog();
        QVERIFY2(log.contains(record + "\n=== FATAL SIGABRT (6) sent by process " +
                              QByteArray::number(pid) + "\nStack:\n"),
                 log.constData());
    }

    void secondSignalDuringReportIsNotReported()
    {
#ifdef __SANITIZE_THREAD__
        QSKIP("the thread sanitizer holds back signals that arrive inside a signal handler");
#endif
        const QString fifo = _home->filePath("log.fifo");
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(reader >= 0);
        const ChildEnd end = runChild({"nested", fifo});
        QByteArray received;
        char buffer[4096];
        for (ssize_t n; (n = ::read(reader, buffer, sizeof(buffer))) > 0;)
            received.append(buffer, n);
        ::close(reader);

        QVERIFY(end.finished);
        QVERIFY(end.crashed);
        QCOMPARE(end.code, SIGBUS);
        QVERIFY2(received.contains("\n\n=== FATAL SIGSEGV (11) at address 0xdead0\nStack:\n"),
                 received.constData());
        QCOMPARE(received.count("=== FATAL"), 1);
        QVERIFY(!received.contains("SIGBUS"));
    }
};

int main(int argc, char *argv[])
{
    if (argc >= 3 && std::strcmp(argv[1], "--child") == 0)
        return child::run(argc, argv);
    QCoreApplication app(argc, argv);
    tst_CrashLog test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_crashlog.moc"
