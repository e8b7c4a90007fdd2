#!/usr/bin/python3
"""The fleet's Kubernetes manifests on a real engine: podman kube play runs
the image of scripts/image as 2 shards of 5 stations, as
scripts/kube-manifests writes them (on the host's network), delivering
their events to a real FTP server. Both shards come up, each reporting only
its own stations, and every station of both answers fleet-check. Then one
shard's pod is killed and played again: it keeps its volume, every event
counted before the kill is delivered, and none is delivered twice: what its
stations delivered and still buffer is, in order, what they logged as
made.

    kube_play_test.py

ORVANE_IMAGE names the image (default localhost/orvane-fleet:latest).
Exits 77 (skipped) when podman is absent. Needs root, as podman here."""
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PODMAN = os.path.join(ROOT, "scripts", "podman")
STATIONS, SHARDS = 10, 2


def podman(*args, check=True, timeout=180):
    r = subprocess.run([PODMAN, *args], capture_output=True, text=True, timeout=timeout)
    if r.returncode != 0:
        if check:
            raise AssertionError("podman %s: %s%s" % (" ".join(args), r.stdout, r.stderr))
        print("podman %s: %s" % (" ".join(args), r.stderr.strip()[-300:]), file=sys.stderr)
    return r.stdout


def wait_for(what, check, timeout=60, state=lambda: ""):
    end = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for %s %s" % (what, state()))
        time.sleep(0.2)


def http_get(port, path):
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=5) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()
    except OSError:
        return 0, ""


def free_ports(count):
    """A base B with B .. B + count - 1 free on loopback."""
    for _ in range(100):
        base = random.randrange(20000, 60000 - count)
        socks = []
        try:
            for p in range(base, base + count):
                s = socket.socket()
                s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                s.bind(("127.0.0.1", p))
                socks.append(s)
            return base
        except OSError:
            continue
        finally:
            for s in socks:
                s.close()
    raise AssertionError("no free port range")


FRAMING = "\x01\x02\x03\x04\x05\r\n "


def station_dir(volume, n):
    return os.path.join(volume, "stations", "%03d" % n)


def delivered_files(host, n):
    """{name: event} of the files the FTP server holds for station n."""
    folder = os.path.join(host, "events", "%03d" % n)
    out = {}
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), "rb") as f:
            out[name] = f.read().decode("latin-1").strip(FRAMING)
    return out


def delivered(host, n):
    """Station n's events on the host, in the order of their names (the
    station names them in increasing order)."""
    files = delivered_files(host, n)
    return [files[name] for name in sorted(files)]


def journal(volume, n):
    """[(name, event)] of Event.Snd: the remote names of the events at the
    head of the buffer, given before they are stored."""
    path = os.path.join(station_dir(volume, n), "Event.Snd")
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        lines = f.read().decode("latin-1").split("\n")[1:]
    return [(line.split(" ", 1)[0], line.split(" ", 1)[1].strip(FRAMING)) for line in lines if " " in line]


def lines_of(path):
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        return [line.strip(FRAMING) for line in f.read().decode("latin-1").split("\n") if line.strip(FRAMING)]


def counted(volume, n):
    """Every event station n counted, in order: its day logs of raw lines,
    written once an event's flush made it durable."""
    logs = os.path.join(station_dir(volume, n), "log")
    days = sorted(f for f in os.listdir(logs) if f.startswith("U") and f.endswith(".log"))
    return [line for day in days for line in lines_of(os.path.join(logs, day))]


def buffered(volume, n, whole=False):
    """The events of station n's Event.Sav not yet delivered: those past the
    offset Event.Head gives (with the inode of the Event.Sav it is for)."""
    path = os.path.join(station_dir(volume, n), "Event.Sav")
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        data = f.read()
    offset = 0
    try:
        with open(os.path.join(station_dir(volume, n), "Event.Head")) as f:
            _dev, ino, at = f.read().split()
        if not whole and int(ino) == os.stat(path).st_ino:
            offset = int(at)
    except FileNotFoundError:
        pass
    return [line.strip(FRAMING) for line in data[offset:].decode("latin-1").split("\n") if line.strip(FRAMING)]


