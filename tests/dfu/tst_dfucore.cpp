// Probing, matching, descriptors, status decoding and the texts of the DFU protocol core, against
// simulated devices.

#include "dfu.h"
#include "dfu_util.h"
#include "dfutestbed.h"
#include "quirks.h"
#include "simusb.h"

#include <QTest>

using namespace simusb;

Q_DECLARE_METATYPE(FuncPlace)

namespace
{

QList<dfu_interface *> probed(libusb_context *ctx)
{
    probe_devices(ctx);
    QList<dfu_interface *> list;
    for (dfu_interface *p = dfu_root; p; p = p->next)
        list.append(p);
    return list;
}

} // namespace

class TestDfuCore : public QObject
{
    Q_OBJECT

private slots:
    void init() { QCOMPARE(libusb_init(&_ctx), 0); }
    void cleanup()
    {
        disconnect_devices();
        libusb_exit(_ctx);
        QCOMPARE(simusb::deviceReferences(), 0);
        QCOMPARE(simusb::openHandles(), 0);
    }

    void stateNames_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("name");
        const char *names[] = {"appIDLE",          "appDETACH",   "dfuIDLE",
                               "dfuDNLOAD-SYNC",   "dfuDNBUSY",   "dfuDNLOAD-IDLE",
                               "dfuMANIFEST-SYNC", "dfuMANIFEST", "dfuMANIFEST-WAIT-RESET",
                               "dfuUPLOAD-IDLE",   "dfuERROR"};
        for (int i = 0; i < 11; i++)
            QTest::addRow("%d", i) << i << QString::fromLatin1(names[i]);
        QTest::newRow("11") << 11 << QString();
        QTest::newRow("-1") << -1 << QString();
    }
    void stateNames()
    {
        QFETCH(int, state);
        QFETCH(QString, name);
        const char *text = dfu_state_to_string(state);
        QCOMPARE(text ? QString::fromLatin1(text) : QString(), name);
    }

    void statusTexts_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0 << "No error condition is present";
        QTest::newRow("7") << 7 << "Programmed memory failed verification";
        QTest::newRow("9") << 9
                           << "Received DFU_DNLOAD with wLength = 0, but device does not think "
                              "that it has all data yet";
        QTest::newRow("14") << 14
                            << "Something went wrong, but the device does not know what it was";
        QTest::newRow("15") << 15 << "Device stalled an unexpected request";
        QTest::newRow("16") << 16 << "INVALID";
        QTest::newRow("255") << 255 << "INVALID";
    }
    void statusTexts()
    {
        QFETCH(int, status);
        QFETCH(QString, text);
        QCOMPARE(QString::fromLatin1(dfu_status_to_string(status)), text);
    }

    void quirkTable_data()
    {
        QTest::addColumn<int>("vendor");
        QTest::addColumn<int>("product");
        QTest::addColumn<int>("bcdDevice");
        QTest::addColumn<int>("quirks");
        QTest::newRow("am62x") << 0x0451 << 0x6165 << 0x0100 << 0;
        QTest::newRow("1457 low") << 0x1457 << 0x5117 << 0x1234 << int(QUIRK_POLLTIMEOUT);
        QTest::newRow("1d50 high") << 0x1d50 << 0x5126 << 0 << int(QUIRK_POLLTIMEOUT);
        QTest::newRow("1d50 beyond") << 0x1d50 << 0x5127 << 0 << 0;
        QTest::newRow("16c0 076b") << 0x16c0 << 0x076b << 0 << int(QUIRK_POLLTIMEOUT);
        QTest::newRow("16c0 other") << 0x16c0 << 0x0763 << 0 << 0;
        QTest::newRow("1eaf 0200") << 0x1eaf << 0x0003 << 0x0200 << int(QUIRK_FORCE_DFU11);
        QTest::newRow("1eaf 0201") << 0x1eaf << 0x0003 << 0x0201 << 0;
        QTest::newRow("0908 02c5") << 0x0908 << 0x02c5 << 0x0000 << int(QUIRK_POLLTIMEOUT);
        QTest::newRow("0908 bcd 1") << 0x0908 << 0x02c4 << 0x0001 << 0;
        QTest::newRow("0763 2806") << 0x0763 << 0x2806 << 0x9999 << int(QUIRK_POLLTIMEOUT);
        QTest::newRow("28e9 0189") << 0x28e9 << 0x0189 << 0 << int(QUIRK_UTF8_SERIAL);
    }
    void quirkTable()
    {
        QFETCH(int, vendor);
        QFETCH(int, product);
        QFETCH(int, bcdDevice);
        QFETCH(int, quirks);
        QCOMPARE(int(get_quirks(uint16_t(vendor), uint16_t(product), uint16_t(bcdDevice))), quirks);
    }

    void statusDecodesThreeBytePollTimeout()
    {
        dfutest::SimBus bus;
        DevicePtr dev = attach(DeviceSpec());
        dev->knobs.pollTimeoutMs = 0x123456;
        QList<dfu_interface *> found = probed(_ctx);
        QCOMPARE(found.size(), 1);
        QCOMPARE(libusb_open(found[0]->dev, &found[0]->dev_handle), 0);
        dfu_status st;
        QCOMPARE(dfu_get_status(found[0], &st), 6);
        QCOMPARE(st.bwPollTimeout, 0x123456u);
        QCOMPARE(int(st.bState), int(DFU_STATE_dfuIDLE));
        QCOMPARE(int(st.bStatus), 0);
        libusb_close(found[0]->dev_handle);
    }

    void statusWithPollQuirkIsFiveMs()
    {
        dfutest::SimBus bus;
        DeviceSpec spec;
        spec.vendor = 0x1d50;
        spec.product = 0x5118;
        DevicePtr dev = attach(spec);
        dev->knobs.pollTimeoutMs = 4000;
        QList<dfu_interface *> found = probed(_ctx);
        QCOMPARE(found.size(), 1);
        QCOMPARE(libusb_open(found[0]->dev, &found[0]->dev_handle), 0);
        dfu_status st;
        QCOMPARE(dfu_get_status(found[0], &st), 6);
        QCOMPARE(st.bwPollTimeout, 5u);
        libusb_close(found[0]->dev_handle);
    }

    void failedStatusReadsAsUnknownError()
    {
        dfutest::SimBus bus;
        DevicePtr dev = attach(DeviceSpec());
        dev->knobs.pollTimeoutMs = 77;
        dev->knobs.failStatusReads = 1;
        QList<dfu_interface *> found = probed(_ctx);
        QCOMPARE(libusb_open(found[0]->dev, &found[0]->dev_handle), 0);
        dfu_status st;
        st.bStatus = 0;
        st.bState = 2;
        st.bwPollTimeout = 9;
        QCOMPARE(dfu_get_status(found[0], &st), int(LIBUSB_ERROR_IO));
        QCOMPARE(int(st.bStatus), 14);
        QCOMPARE(int(st.bState), int(DFU_STATE_dfuERROR));
        QCOMPARE(st.bwPollTimeout, 0u);
        libusb_close(found[0]->dev_handle);
    }

    void classRequestsOnTheWire()
    {
        dfutest::SimBus bus;
        DeviceSpec spec;
        spec.leadingOtherInterface = true;
        DevicePtr dev = attach(spec, dfuERROR, errWRITE);
        QList<dfu_interface *> found = probed(_ctx);
        QCOMPARE(found.size(), 1);
        libusb_device_handle *h = nullptr;
        QCOMPARE(libusb_open(found[0]->dev, &h), 0);
        dev->clearLog();
        dfu_set_timeout(1234);
        QCOMPARE(dfu_clear_status(h, found[0]->interface), 0);
        QCOMPARE(dfu_abort(h, found[0]->interface), 0);
        QCOMPARE(dfu_detach(h, found[0]->interface, 1000), 0);
        const std::vector<Request> log = dev->requests();
        QCOMPARE(log.size(), size_t(3));
        const int expected[3][3] = {{0x21, 4, 0}, {0x21, 6, 0}, {0x21, 0, 1000}};
        for (int i = 0; i < 3; i++) {
            QCOMPARE(int(log[i].bmRequestType), expected[i][0]);
            QCOMPARE(int(log[i].bRequest), expected[i][1]);
            QCOMPARE(int(log[i].wValue), expected[i][2]);
            QCOMPARE(int(log[i].wIndex), 1);
            QCOMPARE(log[i].timeout, 1234u);
        }
        QVERIFY(dev->protocolErrors().empty());
        libusb_close(h);
    }

    void dfuModeMatchesByNameAlone()
    {
        dfutest::SimBus bus;
        DeviceSpec other;
        other.vendor = 0x1234;
        other.product = 0x5678;
        other.alts = {"rawemmc"};
        attach(other);
        DeviceSpec board;
        board.alts = {"rawemmc", "ums"};
        attach(board);
        match_vendor = 0x0451;
        match_product = 0x6165;
        match_iface_alt_name = "rawemmc";
        QList<dfu_interface *> found = probed(_ctx);
        QCOMPARE(found.size(), 2);
        QCOMPARE(found[0]->vendor, uint16_t(0x1234));
        QCOMPARE(found[0]->alt_name, std::string("rawemmc"));
        QCOMPARE(found[1]->vendor, uint16_t(0x0451));
        QCOMPARE(int(found[1]->altsetting), 0);
        QVERIFY(found[0]->flags & DFU_IFF_DFU);
        QVERIFY(found[0]->flags & DFU_IFF_ALT);
    }

    void everyAlternateSettingIsARecord()
    {
        dfutest::SimBus bus;
        DeviceSpec spec;
        spec.alts = {"bootloader", "tispl.bin", "u-boot.img", "rawemmc", "ums"};
        spec.leadingOtherInterface = true;
        spec.transferSize = 4096;
        attach(spec);
        QList<dfu_interface *> found = probed(_ctx);
        QCOMPARE(found.size(), 5);
        for (int i = 0; i < 5; i++) {
            QCOMPARE(found[i]->alt_name, spec.alts[size_t(i)]);
            QCOMPARE(int(found[i]->altsetting), i);
            QCOMPARE(int(found[i]->interface), 1);
            QCOMPARE(int(found[i]->configuration), 1);
            QCOMPARE(found[i]->serial_name, std::string("AM62X0001"));
            QCOMPARE(int(found[i]->func_dfu.wTransferSize), 4096);
            QCOMPARE(int(found[i]->func_dfu.bcdDFUVersion), 0x0110);
            QCOMPARE(int(found[i]->bMaxPacketSize0), 64);
        }
    }

    void modeAndMatching_data()
    {
        QTest::addColumn<int>("vendor");
        QTest::addColumn<int>("product");
        QTest::addColumn<int>("protocol");
        QTest::addColumn<int>("dfuVersion");
        QTest::addColumn<bool>("otherInterface");
        QTest::addColumn<bool>("found");
        QTest::addColumn<bool>("dfuMode");
        // Criteria: vendor 0x0451, product 0x6165, alternate name "rawemmc"; the device offers
        // "other".
        QTest::newRow("dfu mode, wrong name")
            << 0x0451 << 0x6165 << 2 << 0x0110 << false << false << true;
        QTest::newRow("run-time, right ids")
            << 0x0451 << 0x6165 << 1 << 0x0110 << false << true << false;
        QTest::newRow("run-time, wrong vendor")
            << 0x0452 << 0x6165 << 1 << 0x0110 << false << false << false;
        QTest::newRow("run-time, wrong product")
            << 0x0451 << 0x6166 << 1 << 0x0110 << false << false << false;
        QTest::newRow("dfuse version, protocol 0")
            << 0x0451 << 0x6165 << 0 << 0x011a << false << false << true;
        QTest::newRow("protocol 0 plain")
            << 0x0451 << 0x6165 << 0 << 0x0110 << false << true << false;
        QTest::newRow("1fc9:000c protocol 1")
            << 0x1fc9 << 0x000c << 1 << 0x0110 << false << false << true;
        QTest::newRow("0b0e single interface")
            << 0x0b0e << 0x1234 << 0 << 0x0110 << false << false << true;
        QTest::newRow("0b0e two interfaces")
            << 0x0b0e << 0x1234 << 0 << 0x0110 << true << false << false;
    }
    void modeAndMatching()
    {
        QFETCH(int, vendor);
        QFETCH(int, product);
        QFETCH(int, protocol);
        QFETCH(int, dfuVersion);
        QFETCH(bool, otherInterface);
        QFETCH(bool, found);
        QFETCH(bool, dfuMode);
        dfutest::SimBus bus;
        DeviceSpec spec;
        spec.vendor = uint16_t(vendor);
        spec.product = uint16_t(product);
        spec.protocol = uint8_t(protocol);
        spec.dfuVersion = uint16_t(dfuVersion);
        spec.leadingOtherInterface = otherInterface;
        spec.alts = {"other"};
        attach(spec);
        match_vendor = 0x0451;
        match_product = 0x6165;
        match_iface_alt_name = "rawemmc";
        QList<dfu_interface *> list = probed(_ctx);
        QCOMPARE(!list.isEmpty(), found);
        if (found)
            QCOMPARE(bool(list[0]->flags & DFU_IFF_DFU), dfuMode);
        // Without a name filter every DFU interface is listed, and the mode is visible.
        disconnect_devices();
        match_iface_alt_name = nullptr;
        match_vendor = match_product = -1;
        list = probed(_ctx);
        QCOMPARE(list.size(), 1);
        QCOMPARE(bool(list[0]->flags & DFU_IFF_DFU), dfuMode);
    }

    void functionalDescriptor_data()
    {
        QTest::addColumn<FuncPlace>("place");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("transferSize");
        QTest::addColumn<int>("version");
        QTest::addColumn<QString>("message");
        QTest::newRow("configuration")
            << FuncPlace::Configuration << 9 << 2048 << 0x0110 << QString();
        QTest::newRow("interface") << FuncPlace::Interface << 9 << 2048 << 0x0110 << QString();
        QTest::newRow("device only") << FuncPlace::DeviceOnly << 9 << 2048 << 0x0110 << QString();
        QTest::newRow("missing") << FuncPlace::Missing << 9 << 0 << 0x0100
                                 << "Device has DFU interface, but has no DFU functional "
                                    "descriptor\nDeducing device DFU version from functional "
                                    "descriptor length";
        QTest::newRow("7 bytes") << FuncPlace::Configuration << 7 << 2048 << 0x0100
                                 << "Deducing device DFU version from functional descriptor "
                                    "length";
        QTest::newRow("8 bytes") << FuncPlace::Interface << 8 << 0 << 0x0100
                                 << "Error obtaining DFU functional descriptor\nPlease report "
                                    "this as a bug!\nWarning: Assuming DFU version 1.0\nWarning: "
                                    "Transfer size can not be detected";
        QTest::newRow("5 bytes") << FuncPlace::DeviceOnly << 5 << 0 << 0x0100
                                 << "Error obtaining DFU functional descriptor";
    }
    void functionalDescriptor()
    {
        QFETCH(FuncPlace, place);
        QFETCH(int, length);
        QFETCH(int, transferSize);
        QFETCH(int, version);
        QFETCH(QString, message);
        dfutest::SimBus bus;
        DeviceSpec spec;
        spec.funcPlace = place;
        spec.funcLength = uint8_t(length);
        spec.transferSize = 2048;
        attach(spec);
        dfutest::OutputCapture err;
        QList<dfu_interface *> list = probed(_ctx);
        const QByteArray printed = err.text();
        QCOMPARE(list.size(), 1);
        QCOMPARE(int(list[0]->func_dfu.wTransferSize), transferSize);
        QCOMPARE(int(list[0]->func_dfu.bcdDFUVersion), version);
        QVERIFY2(printed.contains(message.toUtf8()), printed.constData());
        if (message.isEmpty())
            QCOMPARE(printed, QByteArray());
    }

    void forcedDfu11Quirk()
    {
        dfutest::SimBus bus;
        DeviceSpec spec;
        spec.vendor = 0x1eaf;
        spec.product = 0x0003;
        spec.bcdDevice = 0x0200;
        spec.funcLength = 7;
        attach(spec);
        dfutest::OutputCapture err;
        QList<dfu_interface *> list = probed(_ctx);
        QCOMPARE(list.size(), 1);
        QCOMPARE(int(list[0]->func_dfu.bcdDFUVersion), 0x0110);
        QCOMPARE(int(list[0]->quirks), int(QUIRK_FORCE_DFU11));
    }

    void zeroLengthDescriptorEndsTheListSearch()
    {
        dfutest::SimBus bus;
        DeviceSpec spec;
        spec.funcPlace = FuncPlace::DeviceOnly;
        spec.rawConfigExtra = true;
        spec.configExtra = {0x00, 0x21, 0x0d, 0x00, 0x00, 0x00, 0x01, 0x10, 0x01};
        spec.transferSize = 300;
        attach(spec);
        dfutest::OutputCapture err;
        QList<dfu_interface *> list = probed(_ctx);
        QVERIFY(err.text().contains("Invalid descriptor list"));
        QCOMPARE(list.size(), 1);
        QCOMPARE(int(list[0]->func_dfu.wTransferSize), 300);
    }

    void stringDescriptors_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<int>("error");
        QTest::addColumn<QByteArray>("altName");
        QTest::addColumn<QString>("message");
        const QByteArray none;
        QTest::newRow("plain") << 2 << none << 0 << QByteArray("rawemmc") << QString();
        QTest::newRow("langid fails") << 0 << none << int(LIBUSB_ERROR_IO) << QByteArray("UNKNOWN")
                                      << "Failed to retrieve language identifiers";
        QTest::newRow("langid short") << 0 << QByteArray("\x02\x03", 2) << 0
                                      << QByteArray("UNKNOWN") << "Broken LANGID string descriptor";
        QTest::newRow("langid wrong type")
            << 0 << QByteArray("\x04\x02\x09\x04", 4) << 0 << QByteArray("UNKNOWN")
            << "Broken LANGID string descriptor";
        QTest::newRow("string fails")
            << 2 << none << int(LIBUSB_ERROR_PIPE) << QByteArray("UNKNOWN")
            << "Failed to retrieve string descriptor 2";
        QTest::newRow("one byte") << 2 << QByteArray("\x04", 1) << 0 << QByteArray("UNKNOWN")
                                  << "String descriptor 2 too short";
        QTest::newRow("length byte 1") << 2 << QByteArray("\x01\x03\x61\x00", 4) << 0
                                       << QByteArray("UNKNOWN") << "String descriptor 2 too short";
        QTest::newRow("wrong type")
            << 2 << QByteArray("\x04\x04\x61\x00", 4) << 0 << QByteArray("UNKNOWN")
            << "Malformed string descriptor 2, type = 0x04";
        QTest::newRow("truncated")
            << 2 << QByteArray("\x0a\x03\x61\x00\x62\x00", 6) << 0 << QByteArray("ab")
            << "Patching string descriptor 2 length (was 10, received 6)";
        QTest::newRow("non-latin") << 2 << QByteArray("\x08\x03\x61\x00\x3b\x04\xe9\x00", 8) << 0
                                   << QByteArray("a?\xe9") << QString();
        QTest::newRow("empty") << 2 << QByteArray("\x02\x03", 2) << 0 << QByteArray("")
                               << QString();
    }
    void stringDescriptors()
    {
        QFETCH(int, index);
        QFETCH(QByteArray, raw);
        QFETCH(int, error);
        QFETCH(QByteArray, altName);
        QFETCH(QString, message);
        dfutest::SimBus bus;
        DeviceSpec spec;
        spec.alts = {"rawemmc"};
        if (!raw.isNull())
            spec.rawStrings[uint8_t(index)] = std::vector<uint8_t>(raw.begin(), raw.end());
        if (error)
            spec.stringErrors[uint8_t(index)] = error;
        attach(spec);
        dfutest::OutputCapture err;
        QList<dfu_interface *> list = probed(_ctx);
        const QByteArray printed = err.text();
        QCOMPARE(list.size(), 1);
        QCOMPARE(QByteArray::fromStdString(list[0]->alt_name), altName);
        QVERIFY2(printed.contains(message.toUtf8()), printed.constData());
    }

    void serialStrings_data()
    {
        QTest::addColumn<int>("vendor");
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QByteArray>("serial");
        QTest::newRow("no serial index") << 0x0451 << QByteArray() << QByteArray("UNKNOWN");
        QTest::newRow("utf-16") << 0x0451 << QByteArray("\x06\x03\x41\x00\x42\x00", 6)
                                << QByteArray("AB");
        QTest::newRow("raw utf-8 quirk")
            << 0x28e9 << QByteArray("\x06\x03\xc3\xa9xy", 6) << QByteArray("\xc3\xa9xy");
    }
    void serialStrings()
    {
        QFETCH(int, vendor);
        QFETCH(QByteArray, raw);
        QFETCH(QByteArray, serial);
        dfutest::SimBus bus;
        DeviceSpec spec;
        spec.vendor = uint16_t(vendor);
        spec.product = vendor == 0x28e9 ? 0x0189 : 0x6165;
        if (raw.isNull())
            spec.serial.clear();
        else
            spec.rawStrings[1] = std::vector<uint8_t>(raw.begin(), raw.end());
        attach(spec);
        QList<dfu_interface *> list = probed(_ctx);
        QCOMPARE(list.size(), 1);
        QCOMPARE(QByteArray::fromStdString(list[0]->serial_name), serial);
    }

    void unopenableDeviceIsSkipped()
    {
        dfutest::SimBus bus;
        DeviceSpec locked;
        locked.openError = LIBUSB_ERROR_ACCESS;
        locked.alts = {"tispl.bin", "u-boot.img"};
        DevicePtr dev = attach(locked);
        DeviceSpec open;
        open.vendor = 0x0452;
        open.alts = {"tispl.bin"};
        attach(open);
        dfutest::OutputCapture err;
        QList<dfu_interface *> list = probed(_ctx);
        const QByteArray printed = err.text();
        QCOMPARE(list.size(), 1);
        QCOMPARE(list[0]->vendor, uint16_t(0x0452));
        const QByteArray line = QStringLiteral("Cannot open DFU device 0451:6165 found on devnum "
                                               "%1 (LIBUSB_ERROR_ACCESS)\n")
                                    .arg(dev->address())
                                    .toLatin1();
        QCOMPARE(printed.count(line), 1);
    }

private:
    libusb_context *_ctx = nullptr;
};

QTEST_GUILESS_MAIN(TestDfuCore)
#include "tst_dfucore.moc"
