#pragma once
// Devices that report their DFU data wrongly, by vendor, product and bcdDevice.

#include <cstdint>

enum dfu_quirk : uint16_t {
    QUIRK_POLLTIMEOUT = 1 << 0, // ignore bwPollTimeout and poll every 5 ms
    QUIRK_FORCE_DFU11 = 1 << 1, // treat as DFU 1.1 whatever the descriptor says
    QUIRK_UTF8_SERIAL = 1 << 2, // the serial string holds raw UTF-8, not UTF-16LE
};

uint16_t get_quirks(uint16_t vendor, uint16_t product, uint16_t bcdDevice);
