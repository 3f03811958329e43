// Streaming an image into a simulated board's "rawemmc" setting through DfuWrapper: block
// framing whatever the piece sizes, the stale-session restart, overrun and incomplete streams,
// status polling, the manifest wait, request time-outs, progress and cancellation.

#include "dfu.h"
#include "dfutestbed.h"
#include "dfuwrapper.h"
#include "simusb.h"
#include "testenv.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

using namespace simusb;

namespace
{

constexpr int VID = 0x0451;
constexpr int PID = 0x6165;
constexpr qint64 MiB = 1048576;

QByteArray pattern(qint64 size)
{
    QByteArray data(int(size), '\0');
    for (int i = 0; i < size; i++)
        data[i] = char((i * 37 + i / 4099) & 0xff);
    return data;
}

using dfutest::bytes;
using dfutest::messages;

} // namespace

class TestDfuStream : public QObject
{
    Q_OBJECT

private slots:
    void init() { _bus.reset(new dfutest::SimBus); }
    void cleanup()
    {
        _dfu.reset();
        _dev.reset();
        QCOMPARE(dfu_timeout, DFU_DEFAULT_TIMEOUT_MS);
        _bus.reset();
        QCOMPARE(simusb::openContexts(), 0);
        QCOMPARE(simusb::openHandles(), 0);
        QCOMPARE(simusb::claimedInterfaces(), 0);
        QCOMPARE(simusb::deviceReferences(), 0);
    }

    void pieceSizesDoNotChangeTheBlocks_data()
    {
        QTest::addColumn<int>("piece");
        QTest::newRow("1 byte") << 1;
        QTest::newRow("7 bytes") << 7;
        QTest::newRow("3 blocks") << 3 * 4096;
        QTest::newRow("whole image") << 0;
    }
    void pieceSizesDoNotChangeTheBlocks()
    {
        QFETCH(int, piece);
        const QByteArray image = pattern(10 * 4096 + 1234);
        openBoard(4096);
        QVERIFY(_dfu->beginStream(image.size()));
        const int step = piece ? piece : image.size();
        for (int at = 0; at < image.size(); at += step)
            QVERIFY2(_dfu->streamChunk(image.constData() + at, qMin(step, image.size() - at)),
                     qPrintable(_dfu->lastError()));
        QVERIFY2(_dfu->finishStream(), qPrintable(_dfu->lastError()));
        std::vector<std::pair<uint16_t, uint16_t>> expected;
        for (uint16_t i = 0; i < 10; i++)
            expected.emplace_back(i, 4096);
        expected.emplace_back(10, 1234);
        QCOMPARE(_dev->dnloads(), expected);
        QCOMPARE(_dev->zeroLengthDnloads(), 1);
        QCOMPARE(bytes(_dev->received("rawemmc")), image);
        QVERIFY(_dev->protocolErrors().empty());
    }

    void streamsAFileIntoTheSink()
    {
        Q5_REQUIRE_TOOL("sha256sum");
        const QByteArray image = pattern(3 * MiB + 5);
        const QString source = writeFile(image);
        const QString sink = _dir.filePath(QStringLiteral("emmc.raw"));
        openBoard(4096);
        _dev->knobs.sinkPath = sink.toStdString();
        QSignalSpy status(_dfu.get(), &DfuWrapper::statusMessage);
        QVERIFY2(_dfu->downloadFileStreaming(source), qPrintable(_dfu->lastError()));
        const auto sum = q5test::run(QStringLiteral("sha256sum"), {sink});
        QVERIFY(sum.ok());
        QCOMPARE(sum.out.left(64),
                 QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
        const QStringList lines = messages(status);
        QCOMPARE(lines.first(),
                 QStringLiteral("Streaming 3 MB to device (this may take several minutes)..."));
        QVERIFY(lines.contains("Transferred 3 / 3 MB..."));
        QCOMPARE(lines.mid(lines.size() - 2),
                 (QStringList{"Waiting for device to complete writing...",
                              "Triggering eMMC boot partition write..."}));
        const Request last = _dev->requests().back();
        QCOMPARE(int(last.bRequest), 0); // DETACH lets U-Boot go on with its boot script
        QCOMPARE(int(last.wValue), 1000);
    }

    void fileStreamingFailures_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing") << "absent.img"
                                 << "Failed to open file: %1";
        QTest::newRow("empty") << "empty.img"
                               << "Image file is empty, cannot transfer";
    }
    void fileStreamingFailures()
    {
        QFETCH(QString, name);
        QFETCH(QString, message);
        const QString path = _dir.filePath(name);
        if (name == "empty.img")
            QVERIFY(QFile(path).open(QIODevice::WriteOnly));
        openBoard(4096);
        QVERIFY(!_dfu->downloadFileStreaming(path));
        QCOMPARE(_dfu->lastError(), message.contains("%1") ? message.arg(path) : message);
        QVERIFY(_dev->dnloads().empty());
    }

