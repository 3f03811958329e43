#!/usr/bin/python3
"""A stand-in for systemd-logind's inhibitor locks on a private system bus.

Inhibit hands out the write end of a pipe, as logind does with its FIFO; the lock counts as held
until every copy of that descriptor is closed, which the mock sees as a hang-up on the read end.
Calls and releases are recorded as JSON lines in the --log file:
  {"call": "Inhibit", "id": 1, "what": ..., "who": ..., "why": ..., "mode": ...}
  {"event": "released", "id": 1}
--fail NAME makes Inhibit answer with the D-Bus error NAME instead; --stall makes it never answer.
"""

import argparse
import os
import select
import sys

import dbus
import dbus.service
from gi.repository import GLib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mockbus  # noqa: E402

MANAGER = "org.freedesktop.login1.Manager"


class InhibitError(dbus.DBusException):
    def __init__(self, name):
        super().__init__("Inhibit refused by the mock login manager")
        self._dbus_error_name = name


class Manager(dbus.service.Object):
    def __init__(self, bus, log, fail_with, stall):
        super().__init__(bus, "/org/freedesktop/login1")
        self._log = log
        self._fail_with = fail_with
        self._stall = stall
        self._next_id = 1
        self._held = {}  # id -> (read fd, GLib watch, (what, who, why, mode))

    @dbus.service.method(MANAGER, in_signature="ssss", out_signature="h",
                         async_callbacks=("reply", "error"))
    def Inhibit(self, what, who, why, mode, reply, error):
        lock_id = self._next_id
        self._next_id += 1
        self._log.record(call="Inhibit", id=lock_id, what=str(what), who=str(who), why=str(why),
                         mode=str(mode))
        if self._stall:
            return
        if self._fail_with:
            error(InhibitError(self._fail_with))
            return
        read_end, write_end = os.pipe()
        watch = GLib.io_add_watch(read_end, GLib.PRIORITY_DEFAULT, GLib.IO_HUP | GLib.IO_ERR,
                                  self._on_hangup, lock_id)
        self._held[lock_id] = (read_end, watch, (str(what), str(who), str(why), str(mode)))
        handed_over = dbus.types.UnixFd(write_end)  # duplicates the descriptor
        os.close(write_end)
        reply(handed_over)

    @dbus.service.method(MANAGER, in_signature="", out_signature="a(ssssuu)")
    def ListInhibitors(self):
        self._collect_released()
        return dbus.Array([(*fields, dbus.UInt32(0), dbus.UInt32(0))
                           for _, _, fields in self._held.values()], signature="(ssssuu)")

    def _on_hangup(self, _fd, _condition, lock_id):
        self._release(lock_id)
        return False

    # Looks at every lock now rather than waiting for the main loop to report the hang-ups, so
    # an answer to ListInhibitors reflects descriptors closed before the call.
    def _collect_released(self):
        poller = select.poll()
        for read_end, _, _ in self._held.values():
            poller.register(read_end, select.POLLIN)
        by_fd = {read_end: lock_id for lock_id, (read_end, _, _) in self._held.items()}
        for fd, events in poller.poll(0):
            if events & (select.POLLHUP | select.POLLERR):
                self._release(by_fd[fd])

    def _release(self, lock_id):
        if lock_id not in self._held:
            return
        read_end, watch, _ = self._held.pop(lock_id)
        GLib.source_remove(watch)
        os.close(read_end)
        self._log.record(event="released", id=lock_id)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--log", default="")
    parser.add_argument("--fail", default="")
    parser.add_argument("--stall", action="store_true")
    args = parser.parse_args()
    log = mockbus.CallLog(args.log)
    mockbus.serve("org.freedesktop.login1",
                  lambda bus: Manager(bus, log, args.fail, args.stall))


if __name__ == "__main__":
    main()
