#include "quirks.h"

uint16_t get_quirks(uint16_t vendor, uint16_t product, uint16_t bcdDevice)
{
    uint16_t quirks = 0;
    if ((vendor == 0x1457 || vendor == 0x1d50) && product >= 0x5117 && product <= 0x5126)
        quirks |= QUIRK_POLLTIMEOUT;
    if (vendor == 0x16c0 && (product == 0x0762 || product == 0x076b || product == 0x076c))
        quirks |= QUIRK_POLLTIMEOUT;
    if (vendor == 0x1eaf && product == 0x0003 && bcdDevice == 0x0200)
        quirks |= QUIRK_FORCE_DFU11;
    if (vendor == 0x0908 && (product == 0x02c4 || product == 0x02c5) && bcdDevice == 0x0000)
        quirks |= QUIRK_POLLTIMEOUT;
    if (vendor == 0x0763 && product == 0x2806)
        quirks |= QUIRK_POLLTIMEOUT;
    if (vendor == 0x28e9 && product == 0x0189)
        quirks |= QUIRK_UTF8_SERIAL;
    return quirks;
}
