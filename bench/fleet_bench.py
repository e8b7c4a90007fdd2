#!/usr/bin/python3
"""The fleet host's figures, each beside the same run's reference where one
applies (scripts/fleet --processes, a station process and a simulator on a
pty per station). Release build; every station one simulated I-7017 with 8
sensors with thresholds, 1 000 ms sampling and event intervals.

  bench/fleet_bench.py [--stations N] [--reference R] [--idle-seconds S]
                       [--storm-seconds S] [--delivery D] [--bin B] [--only PARTS]

PARTS (comma-separated): idle, reference, storm, delivery (default all).
Prints one line per figure and writes them to build/bench/fleet.md.
"""
import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PY = "/usr/bin/python3"
TICK = os.sysconf("SC_CLK_TCK")
figures = []


def say(name, value, note=""):
    line = "%-58s %s%s" % (name, value, ("  (" + note + ")") if note else "")
    print(line, flush=True)
    figures.append((name, value, note))


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        rest = f.read().rsplit(")", 1)[1].split()
    return int(rest[11]) + int(rest[12])


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def write(path, text):
    with open(path, "w", newline="") as f:
        f.write(text)


def template(dir_, host, ftp_port, threshold=500):
    shutil.rmtree(dir_, ignore_errors=True)
    os.makedirs(os.path.join(dir_, "log"))
    os.makedirs(os.path.join(dir_, "history"))
    write(os.path.join(dir_, "emulate.ini"),
          "[Connection]\r\nClientPort=5000\r\nHost=%s\r\nServerPort=%d\r\nUser=Guest\r\nPassword=Tulip\r\n"
          "eventpath=/events\r\n\r\n[Config]\r\nFactoryID=F\r\nSensorID=S\r\nHistorySample=1000\r\nEventSample=1000\r\n"
          % (host, ftp_port))
    write(os.path.join(dir_, "module.con"), "1,4017,A,1,Y\r\n")
    write(os.path.join(dir_, "channel.con"), "".join("T%02d,A,I,1,1,%d,Y\r\n" % (k + 1, k) for k in range(8)))
    write(os.path.join(dir_, "sensor.con"),
          "".join("%d,T%02d,A,I,Y,0,1000,%d\r\n" % (k + 1, k + 1, threshold) for k in range(8)))
    write(os.path.join(dir_, "auto.con"), "1\r\n")


def fleet_file(work, count, base, inputs, log="memo", extra=""):
    path = os.path.join(work, "fleet.toml")
    write(path, "\n".join([
        "[[stations]]", "count = %d" % count, 'dir = "%s/st/{n:05}"' % work, 'template = "%s/template"' % work,
        'listen = "127.0.0.1"', 'port = "{%d + n}"' % base, 'log = "%s"' % log,
        'flag_file = "%s/configured.flag"' % work, 'reboot_cmd = "true"', 'poweroff_cmd = "true"', extra,
        "[stations.identity]", 'FactoryID = "F{n:05}"', 'SensorID = "S{n:05}"',
        "[stations.ftp]", 'eventpath = "/events/{n:05}"',
        "[stations.modules]", 'modules = ["01"]', "inputs = [%s]" % ", ".join('"%s"' % i for i in inputs),
        'seed = "{n}"', ""]))
    write(os.path.join(work, "configured.flag"), "1\r\n")
    with open(os.path.join(work, "fleet.list"), "w") as f:
        for n in range(1, count + 1):
            f.write("%d %d F%05d S%05d 8\n" % (n, base + n, n, n))
    return path


class Fleet:
    """orvane-fleet on a fleet file: started, timed until every station listens, stopped."""

    def __init__(self, bin_, path, log, port=None):
        self.log = log
        self.out = open(log, "w")
        self.started = time.monotonic()
        self.p = subprocess.Popen([os.path.join(bin_, "orvane-fleet"), path], stdout=self.out, stderr=subprocess.STDOUT)
        while True:
            text = open(log).read()
            m = re.search(r"(\d+) of (\d+) stations up", text)
            if m:
                self.up, self.of = int(m.group(1)), int(m.group(2))
                break
            if port is not None:  # a fleet of one speaks as a station: it says nothing when up
                try:
                    socket.create_connection(("127.0.0.1", port), 0.2).close()
                    self.up = self.of = 1
                    break
                except OSError:
                    pass
            if self.p.poll() is not None:
                raise SystemExit("fleet_bench: the fleet host ended at start:\n" + text[-2000:])
            time.sleep(0.01)
        self.start_seconds = time.monotonic() - self.started

    def stop(self):
        t = time.monotonic()
        self.p.send_signal(signal.SIGTERM)
        rc = self.p.wait(60)
        took = time.monotonic() - t
        self.out.close()
        return rc, took, open(self.log).read()


