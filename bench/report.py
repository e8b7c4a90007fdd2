#!/usr/bin/env python3
"""Turns the output kept by bench/run (build/bench/raw/) into report.md.

Every ratio is "ours / reference" in the sense where higher is better
(throughputs divided, times inverted), so 1.00 means as fast as the
reference and 0.50 means half as fast.
"""
import json
import re
import sys
from pathlib import Path

raw = Path(sys.argv[1])
rows = []  # (benchmark, case, figure, reference name, reference figure, ratio)
missing = []
notes = []  # warnings the programs printed, shown under the table


def text(name):
    p = raw / name
    if not p.exists():
        missing.append(name)
        return ""
    return p.read_text(errors="replace")


def gbench(name):
    p = raw / f"{name}.json"
    if not p.exists():
        missing.append(p.name)
        return {}
    data = json.loads(p.read_text())
    out = {}
    for b in data.get("benchmarks", []):
        if b.get("error_occurred"):
            continue
        # "BM_EventAdd/10000/min_time:2.000/real_time" -> "BM_EventAdd/10000"
        key = "/".join(part for part in b["name"].split("/") if ":" not in part and part != "real_time")
        out[key] = b
    return out


def ratio(ours, ref):
    return f"{ours / ref:.2f}" if ours and ref else "—"


def ns(b):
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
    return b["real_time"] * scale


def fmt_time(n):
    if n >= 1e6:
        return f"{n / 1e6:.2f} ms"
    if n >= 1e3:
        return f"{n / 1e3:.1f} µs"
    return f"{n:.1f} ns"


def num(x):
    return f"{x:,.0f}".replace(",", " ")


# ---- command server: station vs the canned-reply reference server ----
load = text("command_load.txt")
head = re.search(r"READ_DATA, (\d+) channels, reply (\d+) bytes", load)
ref_rps = {}
for m in re.finditer(r"^(\d+)\s+(reference|station)\s+(\d+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)(?:\s+([\d.]+))?", load,
                     re.M):
    conns, who, rps, p50, p99, top = int(m[1]), m[2], float(m[3]), m[4], m[5], m[6]
    if who == "reference":
        ref_rps[conns] = (rps, p50, p99, top)
    elif conns in ref_rps:
        r = ref_rps[conns]
        rows.append((f"command server, READ_DATA of {head[1] if head else '?'} channels (real binary)",
                     f"{conns} host{'s' if conns > 1 else ''}",
                     f"{num(rps)} round trips/s (p50 {p50} µs, p99 {p99} µs, max {top} µs)",
                     "epoll server, canned reply of the same bytes, same core",
                     f"{num(r[0])} round trips/s (p50 {r[1]} µs, p99 {r[2]} µs, max {r[3]} µs)",
                     # the tool's ratio: the median of its paired runs' ratios
                     f"{float(m[7]):.2f}" if m[7] else ratio(rps, r[0])))
for m in re.finditer(r"^note: (.*)$", load, re.M):
    notes.append(f"command_load: {m[1]}")

# ---- framer / splitter vs copy + memchr ----
fb = gbench("framer_bench")
for chunk in ("65536", "1500", "64"):
    ref = fb.get(f"BM_CopyAndFindEot/{chunk}")
    for name, what in (("BM_FrameOnly", "framer"), ("BM_FrameAndSplit", "framer + item splitter")):
        b = fb.get(f"{name}/{chunk}")
        if not b:
            continue
        mbs = b["bytes_per_second"] / 1e6
        ref_mbs = ref["bytes_per_second"] / 1e6 if ref else 0
        rows.append((what, f"{chunk}-byte chunks", f"{num(mbs)} MB/s",
                     "copy into a buffer + memchr for EOT", f"{num(ref_mbs)} MB/s" if ref else "—",
                     ratio(mbs, ref_mbs)))

# ---- AllowHosts lookup: a long list vs a short one ----
al = gbench("allow_list_bench")
short, long_ = al.get("BM_Allows/10"), al.get("BM_Allows/100000")
if short and long_:
    rows.append(("AllowHosts lookup per connection", "100 000 entries", fmt_time(ns(long_)),
                 "the same peers against 10 entries", fmt_time(ns(short)), ratio(ns(short), ns(long_))))