    void requestTimeOutIsRaisedWhileStreaming()
    {
        openBoard(1024);
        QVERIFY(_dfu->beginStream(4096));
        QVERIFY(_dfu->streamChunk(pattern(4096).constData(), 4096));
        QCOMPARE(dfu_timeout, 300000u);
        QVERIFY(_dfu->finishStream());
        QCOMPARE(dfu_timeout, DFU_DEFAULT_TIMEOUT_MS);
        for (const Request &r : _dev->requests())
            if ((r.bmRequestType & 0x60) == 0x20 && r.bRequest == 1)
                QCOMPARE(r.timeout, 300000u);
    }

    void abandonedStreamRestoresTheTimeOut()
    {
        openBoard(1024);
        QVERIFY(_dfu->beginStream(8192));
        QVERIFY(_dfu->streamChunk(pattern(2048).constData(), 2048));
        _dfu->cleanup();
        QCOMPARE(dfu_timeout, DFU_DEFAULT_TIMEOUT_MS);
        QCOMPARE(simusb::claimedInterfaces(), 0);
    }

    void beginFailures_data()
    {
        QTest::addColumn<bool>("device");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<QString>("message");
        QTest::newRow("no device") << false << qint64(100) << "No DFU device";
        QTest::newRow("no size") << true << qint64(0) << "Image size is not known, cannot transfer";
        QTest::newRow("negative size")
            << true << qint64(-1) << "Image size is not known, cannot transfer";
    }
    void beginFailures()
    {
        QFETCH(bool, device);
        QFETCH(qint64, total);
        QFETCH(QString, message);
        if (device) {
            openBoard(4096);
        } else {
            _dfu.reset(new DfuWrapper);
            QVERIFY(_dfu->initialize());
        }
        QVERIFY(!_dfu->beginStream(total));
        QCOMPARE(_dfu->lastError(), message);
    }

    void notStarted()
    {
        openBoard(4096);
        QVERIFY(!_dfu->streamChunk("x", 1));
        QCOMPARE(_dfu->lastError(), QStringLiteral("Transfer has not been started"));
        QVERIFY(!_dfu->finishStream());
        QCOMPARE(_dfu->lastError(), QStringLiteral("Transfer has not been started"));
    }

    void overrunIsRefusedBeforeSending()
    {
        openBoard(1000);
        QVERIFY(_dfu->beginStream(10000));
        const QByteArray image = pattern(10001);
        QVERIFY(_dfu->streamChunk(image.constData(), 9999));
        const size_t sent = _dev->dnloads().size();
        QVERIFY(!_dfu->streamChunk(image.constData() + 9999, 2));
        QCOMPARE(_dfu->lastError(),
                 QStringLiteral("Transfer overran the declared image size of 10000 bytes"));
        QCOMPARE(_dev->dnloads().size(), sent);
    }

