// netfeeder as a program: its command line with defaults and fall-backs, the interface set-up and
// its reversal through pkexec, the exit codes of failed set-ups, and serving without a channel.

#include "netfeederrun.h"
#include "netnspair.h"
#include "shimdir.h"
#include "testenv.h"
#include "tftpprobe.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>

using q5test::NetfeederRun;
using q5test::NetnsPair;
using q5test::TftpProbe;

namespace
{

const QStringList setUpCalls = {"ip link set q5srv0 down",
                                "ethtool -s q5srv0 speed 100 duplex full autoneg off",
                                "ip addr add 10.42.0.11/24 dev q5srv0", "ip link set q5srv0 up"};
const QStringList revertCalls = {"ethtool -s q5srv0 autoneg on",
                                 "ip addr del 10.42.0.11/24 dev q5srv0"};

NetnsPair::Options boardWithAddress()
{
    NetnsPair::Options options;
    options.serverAddress.clear(); // netfeeder puts it there itself
    options.boardAddress = "10.42.0.12/24";
    return options;
}

} // namespace

class TstNetfeederCli : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void printsHelp();
    void fallsBackOnInvalidValues_data();
    void fallsBackOnInvalidValues();
    void servesFromProgramDirectory_data();
    void servesFromProgramDirectory();
    void configuresAndRevertsInterface();
    void endsWithSetupFailureCode_data();
    void endsWithSetupFailureCode();
    void servesWithoutMainProgram();

private:
    QList<int> fetchBlocks(const NetnsPair &pair, const QByteArray &name, quint16 port,
                           int blockSize, QByteArray *content = nullptr);

    q5test::ShimDir _shims;
    QTemporaryDir _root;
    QString _served;
};

void TstNetfeederCli::initTestCase()
{
    Q5_REQUIRE_ROOT();
    _shims.addPkexec();
    qputenv("TMPDIR", _root.path().toLocal8Bit());
    QVERIFY(QDir(_root.path()).mkdir("served"));
    _served = QDir(_root.path()).filePath("served");
    QFile f(QDir(_served).filePath("tiboot3.bin"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(3000, 'b'));
}

void TstNetfeederCli::init()
{
    QFile::remove(_shims.logPath());
}

QList<int> TstNetfeederCli::fetchBlocks(const NetnsPair &pair, const QByteArray &name, quint16 port,
                                        int blockSize, QByteArray *content)
{
    TftpProbe client(NetnsPair::socketIn(pair.boardNs(), SOCK_DGRAM));
    client.setServer("10.42.0.11", port);
    QList<int> blocks;
    const QByteArray got = client.fetch(name, &blocks, blockSize);
    if (content)
        *content = got;
    return blocks;
}

void TstNetfeederCli::printsHelp()
{
    const q5test::CommandResult r = q5test::run(NETFEEDER_PATH, {"--help"}, 10000);
    QCOMPARE(r.exitCode, 0);
    for (const char *text :
         {"Interface name (Ex: Ethernet)", "Interface speed (1/10/100/1000).",
          "Duplex type (half/full).", "Server ip (this pc) address (Ex: 10.42.0.1).",
          "Client ip (served pc) address (Ex: 10.42.0.2).", "Server name",
          "Bootfile name which will be pulled from tftp server (Ex: tiboot3.bin).",
          "TFTP block size", "TFTP port.", "Copy all source files into <directory>.",
          "Serve only <filename> and exit.", "--target-directory <directory>",
          "--single-run <filename>", "--si, --server-ip <server-ip>"})
        QVERIFY2(QString::fromUtf8(r.out).simplified().contains(text), text); // lines wrap
}

void TstNetfeederCli::fallsBackOnInvalidValues_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("logLine");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("blockSize");
    QTest::newRow("port not a number")
        << QStringList{"--port", "abc"} << QByteArray("Port is not valid (abc) using default port")
        << 69 << 512;
    QTest::newRow("port out of range")
        << QStringList{"-p", "70000"} << QByteArray("Port is not valid (70000)") << 69 << 512;
    QTest::newRow("other port") << QStringList{"--port", "1069"} << QByteArray("port 1069") << 1069
                                << 512;
    QTest::newRow("block size not a number")
        << QStringList{"--blocksize", "big"}
        << QByteArray("Blocksize is not valid (big) using default blocksize 512") << 69 << 512;
    QTest::newRow("block size zero")
        << QStringList{"-b", "0"} << QByteArray("Blocksize is not valid (0)") << 69 << 512;
    QTest::newRow("other block size")
        << QStringList{"--blocksize", "1024"} << QByteArray("blocksize 1024") << 69 << 1024;
    QTest::newRow("single run accepted")
        << QStringList{"-sr", "tiboot3.bin"} << QByteArray("Main loop started!") << 69 << 512;
}

void TstNetfeederCli::fallsBackOnInvalidValues()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, logLine);
    QFETCH(int, port);
    QFETCH(int, blockSize);
    NetnsPair pair(boardWithAddress());
    QVERIFY2(pair.isValid(), qPrintable(pair.error()));
    NetfeederRun feeder(NETFEEDER_PATH, pair.serverNs(),
                        QStringList{"-i", pair.serverIf(), "-t", _served} + arguments);
    QVERIFY2(feeder.waitForServing(), feeder.log().constData());
    QVERIFY2(feeder.log().contains(logLine), feeder.log().constData());
    QByteArray content;
    const QList<int> blocks = fetchBlocks(pair, "tiboot3.bin", quint16(port), blockSize, &content);
    QCOMPARE(content, QByteArray(3000, 'b'));
    QCOMPARE(blocks.first(), blockSize);
}