# ---- event add (append + fdatasync) vs a plain append + fdatasync ----
eb = gbench("event_buffer_bench")
plain = eb.get("BM_AppendFdatasync")
add0 = eb.get("BM_EventAdd/0")
for waiting in ("0", "10000", "100000"):
    b = eb.get(f"BM_EventAdd/{waiting}")
    if not b:
        continue
    rows.append(("event add (durable)", f"{int(waiting):,} events waiting".replace(",", " "), fmt_time(ns(b)),
                 "write + fdatasync of the same line to a plain file", fmt_time(ns(plain)) if plain else "—",
                 ratio(ns(plain), ns(b)) if plain else "—"))
big = eb.get("BM_EventAdd/100000")
if add0 and big:
    rows.append(("event add vs buffer size", "100 000 waiting vs empty buffer", fmt_time(ns(big)),
                 "the same add with 0 waiting", fmt_time(ns(add0)), ratio(ns(add0), ns(big))))

# ---- upload: station vs curl against the same FTP server ----
up = text("ftp_upload_bench.txt")
m = re.search(r"best of (\d+), (\d+) events each: station (\d+) events/s; curl (\d+) files/s \(ratio [\d.]+\); "
              r"curl -Q NOOP (\d+) files/s", up)
noop_fps = 0.0
if m:
    st, curl, noop_fps = float(m[3]), float(m[4]), float(m[5])
    rows.append(("event upload (FTP, one file per event)", f"{m[2]} events, best of {m[1]}",
                 f"{num(st)} events/s", "curl -T, same files as new files in the station's folder, one connection", f"{num(curl)} files/s",
                 ratio(st, curl)))
    rows.append(("event upload (FTP, one file per event)", f"{m[2]} events, best of {m[1]}",
                 f"{num(st)} events/s", "curl -T -Q NOOP (no data-connection stall)", f"{num(noop_fps)} files/s",
                 ratio(st, noop_fps)))

# ---- event storm: 32 channels toggling, host down, then delivery ----
storm = text("event_storm_bench.txt")
m = re.search(r"storm: (\d+) checks, (\d+) events buffered in ([\d.]+) s \((\d+) events/s.*?"
              r"(?:ratio to the reference ([\d.]+))?\)", storm)
ref = re.search(r"reference: write \+ fdatasync per line, (\d+) lines: (\d+) lines/s", storm)
if m:
    eps = float(m[4])
    plain_ps = float(ref[2]) if ref else 0
    rows.append(("event storm (32 channels toggling, host down)",
                 f"{m[2]} events over {m[1]} checks, rounds of 100 after 100 reference lines each",
                 f"{num(eps)} events/s buffered", "write + fdatasync per line, same folder, same run",
                 f"{num(plain_ps)} lines/s" if plain_ps else "—",
                 # the program's ratio: the median of its rounds' ratios
                 f"{float(m[5]):.2f}" if m[5] else ratio(eps, plain_ps)))
m = re.search(r"delivery: (\d+) files in ([\d.]+) s over (\d+) upload\(s\), (\d+) events/s; "
              r"every event once and in order: (\w+)", storm)
if m:
    rows.append(("event storm, delivery when the host is back",
                 f"{m[1]} files, {m[3]} upload(s), exactly once in order: {m[5]}", f"{num(float(m[4]))} events/s",
                 "curl -T -Q NOOP (upload benchmark above)", f"{num(noop_fps)} files/s" if noop_fps else "—",
                 ratio(float(m[4]), noop_fps)))

# ---- READ_DATA while the FTP host black-holes the uploads ----
bh = text("black_hole_bench.txt")
cases = {}
for m in re.finditer(r"^(reference \(FTP host refuses\)|FTP host accepts, never answers|FTP host never answers the SYN)"
                     r"\s+n=\s*(\d+) p50\s+([\d.]+) ms\s+p90\s+([\d.]+) ms\s+p99\s+([\d.]+) ms\s+max\s+([\d.]+) ms"
                     r"\s+close\s+([\d.]+) ms", bh, re.M):
    cases[m[1]] = m
refc = cases.get("reference (FTP host refuses)")
for name in ("FTP host accepts, never answers", "FTP host never answers the SYN"):
    c = cases.get(name)
    if not c:
        continue
    rows.append(("READ_DATA at 10/s, 100 events waiting, EventSample 1000", name,
                 f"p50 {c[3]} ms, p99 {c[5]} ms, max {c[6]} ms ({c[2]} requests); closing {c[7]} ms",
                 "same station, FTP host refusing at once",
                 f"p99 {refc[5]} ms, max {refc[6]} ms" if refc else "—",
                 ratio(float(refc[5]), float(c[5])) if refc else "—"))

