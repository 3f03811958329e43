// One complete download through the protocol core (dfuload_do_dnload) into a simulated device:
// block numbering, polling, the manifestation phase and every failure with its text.

#include "dfu.h"
#include "dfu_file.h"
#include "dfu_load.h"
#include "dfu_util.h"
#include "dfutestbed.h"
#include "simusb.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace simusb;

namespace
{

QByteArray pattern(int size)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; i++)
        data[i] = char((i * 131 + i / 251) & 0xff);
    return data;
}

QByteArray bytes(const std::vector<uint8_t> &v)
{
    return QByteArray(reinterpret_cast<const char *>(v.data()), int(v.size()));
}

} // namespace

class TestDfuLoad : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        _bus.reset(new dfutest::SimBus);
        QCOMPARE(libusb_init(&_ctx), 0);
    }
    void cleanup()
    {
        if (_dif && _dif->dev_handle) {
            libusb_release_interface(_dif->dev_handle, _dif->interface);
            libusb_close(_dif->dev_handle);
        }
        _dif = nullptr;
        disconnect_devices();
        libusb_exit(_ctx);
        QCOMPARE(simusb::openHandles(), 0);
        QCOMPARE(simusb::deviceReferences(), 0);
        _bus.reset();
    }

    void blocksAreNumberedAndWrap()
    {
        DeviceSpec spec;
        spec.transferSize = 16;
        DevicePtr dev = attach(spec);
        const QByteArray image = pattern(65538 * 16 + 8); // 65539 blocks, the last one short
        dfutest::OutputCapture out(STDOUT_FILENO);
        QCOMPARE(download(dev, image, 16), 0);
        QVERIFY(out.text().contains("Download done.\n"));
        const auto blocks = dev->dnloads();
        QCOMPARE(blocks.size(), size_t(65539));
        for (size_t i = 0; i < blocks.size(); i++) {
            if (blocks[i].first != uint16_t(i))
                QFAIL(
                    qPrintable(QStringLiteral("block %1 numbered %2").arg(i).arg(blocks[i].first)));
        }
        QCOMPARE(int(blocks.back().second), 8);
        const Request closing = dev->requests().at(dev->requests().size() - 2);
        QCOMPARE(int(closing.wLength), 0);
        QCOMPARE(int(closing.wValue), 3); // the block number after 65535, 0, 1, 2
        QCOMPARE(bytes(dev->received("bootloader")), image);
        QVERIFY(dev->protocolErrors().empty());
    }

    void suffixIsNotSent()
    {
        DevicePtr dev = attach(DeviceSpec());
        const QByteArray payload = pattern(1000);
        QByteArray suffix("\x00\x01\x65\x61\x51\x04\x00\x01UFD\x10", 12);
        QByteArray file = payload + suffix;
        const uint32_t crc = dfu_file_crc(
            0xffffffffu, reinterpret_cast<const uint8_t *>(file.constData()), file.size());
        for (int i = 0; i < 4; i++)
            file.append(char(crc >> (8 * i)));
        QCOMPARE(download(dev, file, 512), 0);
        QCOMPARE(bytes(dev->received("bootloader")), payload);
    }

    void pollsHonourThePollTimeout()
    {
        DevicePtr dev = attach(DeviceSpec());
        dev->knobs.busyPolls = 2;
        dev->knobs.pollTimeoutMs = 15;
        QCOMPARE(download(dev, pattern(1500), 512), 0);
        QCOMPARE(dev->count(3), 3 * 3 + 1);
        QVERIFY(dev->protocolErrors().empty());
    }

    void manifestation_data()
    {
        QTest::addColumn<int>("manifestPolls");
        QTest::addColumn<bool>("waitReset");
        QTest::addColumn<int>("resets");
        QTest::addColumn<int>("statusReads");
        QTest::newRow("straight to idle") << 0 << false << 0 << 1;
        QTest::newRow("wait for reset") << 0 << true << 1 << 1;
        QTest::newRow("one second in manifest") << 1 << true << 1 << 2;
    }
    void manifestation()
    {
        QFETCH(int, manifestPolls);
        QFETCH(bool, waitReset);
        QFETCH(int, resets);
        QFETCH(int, statusReads);
        DevicePtr dev = attach(DeviceSpec());
        dev->knobs.manifestPolls = manifestPolls;
        dev->knobs.manifestEnd = waitReset ? ManifestEnd::WaitReset : ManifestEnd::Idle;
        dfutest::OutputCapture out(STDOUT_FILENO);
        QCOMPARE(download(dev, pattern(100), 512), 0);
        const QByteArray printed = out.text();
        QCOMPARE(dev->resets(), resets);
        QCOMPARE(dev->count(3), 1 + statusReads);
        QCOMPARE(printed.contains("Resetting USB to switch back to runtime mode"), waitReset);
        QVERIFY(printed.contains("Done!"));
        if (manifestPolls)
            QVERIFY(printed.contains("DFU state(7) = dfuMANIFEST, status(0) = No error condition "
                                     "is present\n"));
        QVERIFY(dev->protocolErrors().empty());
    }

    void failures_data()
    {
        QTest::addColumn<QString>("knob");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("message");
        QTest::newRow("dnload fails") << "oversized block" << int(LIBUSB_ERROR_PIPE)
                                      << "Error during download (LIBUSB_ERROR_PIPE)";
        QTest::newRow("status read fails")
            << "vanish after block 2" << int(LIBUSB_ERROR_NO_DEVICE)
            << "Error during download get_status (LIBUSB_ERROR_NO_DEVICE)";
        QTest::newRow("error status") << "error on block 1" << -1
                                      << "DFU state(10) = dfuERROR, status(3) = Device is unable "
                                         "to write memory";
        QTest::newRow("completion packet fails")
            << "zero length fails" << int(LIBUSB_ERROR_IO)
            << "Error sending completion packet (LIBUSB_ERROR_IO)";
        QTest::newRow("gone after completion")
            << "vanish on zero length" << int(LIBUSB_ERROR_NO_DEVICE)
            << "unable to read DFU status after completion (LIBUSB_ERROR_NO_DEVICE)";
        QTest::newRow("manifestation fails") << "manifest error" << -1
                                             << "DFU state(10) = dfuERROR, status(7) = Programmed "
                                                "memory failed verification";
        QTest::newRow("reset fails") << "reset error" << int(LIBUSB_ERROR_IO)
                                     << "error resetting after download (LIBUSB_ERROR_IO)";
        QTest::newRow("reset finds re-enumerated device") << "re-enumerate" << 0 << "Done!";
        QTest::newRow("stuck in dnbusy") << "stuck dnbusy" << int(LIBUSB_ERROR_BUSY)
                                         << "Device stayed in state dfuDNBUSY for more than 300 ms";
        QTest::newRow("stuck in manifest")
            << "stuck manifest" << int(LIBUSB_ERROR_BUSY)
            << "Device stayed in state dfuMANIFEST for more than 300 ms";
    }
    void failures()
    {
        QFETCH(QString, knob);
        QFETCH(int, result);
        QFETCH(QString, message);
        DeviceSpec spec;
        spec.transferSize = knob == "oversized block" ? 256 : 512;
        DevicePtr dev = attach(spec);
        Knobs &k = dev->knobs;
        k.manifestEnd = ManifestEnd::WaitReset;
        if (knob == "vanish after block 2")
            k.vanishAfterBlocks = 2;
        else if (knob == "error on block 1")
            k.errorOnBlock[1] = errWRITE;
        else if (knob == "zero length fails")
            k.zeroLengthError = LIBUSB_ERROR_IO;
        else if (knob == "vanish on zero length")
            k.vanishOnZeroLength = true;
        else if (knob == "manifest error")
            k.manifestError = errVERIFY;
        else if (knob == "reset error")
            k.resetError = LIBUSB_ERROR_IO;
        else if (knob == "re-enumerate")
            k.altsAfterReset = {"tispl.bin", "u-boot.img"};
        else if (knob == "stuck dnbusy")
            k.stuckState = dfuDNBUSY;
        else if (knob == "stuck manifest")
            k.stuckState = dfuMANIFEST;
        k.pollTimeoutMs = knob.startsWith("stuck") ? 10 : 0;
        dfu_set_busy_limit(300);

        dfutest::OutputCapture err;
        dfutest::OutputCapture out(STDOUT_FILENO);
        QCOMPARE(download(dev, pattern(2000), 512), result);
        const QByteArray printed = out.text() + err.text();
        QVERIFY2(printed.contains(message.toUtf8()), printed.constData());
    }

private:
    int download(const DevicePtr &dev, const QByteArray &content, int xferSize)
    {
        QFile f(_dir.filePath(QStringLiteral("image.bin")));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            f.write(content) != content.size())
            qFatal("cannot write the image");
        f.close();
        probe_devices(_ctx);
        _dif = dfu_root;
        if (!_dif || libusb_open(_dif->dev, &_dif->dev_handle) != 0 ||
            libusb_claim_interface(_dif->dev_handle, _dif->interface) != 0 ||
            libusb_set_interface_alt_setting(_dif->dev_handle, _dif->interface, _dif->altsetting))
            qFatal("cannot open the simulated device");
        dev->clearLog();
        dfu_file_data file(f.fileName().toStdString());
        {
            dfutest::OutputCapture quiet;
            dfu_load_file(&file, MAYBE_SUFFIX, NO_PREFIX);
        }
        return dfuload_do_dnload(_dif, xferSize, &file);
    }

    std::unique_ptr<dfutest::SimBus> _bus;
    libusb_context *_ctx = nullptr;
    dfu_interface *_dif = nullptr;
    QTemporaryDir _dir;
};

QTEST_GUILESS_MAIN(TestDfuLoad)
#include "tst_dfuload.moc"