def fleet_check(work, parallel=16):
    r = subprocess.run([os.path.join(ROOT, "scripts", "fleet-check"), "--dir", work, "--quiet", "--parallel", str(parallel)],
                       capture_output=True, text=True)
    answered = re.search(r"(\d+)/(\d+) stations answered", r.stdout)
    lat = re.search(r"p50 ([\d.]+) ms  p99 ([\d.]+) ms  max ([\d.]+) ms", r.stdout)
    return (answered.group(0) if answered else "?", lat.groups() if lat else ("?", "?", "?"), r.stdout)


def idle_cpu(pid, seconds):
    c0, t0 = cpu_ticks(pid), time.monotonic()
    time.sleep(seconds)
    c1, t1 = cpu_ticks(pid), time.monotonic()
    return (c1 - c0) / TICK / (t1 - t0) * 100


def part_idle(args, work):
    n = args.stations
    template(os.path.join(work, "template"), "127.0.0.1", 8000)
    # The empty host: the process with one station, for the base of memory.
    one = fleet_file(work, 1, args.base, ["01:0=sine:10:8:60", "01:7=walk:10:0.2"])
    f = Fleet(args.bin, one, os.path.join(work, "one.log"), port=args.base + 1)
    time.sleep(2)
    base_kb = rss_kb(f.p.pid)
    f.stop()
    shutil.rmtree(os.path.join(work, "st"), ignore_errors=True)
    path = fleet_file(work, n, args.base, ["01:0=sine:10:8:{40 + n % 41}", "01:7=walk:10:0.2"])
    f = Fleet(args.bin, path, os.path.join(work, "first.log"))
    say("%d stations: first start, directories made, all listening" % n, "%.1f s" % f.start_seconds)
    f.stop()
    f = Fleet(args.bin, path, os.path.join(work, "idle.log"))
    say("%d stations: start until all listen (target <= 10 s)" % n, "%.2f s" % f.start_seconds, "%d of %d up" % (f.up, f.of))
    time.sleep(5)
    kb = rss_kb(f.p.pid)
    say("%d stations: memory per station (target <= 150 KB)" % n, "%.0f KB" % ((kb - base_kb) / n),
        "RSS %.0f MB, empty host %.1f MB" % (kb / 1024, base_kb / 1024))
    say("%d stations: descriptors" % n, "%d" % descriptors(f.p.pid))
    cpu = idle_cpu(f.p.pid, args.idle_seconds)
    say("%d stations: idle CPU over %d s (target <= 50 %%)" % (n, args.idle_seconds), "%.1f %% of a core" % cpu)
    answered, (p50, p99, mx), _ = fleet_check(work)
    say("%d stations: fleet-check while running (p99 target <= 5 ms)" % n, answered,
        "READ_DATA p50 %s ms, p99 %s ms, max %s ms" % (p50, p99, mx))
    rc, took, _ = f.stop()
    say("%d stations: SIGTERM to exit (target <= 5 s)" % n, "%.2f s" % took, "status %d" % rc)