void TstNetfeederCli::servesFromProgramDirectory_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no target directory") << QStringList();
    QTest::newRow("missing target directory") << QStringList{"--target-directory", "/nonexistent"};
}

void TstNetfeederCli::servesFromProgramDirectory()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir programDir;
    const QString program = programDir.filePath("netfeeder");
    QVERIFY(QFile::copy(NETFEEDER_PATH, program));
    QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner);
    QFile boot(programDir.filePath("tiboot3.bin"));
    QVERIFY(boot.open(QIODevice::WriteOnly));
    boot.write("beside the program");
    boot.close();

    NetnsPair pair(boardWithAddress());
    QVERIFY2(pair.isValid(), qPrintable(pair.error()));
    NetfeederRun feeder(program, pair.serverNs(), QStringList{"-i", pair.serverIf()} + arguments);
    QVERIFY2(feeder.waitForServing(), feeder.log().constData());
    if (!arguments.isEmpty())
        QVERIFY(feeder.log().contains("Target directory not valid (/nonexistent) using default "
                                      "target directory " +
                                      QFile::encodeName(programDir.path())));
    QByteArray content;
    fetchBlocks(pair, "tiboot3.bin", 69, 512, &content);
    QCOMPARE(content, QByteArray("beside the program"));
}

void TstNetfeederCli::configuresAndRevertsInterface()
{
    NetnsPair pair(boardWithAddress());
    QVERIFY2(pair.isValid(), qPrintable(pair.error()));
    NetfeederRun feeder(NETFEEDER_PATH, pair.serverNs(), {"-i", pair.serverIf(), "-t", _served});
    QVERIFY2(feeder.waitForServing(), feeder.log().constData());
    QCOMPARE(_shims.loggedCalls(), setUpCalls);
    const auto addressShown = [&pair]() {
        return pair.runInServer("ip", {"-4", "addr", "show", "dev", pair.serverIf()}).out;
    };
    QVERIFY(addressShown().contains("inet 10.42.0.11/24"));
    QVERIFY(addressShown().contains("state UP") ||
            pair.runInServer("ip", {"link", "show", pair.serverIf()}).out.contains(",UP"));

    // SIGTERM, as when the session that started it ends: the interface is still restored.
    feeder.terminate();
    QCOMPARE(feeder.exitCode(), 128 + SIGTERM);
    const QStringList calls = _shims.loggedCalls();
    QCOMPARE(calls.size(), 6);
    QCOMPARE(QSet<QString>(calls.begin() + 4, calls.end()),
             QSet<QString>(revertCalls.begin(), revertCalls.end()));
    QVERIFY(!addressShown().contains("10.42.0.11"));
}

void TstNetfeederCli::endsWithSetupFailureCode_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("logLine");
    QTest::newRow("address command crashes")
        << QString("crash") << 2 << QByteArray("setup interface failed!");
    QTest::newRow("port 67 taken")
        << QString("port67") << 8 << QByteArray("Socket bind to port failed!");
    QTest::newRow("no such interface")
        << QString("interface") << 7 << QByteArray("Socket bind to device failed!");
}

void TstNetfeederCli::endsWithSetupFailureCode()
{
    QFETCH(QString, failure);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, logLine);
    NetnsPair pair(boardWithAddress());
    QVERIFY2(pair.isValid(), qPrintable(pair.error()));
    QString interface = pair.serverIf();
    int blocker = -1;
    q5test::ShimDir crashingShims;
    if (failure == "crash") {
        crashingShims.add("pkexec", "printf '%s\\n' \"$*\" >> '" + _shims.logPath().toLocal8Bit() +
                                        "'\ncase \"$*\" in 'ip addr add'*) kill -SEGV $$;; esac\n"
                                        "exec \"$@\"\n");
    } else if (failure == "port67") {
        blocker = NetnsPair::socketIn(pair.serverNs(), SOCK_DGRAM);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(67);
        QCOMPARE(bind(blocker, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    } else {
        interface = "q5nosuch0";
    }
    NetfeederRun feeder(NETFEEDER_PATH, pair.serverNs(), {"-i", interface, "-t", _served});
    const bool ended = feeder.waitForExit(20000);
    if (blocker >= 0)
        close(blocker);
    QVERIFY2(ended, feeder.log().constData());
    QCOMPARE(feeder.exitCode(), exitCode);
    QVERIFY2(feeder.log().contains(logLine), feeder.log().constData());
    // Whatever part of the set-up was done is undone.
    const QStringList calls = _shims.loggedCalls();
    QCOMPARE(calls.size(), 6);
    QVERIFY(calls.last().startsWith("ip addr del") || calls.last().startsWith("ethtool -s"));
}

void TstNetfeederCli::servesWithoutMainProgram()
{
    NetnsPair pair(boardWithAddress());
    QVERIFY2(pair.isValid(), qPrintable(pair.error()));
    NetfeederRun feeder(NETFEEDER_PATH, pair.serverNs(), {"-i", pair.serverIf(), "-t", _served});
    QVERIFY2(feeder.waitForLog("IPC disabled"), feeder.log().constData());
    QVERIFY(feeder.log().contains("Connection to the main proc failed!"));
    QTest::qWait(2500);
    QVERIFY(feeder.isRunning());
    QByteArray content;
    fetchBlocks(pair, "tiboot3.bin", 69, 512, &content);
    QCOMPARE(content, QByteArray(3000, 'b'));
    QVERIFY(feeder.isRunning());
}

QTEST_GUILESS_MAIN(TstNetfeederCli)
#include "tst_netfeedercli.moc"