# ---- backlog drain: 600 000 waiting vs 1 000 ----
dr = text("ftp_upload_bench.txt")
m = re.search(r"drain: backlog 1000: (\d+) events/s; backlog (\d+): (\d+) events/s over (\d+) stored, "
              r"([\d.]+) bytes written per event(?: \(ratio ([\d.]+)\))?", dr)
if m:
    rows.append(("backlog drain (FTP, one file per event)", f"{int(m[2]):,} waiting".replace(",", " "),
                 f"{num(float(m[3]))} events/s, {m[5]} bytes written per event", "the same with 1 000 waiting",
                 f"{num(float(m[1]))} events/s",
                 # the program's ratio: the median of its interleaved pairs'
                 f"{float(m[6]):.2f}" if m[6] else ratio(float(m[3]), float(m[1]))))

# ---- DCON polls over a pty against i7000-sim ----
pty = text("pty_poll_bench.txt")
for m in re.finditer(r"^\s*(\d+) \|\s+(\d+) \|\s+(\d+) \|\s+(\d+) \|\s+[\d.]+ \|\s+([\d.]+) us(.*)$", pty, re.M):
    mods, bare, client, station, cpu, note = int(m[1]), float(m[2]), float(m[3]), float(m[4]), m[5], m[6].strip()
    case = f"{mods} module{'s' if mods > 1 else ''}"
    rows.append(("DCON polls over a pty (i7000-sim), DCON client", case, f"{num(client)} polls/s",
                 "bare request/reply on the same pty", f"{num(bare)} polls/s", ratio(client, bare)))
    rows.append(("DCON polls over a pty (i7000-sim), whole read cycle", case,
                 f"{num(station)} polls/s, {cpu} µs CPU per poll{(' ' + note) if note else ''}",
                 "bare request/reply on the same pty", f"{num(bare)} polls/s", ratio(station, bare)))

# ---- hosts that trickle, never read, or come from a long allow-list ----
hp = text("hostile_peers.txt")
q = r"p50 ([\d.]+) ms, p99 ([\d.]+) ms, max ([\d.]+) ms \((\d+) replies\)"
ref = re.search(r"reference, quiet station: READ_DATA " + q + r"; (\d+) KiB resident", hp)
if ref:
    ref_fig = f"p50 {ref[1]} ms, p99 {ref[2]} ms"
    for m in re.finditer(r"^trickle, .*IdleSeconds=(\d+): the host was (served after [\d.]+ s|not served in \d+ s)$", hp, re.M):
        rows.append(("hostile hosts: 4 trickling connections hold MaxHosts=4", f"IdleSeconds={m[1]}: a real host",
                     m[2], "", "", "—"))
    for name, label in (("config flood", "2 000 READ_CONFIG in one message, never read"),
                        ("realtime flood", "100 hosts x 300 realtime subscriptions, never read")):
        m = re.search("^" + name + r".*other host's READ_DATA " + q + r"; station (\d+) KiB before, .*?peak (\d+) KiB",
                      hp, re.M)
        if m:
            rows.append((f"hostile hosts: {label}", "another host's READ_DATA, target p99 ≤ 5 ms",
                         f"p50 {m[1]} ms, p99 {m[2]} ms, max {m[3]} ms", "quiet station", ref_fig,
                         ratio(float(ref[2]), float(m[2]))))
            rows.append((f"hostile hosts: {label}", "station's peak resident memory, target < 64 MB",
                         f"{int(m[6]) // 1024} MiB", "quiet station", f"{int(ref[5]) // 1024} MiB",
                         ratio(int(ref[5]), int(m[6]))))
m = re.search(r"allow-list, READ_DATA from a fresh connection: 100 000 entries " + q + "; 10 entries " + q, hp)
if m:
    rows.append(("AllowHosts of 100 000 entries", "READ_DATA from a fresh connection",
                 f"p50 {m[1]} ms, p99 {m[2]} ms", "10 entries", f"p50 {m[5]} ms, p99 {m[6]} ms",
                 ratio(float(m[5]), float(m[1]))))

