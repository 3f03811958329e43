#include "crc16-xmodem.h"

#include <array>

namespace
{

constexpr uint16_t polynomial = 0x1021;

constexpr uint16_t crcOfTopByte(uint16_t topByte)
{
    uint16_t crc = static_cast<uint16_t>(topByte << 8);
    for (int bit = 0; bit < 8; ++bit)
        crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ polynomial : crc << 1);
    return crc;
}

constexpr std::array<uint16_t, 256> makeTable()
{
    std::array<uint16_t, 256> table{};
    for (uint16_t i = 0; i < 256; ++i)
        table[i] = crcOfTopByte(i);
    return table;
}

constexpr std::array<uint16_t, 256> crc_table = makeTable();

} // namespace

uint16_t crc_update(uint16_t crc, const void *data, std::size_t length)
{
    const auto *bytes = static_cast<const unsigned char *>(data);
    for (std::size_t i = 0; i < length; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ crc_table[((crc >> 8) ^ bytes[i]) & 0xff]);
    return crc;
}
