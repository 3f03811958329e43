// DfuWrapper against simulated AM62x boards: device search with retries and cancellation,
// claiming, whole-file downloads with and without detach, presence checks and DfuDriver.

#include "dfu.h"
#include "dfudriver.h"
#include "dfutestbed.h"
#include "dfuwrapper.h"
#include "simusb.h"

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

QByteArray pattern(int size)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; i++)
        data[i] = char((i * 29 + 11) & 0xff);
    return data;
}

using dfutest::bytes;
using dfutest::messages;

DeviceSpec board(std::vector<std::string> alts)
{
    DeviceSpec spec;
    spec.alts = std::move(alts);
    return spec;
}

} // namespace

class TestDfuWrapper : public QObject
{
    Q_OBJECT

private slots:
    void init() { _bus.reset(new dfutest::SimBus); }
    void cleanup()
    {
        _bus.reset();
        QCOMPARE(simusb::openContexts(), 0);
        QCOMPARE(simusb::openHandles(), 0);
        QCOMPARE(simusb::claimedInterfaces(), 0);
        QCOMPARE(simusb::deviceReferences(), 0);
    }

    void searchNeedsInitialize()
    {
        DfuWrapper dfu;
        QVERIFY(!dfu.findDevice(VID, PID, QStringLiteral("bootloader"), 1));
        QCOMPARE(dfu.lastError(), QStringLiteral("DFU not initialized"));
    }

    void searchFindsTheBoard()
    {
        attach(board({"tispl.bin", "u-boot.img"}));
        DfuWrapper dfu;
        QSignalSpy status(&dfu, &DfuWrapper::statusMessage);
        QVERIFY(dfu.initialize());
        QVERIFY(dfu.findDevice(VID, PID, QStringLiteral("u-boot.img"), 1));
        QCOMPARE(messages(status), QStringList{"Found DFU device: 0451:6165 alt:u-boot.img"});
        QVERIFY(dfu.lastError().isEmpty());
        QCOMPARE(simusb::openHandles(), 1);
    }

    void oneRetryProbesOnceWithoutSleeping()
    {
        attach(board({"bootloader"}));
        DfuWrapper dfu;
        QVERIFY(dfu.initialize());
        QSignalSpy status(&dfu, &DfuWrapper::statusMessage);
        QVERIFY(!dfu.findDevice(VID, PID, QStringLiteral("rawemmc"), 1));
        QCOMPARE(simusb::enumerations(), 1);
        QCOMPARE(dfu.lastError(),
                 QStringLiteral("No DFU device found (VID:0x0451 PID:0x6165 alt:rawemmc) after 1 "
                                "retries"));
        QCOMPARE(messages(status), QStringList{"error: " + dfu.lastError()});
    }

    void noRetriesUsesTheCurrentList()
    {
        attach(board({"rawemmc"}));
        DfuWrapper dfu;
        QVERIFY(dfu.initialize());
        QVERIFY(!dfu.findDevice(VID, PID, QStringLiteral("rawemmc"), 0));
        QCOMPARE(simusb::enumerations(), 0);
        QVERIFY(dfu.lastError().endsWith("after 0 retries"));
    }

    void searchRetriesUntilTheBoardComesUp()
    {
        DfuWrapper dfu;
        QVERIFY(dfu.initialize());
        std::thread later([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            attach(board({"rawemmc"}));
        });
        QTest::ignoreMessage(QtDebugMsg, "Retry 1 searching for DFU device...");
        const bool found = dfu.findDevice(VID, PID, QStringLiteral("rawemmc"), 3);
        later.join();
        QVERIFY(found);
        QCOMPARE(simusb::enumerations(), 2);
    }

