// Loading firmware files: DFU suffix detection with its CRC, checked against files whose suffix
// Python's zlib computed, and files that must be sent whole.

#include "dfu_file.h"
#include "dfutestbed.h"
#include "testenv.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace
{

// Writes payload + suffix; the CRC comes from zlib (dwCRC is the complement of zlib's CRC-32).
const char *const makeSuffixedFile = R"(
import struct, sys, zlib
path, size, sig, length, crc_delta = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
payload = bytes((i * 7 + 3) & 0xff for i in range(size))
head = struct.pack('<HHHH', 0x1234, 0x6165, 0x0451, 0x0100) + sig.encode()[::-1] + bytes([length])
body = payload + head
crc = (~zlib.crc32(body) + crc_delta) & 0xffffffff
open(path, 'wb').write(body + struct.pack('<I', crc))
)";

QByteArray payloadOf(int size)
{
    QByteArray p(size, '\0');
    for (int i = 0; i < size; i++)
        p[i] = char((i * 7 + 3) & 0xff);
    return p;
}

QByteArray contentOf(const dfu_file_data &file)
{
    const int64_t length = file.total_size - file.size.prefix - file.size.suffix;
    return QByteArray(reinterpret_cast<const char *>(file.firmware + file.size.prefix),
                      int(length));
}

} // namespace

class TestDfuFile : public QObject
{
    Q_OBJECT

private slots:
    void crcMatchesTheDfuDefinition()
    {
        // CRC-32 of "123456789" is 0xcbf43926; dwCRC leaves out the final inversion.
        const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
        QCOMPARE(dfu_file_crc(0xffffffffu, check, 9), 0x340bc6d9u);
    }

    void suffixes_data()
    {
        QTest::addColumn<QString>("signature");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("crcDelta");
        QTest::addColumn<bool>("loaded");
        QTest::addColumn<int>("suffix");
        QTest::addColumn<QString>("message");
        QTest::newRow("valid") << "DFU" << 16 << 0 << true << 16 << QString();
        QTest::newRow("longer suffix") << "DFU" << 40 << 0 << true << 40 << QString();
        QTest::newRow("bad signature")
            << "DFX" << 16 << 0 << true << 0 << "Warning: Invalid DFU suffix signature";
        QTest::newRow("bad crc") << "DFU" << 16 << 1 << true << 0
                                 << "Warning: DFU suffix CRC does not match";
        QTest::newRow("length too small")
            << "DFU" << 12 << 0 << false << 0 << "Unsupported DFU suffix length 12";
        QTest::newRow("length beyond file")
            << "DFU" << 250 << 0 << false << 0 << "Invalid DFU suffix length 250";
    }
    void suffixes()
    {
        if (!QFile::exists(QStringLiteral("/usr/bin/python3")))
            QSKIP("needs /usr/bin/python3 to compute reference suffixes");
        QFETCH(QString, signature);
        QFETCH(int, length);
        QFETCH(int, crcDelta);
        QFETCH(bool, loaded);
        QFETCH(int, suffix);
        QFETCH(QString, message);
        const int payloadSize = 100;
        const QString path = _dir.filePath(QStringLiteral("fw.bin"));
        const auto made = q5test::run(QStringLiteral("/usr/bin/python3"),
                                      {QStringLiteral("-c"), QString::fromLatin1(makeSuffixedFile),
                                       path, QString::number(payloadSize), signature,
                                       QString::number(length), QString::number(crcDelta)});
        QVERIFY2(made.ok(), made.err.constData());

        dfu_file_data file(path.toStdString());
        dfutest::OutputCapture err;
        dfu_load_file(&file, MAYBE_SUFFIX, NO_PREFIX);
        const QByteArray printed = err.text();
        QVERIFY2(printed.contains(message.toUtf8()), printed.constData());
        QCOMPARE(file.firmware != nullptr, loaded);
        if (!loaded)
            return;
        QCOMPARE(file.total_size, int64_t(payloadSize + 16));
        QCOMPARE(file.size.suffix, suffix);
        QCOMPARE(file.size.prefix, 0);
        if (suffix) {
            QCOMPARE(contentOf(file), payloadOf(payloadSize + 16 - suffix));
            QCOMPARE(int(file.bcdDevice), 0x1234);
            QCOMPARE(int(file.idProduct), 0x6165);
            QCOMPARE(int(file.idVendor), 0x0451);
            QCOMPARE(int(file.bcdDFU), 0x0100);
        } else {
            QVERIFY(printed.contains("a valid DFU suffix will be required in a future release"));
        }
    }

