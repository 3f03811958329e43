// The XMODEM sender against lrzsz's receiver and against scripted receivers over a pty pair.

#include "crc16-xmodem.h"
#include "ptypair.h"
#include "testenv.h"
#include "transfer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <unistd.h>

namespace
{

constexpr char SOH = 0x01;
constexpr char EOT = 0x04;
constexpr char ACK = 0x06;
constexpr char NAK = 0x15;
constexpr int baudRate = 921600;
constexpr int finishTimeoutMs = 20000;

QByteArray patternFile(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 7 + i / 256) & 0xff);
    return data;
}

// What a receiver must end up with: the file, its last block filled with n bytes of value n,
// and a block of 0x80 bytes when the file fills its last block exactly and padding is on.
QByteArray expectedPayload(const QByteArray &file, bool pkcsPadding)
{
    const int missing = (128 - file.size() % 128) % 128;
    if (missing > 0)
        return file + QByteArray(missing, static_cast<char>(missing));
    return pkcsPadding ? file + QByteArray(128, char(0x80)) : file;
}

struct Packet {
    bool endOfTransmission = false;
    unsigned char number = 0;
    unsigned char complement = 0;
    QByteArray data;
    QByteArray check;
    QByteArray raw;
};

// The receiving end of the line, driven step by step by a test.
class ScriptedReceiver
{
public:
    explicit ScriptedReceiver(const QString &path)
        : _fd(::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
    }
    ~ScriptedReceiver()
    {
        if (_fd >= 0)
            ::close(_fd);
    }
    ScriptedReceiver(const ScriptedReceiver &) = delete;
    ScriptedReceiver &operator=(const ScriptedReceiver &) = delete;

    bool isOpen() const { return _fd >= 0; }

    void send(const QByteArray &bytes)
    {
        QCOMPARE(::write(_fd, bytes.constData(), bytes.size()), bytes.size());
    }
    void send(char byte) { send(QByteArray(1, byte)); }

    // Reads up to count bytes; returns early with what arrived when the time runs out.
    QByteArray read(int count, int timeoutMs)
    {
        QByteArray got;
        const QDeadlineTimer deadline(timeoutMs);
        while (got.size() < count) {
            pollfd p{_fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(deadline.remainingTime())) <= 0)
                break;
            char buffer[512];
            const ssize_t n =
                ::read(_fd, buffer, std::min<qsizetype>(sizeof buffer, count - got.size()));
            if (n > 0)
                got.append(buffer, static_cast<int>(n));
        }
        return got;
    }

    std::optional<Packet> readPacket(Transfer::CheckMode mode, int timeoutMs = 3000)
    {
        Packet packet;
        packet.raw = read(1, timeoutMs);
        if (packet.raw.isEmpty())
            return std::nullopt;
        if (packet.raw[0] == EOT) {
            packet.endOfTransmission = true;
            return packet;
        }
        const int checkSize = mode == Transfer::CheckMode::Crc ? 2 : 1;
        packet.raw += read(2 + 128 + checkSize, 1000);
        if (packet.raw[0] != SOH || packet.raw.size() != 3 + 128 + checkSize)
            return packet;
        packet.number = static_cast<unsigned char>(packet.raw[1]);
        packet.complement = static_cast<unsigned char>(packet.raw[2]);
        packet.data = packet.raw.mid(3, 128);
        packet.check = packet.raw.mid(3 + 128);
        return packet;
    }

    // Sends the start byte, as receivers do, until the first packet begins to arrive.
    std::optional<Packet> startAndReadFirst(char startByte, Transfer::CheckMode mode)
    {
        for (int attempt = 0; attempt < 10; ++attempt) {
            send(startByte);
            if (auto packet = readPacket(mode, 500))
                return packet;
        }
        return std::nullopt;
    }

    bool nothingMoreArrives(int waitMs) { return read(1, waitMs).isEmpty(); }

private:
    int _fd;
};

QByteArray expectedCheck(const QByteArray &data, Transfer::CheckMode mode)
{
    if (mode == Transfer::CheckMode::Checksum) {
        unsigned sum = 0;
        for (char c : data)
            sum += static_cast<unsigned char>(c);
        return QByteArray(1, static_cast<char>(sum & 0xff));
    }
    const uint16_t crc = crc_update(0, data.constData(), static_cast<std::size_t>(data.size()));
    const char bytes[] = {static_cast<char>(crc >> 8), static_cast<char>(crc & 0xff)};
    return QByteArray(bytes, 2);
}