def check_once_each(n, got, made, made_at_kill, buffer_at_kill):
    """got (delivered, then still buffered) must be every event made, once
    each and in order. A kill between an event's flush and its day log
    leaves a few events durable but unlogged: they are the last lines of the
    buffer at the kill and belong where the log stopped."""
    if got == made:
        return
    k = made_at_kill
    for w in range(1, min(40, len(buffer_at_kill)) + 1):
        if got == made[:k] + buffer_at_kill[-w:] + made[k:]:
            return
    first = next((i for i, (a, b) in enumerate(zip(got, made)) if a != b), min(len(got), len(made)))
    raise AssertionError("station %d: %d events delivered or buffered, %d made; first difference at %d: %s / %s\n%s\n%s\nkill at %d, buffer %s"
                         % (n, len(got), len(made), first, got[first:first + 3], made[first:first + 3], got, made, k, buffer_at_kill))


def main():
    if not shutil.which("podman"):
        print("podman is not installed (scripts/setup installs it)")
        return 77
    image = os.environ.get("ORVANE_IMAGE", "localhost/orvane-fleet:latest")
    if subprocess.run([PODMAN, "image", "exists", image]).returncode != 0:
        print("no image %s: build it with scripts/image" % image)
        return 1
    work = tempfile.mkdtemp(prefix="orvane-kube-")
    name = "orvane-kt%d" % os.getpid()
    host = os.path.join(work, "host")
    for n in range(1, STATIONS + 1):
        os.makedirs(os.path.join(host, "events", "%03d" % n))
    # A slow host (each reply a little late), so that uploads lag behind the
    # events and a backlog waits in the buffers when the pod is killed; a
    # store the kill cuts short leaves no file, as a careful host does. Not
    # on 127.0.0.1: a station with that host makes no events.
    ftp = subprocess.Popen([sys.executable, os.path.join(ROOT, "tests", "support", "ftp_server.py"), "--quiet",
                            "--root", host, "--address", "127.0.0.2", "--reply-delay", "0.15", "--delete-incomplete"], stdout=subprocess.PIPE, text=True)
    plays = []
    try:
        ftp_port = int(ftp.stdout.readline().split()[1])
        base = free_ports(STATIONS + SHARDS)
        http_port = base + STATIONS
        out = os.path.join(work, "k8s")
        # T01 on the other side of its threshold at every reading: an event
        # from every station every second.
        subprocess.run([os.path.join(ROOT, "scripts", "kube-manifests"), str(STATIONS), str(SHARDS), "--out", out,
                        "--name", name, "--image", image, "--host-network", "--listen", "127.0.0.1",
                        "--base-port", str(base), "--http-port", str(http_port), "--endpoint-address", "127.0.0.1",
                        "--ftp-host", "127.0.0.2", "--ftp-port", str(ftp_port), "--input", "alternate:2:18"],
                       check=True, capture_output=True)
        with open(os.path.join(out, "fleet.yaml")) as f:
            config_maps = f.read()
        for shard in range(SHARDS):
            # The workload with the ConfigMaps it mounts; the volume alone
            # first (podman plays a claim only while its volume is new).
            play = os.path.join(work, "play-%02d.yaml" % shard)
            with open(os.path.join(out, "shard-%02d.yaml" % shard)) as f:
                with open(play, "w") as p:
                    p.write(config_maps + "---\n" + f.read())
            plays.append(play)
            podman("kube", "play", os.path.join(out, "shard-%02d-data.yaml" % shard))
            podman("kube", "play", play)

        # Both up, each with its own stations only.
        for shard in range(SHARDS):
            port = http_port + shard
            wait_for("shard %d ready" % shard, lambda: http_get(port, "/readyz")[0] == 200)
            assert http_get(port, "/livez")[0] == 200
            status, metrics = http_get(port, "/metrics")
            assert status == 200 and "\norvane_fleet_stations 5\n" in "\n" + metrics, metrics[:2000]
            status, listing = http_get(port, "/api/v1/stations")
            names = [row["station"] for row in json.loads(listing)["stations"]]
            first = shard * 5 + 1
            assert names == ["%03d" % n for n in range(first, first + 5)], names
        check = [os.path.join(ROOT, "scripts", "fleet-check"), "--endpoints", os.path.join(out, "endpoints.txt")]
        r = subprocess.run(check, capture_output=True, text=True, timeout=60)
        assert r.returncode == 0 and "10/10 stations answered" in r.stdout, r.stdout + r.stderr

        # Shard 0 is killed with a backlog in its buffers.
        volume = podman("volume", "inspect", "--format", "{{.Mountpoint}}", name + "-00-data").strip()
        shard0 = range(1, 6)

        def backlog():
            return sum(len(counted(volume, n)) - len(delivered(host, n)) for n in shard0)

        wait_for("deliveries and a backlog", lambda: min(len(delivered(host, n)) for n in shard0) >= 2 and backlog() >= 5,
                 timeout=90, state=lambda: [(len(counted(volume, n)), len(delivered(host, n))) for n in shard0])
        pod = name + "-00-pod-0"
        podman("pod", "kill", pod)
        wait_for("the pod to end", lambda: "Running" not in podman("pod", "inspect", "--format", "{{.State}}", pod))
        made_at_kill = {n: len(counted(volume, n)) for n in shard0}
        buffer_at_kill = {n: buffered(volume, n, whole=True) for n in shard0}
        waiting = backlog()

        # Played again on the same volume: the backlog goes out, then new events.
        podman("kube", "play", "--replace", plays[0])
        wait_for("shard 0 ready again", lambda: http_get(http_port, "/readyz")[0] == 200)
        r = subprocess.run(check, capture_output=True, text=True, timeout=60)
        assert r.returncode == 0 and "10/10 stations answered" in r.stdout, r.stdout + r.stderr
        wait_for("the backlog delivered, and new events",
                 lambda: all(len(delivered(host, n)) >= made_at_kill[n] + 3 for n in shard0), timeout=120,
                 state=lambda: [(made_at_kill[n], len(delivered(host, n))) for n in shard0])
        while plays:
            podman("kube", "down", plays.pop())

        # After the clean stop every event made is delivered or still
        # buffered, once, in order; shard 1 ran on undisturbed.
        total = 0
        for n in shard0:
            got = delivered(host, n)
            total += len(got)
            # An upload the stop cut short leaves events stored (or begun)
            # but still buffered: they go again under the names their
            # journal keeps, so the host's copy is replaced, not doubled.
            waiting_now = buffered(volume, n)
            files = delivered_files(host, n)
            for (remote, event), waits in zip(journal(volume, n), waiting_now):
                if event == waits and remote in files:
                    assert event.startswith(files.pop(remote)), "station %d: %s holds another event" % (n, remote)
            got = [files[remote] for remote in sorted(files)]
            check_once_each(n, got + waiting_now, counted(volume, n), made_at_kill[n], buffer_at_kill[n])
        for n in range(6, STATIONS + 1):
            assert delivered(host, n), "station %d delivered nothing" % n
        print("kube play: 2 shards of 5 up, 10/10 answered; shard 0 killed with %d events waiting and played "
              "again; its %d events delivered, each once and in order" % (waiting, total))
        return 0
    finally:
        for play in plays:
            podman("kube", "down", play, check=False)
        for shard in range(SHARDS):
            podman("volume", "rm", "-f", "%s-%02d-data" % (name, shard), check=False)
        podman("volume", "rm", "-f", name + "-config", name + "-template", check=False)
        ftp.send_signal(signal.SIGTERM)
        ftp.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
