#!/usr/bin/env python3
"""Per-message work against the real station binary over TCP.

Host A sends one message of N SET_ID lines (default 10 000); host B sends
READ_DATA as soon as A's message is on its way. Prints how long A waits for
its ACK and B for its reply.

Then messages of about 1 MiB that mix commands: SET_ID or SET_CONFIG lines
each followed by a DO_COMMAND (STR, RCD, ENB in turn) or a READ_DATA, and the
6 000 SET_ID + DO_COMMAND pairs of the report that found them quadratic. For
each: when A's ACK comes, the station's CPU time for it, and the latency of
host B, who asks READ_DATA every 2 ms (waiting for each reply) from just
before A sends until A has its ACK; each message is sent five times, B's
latencies pooled. References in the same run and on the same station: a
message of the same size made of SET_ID lines only, and host B asking
alone for as long.

Last, the memory a host's RCFG of a 100 MB file costs.

    bench/message_work.py BINARY [--lines 10000] [--kib 1024]
"""
import argparse
import multiprocessing
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time

SOH, STX, EOT = "\x01", "\x02", "\x04"
READ_DATA = None  # set in main: the framed request


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def connect(port):
    deadline = time.time() + 20
    while True:
        try:
            s = socket.create_connection(("127.0.0.1", port))
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            return s
        except OSError:
            if time.time() > deadline:
                raise
            time.sleep(0.05)


def read_reply(s, until=b"\x04", timeout=120):
    s.settimeout(timeout)
    got = bytearray()
    while True:
        chunk = s.recv(1 << 20)
        if not chunk:
            break
        got += chunk
        # Only the new bytes (and a marker split across reads) are searched.
        if until in got[max(0, len(got) - len(chunk) - len(until)):]:
            break
    return bytes(got)


def set_id_lines(n, fac="F1", sen="S1"):
    return [f"SET_ID 1 {fac} {sen} P{i:05d} AI Y 0 100 10 20 30 40" for i in range(n)]


def message(lines):
    return (SOH + "h" + "".join(STX + l for l in lines) + EOT).encode()


def fill(pair, limit_bytes=None, pairs=None):
    """Lines of `pair` (format strings taking i) repeated until the message
    holds `pairs` of them or would pass `limit_bytes`."""
    lines, size, i = [], 0, 0
    while pairs is None or i < pairs:
        more = [p.format(i=i) for p in pair]
        grown = size + sum(len(l) + 1 for l in more)
        if limit_bytes is not None and grown > limit_bytes:
            break
        lines += more
        size = grown
        i += 1
    return lines


def cpu_seconds(pid):
    with open(f"/proc/{pid}/schedstat") as f:
        return int(f.read().split()[0]) / 1e9


def percentile(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(len(v) * p / 100))] if v else float("nan")


def ask_every_2ms(port, request, ready, stop, results):
    """Host B's loop, in a process of its own: the bench's own reading of
    A's replies never delays it."""
    s = connect(port)
    ready.set()
    latencies = []
    next_at = time.perf_counter()
    while not stop.is_set():
        t = time.perf_counter()
        s.sendall(request)
        read_reply(s)
        latencies.append((time.perf_counter() - t) * 1000)
        next_at += 0.002
        time.sleep(max(0.0, next_at - time.perf_counter()))
    s.close()
    results.put(latencies)


class Asker:
    """Host B: READ_DATA every 2 ms, each after the last reply, until stopped."""

    def __init__(self, port):
        self.ready = multiprocessing.Event()
        self.stop = multiprocessing.Event()
        self.results = multiprocessing.Queue()
        self.process = multiprocessing.Process(target=ask_every_2ms,
                                               args=(port, READ_DATA, self.ready, self.stop, self.results))
        self.latencies = []

    def __enter__(self):
        self.process.start()
        self.ready.wait(20)
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.latencies = self.results.get(timeout=60)
        self.process.join()

    def figures(self):
        return figures(self.latencies)