// Checks one received data packet against the block number it must carry.
bool isValidBlock(const Packet &packet, quint32 block, Transfer::CheckMode mode)
{
    const auto number = static_cast<unsigned char>(block % 256);
    return !packet.endOfTransmission && packet.data.size() == 128 && packet.number == number &&
           packet.complement == 255 - number && packet.check == expectedCheck(packet.data, mode);
}

QStringList failures(const QSignalSpy &spy)
{
    QStringList reasons;
    for (const QList<QVariant> &arguments : spy)
        reasons << arguments.at(0).toString();
    return reasons;
}

QList<float> progressValues(const QSignalSpy &spy)
{
    QList<float> values;
    for (const QList<QVariant> &arguments : spy)
        values << arguments.at(0).toFloat();
    return values;
}

} // namespace

// Signals of one transfer, read after its thread has ended.
struct TransferSpies {
    explicit TransferSpies(Transfer &transfer)
        : progress(&transfer, &Transfer::updateProgress),
          completed(&transfer, &Transfer::transferCompleted),
          failed(&transfer, &Transfer::transferFailed)
    {
    }
    QSignalSpy progress;
    QSignalSpy completed;
    QSignalSpy failed;
};

class TestTransfer : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void sendsFileToLrzsz_data();
    void sendsFileToLrzsz();
    void checksumModeOnNak_data();
    void checksumModeOnNak();
    void refusedBlockIsSentAgainUnchanged();
    void repeatedStartRequestsAreNotTakenAsReplies();
    void refusedEndOfTransmissionIsRepeated();
    void incorrectStartByteFails_data();
    void incorrectStartByteFails();
    void noStartByteTimesOut();
    void silentReceiverGivesStatusTimeout();
    void endlessRefusalIsBounded();
    void openFailuresAreReported_data();
    void openFailuresAreReported();
    void unknownPortIsReported();
    void cancelStopsAWaitingTransfer();

private:
    QString writeFile(const QByteArray &contents);
    std::unique_ptr<Transfer> makeTransfer(const QString &filePath, bool pkcsPadding = true);

    std::unique_ptr<q5test::PtyPair> _ptys;
    std::unique_ptr<QTemporaryDir> _dir;
};

void TestTransfer::init()
{
    Q5_REQUIRE_TOOL("socat");
    _ptys = std::make_unique<q5test::PtyPair>();
    QVERIFY(_ptys->isValid());
    _dir = std::make_unique<QTemporaryDir>();
    QVERIFY(_dir->isValid());
}

void TestTransfer::cleanup()
{
    _dir.reset();
    _ptys.reset();
}

QString TestTransfer::writeFile(const QByteArray &contents)
{
    const QString path = _dir->filePath(QStringLiteral("stage.bin"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(contents) != contents.size())
        return QString();
    return path;
}

std::unique_ptr<Transfer> TestTransfer::makeTransfer(const QString &filePath, bool pkcsPadding)
{
    auto transfer = std::make_unique<Transfer>(QString(), baudRate, filePath);
    transfer->setPkcsPadding(pkcsPadding);
    if (!transfer->setSerialDeviceAndConfigure(_ptys->endA(), baudRate))
        return nullptr;
    return transfer;
}

void TestTransfer::sendsFileToLrzsz_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("pkcsPadding");
    QTest::newRow("128 bytes: extra padding block") << 128 << true;
    QTest::newRow("130 bytes: last block filled with 0x7e") << 130 << true;
    QTest::newRow("empty file: one padding block") << 0 << true;
    QTest::newRow("1 byte") << 1 << true;
    QTest::newRow("301 blocks: block number wraps") << 300 * 128 + 77 << true;
    QTest::newRow("256 bytes without PKCS padding") << 256 << false;
}