# ---- the HTTP endpoint flooded while a host polls READ_DATA ----
hf = text("http_flood.txt")
q = r"p50 ([\d.]+) ms, p99 ([\d.]+) ms \((\d+) requests\)"
quiet = re.search(r"^READ_DATA quiet: " + q, hf, re.M)
loaded = re.search(r"^READ_DATA (\d+) HTTP requests in flight: " + q, hf, re.M)
if quiet and loaded:
    rows.append(("HTTP endpoint flooded", f"READ_DATA with {loaded[1]} HTTP requests in flight, target p99 ≤ 5 ms",
                 f"p50 {loaded[2]} ms, p99 {loaded[3]} ms", "no HTTP requests", f"p50 {quiet[1]} ms, p99 {quiet[2]} ms",
                 ratio(float(quiet[2]), float(loaded[3]))))

# ---- the fleet's HTTP endpoint with many stations ----
fh = text("fleet_http.txt")
m = re.search(r"^(\d+) stations: /metrics answer \(target <= 1000 ms\)\s+(\d+) ms\s+\(longest of 5 (\d+) ms, ([\d.]+) MB", fh, re.M)
if m:
    rows.append((f"fleet of {m[1]} stations with --http", "/metrics answer time (median of 5)", f"{m[2]} ms",
                 "target", "1000 ms", ratio(1000, max(1, int(m[2])))))
m = re.search(r"^(\d+) stations: idle CPU with views published\s+([\d.]+) % of a core\s+\(([\d.]+) % without", fh, re.M)
if m:
    rows.append((f"fleet of {m[1]} stations with --http", "idle CPU, views published", f"{m[2]} % of a core",
                 "without the endpoint", f"{m[3]} %", ratio(float(m[3]), float(m[2])) if float(m[2]) > 0 else "∞"))

m = re.search(r"^(\d+) stations: status page until its table shows\s+(\d+) ms", fh, re.M)
if m:
    rows.append((f"fleet of {m[1]} stations with --http", "status page in Chromium until its table shows",
                 f"{m[2]} ms", "usable", "1000 ms", ratio(1000, max(1, int(m[2])))))

# ---- idle headless station: resident memory and CPU against their budgets ----
idle = text("idle_station.txt")
m = re.search(r"idle station: (\d+) KiB resident, ([\d.]+) % of one core over (\d+) s; budget (\d+) KiB and ([\d.]+) %; "
              r"a process that only sleeps: (\d+) KiB", idle)
if m:
    rss, cpu, secs, rss_budget, cpu_budget, sleeper = int(m[1]), float(m[2]), m[3], int(m[4]), float(m[5]), m[6]
    rows.append(("idle headless station", f"resident memory (a process that only sleeps: {sleeper} KiB)",
                 f"{rss} KiB", "budget", f"{rss_budget} KiB", ratio(rss_budget, rss)))
    rows.append(("idle headless station", f"CPU over {secs} s", f"{cpu:.4f} % of one core", "budget",
                 f"{cpu_budget} %", ratio(cpu_budget, cpu) if cpu > 0 else "∞"))

# ---- one message of many SET_ID lines, another host asking meanwhile ----
mw = text("message_work.txt")
m = re.search(r"SET_ID lines in one message: (\d+)\nACK after: ([\d.]+) s \(([\d.]+) ms per line\)\n"
              r"another host's READ_DATA answered after: ([\d.]+) s", mw)
if m:
    lines, ack, per_once, other = m.groups()
    rows.append(("one message of SET_ID lines", f"{lines} lines: ACK after", f"{float(ack):.3f} s",
                 "budget", "2 s", ratio(2.0, float(ack))))
    rows.append(("one message of SET_ID lines", "another host's READ_DATA meanwhile", f"{float(other):.3f} s",
                 "budget", "2 s", ratio(2.0, float(other))))

# ---- messages that mix commands, against one of SET_ID lines only of the same size ----
other_re = r"other host p50 ([\d.]+) ms, p99 ([\d.]+) ms, max ([\d.]+) ms \(n=(\d+)\)"
mixed = {m[1]: m for m in re.finditer(r"^  (.+?): (\d+) lines, ACK after ([\d.]+) s, station CPU ([\d.]+) s; " + other_re,
                                      mw, re.M)}
