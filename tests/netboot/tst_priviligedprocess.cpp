// The main program's side of the server channel: against the real netfeeder started through a
// pkexec shim inside a network namespace, and against a peer of the test's own for the edges.

#include "netnspair.h"
#include "priviligedprocess.h"
#include "shimdir.h"
#include "testenv.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

using q5test::NetnsPair;

namespace
{

const QByteArray channelName = "NetfeederCommChannel";

} // namespace

class TstPriviligedProcess : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void sendWithoutConnectionFails();
    void listensDespiteStaleSocketFile();
    void waitsTenSecondsForConnection();
    void exchangesLinesWithPeer_data();
    void exchangesLinesWithPeer();
    void talksToRealNetfeeder();
    void destructionKillsChild();

private:
    q5test::ShimDir _shims;
    QTemporaryDir _root;
};

void TstPriviligedProcess::initTestCase()
{
    _shims.addPkexec();
    // A private place for the channel's socket file, away from other tests' channels.
    qputenv("TMPDIR", _root.path().toLocal8Bit());
}

void TstPriviligedProcess::sendWithoutConnectionFails()
{
    PriviligedProcess process;
    QVERIFY(process.startCommunicationChannel(channelName));
    QTest::ignoreMessage(QtDebugMsg, "no peer found:  \"quit\"");
    QVERIFY(!process.sendMessage("quit", 1000));
    QCOMPARE(process.recvMessage(100), QByteArray());
}

void TstPriviligedProcess::listensDespiteStaleSocketFile()
{
    QFile stale(QDir(_root.path()).filePath(QString::fromLatin1(channelName)));
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.close();
    PriviligedProcess process;
    QVERIFY(process.startCommunicationChannel(channelName));
    QLocalSocket peer;
    peer.connectToServer(QString::fromLatin1(channelName));
    QVERIFY(peer.waitForConnected(2000));
    QVERIFY(process.waitForCommunicationChannelReady());
}

void TstPriviligedProcess::waitsTenSecondsForConnection()
{
    PriviligedProcess process;
    QVERIFY(process.startCommunicationChannel(channelName));
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!process.waitForCommunicationChannelReady());
    QVERIFY(timer.elapsed() >= 9500);
}

void TstPriviligedProcess::exchangesLinesWithPeer_data()
{
    QTest::addColumn<QByteArray>("peerSends");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("value after acknowledgement")
        << QByteArray("ok\n0.250000\n") << QByteArray("getFileSendProgress")
        << QByteArray("0.250000");
    QTest::newRow("refusal") << QByteArray("ok\nnok\n") << QByteArray("isSblUartReady")
                             << QByteArray("nok");
    QTest::newRow("no second line")
        << QByteArray("ok\n") << QByteArray("isSblUartReady") << QByteArray();
    QTest::newRow("no acknowledgement")
        << QByteArray("nok\n") << QByteArray("isFileTransferOk") << QByteArray();
    QTest::newRow("late file notice before the acknowledgement")
        << QByteArray("tiboot3.bin\nok\n0.500000\n") << QByteArray("getFileSendProgress")
        << QByteArray("0.500000");
    QTest::newRow("white space trimmed")
        << QByteArray("ok \r\n  ok\t\n") << QByteArray("isFileTransferOk") << QByteArray("ok");
}

void TstPriviligedProcess::exchangesLinesWithPeer()
{
    QFETCH(QByteArray, peerSends);
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, value);
    PriviligedProcess process;
    QVERIFY(process.startCommunicationChannel(channelName));
    QLocalSocket peer;
    peer.connectToServer(QString::fromLatin1(channelName));
    QVERIFY(peer.waitForConnected(2000));
    QVERIFY(process.waitForCommunicationChannelReady());
    peer.write(peerSends);
    QVERIFY(peer.waitForBytesWritten(1000));

    QCOMPARE(process.getValue(command, 500), value);
    QVERIFY(peer.waitForReadyRead(1000));
    QCOMPARE(peer.readAll(), command + '\n');
    peer.write(peerSends);
    QVERIFY(peer.waitForBytesWritten(1000));
    QCOMPARE(process.checkValue(command, "ok", 500), value == "ok");
}

void TstPriviligedProcess::talksToRealNetfeeder()
{
    Q5_REQUIRE_ROOT();
    Q5_REQUIRE_TOOL("tftp");
    QTemporaryDir served;
    QFile boot(served.filePath("tiboot3.bin"));
    QVERIFY(boot.open(QIODevice::WriteOnly));
    boot.write(QByteArray(2000, 't'));
    boot.close();
    NetnsPair::Options addresses;
    addresses.serverAddress.clear();
    addresses.boardAddress = "10.42.0.12/24";
    NetnsPair pair(addresses);
    QVERIFY2(pair.isValid(), qPrintable(pair.error()));
    QFile::remove(_shims.logPath());

    PriviligedProcess process;
    QVERIFY(process.startCommunicationChannel(channelName));
    // The namespace wrapper comes before the program path, as pkexec runs whatever follows.
    const QStringList netfeeder = {NETFEEDER_PATH, "--interface", pair.serverIf(),
                                   "--single-run", "tiboot3.bin", "--target-directory",
                                   served.path()};
    const QStringList arguments =
        QStringList{"ip"} +
        NetnsPair::execArguments(pair.serverNs(), netfeeder.first(), netfeeder.mid(1));
    process.setArguments(arguments);
    process.start();
    QVERIFY(process.waitForCommunicationChannelReady());
    QCOMPARE(_shims.loggedCalls().value(0), arguments.join(' '));

    QCOMPARE(process.getValue("getFileSendProgress", 1000), QByteArray("0.000000"));
    QVERIFY(!process.checkValue("isSblUartReady", "ok", 1000));
    QVERIFY(process.sendMessage("notifyFileSend", 1000));
    QVERIFY(pair.runInBoard("tftp", {"-m", "binary", "10.42.0.11", "-c", "get", "tiboot3.bin",
                                     served.filePath("got")})
                .ok());
    QCOMPARE(process.recvMessage(10000), QByteArray("tiboot3.bin"));
    QVERIFY(process.checkValue("isSblUartReady", "ok", 1000));
    QVERIFY(!process.checkValue("isSblUartReady", "ok", 1000));
    QVERIFY(process.checkValue("isFileTransferOk", "ok", 1000));

    QVERIFY(process.sendMessage("quit", 1000));
    QVERIFY(process.waitForFinished(3000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.getQProcess()->exitCode(), 0);
}

void TstPriviligedProcess::destructionKillsChild()
{
    qint64 pid = 0;
    {
        PriviligedProcess process;
        process.setArguments({"sleep", "30"});
        process.start();
        QVERIFY(process.getQProcess()->waitForStarted(5000));
        pid = process.getQProcess()->processId();
        QVERIFY(pid > 0);
    }
    QVERIFY(::kill(pid_t(pid), 0) != 0);
}

QTEST_GUILESS_MAIN(TstPriviligedProcess)
#include "tst_priviligedprocess.moc"