void TestTransfer::sendsFileToLrzsz()
{
    Q5_REQUIRE_TOOL("rx");
    QFETCH(int, size);
    QFETCH(bool, pkcsPadding);
    const QByteArray contents = patternFile(size);
    const QString path = writeFile(contents);
    QVERIFY(!path.isEmpty());
    auto transfer = makeTransfer(path, pkcsPadding);
    QVERIFY(transfer);
    TransferSpies spies(*transfer);

    const QString receiveDir = _dir->filePath(QStringLiteral("received"));
    QVERIFY(QDir().mkpath(receiveDir));
    QProcess rx;
    rx.setWorkingDirectory(receiveDir);
    rx.setProcessChannelMode(QProcess::MergedChannels);
    transfer->launch();
    // rx flushes its terminal when it ends, which on a pty can swallow its last ACK before socat
    // has read it; over pipes nothing is lost.
    rx.start(QStringLiteral("socat"),
             {QStringLiteral("FILE:") + _ptys->endB() + QStringLiteral(",raw,echo=0"),
              QStringLiteral("EXEC:rx -c -b got.bin,pipes")});
    QVERIFY(transfer->wait(finishTimeoutMs));
    QVERIFY2(rx.waitForFinished(finishTimeoutMs), rx.readAll().constData());
    QCOMPARE(rx.exitCode(), 0);

    QCOMPARE(failures(spies.failed).join(" | "), QString());
    QCOMPARE(spies.completed.count(), 1);
    const QList<float> progress = progressValues(spies.progress);
    QCOMPARE(progress.first(), 0.0f);
    QCOMPARE(progress.last(), 1.0f);
    QVERIFY(std::is_sorted(progress.begin(), progress.end()));

    QFile received(QDir(receiveDir).filePath(QStringLiteral("got.bin")));
    QVERIFY(received.open(QIODevice::ReadOnly));
    QCOMPARE(received.readAll(), expectedPayload(contents, pkcsPadding));
}

void TestTransfer::checksumModeOnNak_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << 0;
    QTest::newRow("128 bytes") << 128;
    QTest::newRow("130 bytes") << 130;
    QTest::newRow("3 blocks") << 3 * 128 - 5;
}

void TestTransfer::checksumModeOnNak()
{
    QFETCH(int, size);
    const QByteArray contents = patternFile(size);
    auto transfer = makeTransfer(writeFile(contents));
    QVERIFY(transfer);
    TransferSpies spies(*transfer);
    ScriptedReceiver receiver(_ptys->endB());
    QVERIFY(receiver.isOpen());
    transfer->launch();

    const Transfer::CheckMode mode = Transfer::CheckMode::Checksum;
    QByteArray payload;
    std::optional<Packet> packet = receiver.startAndReadFirst(NAK, mode);
    for (quint32 block = 1; packet && !packet->endOfTransmission; ++block) {
        QVERIFY2(isValidBlock(*packet, block, mode), qPrintable(QString::number(block)));
        payload += packet->data;
        receiver.send(ACK);
        packet = receiver.readPacket(mode);
    }
    QVERIFY(packet && packet->endOfTransmission);
    receiver.send(ACK);

    QVERIFY(transfer->wait(finishTimeoutMs));
    QCOMPARE(payload, expectedPayload(contents, true));
    QCOMPARE(failures(spies.failed).join(" | "), QString());
    QCOMPARE(spies.completed.count(), 1);
}

void TestTransfer::refusedBlockIsSentAgainUnchanged()
{
    const QByteArray contents = patternFile(8 * 128 - 40);
    auto transfer = makeTransfer(writeFile(contents));
    QVERIFY(transfer);
    TransferSpies spies(*transfer);
    ScriptedReceiver receiver(_ptys->endB());
    transfer->launch();

    const Transfer::CheckMode mode = Transfer::CheckMode::Crc;
    QByteArray payload;
    std::optional<Packet> packet = receiver.startAndReadFirst('C', mode);
    for (quint32 block = 1; packet && !packet->endOfTransmission; ++block) {
        QVERIFY(isValidBlock(*packet, block, mode));
        if (block == 5) {
            receiver.send(NAK);
            const std::optional<Packet> again = receiver.readPacket(mode);
            QVERIFY(again);
            QCOMPARE(again->raw, packet->raw);
        }
        payload += packet->data;
        receiver.send(ACK);
        packet = receiver.readPacket(mode);
    }
    QVERIFY(packet && packet->endOfTransmission);
    receiver.send(ACK);

    QVERIFY(transfer->wait(finishTimeoutMs));
    QCOMPARE(payload, expectedPayload(contents, true));
    QCOMPARE(spies.completed.count(), 1);
    QCOMPARE(failures(spies.failed).join(" | "), QString());
}

