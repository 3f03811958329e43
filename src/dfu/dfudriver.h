#pragma once
// Tells whether a missing USB driver keeps a DFU device out of reach. Linux needs no extra driver
// for libusb, so there is never a problem to report.

#include <QString>

class DfuDriver
{
public:
    // Returns true when a driver problem keeps the device out of reach; names the driver needed.
    static bool probe(int vendorId, int productId, QString *driverName);
    // A hint for the user about the missing driver, or an empty text when none is missing.
    static QString missingDriverHint(int vendorId, int productId);
};
