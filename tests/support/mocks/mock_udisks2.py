#!/usr/bin/python3
"""A stand-in for the UDisks2 storage service on a private system bus.

Objects: the Manager, one block object per --device node (whole drives, with a partition table),
optional partitions (--mounted-partition NODE, mounted at /media/mock-<name>) and one drive object
that they all belong to (--no-drive makes their "Drive" property "/", as for a loop device).
CreatePartition adds a partition object below the drive it was called on.

Every call is recorded as one JSON line in the --log file:
  {"call": "OpenDevice", "object": "/org/.../block_devices/loop3",
   "args": [["String", "rw"], ["Dictionary", {"flags": ["Int32", 128]}]]}
Each argument is [dbus-python type name, value]; dictionaries hold such pairs as values.

Behaviour switches:
  --refuse METHOD      the method answers with NotAuthorized (repeatable)
  --mount-failures N   the first N Mount calls fail
  --auto-mount DIR     a new FAT file system shows up mounted at DIR (the desktop was quicker)
                       and Mount fails
  --hint-auto          HintAuto starts true
OpenDevice opens the node itself (read-write, exclusive) and hands the descriptor over.
"""

import argparse
import os
import sys

import dbus
import dbus.service

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mockbus  # noqa: E402

BASE = "/org/freedesktop/UDisks2"
MANAGER = "org.freedesktop.UDisks2.Manager"
BLOCK = "org.freedesktop.UDisks2.Block"
FILESYSTEM = "org.freedesktop.UDisks2.Filesystem"
PARTITION_TABLE = "org.freedesktop.UDisks2.PartitionTable"
DRIVE = "org.freedesktop.UDisks2.Drive"
PROPERTIES = "org.freedesktop.DBus.Properties"
DRIVE_PATH = BASE + "/drives/Mock_Card_0123"
DRIVE_ID = "Mock-Card-0123"


class Refused(dbus.DBusException):
    _dbus_error_name = "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain"


class Failed(dbus.DBusException):
    _dbus_error_name = "org.freedesktop.UDisks2.Error.Failed"


def typed(value):
    if isinstance(value, dict):
        return ["Dictionary", {str(k): typed(v) for k, v in value.items()}]
    if isinstance(value, (list, tuple)):
        return [type(value).__name__, [typed(v) for v in value]]
    plain = value
    if isinstance(value, (dbus.Boolean,)):
        plain = bool(value)
    elif isinstance(value, int):
        plain = int(value)
    elif isinstance(value, str):
        plain = str(value)
    return [type(value).__name__, plain]


class Service:
    def __init__(self, bus, args, log):
        self.bus = bus
        self.args = args
        self.log = log
        self.mount_failures_left = args.mount_failures
        self.blocks = []  # in GetBlockDevices order
        self.drive = Drive(self) if not args.no_drive else None
        drive_path = DRIVE_PATH if self.drive else "/"
        for node in args.device:
            self.blocks.append(Block(self, node, drive_path, []))
        for node in args.mounted_partition:
            name = os.path.basename(node)
            self.blocks.append(Block(self, node, drive_path, ["/media/mock-" + name]))
        self.manager = Manager(self)

    def record(self, method, obj, *args):
        self.log.record(call=method, object=obj, args=[typed(a) for a in args])

    def check(self, method):
        if method in self.args.refuse:
            raise Refused("Not authorized to perform operation (mock refuses %s)" % method)

    def by_node(self, node):
        for block in self.blocks:
            if block.node == node:
                return block
        return None


class Manager(dbus.service.Object):
    def __init__(self, service):
        super().__init__(service.bus, BASE + "/Manager")
        self.s = service

    @dbus.service.method(MANAGER, in_signature="a{sv}a{sv}", out_signature="ao")
    def ResolveDevice(self, devspec, options):
        self.s.record("ResolveDevice", BASE + "/Manager", devspec, options)
        self.s.check("ResolveDevice")
        block = self.s.by_node(str(devspec.get("path", "")))
        return dbus.Array([block.path] if block else [], signature="o")

    @dbus.service.method(MANAGER, in_signature="a{sv}", out_signature="ao")
    def GetBlockDevices(self, options):
        self.s.record("GetBlockDevices", BASE + "/Manager", options)
        self.s.check("GetBlockDevices")
        return dbus.Array([b.path for b in self.s.blocks], signature="o")


class Properties(dbus.service.Object):
    """The standard properties interface over a dict {interface: {name: value}}."""

    def props(self):
        raise NotImplementedError

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        values = self.props().get(str(interface), {})
        if str(name) not in values:
            raise dbus.DBusException("no property %s.%s" % (interface, name),
                                     name="org.freedesktop.DBus.Error.InvalidArgs")
        return values[str(name)]

    @dbus.service.method(PROPERTIES, in_signature="ssv", out_signature="")
    def Set(self, interface, name, value):
        self.s.record("Set", self.path, interface, name, value)
        self.s.check("Set")
        self.props().setdefault(str(interface), {})[str(name)] = value

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return dbus.Dictionary(self.props().get(str(interface), {}), signature="sv")