void TestTransfer::repeatedStartRequestsAreNotTakenAsReplies()
{
    const QByteArray contents = patternFile(4 * 128);
    auto transfer = makeTransfer(writeFile(contents));
    QVERIFY(transfer);
    TransferSpies spies(*transfer);
    ScriptedReceiver receiver(_ptys->endB());
    receiver.send(QByteArray("CCCC"));
    transfer->launch();

    // A receiver that asked several times before the sender answered.
    const Transfer::CheckMode mode = Transfer::CheckMode::Crc;
    std::optional<Packet> packet = receiver.readPacket(mode, 3000);
    QByteArray payload;
    for (quint32 block = 1; packet && !packet->endOfTransmission; ++block) {
        QVERIFY2(isValidBlock(*packet, block, mode), qPrintable(QString::number(block)));
        payload += packet->data;
        receiver.send(ACK);
        packet = receiver.readPacket(mode);
    }
    QVERIFY(packet && packet->endOfTransmission);
    receiver.send(ACK);

    QVERIFY(transfer->wait(finishTimeoutMs));
    QCOMPARE(payload, expectedPayload(contents, true));
    QCOMPARE(spies.completed.count(), 1);
}

void TestTransfer::refusedEndOfTransmissionIsRepeated()
{
    auto transfer = makeTransfer(writeFile(patternFile(100)));
    QVERIFY(transfer);
    TransferSpies spies(*transfer);
    ScriptedReceiver receiver(_ptys->endB());
    transfer->launch();

    const Transfer::CheckMode mode = Transfer::CheckMode::Crc;
    const std::optional<Packet> block = receiver.startAndReadFirst('C', mode);
    QVERIFY(block && isValidBlock(*block, 1, mode));
    receiver.send(ACK);
    for (char reply : {NAK, NAK, ACK}) {
        const std::optional<Packet> end = receiver.readPacket(mode);
        QVERIFY(end);
        QCOMPARE(end->raw, QByteArray(1, EOT));
        receiver.send(reply);
    }

    QVERIFY(transfer->wait(finishTimeoutMs));
    QVERIFY(receiver.nothingMoreArrives(100));
    QCOMPARE(spies.completed.count(), 1);
    QCOMPARE(failures(spies.failed).join(" | "), QString());
}

void TestTransfer::incorrectStartByteFails_data()
{
    QTest::addColumn<char>("startByte");
    QTest::addColumn<QString>("reason");
    QTest::newRow("A") << 'A' << QStringLiteral("Incorrect start of XMODEM transmission (0x41)");
    QTest::newRow("0xfe") << char(0xfe)
                          << QStringLiteral("Incorrect start of XMODEM transmission (0xfe)");
}

void TestTransfer::incorrectStartByteFails()
{
    QFETCH(char, startByte);
    QFETCH(QString, reason);
    auto transfer = makeTransfer(writeFile(patternFile(300)));
    QVERIFY(transfer);
    TransferSpies spies(*transfer);
    ScriptedReceiver receiver(_ptys->endB());
    receiver.send(startByte);
    transfer->launch();

    QVERIFY(transfer->wait(finishTimeoutMs));
    QVERIFY(receiver.nothingMoreArrives(100));
    QCOMPARE(failures(spies.failed), QStringList{reason});
    QCOMPARE(spies.completed.count(), 0);
    QCOMPARE(progressValues(spies.progress).last(), 1.0f);
}

void TestTransfer::noStartByteTimesOut()
{
    auto transfer = makeTransfer(writeFile(patternFile(300)));
    QVERIFY(transfer);
    transfer->setStartTimeout(300);
    TransferSpies spies(*transfer);
    ScriptedReceiver receiver(_ptys->endB());
    transfer->launch();

    QVERIFY(transfer->wait(finishTimeoutMs));
    QCOMPARE(failures(spies.failed), QStringList{QStringLiteral("Timeout")});
    QCOMPARE(spies.completed.count(), 0);
    QVERIFY(receiver.nothingMoreArrives(0));
}

