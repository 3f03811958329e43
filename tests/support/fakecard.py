#!/usr/bin/python3
"""A FUSE file system with one file, "card", that behaves like a bad memory card.

usage: fakecard.py MOUNTPOINT CLAIMED_BYTES MODE STORED_BYTES
  MODE "wrap":  only STORED_BYTES are kept; offsets wrap around modulo STORED_BYTES, so data
                written far out overwrites the start (a counterfeit card).
  MODE "short": writes beyond STORED_BYTES are accepted and dropped; reads there return no
                bytes at all (a card whose far end has vanished).
Mounted with direct_io so that the kernel page cache cannot hide what the card returns.
"""
import errno
import stat
import sys
import time

import fusepy as fuse


class FakeCard(fuse.Operations):
    def __init__(self, claimed, mode, stored):
        self.claimed = claimed
        self.mode = mode
        self.stored = stored
        self.data = bytearray(stored)
        now = time.time()
        self.times = dict(st_atime=now, st_mtime=now, st_ctime=now)

    def getattr(self, path, fh=None):
        if path == "/":
            return dict(st_mode=stat.S_IFDIR | 0o755, st_nlink=2, **self.times)
        if path == "/card":
            return dict(st_mode=stat.S_IFREG | 0o666, st_nlink=1, st_size=self.claimed,
                        **self.times)
        raise fuse.FuseOSError(errno.ENOENT)

    def readdir(self, path, fh):
        return [".", "..", "card"]

    def open(self, path, flags):
        if path != "/card":
            raise fuse.FuseOSError(errno.ENOENT)
        return 0

    def truncate(self, path, length, fh=None):
        return 0

    def _pieces(self, offset, length):
        while length > 0:
            start = offset % self.stored
            n = min(length, self.stored - start)
            yield start, n
            offset += n
            length -= n

    def read(self, path, size, offset, fh):
        size = max(0, min(size, self.claimed - offset))
        if self.mode == "short":
            size = max(0, min(size, self.stored - offset))
            return bytes(self.data[offset:offset + size])
        out = bytearray()
        for start, n in self._pieces(offset, size):
            out += self.data[start:start + n]
        return bytes(out)

    def write(self, path, buf, offset, fh):
        if self.mode == "short":
            keep = max(0, min(len(buf), self.stored - offset))
            self.data[offset:offset + keep] = buf[:keep]
            return len(buf)
        pos = 0
        for start, n in self._pieces(offset, len(buf)):
            self.data[start:start + n] = buf[pos:pos + n]
            pos += n
        return len(buf)

    def flush(self, path, fh):
        return 0

    def fsync(self, path, datasync, fh):
        return 0


if __name__ == "__main__":
    mountpoint, claimed, mode, stored = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
    fuse.FUSE(FakeCard(claimed, mode, stored), mountpoint, foreground=True, direct_io=True,
              nothreads=True)
