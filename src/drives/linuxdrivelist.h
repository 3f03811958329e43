#pragma once

#include "devicedescriptor.h"

#include <QJsonArray>
#include <QStringList>
#include <vector>

namespace Drivelist
{

// Lists the machine's whole block devices, loop, optical and RAM disks left out, in lsblk's order.
// Blocks for as long as lsblk runs (bounded); returns fewer or no devices when lsblk fails.
// Safe to call from any thread: each call runs its own lsblk.
std::vector<DeviceDescriptor> ListStorageDevices();

// Collects partition labels and mount points of a device's partition tree, depth first.
void _walkStorageChildren(DeviceDescriptor &device, QStringList &labels,
                          const QJsonArray &children);

} // namespace Drivelist