void TestTransfer::silentReceiverGivesStatusTimeout()
{
    auto transfer = makeTransfer(writeFile(patternFile(3 * 128)));
    QVERIFY(transfer);
    TransferSpies spies(*transfer);
    ScriptedReceiver receiver(_ptys->endB());
    transfer->launch();
    const std::optional<Packet> first = receiver.startAndReadFirst('C', Transfer::CheckMode::Crc);
    QVERIFY(first && isValidBlock(*first, 1, Transfer::CheckMode::Crc));

    QVERIFY(transfer->wait(finishTimeoutMs));
    QCOMPARE(failures(spies.failed), QStringList{QStringLiteral("Status timeout")});
    QCOMPARE(spies.completed.count(), 0);
    QCOMPARE(progressValues(spies.progress).last(), 1.0f);
    QVERIFY(receiver.nothingMoreArrives(0));
}

void TestTransfer::endlessRefusalIsBounded()
{
    auto transfer = makeTransfer(writeFile(patternFile(3 * 128)));
    QVERIFY(transfer);
    TransferSpies spies(*transfer);
    ScriptedReceiver receiver(_ptys->endB());
    transfer->launch();

    const Transfer::CheckMode mode = Transfer::CheckMode::Crc;
    std::optional<Packet> packet = receiver.startAndReadFirst('C', mode);
    int sends = 0;
    while (packet) {
        QVERIFY(isValidBlock(*packet, 1, mode));
        ++sends;
        receiver.send(NAK);
        packet = receiver.readPacket(mode, 1000);
    }

    QVERIFY(transfer->wait(finishTimeoutMs));
    QCOMPARE(sends, 11);
    QCOMPARE(failures(spies.failed), QStringList{QStringLiteral("Block 1 was refused 11 times")});
    QCOMPARE(spies.completed.count(), 0);
}

void TestTransfer::openFailuresAreReported_data()
{
    QTest::addColumn<bool>("portUsable");
    QTest::addColumn<bool>("fileExists");
    QTest::newRow("file missing") << true << false;
    QTest::newRow("port not a terminal") << false << true;
    QTest::newRow("both") << false << false;
}

void TestTransfer::openFailuresAreReported()
{
    QFETCH(bool, portUsable);
    QFETCH(bool, fileExists);
    const QString filePath =
        fileExists ? writeFile(patternFile(200)) : _dir->filePath(QStringLiteral("missing.bin"));
    const QString notATerminal = _dir->filePath(QStringLiteral("plain-file"));
    QFile(notATerminal).open(QIODevice::WriteOnly);
    const QString portPath = portUsable ? _ptys->endA() : notATerminal;

    Transfer transfer(QString(), baudRate, filePath);
    QVERIFY(transfer.setSerialDeviceAndConfigure(portPath, baudRate));
    TransferSpies spies(transfer);
    ScriptedReceiver receiver(_ptys->endB());
    receiver.send('C');
    transfer.launch();
    QVERIFY(transfer.wait(finishTimeoutMs));

    QStringList expected;
    if (!portUsable)
        expected << QStringLiteral("Unable to open port: ") + portPath;
    if (!fileExists)
        expected << QStringLiteral("Unable to open file: ") + filePath;
    QCOMPARE(failures(spies.failed), expected);
    QCOMPARE(spies.completed.count(), 0);
    QCOMPARE(progressValues(spies.progress), (QList<float>{0.0f, 1.0f}));
    QVERIFY(receiver.nothingMoreArrives(100));
}

void TestTransfer::unknownPortIsReported()
{
    Transfer transfer(QString(), baudRate, writeFile(patternFile(10)));
    QVERIFY(!transfer.setSerialPortAndConfigure(QStringLiteral("q5-no-such-port"), baudRate));
    QVERIFY(
        !transfer.setSerialDeviceAndConfigure(_dir->filePath(QStringLiteral("none")), baudRate));
    TransferSpies spies(transfer);
    transfer.launch();
    QVERIFY(transfer.wait(finishTimeoutMs));
    QCOMPARE(failures(spies.failed), QStringList{QStringLiteral("Cannot find serial port!")});
    QCOMPARE(spies.completed.count(), 0);
}

void TestTransfer::cancelStopsAWaitingTransfer()
{
    auto transfer = makeTransfer(writeFile(patternFile(300)));
    QVERIFY(transfer);
    TransferSpies spies(*transfer);
    transfer->launch();
    QTest::qWait(200);
    transfer->cancel();

    QVERIFY(transfer->wait(2000));
    QCOMPARE(failures(spies.failed), QStringList{QStringLiteral("Transfer cancelled")});
    QCOMPARE(spies.completed.count(), 0);
}

QTEST_GUILESS_MAIN(TestTransfer)
#include "tst_transfer.moc"
