#!/usr/bin/python3
"""A small HTTP/1.1 test server on 127.0.0.1 for the download and repository tests.

Prints "PORT <n>" once it listens. Every request (and every accepted connection) is appended as
one JSON line to the --log file. Paths:

  /<file>                    a file below --root; single byte ranges ("bytes=N-" and "bytes=N-M")
                             are answered with 206. Query options on a file:
                               drop=A,B,...   close the connection once absolute offset A (then B,
                                              ...) is reached; a request that starts at or after A
                                              uses the next offset
                               stall=A        stop sending at absolute offset A and wait until the
                                              client goes away (at most 120 s)
                               rate=N         send at most N bytes per second
  /status/<code>             answers with that status and a short body
  /redirect?to=<url>         302 to the given URL
  /loop                      302 to /loop, for ever
  /flaky/<code>/<n>/<file>   the first n requests of this path answer <code> without a Location,
                             the later ones serve <file>
  POST anything              the body is recorded and 200 "ok" answered

Options: --date TEXT sends that "Date" header instead of the current time; --omit-date N leaves
the "Date" header out of the first N responses.
"""

import argparse
import email.utils
import json
import os
import socket
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ARGS = None
LOG_LOCK = threading.Lock()
STATE_LOCK = threading.Lock()
FLAKY_COUNTS = {}
DATES_OMITTED = [0]


def record(entry):
    with LOG_LOCK:
        with open(ARGS.log, "a", encoding="utf-8") as f:
            f.write(json.dumps(entry) + "\n")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        super().setup()
        record({"event": "connect"})

    def log_message(self, fmt, *args):
        pass

    def date_time_string(self, timestamp=None):
        return ARGS.date if ARGS.date else super().date_time_string(timestamp)

    def send_response(self, code, message=None):
        self.log_request(code)
        self.send_response_only(code, message)
        self.send_header("Server", "q5-test-server")
        with STATE_LOCK:
            omit = DATES_OMITTED[0] < ARGS.omit_date
            if omit:
                DATES_OMITTED[0] += 1
        if not omit:
            self.send_header("Date", self.date_time_string())

    def _record(self, body=b""):
        record({
            "method": self.command,
            "path": self.path,
            "headers": {k: v for k, v in self.headers.items()},
            "body": body.decode("utf-8", "replace"),
        })

    def _simple(self, code, body=b"", extra=None):
        self.send_response(code)
        for k, v in (extra or {}).items():
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length) if length else b""
        self._record(body)
        self._simple(200, b"ok")

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        self._record()
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        parts = url.path.split("/")
        if url.path.startswith("/status/"):
            self._simple(int(parts[2]), b"status body\n")
        elif url.path == "/redirect":
            self._simple(302, b"", {"Location": query["to"][0]})
        elif url.path == "/loop":
            self._simple(302, b"", {"Location": "/loop"})
        elif url.path.startswith("/flaky/"):
            code, limit, rest = int(parts[2]), int(parts[3]), "/".join(parts[4:])
            with STATE_LOCK:
                count = FLAKY_COUNTS.get(url.path, 0)
                FLAKY_COUNTS[url.path] = count + 1
            if count < limit:
                self._simple(code, b"")
            else:
                self._serve_file(rest, query)
        else:
            self._serve_file(url.path.lstrip("/"), query)

    def _serve_file(self, relpath, query):
        path = os.path.realpath(os.path.join(ARGS.root, urllib.parse.unquote(relpath)))
        if not path.startswith(os.path.realpath(ARGS.root) + os.sep) or not os.path.isfile(path):
            self._simple(404, b"not found\n")
            return
        size = os.path.getsize(path)
        start, end = 0, size - 1
        ranged = False
        spec = self.headers.get("Range")
        if spec and spec.startswith("bytes="):
            first, _, last = spec[6:].partition("-")
            start = int(first)
            if last:
                end = min(int(last), size - 1)
            if start >= size:
                self._simple(416, b"", {"Content-Range": "bytes */%d" % size})
                return
            ranged = True
        self.send_response(206 if ranged else 200)
        self.send_header("Content-Length", str(end - start + 1))
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Last-Modified", email.utils.formatdate(os.path.getmtime(path), usegmt=True))
        if ranged:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
        self.end_headers()
        if self.command == "HEAD":
            return
        stop, action = end + 1, None
        for offset in (int(x) for x in query.get("drop", [""])[0].split(",") if x):
            if offset > start:
                stop, action = min(offset, end + 1), "drop"
                break
        if "stall" in query and int(query["stall"][0]) >= start:
            stall = int(query["stall"][0])
            if stall < stop:
                stop, action = stall, "stall"
        rate = int(query.get("rate", ["0"])[0])
        self._send_range(path, start, stop, rate)
        if action == "drop":
            self.connection.shutdown(socket.SHUT_RDWR)
            self.close_connection = True
        elif action == "stall":
            self.connection.settimeout(120)
            try:
                while self.connection.recv(4096):
                    pass
            except OSError:
                pass
            self.close_connection = True

    def _send_range(self, path, start, stop, rate):
        self.wfile.flush()
        with open(path, "rb") as f:
            offset = start
            while offset < stop:
                chunk = stop - offset
                if rate:
                    chunk = min(chunk, max(1, rate // 10))
                try:
                    sent = os.sendfile(self.connection.fileno(), f.fileno(), offset, min(chunk, 1 << 22))
                except (BrokenPipeError, ConnectionResetError):
                    return
                if sent == 0:
                    return
                offset += sent
                if rate:
                    time.sleep(sent / rate)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--date", default="")
    parser.add_argument("--omit-date", type=int, default=0)
    ARGS = parser.parse_args()
    ThreadingHTTPServer.request_queue_size = 64
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