class Block(Properties):
    def __init__(self, service, node, drive_path, mount_points):
        self.s = service
        self.node = node
        self.path = BASE + "/block_devices/" + os.path.basename(node).replace("-", "_")
        super().__init__(service.bus, self.path)
        self.partitions = 0
        self.values = {
            BLOCK: {
                "Device": dbus.ByteArray(node.encode() + b"\0"),
                "Drive": dbus.ObjectPath(drive_path),
                "HintAuto": dbus.Boolean(service.args.hint_auto),
            },
            FILESYSTEM: {},
        }
        self.set_mount_points(mount_points)

    def props(self):
        return self.values

    def set_mount_points(self, dirs):
        self.values[FILESYSTEM]["MountPoints"] = dbus.Array(
            [dbus.ByteArray(d.encode() + b"\0") for d in dirs], signature="ay")

    def mount_points(self):
        return [bytes(d).rstrip(b"\0").decode() for d in self.values[FILESYSTEM]["MountPoints"]]

    @dbus.service.method(BLOCK, in_signature="sa{sv}", out_signature="h")
    def OpenDevice(self, mode, options):
        self.s.record("OpenDevice", self.path, mode, options)
        self.s.check("OpenDevice")
        flags = os.O_RDWR if mode == "rw" else os.O_RDONLY
        if int(options.get("flags", 0)) & os.O_EXCL:
            flags |= os.O_EXCL
        try:
            fd = os.open(self.node, flags | os.O_CLOEXEC)
        except OSError as e:
            raise Failed("Error opening %s: %s" % (self.node, e.strerror))
        handed_over = dbus.types.UnixFd(fd)  # duplicates the descriptor
        os.close(fd)
        return handed_over

    @dbus.service.method(BLOCK, in_signature="sa{sv}", out_signature="")
    def Format(self, fstype, options):
        self.s.record("Format", self.path, fstype, options)
        self.s.check("Format")
        if fstype == "vfat" and self.s.args.auto_mount:
            self.set_mount_points([self.s.args.auto_mount])

    @dbus.service.method(BLOCK, in_signature="a{sv}", out_signature="")
    def Rescan(self, options):
        self.s.record("Rescan", self.path, options)
        self.s.check("Rescan")

    @dbus.service.method(PARTITION_TABLE, in_signature="ttssa{sv}", out_signature="o")
    def CreatePartition(self, offset, size, ptype, name, options):
        self.s.record("CreatePartition", self.path, offset, size, ptype, name, options)
        self.s.check("CreatePartition")
        self.partitions += 1
        node = self.node + ("p" if self.node[-1:].isdigit() else "") + str(self.partitions)
        partition = self.s.by_node(node)
        if partition is None:
            partition = Block(self.s, node, str(self.values[BLOCK]["Drive"]), [])
            self.s.blocks.append(partition)
        return dbus.ObjectPath(partition.path)

    @dbus.service.method(FILESYSTEM, in_signature="a{sv}", out_signature="s")
    def Mount(self, options):
        self.s.record("Mount", self.path, options)
        self.s.check("Mount")
        if self.s.args.auto_mount:
            raise Failed("Device is already mounted")
        if self.s.mount_failures_left > 0:
            self.s.mount_failures_left -= 1
            raise Failed("Mount failed (mock)")
        target = "/media/mock-" + os.path.basename(self.node)
        self.set_mount_points([target])
        return target

    @dbus.service.method(FILESYSTEM, in_signature="a{sv}", out_signature="")
    def Unmount(self, options):
        self.s.record("Unmount", self.path, options)
        self.s.check("Unmount")
        if not self.mount_points():
            raise Failed("Not mounted")
        self.set_mount_points([])


class Drive(Properties):
    def __init__(self, service):
        self.s = service
        self.path = DRIVE_PATH
        super().__init__(service.bus, self.path)
        self.values = {DRIVE: {"Id": dbus.String(DRIVE_ID)}}

    def props(self):
        return self.values

    @dbus.service.method(DRIVE, in_signature="a{sv}", out_signature="")
    def Eject(self, options):
        self.s.record("Eject", self.path, options)
        self.s.check("Eject")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--log", default="")
    parser.add_argument("--device", action="append", default=[])
    parser.add_argument("--mounted-partition", action="append", default=[])
    parser.add_argument("--no-drive", action="store_true")
    parser.add_argument("--refuse", action="append", default=[])
    parser.add_argument("--mount-failures", type=int, default=0)
    parser.add_argument("--auto-mount", default="")
    parser.add_argument("--hint-auto", action="store_true")
    args = parser.parse_args()
    log = mockbus.CallLog(args.log)
    mockbus.serve("org.freedesktop.UDisks2", lambda bus: Service(bus, args, log))


if __name__ == "__main__":
    main()