    void shortFileIsSentWhole()
    {
        const QByteArray command("UMS1");
        const QString path = write(QStringLiteral("ums.cmd"), command);
        dfu_file_data file(path.toStdString());
        dfutest::OutputCapture err;
        dfu_load_file(&file, MAYBE_SUFFIX, NO_PREFIX);
        QVERIFY(err.text().contains("File too short for DFU suffix"));
        QVERIFY(file.firmware);
        QCOMPARE(file.size.suffix, 0);
        QCOMPARE(contentOf(file), command);
    }

    // Bytes that other tools read as a vendor prefix are plain data here: the file is loaded
    // whole and the program goes on.
    void prefixLookalikesAreSentWhole_data()
    {
        QTest::addColumn<QByteArray>("content");
        QByteArray lpc(64, 'x');
        lpc[0] = char(0xda);
        lpc[1] = char(0xff);
        QByteArray header(64, 'y');
        header[0] = 0x01;
        header[1] = 0x00;
        header[4] = 48; // a length that matches the rest of the file
        header[5] = header[6] = header[7] = 0;
        QTest::newRow("0x1a/0x3f") << lpc;
        QTest::newRow("0x01 0x00 + length") << header;
    }
    void prefixLookalikesAreSentWhole()
    {
        QFETCH(QByteArray, content);
        const QString path = write(QStringLiteral("lookalike.bin"), content);
        dfu_file_data file(path.toStdString());
        dfutest::OutputCapture err;
        dfu_load_file(&file, MAYBE_SUFFIX, NO_PREFIX);
        QVERIFY(file.firmware);
        QCOMPARE(file.size.prefix, 0);
        QCOMPARE(contentOf(file), content);
    }

    void suffixRules_data()
    {
        QTest::addColumn<int>("rule");
        QTest::addColumn<bool>("loaded");
        QTest::newRow("needs suffix") << int(NEEDS_SUFFIX) << false;
        QTest::newRow("no suffix") << int(NO_SUFFIX) << true;
    }
    void suffixRules()
    {
        QFETCH(int, rule);
        QFETCH(bool, loaded);
        const QString path = write(QStringLiteral("plain.bin"), QByteArray(100, 'z'));
        dfu_file_data file(path.toStdString());
        dfutest::OutputCapture err;
        dfu_load_file(&file, suffix_req(rule), NO_PREFIX);
        QCOMPARE(file.firmware != nullptr, loaded);
    }

    void unreadableFileHasNoContent_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("missing") << "does-not-exist.bin";
        QTest::newRow("directory") << ".";
    }
    void unreadableFileHasNoContent()
    {
        QFETCH(QString, name);
        dfu_file_data file(_dir.filePath(name).toStdString());
        dfutest::OutputCapture err;
        dfu_load_file(&file, MAYBE_SUFFIX, NO_PREFIX);
        QVERIFY(!file.firmware);
    }

    void emptyFileLoadsEmpty()
    {
        const QString path = write(QStringLiteral("empty.bin"), QByteArray());
        dfu_file_data file(path.toStdString());
        dfutest::OutputCapture err;
        dfu_load_file(&file, MAYBE_SUFFIX, NO_PREFIX);
        QVERIFY(file.firmware);
        QCOMPARE(file.total_size, int64_t(0));
    }

private:
    QString write(const QString &name, const QByteArray &content)
    {
        const QString path = _dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    QTemporaryDir _dir;
};

QTEST_GUILESS_MAIN(TestDfuFile)
#include "tst_dfufile.moc"
