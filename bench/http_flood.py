#!/usr/bin/env python3
"""READ_DATA latency of the real station while its HTTP endpoint is flooded.

One headless station with 32 channels and --http on loopback; a host polls
READ_DATA on one connection. First quiet, then with 1 000 HTTP requests in
flight at once (/metrics, /api/v1/stations/NAME and /livez, each on its own
connection, kept up for the whole phase; the endpoint takes 64 at a time and
the rest wait in the listen backlog). Prints READ_DATA p50/p99 of both phases
and the HTTP requests answered. The endpoint's threads are not the station's,
so the two phases should show the same figures (target: p99 <= 5 ms).

    bench/http_flood.py BINARY [--seconds 10] [--in-flight 1000] [--quick]
"""
import argparse
import os
import shutil
import socket
import statistics
import subprocess
import tempfile
import threading
import time

from hostile_peers import free_port, message, read_reply


def wait_port(port, deadline):
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port)).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on {port}")


def read_data_latencies(port, seconds):
    s = socket.create_connection(("127.0.0.1", port))
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    request = message(["READ_DATA 1 F1 S1"])
    out = []
    end = time.time() + seconds
    while time.time() < end:
        t0 = time.perf_counter()
        s.sendall(request)
        read_reply(s)
        out.append((time.perf_counter() - t0) * 1000)
        time.sleep(0.005)
    s.close()
    return out


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p / 100))]


class Flood:
    """Keeps `in_flight` HTTP requests open at once until stopped."""

    def __init__(self, port, name, in_flight):
        self.port, self.stop_flag, self.answered, self.failed = port, False, 0, 0
        self.paths = ["/metrics", f"/api/v1/stations/{name}", "/livez"]
        self.lock = threading.Lock()
        self.threads = [threading.Thread(target=self.run, args=(i,), daemon=True) for i in range(in_flight)]

    def run(self, i):
        path = self.paths[i % len(self.paths)]
        request = f"GET {path} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n".encode()
        while not self.stop_flag:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=30) as s:
                    s.sendall(request)
                    while s.recv(65536):
                        pass
                with self.lock:
                    self.answered += 1
            except OSError:
                with self.lock:
                    self.failed += 1
                time.sleep(0.01)

    def start(self):
        for t in self.threads:
            t.start()

    def stop(self):
        self.stop_flag = True
        for t in self.threads:
            t.join(timeout=35)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--in-flight", type=int, default=1000)
    ap.add_argument("--quick", action="store_true")
    a = ap.parse_args()
    if a.quick:
        a.seconds = 2
    d = tempfile.mkdtemp(prefix="orvane-http-flood-")
    name = os.path.basename(d)
    try:
        os.mkdir(os.path.join(d, "log"))
        os.mkdir(os.path.join(d, "history"))
        port, http_port = free_port(), free_port()
        with open(os.path.join(d, "emulate.ini"), "w", newline="") as f:
            f.write(f"[Connection]\r\nClientPort={port}\r\n")
        with open(os.path.join(d, "channel.con"), "w", newline="") as f:
            for n in range(32):
                f.write(f"T{n + 1:02d},A,I,1,1,{n % 8},Y\r\n")
        proc = subprocess.Popen(
            [a.binary, "--headless", "--dir", d, "--lock-file", os.path.join(d, "lock"), "--flag-file",
             os.path.join(d, "flag"), "--reboot-cmd", "true", "--poweroff-cmd", "true", "--http", str(http_port)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.time() + 20
            wait_port(port, deadline)
            wait_port(http_port, deadline)
            quiet = read_data_latencies(port, a.seconds)
            flood = Flood(http_port, name, a.in_flight)
            flood.start()
            time.sleep(1)  # every flooding connection opened
            loaded = read_data_latencies(port, a.seconds)
            answered = flood.answered
            flood.stop()
            for label, lat in (("quiet", quiet), (f"{a.in_flight} HTTP requests in flight", loaded)):
                print(f"READ_DATA {label}: p50 {statistics.median(lat):.3f} ms, p99 {percentile(lat, 99):.3f} ms "
                      f"({len(lat)} requests)")
            print(f"HTTP requests answered during the flood: {answered} ({flood.failed} connections failed)")
        finally:
            proc.terminate()
            proc.wait(timeout=10)
    finally:
        shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    main()
