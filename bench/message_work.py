#!/usr/bin/env python3
"""Per-message work against the real station binary over TCP.

Host A sends one message of N SET_ID lines (default 10 000); host B sends
READ_DATA as soon as A's message is on its way. Prints how long A waits for its ACK and B for its
reply, and the memory a host's RCFG of a 100 MB file costs. Reference, in the same run and on the same station: the same lines
each followed by a DO_COMMAND that reads sensor.con back, which makes the
station save the list after every line, the cost of line-by-line work (run
with fewer lines, and given per line).

    bench/message_work.py BINARY [--lines 10000] [--reference-lines 500]
"""
import argparse
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import time

SOH, STX, EOT = "\x01", "\x02", "\x04"


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
    got = b""
    while until not in got:
        chunk = s.recv(65536)
        if not chunk:
            break
        got += chunk
    return got


def set_id_lines(n, fac="F1", sen="S1"):
    return [f"SET_ID 1 {fac} {sen} P{i:05d} AI Y 0 100 10 20 30 40" for i in range(n)]


def message(lines):
    return (SOH + "h" + "".join(STX + l for l in lines) + EOT).encode()


def timed_pair(port, lines):
    """A sends `lines` as one message; B sends READ_DATA just after. Returns
    (seconds to A's ACK, seconds to B's reply)."""
    a, b = connect(port), connect(port)
    result = {}
    sent = threading.Event()

    def host_b():
        sent.wait()
        t = time.perf_counter()
        b.sendall(message(["READ_DATA 1 F1 S1"]))
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
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--lines", type=int, default=10000)
    ap.add_argument("--reference-lines", type=int, default=500)
    args = ap.parse_args()

    d = tempfile.mkdtemp(prefix="orvane-bench-")
    try:
        os.mkdir(os.path.join(d, "history"))
        os.mkdir(os.path.join(d, "log"))
        port = free_port()
        with open(os.path.join(d, "emulate.ini"), "w") as f:
            f.write(f"[Connection]\r\nClientPort={port}\r\n")
        with open(os.path.join(d, "channel.con"), "w") as f:
            f.write("T01,A,I,1,1,0,Y\r\n")
        station = subprocess.Popen(
            [args.binary, "--headless", "--dir", d, "--lock-file", os.path.join(d, "lock"),
             "--flag-file", os.path.join(d, "flag")],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            connect(port).close()
            ack_s, other_s = timed_pair(port, set_id_lines(args.lines))
            rows = sum(1 for _ in open(os.path.join(d, "sensor.con"), "rb"))
            assert rows == args.lines, rows
            ref_lines = []
            for l in set_id_lines(args.reference_lines):
                ref_lines += [l, 'DO_COMMAND 1 F1 S1 "RCFG\x05sensor.con"']
            ref_s, _ = timed_pair(port, ref_lines)
            rcfg = rcfg_of_a_large_file(d, port, station.pid)
        finally:
            station.terminate()
            station.wait(timeout=30)
    finally:
        shutil.rmtree(d, ignore_errors=True)

    per_line_once = ack_s / args.lines * 1000
    per_line_each = ref_s / args.reference_lines * 1000
    print(f"SET_ID lines in one message: {args.lines}")
    print(f"ACK after: {ack_s:.3f} s ({per_line_once:.4f} ms per line)")
    print(f"another host's READ_DATA answered after: {other_s:.3f} s")
    print(f"reference, list saved after every line ({args.reference_lines} lines): {ref_s:.3f} s "
          f"({per_line_each:.4f} ms per line)")
    print(f"ratio per line, saved once / saved every line: {per_line_once / per_line_each:.4f}")
    print("RCFG of a {:.0f} MB file: resident {} KiB before, {} KiB at most, reply {} bytes in {:.3f} s".format(*rcfg))


if __name__ == "__main__":
    main()