def figures(l):
    return (f"other host p50 {percentile(l, 50):.2f} ms, p99 {percentile(l, 99):.2f} ms, "
            f"max {max(l):.2f} ms (n={len(l)})")


def timed_pair(port, lines):
    """A sends `lines` as one message; B sends READ_DATA just after. Returns
    (seconds to A's ACK, seconds to B's reply)."""
    a, b = connect(port), connect(port)
    result = {}
    sent = threading.Event()

    def host_b():
        sent.wait()
        t = time.perf_counter()
        b.sendall(READ_DATA)
        read_reply(b)
        result["b"] = time.perf_counter() - t

    tb = threading.Thread(target=host_b)
    t = time.perf_counter()
    tb.start()
    a.sendall(message(lines))
    sent.set()  # B asks while the station works on A's message
    reply = read_reply(a, until=b"\x02ACK")
    while not reply.endswith(b"\x04"):
        reply += read_reply(a)
    result["a"] = time.perf_counter() - t
    tb.join()
    a.close()
    b.close()
    assert b"ACK" in reply, reply[:200]
    return result["a"], result["b"]


def mixed(port, pid, lines, runs=5):
    """A sends `lines` as one message, `runs` times, while B asks every 2 ms.
    Returns (seconds to A's ACK, station CPU seconds: medians of the runs;
    B's figures over all of them)."""
    took, cpu, latencies = [], [], []
    for _ in range(runs):
        a = connect(port)
        with Asker(port) as b:
            time.sleep(0.05)
            cpu0 = cpu_seconds(pid)
            t = time.perf_counter()
            a.sendall(message(lines))
            reply = read_reply(a, until=b"\x02ACK", timeout=600)
            while not reply.endswith(b"\x04"):
                reply += read_reply(a, timeout=600)
            took.append(time.perf_counter() - t)
            cpu.append(cpu_seconds(pid) - cpu0)
        a.close()
        assert b"ACK" in reply, reply[-200:]
        latencies += b.latencies
    return sorted(took)[runs // 2], sorted(cpu)[runs // 2], figures(latencies)


def resident_kib(pid, key="VmHWM"):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def rcfg_of_a_large_file(d, port, pid, megabytes=100):
    """A host reads back a file far larger than a connection may hold: the
    station reads no more of it than fits the connection's write bound."""
    with open(os.path.join(d, "big.con"), "wb") as f:
        f.write((b"x" * 1023 + b"\n") * (megabytes * 1024))
    before = resident_kib(pid, "VmRSS")
    s = connect(port)
    t = time.perf_counter()
    s.sendall(message(['DO_COMMAND 1 F1 S1 "RCFG\x05big.con"']))
    reply = read_reply(s)
    took = time.perf_counter() - t
    s.close()
    return megabytes, before, resident_kib(pid), len(reply), took


def main():
    global READ_DATA
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--lines", type=int, default=10000)
    ap.add_argument("--kib", type=int, default=1024, help="size of the mixed messages")
    args = ap.parse_args()
    READ_DATA = message(["READ_DATA 1 F1 S1"])
    limit = args.kib * 1024 - 16

    config = "SET_CONFIG 1 F1 S1 {i} 127.0.0.1 1000 1000"
    sensor = "SET_ID 1 F1 S1 P{i:05d} AI Y 0 100 10 20 30 40"
    # Each DO_COMMAND in turn: stop reading, report the directory, start reading.
    commands = ["STR", "RCD", "ENB"]

    def with_commands(first, pairs=None):
        firsts = fill([first, "DO_COMMAND 1 F1 S1 RCD"], limit_bytes=None if pairs else limit, pairs=pairs)[::2]
        out = []
        for k, line in enumerate(firsts):
            out += [line, "DO_COMMAND 1 F1 S1 " + commands[k % len(commands)]]
        return out

    scenarios = [
        ("SET_ID + DO_COMMAND", with_commands(sensor)),
        ("SET_CONFIG + DO_COMMAND", with_commands(config)),
        ("SET_ID + READ_DATA", fill([sensor, "READ_DATA 1 F1 S1"], limit_bytes=limit)),
        ("SET_CONFIG + READ_DATA", fill([config, "READ_DATA 1 F1 S1"], limit_bytes=limit)),
        ("6000 SET_ID + DO_COMMAND pairs", with_commands(sensor, pairs=6000)),
        # Each SCFG replaces its file durably (the files of a slice written
        # together); a SET_ID at the end brings the ACK.
        ("SCFG of one file", fill(['DO_COMMAND 1 F1 S1 "SCFG\x05scfg.con\x05line {i}"'], limit_bytes=limit - 64)
         + ["SET_ID 1 F1 S1 P99999 AI Y 0 100"]),
        # 1 000 files in turn: every slice has files of its own to write.
        ("SCFG of 1 000 files in turn",
         [l.replace("###", f"{k % 1000:03d}") for k, l in enumerate(
             fill(['DO_COMMAND 1 F1 S1 "SCFG\x05scfg###.con\x05line {i}"'], limit_bytes=limit - 64))]
         + ["SET_ID 1 F1 S1 P99999 AI Y 0 100"]),
        ("SCFG + READ_DATA", fill(['DO_COMMAND 1 F1 S1 "SCFG\x05scfg.con\x05line {i}"', "READ_DATA 1 F1 S1"],
                                  limit_bytes=limit - 64) + ["SET_ID 1 F1 S1 P99999 AI Y 0 100"]),
    ]
    reference = fill([sensor], limit_bytes=limit)

    d = tempfile.mkdtemp(prefix="orvane-bench-")
    try:
        os.mkdir(os.path.join(d, "history"))
        os.mkdir(os.path.join(d, "log"))
        port = free_port()
        with open(os.path.join(d, "emulate.ini"), "w") as f:
            f.write(f"[Connection]\r\nClientPort={port}\r\n")
        with open(os.path.join(d, "channel.con"), "w") as f:
            f.write("T01,A,I,1,1,0,Y\r\n")
        with open(os.path.join(d, "auto.con"), "w") as f:
            f.write("0\r\n")
        station = subprocess.Popen(
            [args.binary, "--headless", "--dir", d, "--lock-file", os.path.join(d, "lock"),
             "--flag-file", os.path.join(d, "flag"), "--com", "3=" + os.path.join(d, "no-line")],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            connect(port).close()
            ack_s, other_s = timed_pair(port, set_id_lines(args.lines))
            rows = sum(1 for _ in open(os.path.join(d, "sensor.con"), "rb"))
            assert rows == args.lines, rows
            ref = mixed(port, station.pid, reference)
            results = [(name, len(lines), mixed(port, station.pid, lines)) for name, lines in scenarios]
            with Asker(port) as alone:
                time.sleep(max(0.5, ref[0]))
            rcfg = rcfg_of_a_large_file(d, port, station.pid)
        finally:
            station.terminate()
            station.wait(timeout=30)
    finally:
        shutil.rmtree(d, ignore_errors=True)

    print(f"SET_ID lines in one message: {args.lines}")
    print(f"ACK after: {ack_s:.3f} s ({ack_s / args.lines * 1000:.4f} ms per line)")
    print(f"another host's READ_DATA answered after: {other_s:.3f} s")
    print(f"messages of up to {args.kib} KiB, another host asking READ_DATA every 2 ms meanwhile:")
    print(f"  reference, SET_ID only: {len(reference)} lines, ACK after {ref[0]:.3f} s, "
          f"station CPU {ref[1]:.3f} s; {ref[2]}")
    for name, n, (took, cpu, b) in results:
        print(f"  {name}: {n} lines, ACK after {took:.3f} s, station CPU {cpu:.3f} s; {b}")
    print(f"reference, the other host asking alone: {alone.figures()}")
    print("RCFG of a {:.0f} MB file: resident {} KiB before, {} KiB at most, reply {} bytes in {:.3f} s".format(*rcfg))


if __name__ == "__main__":
    main()
