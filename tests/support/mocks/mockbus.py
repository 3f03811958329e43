"""Shared start-up of the mock D-Bus services run by q5test::PrivateBus.

A mock builds its objects on the system bus (DBUS_SYSTEM_BUS_ADDRESS points at the private bus),
then takes its well-known name and prints "READY <name>", which is what the fixture waits for.
It runs until SIGTERM or until the bus goes away.
"""

import json
import signal
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib


class CallLog:
    """Appends one JSON object per line to a file, so tests can read what peers asked for."""

    def __init__(self, path):
        self._path = path

    def record(self, **entry):
        if not self._path:
            return
        with open(self._path, "a", encoding="utf-8") as f:
            f.write(json.dumps(entry) + "\n")


def serve(bus_name, build_objects):
    """Exports the objects that build_objects(bus) creates, owns bus_name and runs the loop."""
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    objects = build_objects(bus)
    name = dbus.service.BusName(bus_name, bus, do_not_queue=True)
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGTERM, loop.quit)
    GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGINT, loop.quit)
    print("READY", bus_name, flush=True)
    loop.run()
    del name, objects
    sys.exit(0)
