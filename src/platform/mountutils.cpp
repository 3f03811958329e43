#include "mountutils.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <mntent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <vector>

void MountUtilsLog(std::string) {}

namespace
{

bool endsWithDigit(const std::string &s)
{
    return !s.empty() && std::isdigit(static_cast<unsigned char>(s.back()));
}

bool allDigits(const std::string &s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// A mount belongs to the drive when its source is the drive itself or one of its partitions:
// "sdb" -> "sdb", "sdb1", "sdb10"; "mmcblk0"/"loop1" -> "mmcblk0p1", "loop1p2". A bare byte
// prefix would also take "sdaa1" for "sda" or "loop10" for "loop1", i.e. another drive.
bool belongsToDrive(const std::string &source, const std::string &device)
{
    if (source.compare(0, device.size(), device) != 0)
        return false;
    const std::string rest = source.substr(device.size());
    if (rest.empty())
        return true;
    if (endsWithDigit(device))
        return rest[0] == 'p' && allDigits(rest.substr(1));
    return allDigits(rest);
}

std::vector<std::string> mountPointsOf(const std::string &device, bool &tableRead)
{
    std::vector<std::string> dirs;
    MountUtilsLog("Reading /proc/mounts");
    FILE *table = setmntent("/proc/mounts", "r");
    tableRead = table != nullptr;
    if (!table) {
        MountUtilsLog("Couldn't read /proc/mounts");
        return dirs;
    }
    struct mntent entry;
    char buffer[5120];
    while (getmntent_r(table, &entry, buffer, sizeof(buffer))) {
        if (belongsToDrive(entry.mnt_fsname, device)) {
            MountUtilsLog("Mount point " + std::string(entry.mnt_fsname) + " belongs to drive " +
                          device);
            dirs.emplace_back(entry.mnt_dir);
        }
    }
    MountUtilsLog("Closing /proc/mounts");
    endmntent(table);
    return dirs;
}

// Expire twice (the first call only marks an idle mount), then detach lazily, then force.
bool unmountOne(const std::string &dir)
{
    MountUtilsLog("Unmounting " + dir + "...");
    bool ok = umount2(dir.c_str(), MNT_EXPIRE) == 0;
    if (!ok) {
        MountUtilsLog("Unmount MNT_EXPIRE " + dir + ": EAGAIN");
        ok = umount2(dir.c_str(), MNT_EXPIRE) == 0;
    }
    if (!ok) {
        MountUtilsLog("Unmount MNT_EXPIRE " + dir + " failed: " + strerror(errno));
        ok = umount2(dir.c_str(), MNT_DETACH) == 0;
    }
    if (!ok) {
        MountUtilsLog("Unmount MNT_DETACH " + dir + " failed: " + strerror(errno));
        ok = umount2(dir.c_str(), MNT_FORCE) == 0;
    }
    if (!ok) {
        MountUtilsLog("Unmount MNT_FORCE " + dir + " failed: " + strerror(errno));
        return false;
    }
    MountUtilsLog("Unmount " + dir + ": success");
    return true;
}

} // namespace

int unmount_disk(const char *device)
{
    struct stat st;
    if (stat(device, &st) != 0) {
        MountUtilsLog("Stat failed");
        return 4;
    }
    if (S_ISDIR(st.st_mode)) {
        MountUtilsLog("Device is a directory");
        return 1;
    }
    bool tableRead = false;
    const std::vector<std::string> dirs = mountPointsOf(device, tableRead);
    if (!tableRead)
        return 4;
    size_t unmounted = 0;
    for (const std::string &dir : dirs)
        if (unmountOne(dir))
            ++unmounted;
    return unmounted == dirs.size() ? 0 : 4;
}

int eject_disk(const char *device)
{
    return unmount_disk(device);
}
