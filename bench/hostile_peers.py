#!/usr/bin/env python3
"""Hosts that trickle, never read, or come from a long allow-list, against
the real station binary over TCP (loopback). Each case runs on a station of
its own, with 32 sensors, while another host polls READ_DATA on its own
connection; the quiet station's READ_DATA, measured in the same run, is the
reference.

- trickle: MaxHosts=4 taken by four connections sending a byte every 2 s; how
  long until a real host is served (IdleSeconds=5 here, and 0: never closed).
- config flood: one message of 2 000 READ_CONFIG lines from a host that never
  reads (its receive buffer 4 KiB).
- realtime flood: 100 hosts that never read, 300 realtime subscriptions each.
- allow-list: READ_DATA from a fresh connection with 100 000 AllowHosts
  entries, next to a station with 10.

    bench/hostile_peers.py BINARY [--seconds 20] [--quick]
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

SOH, STX, EOT = "\x01", "\x02", "\x04"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def message(lines, header="h"):
    return (SOH + header + "".join(STX + l for l in lines) + EOT).encode()


def read_reply(s, timeout=10):
    s.settimeout(timeout)
    got = b""
    while not got.endswith(b"\x04"):
        chunk = s.recv(65536)
        if not chunk:
            raise ConnectionError("closed by the station")
        got += chunk
    return got


def resident_kib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


class Station:
    def __init__(self, binary, settings=""):
        self.dir = tempfile.mkdtemp(prefix="orvane-hostile-")
        os.mkdir(os.path.join(self.dir, "history"))
        os.mkdir(os.path.join(self.dir, "log"))
        self.port = free_port()
        with open(os.path.join(self.dir, "emulate.ini"), "w", newline="") as f:
            f.write(f"[Connection]\r\nClientPort={self.port}\r\n{settings}")
        with open(os.path.join(self.dir, "channel.con"), "w", newline="") as f:
            for n in range(32):
                f.write(f"T{n + 1:02d},A,I,1,1,{n % 8},Y\r\n")
        self.proc = subprocess.Popen(
            [binary, "--headless", "--dir", self.dir, "--lock-file", os.path.join(self.dir, "lock"),
             "--flag-file", os.path.join(self.dir, "flag"), "--reboot-cmd", "true", "--poweroff-cmd", "true"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port)).close()
                break
            except OSError:
                if time.time() > deadline or self.proc.poll() is not None:
                    raise RuntimeError("the station did not start")
                time.sleep(0.05)
        s = self.connect()
        s.sendall(message([f"SET_ID 1 F1 S1 T{n + 1:02d} AI Y 0 100 10 20 30 40" for n in range(32)]))
        read_reply(s)
        s.close()

    def connect(self, rcvbuf=None):
        s = socket.socket()
        if rcvbuf:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        s.connect(("127.0.0.1", self.port))
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return s

    def rss_kib(self):
        return resident_kib(self.proc.pid, "VmRSS")

    def peak_kib(self):
        return resident_kib(self.proc.pid, "VmHWM")

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class Poller:
    """READ_DATA every `every` seconds on one connection; latencies in ms."""

    def __init__(self, station, every=0.02):
        self.station, self.every = station, every
        self.ms, self.failures = [], 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self):
        s = self.station.connect()
        request = message(["READ_DATA 1 F1 S1"])
        while not self.stopping.is_set():
            t = time.perf_counter()
            try:
                s.sendall(request)
                read_reply(s)
                self.ms.append((time.perf_counter() - t) * 1000)
            except OSError:
                self.failures += 1
                s.close()
                s = self.station.connect()
            self.stopping.wait(self.every)
        s.close()

    def stop(self):
        self.stopping.set()
        self.thread.join()
        return self.ms


def quantiles(ms):
    if not ms:
        return "no replies"
    ms = sorted(ms)
    q = lambda p: ms[min(len(ms) - 1, int(p * len(ms)))]
    return f"p50 {q(0.5):.2f} ms, p99 {q(0.99):.2f} ms, max {ms[-1]:.2f} ms ({len(ms)} replies)"


def reference(binary, seconds):
    st = Station(binary)
    try:
        poller = Poller(st)
        time.sleep(seconds)
        ms = poller.stop()
        return f"reference, quiet station: READ_DATA {quantiles(ms)}; {st.rss_kib()} KiB resident"
    finally:
        st.stop()


def trickle(binary, idle_seconds, wait_s):
    st = Station(binary, f"MaxHosts=4\r\nIdleSeconds={idle_seconds}\r\n")
    trick = []
    try:
        for _ in range(4):
            trick.append(st.connect())
        stop = threading.Event()

        def drip():
            while not stop.wait(2):
                for s in trick:
                    try:
                        s.send(b"\x01")
                    except OSError:
                        pass

        dripper = threading.Thread(target=drip)
        dripper.start()
        time.sleep(0.3)  # the four hold every slot now
        t = time.perf_counter()
        served = None
        while time.perf_counter() - t < wait_s and served is None:
            try:
                s = st.connect()
                s.sendall(message(["READ_DATA 1 F1 S1"]))
                read_reply(s, timeout=1)
                served = time.perf_counter() - t
                s.close()
            except OSError:
                time.sleep(0.5)
        stop.set()
        dripper.join()
        got = f"served after {served:.1f} s" if served is not None else f"not served in {wait_s} s"
        return f"trickle, MaxHosts=4 held by 4 connections sending a byte every 2 s, IdleSeconds={idle_seconds}: the host was {got}"
    finally:
        for s in trick:
            s.close()
        st.stop()


def config_flood(binary, seconds, lines=2000):
    st = Station(binary)
    try:
        before = st.rss_kib()
        poller = Poller(st)
        time.sleep(0.5)
        staller = st.connect(rcvbuf=4096)
        t = time.perf_counter()
        staller.sendall(message(["READ_CONFIG 1 F1 S1"] * lines))
        sent_s = time.perf_counter() - t
        time.sleep(seconds)
        ms = poller.stop()
        cpu = cpu_seconds(st.proc.pid)
        staller.close()
        return (f"config flood, {lines} READ_CONFIG in one message ({len(message(['READ_CONFIG 1 F1 S1'] * lines))} bytes, "
                f"sent in {sent_s:.2f} s) from a host that never reads: other host's READ_DATA {quantiles(ms)}; "
                f"station {before} KiB before, peak {st.peak_kib()} KiB, {cpu:.2f} s CPU in all")
    finally:
        st.stop()


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def realtime_flood(binary, seconds, hosts=100, subscriptions=300):
    st = Station(binary, f"MaxHosts={hosts + 16}\r\n")
    stallers = []
    try:
        before = st.rss_kib()
        poller = Poller(st)
        time.sleep(0.5)
        request = message(["BEGIN_REALTIME 1 F1 S1 1 3600"] * subscriptions)
        for _ in range(hosts):
            s = st.connect(rcvbuf=4096)
            s.sendall(request)
            stallers.append(s)
        peak = 0
        end = time.time() + seconds
        while time.time() < end:
            peak = max(peak, st.rss_kib())
            time.sleep(0.25)
        ms = poller.stop()
        cpu = cpu_seconds(st.proc.pid)
        return (f"realtime flood, {hosts} hosts that never read with {subscriptions} subscriptions each, {seconds} s: "
                f"other host's READ_DATA {quantiles(ms)}; station {before} KiB before, "
                f"at most {peak} KiB resident (peak {st.peak_kib()} KiB), {cpu:.2f} s CPU in all")
    finally:
        for s in stallers:
            s.close()
        st.stop()


def allow_list(binary, rounds):
    def entries(n):
        # Addresses no host here has, then the machine itself last.
        return ", ".join([f"10.{(i >> 16) & 255}.{(i >> 8) & 255}.{i & 255}" for i in range(n - 1)] + ["127.0.0.1"])

    long_list = Station(binary, f"AllowHosts={entries(100_000)}\r\n")
    short_list = Station(binary, f"AllowHosts={entries(10)}\r\n")
    try:
        got = {100_000: [], 10: []}
        request = message(["READ_DATA 1 F1 S1"])
        for _ in range(rounds):
            for n, st in ((100_000, long_list), (10, short_list)):  # interleaved
                t = time.perf_counter()
                s = st.connect()
                s.sendall(request)
                read_reply(s)
                got[n].append((time.perf_counter() - t) * 1000)
                s.close()
        return (f"allow-list, READ_DATA from a fresh connection: 100 000 entries {quantiles(got[100_000])}; "
                f"10 entries {quantiles(got[10])}; resident {long_list.rss_kib()} KiB against {short_list.rss_kib()} KiB")
    finally:
        long_list.stop()
        short_list.stop()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--quick", action="store_true", help="short runs, to check the script")
    ap.add_argument("--case", action="append", help="run only these (reference, trickle, config, realtime, allow)")
    args = ap.parse_args()
    seconds = 3 if args.quick else args.seconds
    wait = 8 if args.quick else 20
    cases = {
        "reference": lambda: [reference(args.binary, seconds)],
        "trickle": lambda: [trickle(args.binary, 5, wait), trickle(args.binary, 0, wait)],
        "config": lambda: [config_flood(args.binary, seconds)],
        "realtime": lambda: [realtime_flood(args.binary, seconds)],
        "allow": lambda: [allow_list(args.binary, 50 if args.quick else 500)],
    }
    for name in args.case or cases:
        for line in cases[name]():
            print(line, flush=True)


if __name__ == "__main__":
    main()
