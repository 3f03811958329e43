// CRC-16/XMODEM against published check values and a bit-by-bit reference.

#include "crc16-xmodem.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QTest>

namespace
{

// The textbook shift-register form, one bit at a time, to compare the table-driven one against.
uint16_t bitwiseCrc(const QByteArray &data)
{
    uint16_t crc = 0;
    for (char c : data) {
        crc ^= static_cast<uint16_t>(static_cast<unsigned char>(c) << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

uint16_t crcOf(const QByteArray &data)
{
    return crc_update(0, data.constData(), static_cast<std::size_t>(data.size()));
}

} // namespace

class TestCrc16Xmodem : public QObject
{
    Q_OBJECT
private slots:
    void publishedValues_data();
    void publishedValues();
    void feedingInPiecesGivesTheSameResult();
    void matchesBitwiseReferenceOnRandomBlocks();
};

void TestCrc16Xmodem::publishedValues_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("crc");
    QTest::newRow("check string") << QByteArray("123456789") << 0x31C3;
    QTest::newRow("letter A") << QByteArray("A") << 0x58E5;
    QTest::newRow("empty") << QByteArray() << 0x0000;
    // Values from Python's binascii.crc_hqx(data, 0).
    QTest::newRow("padding block") << QByteArray(128, char(0x80)) << 0xBBE2;
    QByteArray allBytes;
    for (int i = 0; i < 256; ++i)
        allBytes.append(static_cast<char>(i));
    QTest::newRow("all byte values") << allBytes << 0x7E55;
}

void TestCrc16Xmodem::publishedValues()
{
    QFETCH(QByteArray, data);
    QFETCH(int, crc);
    QCOMPARE(crcOf(data), static_cast<uint16_t>(crc));
}

void TestCrc16Xmodem::feedingInPiecesGivesTheSameResult()
{
    const QByteArray data("123456789");
    uint16_t crc = 0;
    crc = crc_update(crc, data.constData(), 4);
    crc = crc_update(crc, data.constData() + 4, 0);
    crc = crc_update(crc, data.constData() + 4, 5);
    QCOMPARE(crc, static_cast<uint16_t>(0x31C3));
}

void TestCrc16Xmodem::matchesBitwiseReferenceOnRandomBlocks()
{
    QRandomGenerator random(0x5eed);
    for (int round = 0; round < 200; ++round) {
        QByteArray block(128, Qt::Uninitialized);
        for (char &c : block)
            c = static_cast<char>(random.bounded(256));
        QCOMPARE(crcOf(block), bitwiseCrc(block));
    }
}

QTEST_APPLESS_MAIN(TestCrc16Xmodem)
#include "tst_crc16xmodem.moc"