    void incompleteStreamFails()
    {
        openBoard(1000);
        QVERIFY(_dfu->beginStream(10000));
        QVERIFY(_dfu->streamChunk(pattern(5500).constData(), 5500));
        QVERIFY(!_dfu->finishStream());
        QCOMPARE(_dfu->lastError(),
                 QStringLiteral("Transfer incomplete: sent 5500 of 10000 bytes"));
        QCOMPARE(_dev->zeroLengthDnloads(), 0);
        QCOMPARE(simusb::claimedInterfaces(), 0);
    }

    void staleSessionIsRestartedOnce()
    {
        openBoard(1024);
        _dev->knobs.errorOnBlock[0] = errADDRESS;
        QSignalSpy status(_dfu.get(), &DfuWrapper::statusMessage);
        const QByteArray image = pattern(3000);
        QVERIFY(_dfu->beginStream(image.size()));
        QVERIFY(_dfu->streamChunk(image.constData(), image.size()));
        QVERIFY2(_dfu->finishStream(), qPrintable(_dfu->lastError()));
        QVERIFY(messages(status).contains(
            "Device had a stale DFU session, restarting transfer from the beginning..."));
        const std::vector<std::pair<uint16_t, uint16_t>> expected{
            {0, 1024}, {0, 1024}, {1, 1024}, {2, 952}};
        QCOMPARE(_dev->dnloads(), expected);
        QCOMPARE(bytes(_dev->received("rawemmc")), image);
        QVERIFY(_dev->protocolErrors().empty());
    }

    void deviceErrors_data()
    {
        QTest::addColumn<QList<int>>("errorBlocks");
        QTest::addColumn<QString>("message");
        QTest::newRow("stale twice") << QList<int>{0, 1} << "DFU device error: state=10 status=14";
        QTest::newRow("later block") << QList<int>{2} << "DFU device error: state=10 status=14";
    }
    void deviceErrors()
    {
        QFETCH(QList<int>, errorBlocks);
        QFETCH(QString, message);
        openBoard(1024);
        for (int b : errorBlocks)
            _dev->knobs.errorOnBlock[b] = errUNKNOWN;
        QVERIFY(_dfu->beginStream(5000));
        QVERIFY(!_dfu->streamChunk(pattern(5000).constData(), 5000));
        QCOMPARE(_dfu->lastError(), message);
    }

    void statusPolling_data()
    {
        QTest::addColumn<QString>("knob");
        QTest::addColumn<QString>("message");
        QTest::newRow("busy with poll time-out") << "busy" << QString();
        QTest::newRow("three failed reads") << "fail 3" << QString();
        QTest::newRow("four failed reads") << "fail 4"
                                           << "Status poll error: LIBUSB_ERROR_IO";
        QTest::newRow("device gone") << "vanish"
                                     << "Status poll error: LIBUSB_ERROR_NO_DEVICE";
        QTest::newRow("dnload fails") << "dnload"
                                      << "Download error: LIBUSB_ERROR_PIPE";
        QTest::newRow("stuck in dnbusy")
            << "stuck"
            << "Device stayed in state dfuDNBUSY for more than 1 seconds";
    }
    void statusPolling()
    {
        QFETCH(QString, knob);
        QFETCH(QString, message);
        openBoard(1024);
        Knobs &k = _dev->knobs;
        if (knob == "busy") {
            k.busyPolls = 2;
            k.pollTimeoutMs = 10;
        } else if (knob == "vanish") {
            k.vanishAfterBlocks = 1;
        } else if (knob == "dnload") {
            k.failDnloadAt = 1;
        } else if (knob == "stuck") {
            k.stuckState = dfuDNBUSY;
            k.pollTimeoutMs = 20;
            dfu_set_busy_limit(1000);
        }
        QVERIFY(_dfu->beginStream(2048));
        if (knob.startsWith("fail"))
            k.failStatusReads = knob.back().digitValue();
        const bool ok = _dfu->streamChunk(pattern(2048).constData(), 2048);
        QCOMPARE(ok, message.isEmpty());
        QCOMPARE(_dfu->lastError(), message);
        if (ok)
            QCOMPARE(_dev->dnloads().size(), size_t(2));
        QVERIFY(_dev->protocolErrors().empty());
    }