ref = mixed.pop("reference, SET_ID only", None)
alone = re.search(r"reference, the other host asking alone: " + other_re, mw)
if ref:
    for name, m in mixed.items():
        rows.append(("one message that mixes commands", f"{name}, {m[2]} lines: ACK after (station CPU)",
                     f"{float(m[3]):.3f} s ({float(m[4]):.3f} s)", f"SET_ID lines only, {ref[2]} lines",
                     f"{float(ref[3]):.3f} s ({float(ref[4]):.3f} s)", ratio(float(ref[3]), float(m[3]))))
        if alone:
            rows.append(("one message that mixes commands", f"{name}: another host's READ_DATA every 2 ms meanwhile",
                         f"p99 {m[6]} ms, max {m[7]} ms (n={m[8]})", "the other host asking alone",
                         f"p99 {alone[2]} ms, max {alone[3]} ms (n={alone[4]})", ratio(float(alone[2]), float(m[6]))))

m = re.search(r"RCFG of a (\d+) MB file: resident (\d+) KiB before, (\d+) KiB at most, reply (\d+) bytes", mw)
if m:
    mb, before, peak, reply = m.groups()
    rows.append(("RCFG of a file larger than a connection may hold", f"{mb} MB file, reply {reply} bytes",
                 f"{int(peak) - int(before)} KiB more resident at most", "the file's size",
                 f"{int(mb) * 1024} KiB", ratio(int(mb) * 1024, max(1, int(peak) - int(before)))))

lat = {m[1]: m for m in re.finditer(r"^\s*(answering|silent) \|\s+(\d+) \|\s+(\d+) \|\s+(\d+) \|\s+(\d+) \|\s+(\d+)\s*$",
                                      pty, re.M)}
if "answering" in lat and "silent" in lat:
    a, q = lat["answering"], lat["silent"]
    rows.append(("READ_DATA while reading 8 modules over a pty (one host, 100/s)",
                 f"8 silent modules ({q[6]} time-outs), target p99 ≤ 5 ms",
                 f"p50 {int(q[3]) / 1000:.2f} ms, p99 {int(q[4]) / 1000:.2f} ms, max {int(q[5]) / 1000:.2f} ms",
                 "the same with 8 answering modules",
                 f"p50 {int(a[3]) / 1000:.2f} ms, p99 {int(a[4]) / 1000:.2f} ms, max {int(a[5]) / 1000:.2f} ms",
                 ratio(float(a[4]), float(q[4]))))

# ---- station-side costs with no reference of their own ----
cb = gbench("conversion_bench")
for key, what in (("BM_RangeValue", "range conversion of one reading"),
                  ("BM_FullScaleValue", "full-scale conversion of one reading"),
                  ("BM_ChannelTexts", "one channel's texts (parse, convert, show)")):
    if key in cb:
        rows.append(("read cycle, station side", what, fmt_time(ns(cb[key])), "—", "—", "—"))
for n in ("1", "4", "8"):
    b = cb.get(f"BM_ReadCyclePerModule/{n}")
    if b:
        per_module = 1e9 / b["items_per_second"]
        rows.append(("read cycle, station side", f"{n} module{'s' if n != '1' else ''}, line answering at once",
                     f"{fmt_time(per_module)} per module", "—", "—", "—"))

machine = text("machine.txt").strip().splitlines()
print("# Performance report\n")
print("Written by `bench/run` (release build). Every reference is measured in the same run on the same machine.")
print("Ratio = ours / reference, higher is better (times are inverted): 1.00 = as fast as the reference.\n")
print("## Machine\n")
for line in machine:
    print(f"- {line}")
print("\n## Figures\n")
print("| benchmark | case | figure | reference | reference figure | ratio |")
print("|---|---|---|---|---|---|")
for r in rows:
    print("| " + " | ".join(c.replace("|", "\\|") for c in r) + " |")
for n in notes:
    print(f"\nNote, {n}")
failed = (raw / "failed.txt").read_text().split() if (raw / "failed.txt").exists() else []
not_run = (raw / "not_run.txt").read_text().split() if (raw / "not_run.txt").exists() else []
if not_run:
    print(f"\nNot run by bench/run (add them there): {', '.join(not_run)}")
if failed:
    print(f"\nFailed (non-zero exit; see build/bench/raw/): {', '.join(failed)}")
if missing:
    print(f"\nMissing output (a benchmark failed; see build/bench/raw/): {', '.join(missing)}")
print("\nThe programs' own output is in `build/bench/raw/`.")
sys.exit(1 if failed or missing or not rows else 0)
