#pragma once

#include <string>

// Releases every mounted file system of a drive through the kernel's mount table.
// Results: 0 success (or nothing mounted), 1 the path is a directory, 4 failure.
int unmount_disk(const char *device);
// There is no separate power-off step on this platform: ejecting is unmounting.
int eject_disk(const char *device);

void MountUtilsLog(std::string msg);