def part_reference(args, work):
    r = args.reference
    ref = os.path.join(work, "processes")
    shutil.rmtree(ref, ignore_errors=True)
    t = time.monotonic()
    out = subprocess.run([os.path.join(ROOT, "scripts", "fleet"), str(r), "--processes", "--dir", ref, "--bin", args.bin,
                          "--base-port", str(args.base)], capture_output=True, text=True)
    took = time.monotonic() - t
    if out.returncode != 0:
        print(out.stdout + out.stderr)
        return
    say("reference: %d station processes + simulators: start" % r, "%.1f s" % took)
    stats = subprocess.run([os.path.join(ROOT, "scripts", "fleet"), "--stats", "--seconds", str(args.idle_seconds), "--dir", ref],
                           capture_output=True, text=True).stdout
    m = re.search(r"memory per station with its simulator: ([\d.]+) MB", stats)
    c = re.search(r"CPU over \d+ s: ([\d.]+) %", stats)
    say("reference: memory per station with its simulator", (m.group(1) + " MB") if m else "?")
    say("reference: idle CPU of %d stations" % r, (c.group(1) + " % of a core") if c else "?")
    answered, (p50, p99, mx), _ = fleet_check(ref)
    say("reference: fleet-check", answered, "READ_DATA p50 %s ms, p99 %s ms, max %s ms" % (p50, p99, mx))
    t = time.monotonic()
    subprocess.run([os.path.join(ROOT, "scripts", "fleet"), "--stop", "--dir", ref], capture_output=True)
    say("reference: stop", "%.1f s" % (time.monotonic() - t))


def buffered_lines(work, n):
    total = 0
    per = {}
    for i in range(1, n + 1):
        p = os.path.join(work, "st", "%05d" % i, "Event.Sav")
        lines = open(p, "rb").read().split(b"\r\n")[:-1] if os.path.exists(p) else []
        per[i] = lines
        total += len(lines)
    return total, per


def event_file_sizes(work, n):
    sizes = {}
    for i in range(1, n + 1):
        p = os.path.join(work, "st", "%05d" % i, "Event.Sav")
        sizes[i] = os.path.getsize(p) if os.path.exists(p) else 0
    return sizes


def lines_since(work, sizes):
    """Whole lines added to each Event.Sav after the offsets in sizes (reads only the new part)."""
    total = 0
    for i, offset in sizes.items():
        p = os.path.join(work, "st", "%05d" % i, "Event.Sav")
        if not os.path.exists(p):
            continue
        with open(p, "rb") as f:
            f.seek(offset)
            total += f.read().count(b"\r\n")
    return total


def part_storm(args, work):
    n = args.stations
    shutil.rmtree(os.path.join(work, "st"), ignore_errors=True)
    # Host down: nothing listens at 127.0.0.3:1, so every event stays buffered.
    template(os.path.join(work, "template"), "127.0.0.3", 1)
    # T01 is on the other side of 500 at every reading, once a second; the others stay put.
    path = fleet_file(work, n, args.base, ["01:*=const:5", "01:0=alternate:2:18"])
    f = Fleet(args.bin, path, os.path.join(work, "storm.log"))
    time.sleep(args.storm_warmup)  # past the start-up burst of first readings
    before = event_file_sizes(work, n)
    c0, t0 = cpu_ticks(f.p.pid), time.monotonic()
    time.sleep(args.storm_seconds)
    t1 = time.monotonic()
    c1 = cpu_ticks(f.p.pid)
    added = lines_since(work, before)
    rc, took, log = f.stop()
    m = re.search(r"(\d+) event appends made durable by (\d+) flushes", log)
    rate = added / (t1 - t0)
    say("storm, %d stations: events buffered durably (target >= 10 000/s)" % n, "%.0f events/s" % rate,
        "%d events in %.0f s" % (added, t1 - t0))
    if m:
        say("storm: flushes for the whole run", "%s flushes for %s appends" % (m.group(2), m.group(1)),
            "%.1f flushes/s" % (int(m.group(2)) / (took + t1 - t0 + args.storm_warmup)))
    say("storm: CPU", "%.0f %% of a core" % ((c1 - c0) / TICK / (t1 - t0) * 100))