    void manifestPhase_data()
    {
        QTest::addColumn<QString>("knob");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("resets");
        QTest::newRow("idle") << "idle" << QString() << 0;
        QTest::newRow("manifest then idle") << "polls" << QString() << 0;
        QTest::newRow("wait for reset") << "reset" << QString() << 1;
        QTest::newRow("gone on detach") << "detach" << QString() << 0;
        QTest::newRow("manifest error") << "error"
                                        << "DFU error in manifest phase: status=7" << 0;
        QTest::newRow("gone") << "vanish"
                              << "Device disconnected unexpectedly during manifest phase" << 0;
        QTest::newRow("closing packet fails") << "zlp"
                                              << "Download error: LIBUSB_ERROR_IO" << 0;
        QTest::newRow("stuck in manifest")
            << "stuck"
            << "Device stayed in state dfuMANIFEST for more than 1 seconds" << 0;
    }
    void manifestPhase()
    {
        QFETCH(QString, knob);
        QFETCH(QString, message);
        QFETCH(int, resets);
        openBoard(1024);
        Knobs &k = _dev->knobs;
        if (knob == "polls") {
            k.manifestPolls = 3;
            k.pollTimeoutMs = 0;
        } else if (knob == "reset") {
            k.manifestEnd = ManifestEnd::WaitReset;
        } else if (knob == "error") {
            k.manifestError = errVERIFY;
        } else if (knob == "vanish") {
            k.vanishOnZeroLength = true;
        } else if (knob == "detach") {
            k.vanishOnDetach = true;
        } else if (knob == "zlp") {
            k.zeroLengthError = LIBUSB_ERROR_IO;
        } else if (knob == "stuck") {
            k.stuckState = dfuMANIFEST;
            dfu_set_busy_limit(1000);
        }
        QVERIFY(_dfu->beginStream(1024));
        QVERIFY(_dfu->streamChunk(pattern(1024).constData(), 1024));
        QCOMPARE(_dfu->finishStream(), message.isEmpty());
        QCOMPARE(_dfu->lastError(), message);
        QCOMPARE(_dev->resets(), resets);
        QCOMPARE(_dev->count(0), message.isEmpty() ? 1 : 0);
        QCOMPARE(simusb::claimedInterfaces(), 0);
        QVERIFY(_dev->protocolErrors().empty());
    }

    void progressIsRateLimited()
    {
        const qint64 total = 25 * MiB + 100;
        openBoard(4096);
        QSignalSpy progress(_dfu.get(), &DfuWrapper::streamProgress);
        QSignalSpy status(_dfu.get(), &DfuWrapper::statusMessage);
        const QByteArray piece = pattern(MiB);
        QVERIFY(_dfu->beginStream(total));
        for (qint64 at = 0; at < total; at += piece.size())
            QVERIFY(_dfu->streamChunk(piece.constData(), qMin<qint64>(piece.size(), total - at)));
        QVERIFY(_dfu->finishStream());
        QCOMPARE(progress.size(), 26);
        for (int i = 0; i < 25; i++)
            QCOMPARE(progress.at(i).at(0).toLongLong() / MiB, qint64(i + 1));
        QCOMPARE(progress.last().at(0).toLongLong(), total);
        QCOMPARE(progress.last().at(1).toLongLong(), total);
        const QStringList transferred = messages(status).filter("Transferred");
        QCOMPARE(transferred, (QStringList{"Transferred 10 / 25 MB...", "Transferred 20 / 25 MB...",
                                           "Transferred 25 / 25 MB..."}));
    }