    void cancelEndsTheSearch()
    {
        DfuWrapper dfu;
        QVERIFY(dfu.initialize());
        std::thread canceller([&dfu] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            dfu.cancel();
        });
        QTest::ignoreMessage(QtDebugMsg, "Retry 1 searching for DFU device...");
        const bool found = dfu.findDevice(VID, PID, QStringLiteral("rawemmc"), 15);
        canceller.join();
        QVERIFY(!found);
        QVERIFY(dfu.isCancelled());
        QCOMPARE(dfu.lastError(), QStringLiteral("Device search cancelled by user"));
        QCOMPARE(simusb::enumerations(), 2);
    }

    void firstMatchingBoardIsUsedWhateverItsIds()
    {
        DeviceSpec other = board({"bootloader"});
        other.vendor = 0x1234;
        other.product = 0x0001;
        DevicePtr first = attach(other);
        DevicePtr second = attach(board({"bootloader"}));
        DfuWrapper dfu;
        QVERIFY(dfu.initialize());
        QVERIFY(dfu.findDevice(VID, PID, QStringLiteral("bootloader"), 1));
        QVERIFY(dfu.downloadFile(writeFile(pattern(700)), false));
        QCOMPARE(bytes(first->received("bootloader")), pattern(700));
        QVERIFY(second->dnloads().empty());
        QCOMPARE(second->count(3), 0);
    }

    void openFailureIsReported()
    {
        DevicePtr dev = attach(board({"bootloader"}));
        dev->knobs.openError = LIBUSB_ERROR_ACCESS;
        dev->knobs.opensBeforeError = 1; // the probe may open it, the wrapper then cannot
        DfuWrapper dfu;
        QVERIFY(dfu.initialize());
        QVERIFY(!dfu.findDevice(VID, PID, QStringLiteral("bootloader"), 1));
        QCOMPARE(dfu.lastError(), QStringLiteral("Failed to open DFU device: LIBUSB_ERROR_ACCESS"));
    }

    void claimBringsTheDeviceToIdle_data()
    {
        QTest::addColumn<int>("initialState");
        QTest::addColumn<int>("clears");
        QTest::addColumn<int>("aborts");
        QTest::newRow("idle") << int(dfuIDLE) << 0 << 0;
        QTest::newRow("error") << int(dfuERROR) << 1 << 0;
        QTest::newRow("download left open") << int(dfuDNLOAD_IDLE) << 0 << 1;
        QTest::newRow("upload left open") << int(dfuUPLOAD_IDLE) << 0 << 1;
    }
    void claimBringsTheDeviceToIdle()
    {
        QFETCH(int, initialState);
        QFETCH(int, clears);
        QFETCH(int, aborts);
        DevicePtr dev = attach(board({"tispl.bin"}), uint8_t(initialState),
                               initialState == dfuERROR ? errWRITE : OK);
        DfuWrapper dfu;
        QVERIFY(dfu.initialize());
        QVERIFY(dfu.findDevice(VID, PID, QStringLiteral("tispl.bin"), 1));
        QVERIFY(dfu.claimInterface());
        QCOMPARE(dev->count(4), clears);
        QCOMPARE(dev->count(6), aborts);
        QCOMPARE(int(dev->state()), int(dfuIDLE));
        QVERIFY(dev->protocolErrors().empty());
        QCOMPARE(simusb::claimedInterfaces(), 1);
        dfu.cleanup();
    }

    void claimFailures_data()
    {
        QTest::addColumn<QString>("knob");
        QTest::addColumn<QString>("message");
        QTest::newRow("claim") << "claim"
                               << "Cannot claim interface: LIBUSB_ERROR_BUSY";
        QTest::newRow("alt") << "alt"
                             << "Cannot set alternate interface: LIBUSB_ERROR_NOT_FOUND";
        QTest::newRow("status") << "status"
                                << "Error getting DFU status: LIBUSB_ERROR_IO";
    }
    void claimFailures()
    {
        QFETCH(QString, knob);
        QFETCH(QString, message);
        DevicePtr dev = attach(board({"tispl.bin"}));
        DfuWrapper dfu;
        QVERIFY(dfu.initialize());
        QVERIFY(dfu.findDevice(VID, PID, QStringLiteral("tispl.bin"), 1));
        if (knob == "claim")
            dev->knobs.claimError = LIBUSB_ERROR_BUSY;
        else if (knob == "alt")
            dev->knobs.altError = LIBUSB_ERROR_NOT_FOUND;
        else
            dev->knobs.failStatusReads = 1;
        QVERIFY(!dfu.claimInterface());
        QCOMPARE(dfu.lastError(), message);
        QCOMPARE(simusb::claimedInterfaces(), 0);
    }

    void downloadWithoutDevice()
    {
        DfuWrapper dfu;
        QVERIFY(dfu.initialize());
        QVERIFY(!dfu.downloadFile(writeFile(pattern(10)), false));
        QCOMPARE(dfu.lastError(), QStringLiteral("No DFU device"));
    }

    void downloadOfAMissingFile()
    {
        attach(board({"ums"}));
        DfuWrapper dfu;
        QVERIFY(dfu.initialize());
        QVERIFY(dfu.findDevice(VID, PID, QStringLiteral("ums"), 1));
        const QString path = _dir.filePath(QStringLiteral("nothing-here.bin"));
        dfutest::OutputCapture quiet;
        QVERIFY(!dfu.downloadFile(path, false));
        QCOMPARE(dfu.lastError(), QStringLiteral("Failed to load file: %1").arg(path));
        QCOMPARE(simusb::claimedInterfaces(), 0);
    }

    void downloadWithoutDetach()
    {
        DeviceSpec spec = board({"rawemmc", "ums"});
        DevicePtr dev = attach(spec);
        DfuWrapper dfu;
        QVERIFY(dfu.initialize());
        QVERIFY(dfu.findDevice(VID, PID, QStringLiteral("ums"), 1));
        QSignalSpy status(&dfu, &DfuWrapper::statusMessage);
        const QString path = writeFile(QByteArray("UMS1"));
        dfutest::OutputCapture quiet;
        QVERIFY(dfu.downloadFile(path, false));
        QCOMPARE(bytes(dev->received("ums")), QByteArray("UMS1"));
        QCOMPARE(messages(status), QStringList{"Downloading " + path + "..."});
        QCOMPARE(dev->count(0), 0);
        QCOMPARE(simusb::claimedInterfaces(), 0);
        QVERIFY(dev->protocolErrors().empty());
    }

    // The boot ROM takes tiboot3.bin, is detached and reset, and comes back as the first loader
    // stage with other alternate settings.
    void detachingDownloadHandsOverToTheNextStage()
    {
        DevicePtr dev = attach(board({"bootloader"}));
        dev->knobs.altsAfterReset = {"tispl.bin", "u-boot.img"};
        const QByteArray tiboot3 = pattern(5000);
        {
            DfuWrapper dfu;
            QVERIFY(dfu.initialize());
            QVERIFY(dfu.findDevice(VID, PID, QStringLiteral("bootloader"), 1));
            QVERIFY(dfu.downloadFile(writeFile(tiboot3), true));
            QCOMPARE(simusb::openHandles(), 0);
        }
        QCOMPARE(bytes(dev->received("bootloader")), tiboot3);
        const std::vector<Request> log = dev->requests();
        auto detach = std::find_if(log.begin(), log.end(), [](const Request &r) {
            return r.bmRequestType == 0x21 && r.bRequest == 0;
        });
        QVERIFY(detach != log.end());
        QCOMPARE(int(detach->wValue), 1000);
        QCOMPARE(dev->resets(), 1);
        DfuWrapper next;
        QVERIFY(next.initialize());
        QVERIFY(next.findDevice(VID, PID, QStringLiteral("tispl.bin"), 1));
    }

    void boardLeavingOnDetachIsFine()
    {
        DevicePtr dev = attach(board({"u-boot.img"}));
        dev->knobs.vanishOnDetach = true;
        DfuWrapper dfu;
        QVERIFY(dfu.initialize());
        QVERIFY(dfu.findDevice(VID, PID, QStringLiteral("u-boot.img"), 1));
        dfutest::OutputCapture quiet(STDOUT_FILENO);
        QVERIFY(dfu.downloadFile(writeFile(pattern(2000)), true));
        QVERIFY(!dev->present());
        QCOMPARE(simusb::openHandles(), 0);
    }

    void failuresAfterDetach_data()
    {
        QTest::addColumn<QString>("knob");
        QTest::addColumn<bool>("detach");
        QTest::addColumn<QString>("error");
        QTest::newRow("gone after last block, detach") << "vanish" << true << QString();
        QTest::newRow("gone after last block")
            << "vanish" << false << "Download failed: LIBUSB_ERROR_NO_DEVICE";
        QTest::newRow("i/o error, detach") << "io" << true << QString();
        QTest::newRow("timeout, detach") << "timeout" << true << QString();
        QTest::newRow("pipe, detach") << "pipe" << true << QString();
        QTest::newRow("error status, detach") << "status" << true << QString();
        QTest::newRow("error status") << "status" << false << "Download failed: LIBUSB_ERROR_IO";
        QTest::newRow("access denied, detach")
            << "access" << true << "Download failed: LIBUSB_ERROR_ACCESS";
        QTest::newRow("out of memory, detach")
            << "nomem" << true << "Download failed: LIBUSB_ERROR_NO_MEM";
        QTest::newRow("stuck busy, detach")
            << "stuck" << true << "Download failed: LIBUSB_ERROR_BUSY";
    }
    void failuresAfterDetach()
    {
        QFETCH(QString, knob);
        QFETCH(bool, detach);
        QFETCH(QString, error);
        DevicePtr dev = attach(board({"bootloader"}));
        Knobs &k = dev->knobs;
        k.vanishAfterBlocks = 3; // 1500 bytes in 512-byte blocks
        const std::map<QString, int> errors = {
            {"vanish", LIBUSB_ERROR_NO_DEVICE}, {"io", LIBUSB_ERROR_IO},
            {"timeout", LIBUSB_ERROR_TIMEOUT},  {"pipe", LIBUSB_ERROR_PIPE},
            {"access", LIBUSB_ERROR_ACCESS},    {"nomem", LIBUSB_ERROR_NO_MEM}};
        if (errors.count(knob)) {
            k.vanishedError = errors.at(knob);
        } else {
            k.vanishAfterBlocks = -1;
            if (knob == "status")
                k.errorOnBlock[2] = errVERIFY;
            else
                k.stuckState = dfuDNBUSY;
        }
        dfu_set_busy_limit(200);
        DfuWrapper dfu;
        QVERIFY(dfu.initialize());
        QVERIFY(dfu.findDevice(VID, PID, QStringLiteral("bootloader"), 1));
        dfutest::OutputCapture quiet;
        dfutest::OutputCapture quietOut(STDOUT_FILENO);
        QCOMPARE(dfu.downloadFile(writeFile(pattern(1500)), detach), error.isEmpty());
        QCOMPARE(dfu.lastError(), error);
        QCOMPARE(simusb::claimedInterfaces(), 0);
    }

    void transferSize_data()
    {
        QTest::addColumn<int>("announced");
        QTest::addColumn<int>("used");
        QTest::newRow("zero") << 0 << 1024;
        QTest::newRow("small") << 7 << 7;
        QTest::newRow("large") << 65535 << 65535;
    }
    void transferSize()
    {
        QFETCH(int, announced);
        QFETCH(int, used);
        DeviceSpec spec = board({"rawemmc"});
        spec.transferSize = uint16_t(announced);
        attach(spec);
        DfuWrapper dfu;
        QCOMPARE(dfu.getTransferSize(), 0);
        QVERIFY(dfu.initialize());
        QVERIFY(dfu.findDevice(VID, PID, QStringLiteral("rawemmc"), 1));
        QCOMPARE(dfu.getTransferSize(), used);
    }

    void presence()
    {
        QVERIFY(!DfuWrapper::isDevicePresent(VID, PID));
        DeviceSpec ums = board({});
        ums.vendor = 0x0525;
        ums.product = 0xa4a5;
        attach(ums);
        QVERIFY(DfuWrapper::isDevicePresent(0x0525, 0xa4a5));
        QVERIFY(!DfuWrapper::isDevicePresent(VID, PID));
        DevicePtr dev = attach(board({"rawemmc"}));
        QVERIFY(DfuWrapper::isDevicePresent(VID, PID));
        QCOMPARE(simusb::openContexts(), 0);
    }

    void errorsAreStatusLines()
    {
        DfuWrapper dfu;
        QSignalSpy status(&dfu, &DfuWrapper::statusMessage);
        QTest::ignoreMessage(QtDebugMsg, "DFU: \"error: something broke\"");
        dfu.setError(QStringLiteral("something broke"));
        QCOMPARE(dfu.lastError(), QStringLiteral("something broke"));
        QCOMPARE(messages(status), QStringList{"error: something broke"});
    }

    void driverNeverMissing()
    {
        QString name = QStringLiteral("stale");
        QVERIFY(!DfuDriver::probe(VID, PID, &name));
        QVERIFY(name.isEmpty());
        QVERIFY(DfuDriver::missingDriverHint(VID, PID).isEmpty());
    }

private:
    QString writeFile(const QByteArray &content)
    {
        static int serial = 0;
        const QString path = _dir.filePath(QStringLiteral("file%1.bin").arg(++serial));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    std::unique_ptr<dfutest::SimBus> _bus;
    QTemporaryDir _dir;
};

QTEST_GUILESS_MAIN(TestDfuWrapper)
#include "tst_dfuwrapper.moc"