def part_delivery(args, work):
    n = args.delivery
    shutil.rmtree(os.path.join(work, "st"), ignore_errors=True)
    host = os.path.join(work, "host")
    shutil.rmtree(host, ignore_errors=True)
    for i in range(1, n + 1):
        os.makedirs(os.path.join(host, "events", "%05d" % i))
    # The FTP server's port, reserved first and given to the stations while it is down.
    s = socket.socket()
    s.bind(("127.0.0.2", 0))
    port = s.getsockname()[1]
    s.close()
    template(os.path.join(work, "template"), "127.0.0.2", port)
    path = fleet_file(work, n, args.base, ["01:*=const:5", "01:0=sine:10:8:2"], log="file")
    f = Fleet(args.bin, path, os.path.join(work, "delivery-a.log"))
    # About ten crossings each while the host is down.
    time.sleep(10.5)
    f.stop()
    total, per = buffered_lines(work, n)
    say("delivery: events waiting at %d stations" % n, "%d" % total, "%.1f per station" % (total / n))
    # The inputs hold still now: nothing more is made, and the backlog goes out.
    # (At 19, outside the sine's range, what the restart makes can't pass
    # for an event of the backlog.)
    path = fleet_file(work, n, args.base, ["01:*=const:19"], log="file")
    ftp_log = open(os.path.join(work, "ftp.log"), "w")
    ftp = subprocess.Popen([PY, os.path.join(ROOT, "tests", "support", "ftp_server.py"), "--quiet", "--address", "127.0.0.2",
                            "--port", str(port), "--root", host], stdout=ftp_log, stderr=subprocess.STDOUT)
    time.sleep(1)
    t = time.monotonic()
    f = Fleet(args.bin, path, os.path.join(work, "delivery-b.log"))
    while True:
        left, _ = buffered_lines(work, n)
        if left == 0 or time.monotonic() - t > 300:
            break
        time.sleep(0.2)
    took = time.monotonic() - t
    rc, _, log = f.stop()
    ftp.terminate()
    ftp.wait()
    # Exactly once and in order: the host's files of a station, in name
    # order, begin with the backlog exactly as it waited; what follows was
    # made after the restart.
    wrong = later_bad = 0
    delivered = 0
    for i in range(1, n + 1):
        folder = os.path.join(host, "events", "%05d" % i)
        names = sorted(os.listdir(folder))
        bodies = [open(os.path.join(folder, x), "rb").read().strip(b"\x01\x02\x03\x04\r\n") for x in names]
        delivered += len(bodies)
        expected = [l.strip(b"\x01\x02\x03\x04") for l in per[i]]
        if bodies[:len(expected)] != expected:
            wrong += 1
        later_bad += sum(1 for b in bodies[len(expected):] if b in set(expected))
    m = re.search(r"peak (\d+) FTP sessions", log)
    say("delivery: %d stations, backlog delivered" % n, "%d events in %.1f s" % (delivered, took),
        "%.0f events/s, %d left" % (delivered / took if took else 0, left))
    say("delivery: stations whose backlog arrived other than exactly once in order", "%d" % wrong,
        "%d backlog events seen again after it" % later_bad)
    if m:
        say("delivery: peak FTP sessions", m.group(1))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--stations", type=int, default=10000)
    ap.add_argument("--reference", type=int, default=1000)
    ap.add_argument("--delivery", type=int, default=1000)
    ap.add_argument("--idle-seconds", type=int, default=60)
    ap.add_argument("--storm-seconds", type=int, default=30)
    ap.add_argument("--storm-warmup", type=int, default=10)
    ap.add_argument("--base", type=int, default=10000)
    ap.add_argument("--bin", default=os.path.join(ROOT, "build", "release"))
    ap.add_argument("--work", default=os.path.join(ROOT, "build", "fleet-bench"))
    ap.add_argument("--only", default="idle,reference,storm,delivery")
    args = ap.parse_args()
    args.bin = os.path.abspath(args.bin)
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    os.makedirs(args.work, exist_ok=True)
    print("fleet_bench: %s, %d cores, load %.2f" % (os.uname().nodename, os.cpu_count(), os.getloadavg()[0]), flush=True)
    parts = args.only.split(",")
    if "idle" in parts:
        part_idle(args, args.work)
    if "reference" in parts:
        part_reference(args, args.work)
    if "storm" in parts:
        part_storm(args, args.work)
    if "delivery" in parts:
        part_delivery(args, args.work)
    out = os.path.join(ROOT, "build", "bench")
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "fleet.md"), "w") as f:
        f.write("| figure | value | note |\n|---|---|---|\n")
        for name, value, note in figures:
            f.write("| %s | %s | %s |\n" % (name, value, note))
    return 0


if __name__ == "__main__":
    sys.exit(main())