    void transferSizes_data()
    {
        QTest::addColumn<int>("announced");
        QTest::addColumn<bool>("descriptor");
        QTest::addColumn<int>("block");
        QTest::newRow("zero") << 0 << true << 1024;
        QTest::newRow("no functional descriptor") << 4096 << false << 1024;
        QTest::newRow("small") << 7 << true << 7;
        QTest::newRow("large") << 65535 << true << 65535;
    }
    void transferSizes()
    {
        QFETCH(int, announced);
        QFETCH(bool, descriptor);
        QFETCH(int, block);
        DeviceSpec spec;
        spec.alts = {"rawemmc"};
        spec.transferSize = uint16_t(announced);
        if (!descriptor)
            spec.funcPlace = FuncPlace::Missing;
        _dev = attach(spec);
        _dfu.reset(new DfuWrapper);
        QVERIFY(_dfu->initialize());
        {
            dfutest::OutputCapture quiet;
            QVERIFY(_dfu->findDevice(VID, PID, QStringLiteral("rawemmc"), 1));
        }
        const QByteArray image = pattern(3 * block + 1);
        QVERIFY(_dfu->beginStream(image.size()));
        QVERIFY(_dfu->streamChunk(image.constData(), image.size()));
        QVERIFY(_dfu->finishStream());
        const auto blocks = _dev->dnloads();
        QCOMPARE(blocks.size(), size_t(4));
        QCOMPARE(int(blocks.front().second), block);
        QCOMPARE(int(blocks.back().second), 1);
        QCOMPARE(bytes(_dev->received("rawemmc")), image);
    }

    void cancelBeforeABlock()
    {
        openBoard(1024);
        QVERIFY(_dfu->beginStream(4096));
        QVERIFY(_dfu->streamChunk(pattern(1024).constData(), 1024));
        _dfu->cancel();
        QVERIFY(!_dfu->streamChunk(pattern(1024).constData(), 1024));
        QCOMPARE(_dfu->lastError(), QStringLiteral("Transfer cancelled by user"));
        QCOMPARE(_dev->dnloads().size(), size_t(1));
    }

    void cancelWhileTheDeviceIsBusy()
    {
        openBoard(1024);
        _dev->knobs.stuckState = dfuDNBUSY;
        _dev->knobs.pollTimeoutMs = 20;
        QVERIFY(_dfu->beginStream(1024));
        std::thread canceller([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            _dfu->cancel();
        });
        const bool ok = _dfu->streamChunk(pattern(1024).constData(), 1024);
        canceller.join();
        QVERIFY(!ok);
        QCOMPARE(_dfu->lastError(), QStringLiteral("Transfer cancelled by user"));
    }

    void claimAbortsAnUnfinishedDownload()
    {
        DeviceSpec spec;
        spec.alts = {"rawemmc"};
        _dev = attach(spec, dfuDNLOAD_IDLE);
        _dfu.reset(new DfuWrapper);
        QVERIFY(_dfu->initialize());
        QVERIFY(_dfu->findDevice(VID, PID, QStringLiteral("rawemmc"), 1));
        QVERIFY(_dfu->beginStream(100));
        QVERIFY(_dfu->streamChunk(pattern(100).constData(), 100));
        QVERIFY(_dfu->finishStream());
        QCOMPARE(_dev->count(6), 1);
        QVERIFY(_dev->protocolErrors().empty());
    }

private:
    void openBoard(int transferSize)
    {
        DeviceSpec spec;
        spec.alts = {"rawemmc", "ums"};
        spec.transferSize = uint16_t(transferSize);
        _dev = attach(spec);
        _dfu.reset(new DfuWrapper);
        QVERIFY(_dfu->initialize());
        QVERIFY(_dfu->findDevice(VID, PID, QStringLiteral("rawemmc"), 1));
    }

    QString writeFile(const QByteArray &content)
    {
        const QString path = _dir.filePath(QStringLiteral("image.img"));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    std::unique_ptr<dfutest::SimBus> _bus;
    DevicePtr _dev;
    std::unique_ptr<DfuWrapper> _dfu;
    QTemporaryDir _dir;
};

QTEST_GUILESS_MAIN(TestDfuStream)
#include "tst_dfustream.moc"
