#include "dfudriver.h"

bool DfuDriver::probe(int, int, QString *driverName)
{
    if (driverName)
        driverName->clear();
    return false;
}

QString DfuDriver::missingDriverHint(int vendorId, int productId)
{
    QString driver;
    if (probe(vendorId, productId, &driver))
        return driver;
    return QString();
}
