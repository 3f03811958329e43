#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Drivelist
{

// One whole block device (a disk, not a partition) as the enumeration found it. Text is UTF-8.
struct DeviceDescriptor {
    std::string device;
    std::string description;
    uint64_t size = 0;
    std::vector<std::string> mountpoints;
    bool isReadOnly = false;
    bool isRemovable = false;
    bool isSystem = false;
    bool isUsb = false;
    bool isScsi = false;
};

} // namespace Drivelist
