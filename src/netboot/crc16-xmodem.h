#pragma once
// CRC-16/XMODEM: polynomial 0x1021, no reflection, no final XOR. The caller supplies the
// starting value (0 for a fresh block), so a block may be fed in several pieces.

#include <cstddef>
#include <cstdint>

uint16_t crc_update(uint16_t crc, const void *data, std::size_t length);
