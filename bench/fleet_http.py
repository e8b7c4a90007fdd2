#!/usr/bin/python3
"""The fleet's HTTP endpoint with many stations (release build): /metrics
answer time and size (target <= 1 s for 10 000 stations), a page of the
station list, one station's state, an action on every station, and what
publishing the stations' views costs the station threads (idle CPU and
memory of the same fleet without the endpoint, measured in the same run).

  bench/fleet_http.py [--stations 10000] [--idle-seconds 10] [--bin build/release] [--base 20000]
"""
import argparse
import json
import os
import shutil
import socket
import statistics
import sys
import tempfile
import time
import urllib.request

from fleet_bench import ROOT, Fleet, fleet_file, idle_cpu, rss_kb, say, template

sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from page_browser import browser, chromium_present  # noqa: E402


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def timed(url, method="GET", body=None, times=5):
    """Median and longest answer time in ms, and the last answer's body."""
    took = []
    data = None
    for _ in range(times):
        req = urllib.request.Request(url, data=body, method=method)
        t = time.perf_counter()
        with urllib.request.urlopen(req, timeout=60) as r:
            data = r.read()
        took.append((time.perf_counter() - t) * 1000)
    return statistics.median(took), max(took), data


def page_figures(url, n):
    """The status page in headless Chromium with n stations: how long until
    the fleet table shows its first page, the last page, a filtered page and
    a station's panels; and how many rows the table holds (one page only)."""
    from selenium.webdriver.common.by import By

    def until(check, timeout=30):
        t = time.perf_counter()
        while time.perf_counter() - t < timeout:
            try:
                if check():
                    return (time.perf_counter() - t) * 1000
            except Exception:
                pass
            time.sleep(0.005)
        raise SystemExit("fleet_http: the page did not show it in %d s" % timeout)

    driver = browser()
    try:
        count = lambda: driver.find_element(By.ID, "count").text  # noqa: E731
        rows = lambda: driver.find_elements(By.CSS_SELECTOR, "#rows tr td a")  # noqa: E731
        t = time.perf_counter()
        driver.get(url + "/")
        until(lambda: count().startswith("{:,}".format(n)) and len(rows()) > 0)  # as the page writes it
        say("%d stations: status page until its table shows" % n, "%.0f ms" % ((time.perf_counter() - t) * 1000),
            "%d rows drawn, '%s'" % (len(rows()), count()))
        last = "%05d" % n
        driver.find_element(By.ID, "last").click()
        took = until(lambda: rows()[-1].text == last)
        say("%d stations: status page, to the last page" % n, "%.0f ms" % took, "last row %s" % last)
        box = driver.find_element(By.ID, "filter")
        box.clear()
        box.send_keys("F%04d*" % (n // 10 - 1))  # the last ten stations
        took = until(lambda: count().startswith("10 of") and len(rows()) == 10)
        say("%d stations: status page, filtered to 10" % n, "%.0f ms" % took, count())
        rows()[0].click()
        took = until(lambda: len(driver.find_elements(By.CSS_SELECTOR, "#panels .panel")) == 32 and
                     driver.find_element(By.ID, "name").text != "")
        say("%d stations: a station's page until its panels show" % n, "%.0f ms" % took, "32 panels")
        heap = driver.execute_script("return performance.memory ? performance.memory.usedJSHeapSize : 0")
        say("%d stations: the page's script heap" % n, "%.1f MB" % (heap / 1e6), "")
    finally:
        driver.quit()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--stations", type=int, default=10000)
    ap.add_argument("--idle-seconds", type=int, default=10)
    ap.add_argument("--bin", default=os.path.join(ROOT, "build", "release"))
    ap.add_argument("--base", type=int, default=20000, help="station n listens on BASE + n")
    args = ap.parse_args()
    n = args.stations
    work = tempfile.mkdtemp(prefix="fleet-http-")
    try:
        template(os.path.join(work, "template"), "127.0.0.1", 8000)
        plain = fleet_file(work, n, args.base, ["01:0=sine:10:8:{40 + n % 41}", "01:7=walk:10:0.2"])
        text = open(plain).read()
        # The first start makes the directories; the figures are from the second.
        Fleet(args.bin, plain, os.path.join(work, "first.log")).stop()
        f = Fleet(args.bin, plain, os.path.join(work, "plain.log"))
        time.sleep(3)
        plain_kb, plain_cpu = rss_kb(f.p.pid), idle_cpu(f.p.pid, args.idle_seconds)
        f.stop()

        port = free_port()
        path = os.path.join(work, "http.toml")
        with open(path, "w") as out:
            out.write('http = "127.0.0.1:%d"\n' % port + text)
        f = Fleet(args.bin, path, os.path.join(work, "http.log"))
        say("%d stations with --http: start until all listen" % n, "%.2f s" % f.start_seconds, "%d of %d up" % (f.up, f.of))
        time.sleep(3)
        kb, cpu = rss_kb(f.p.pid), idle_cpu(f.p.pid, args.idle_seconds)
        say("%d stations: idle CPU with views published" % n, "%.1f %% of a core" % cpu,
            "%.1f %% without the endpoint" % plain_cpu)
        say("%d stations: memory with the endpoint" % n, "%.0f MB" % (kb / 1024),
            "%.0f MB without; %.1f KB a station more" % (plain_kb / 1024, (kb - plain_kb) / n))
        url = "http://127.0.0.1:%d" % port
        med, worst, body = timed(url + "/metrics")
        say("%d stations: /metrics answer (target <= 1000 ms)" % n, "%.0f ms" % med,
            "longest of 5 %.0f ms, %.1f MB, %d lines" % (worst, len(body) / 1e6, body.count(b"\n")))
        med, worst, body = timed(url + "/api/v1/stations?offset=%d&limit=100" % (n // 2))
        say("%d stations: list page of 100 from the middle" % n, "%.1f ms" % med,
            "longest %.1f ms, %d KB" % (worst, len(body) // 1024))
        med, worst, body = timed(url + "/api/v1/stations?limit=1000")
        say("%d stations: list page of 1000" % n, "%.1f ms" % med, "longest %.1f ms, %d KB" % (worst, len(body) // 1024))
        med, worst, body = timed(url + "/api/v1/stations?q=F0999*")
        say("%d stations: list filtered by identity glob" % n, "%.1f ms" % med,
            "%d matching" % json.loads(body)["total"])
        med, worst, _ = timed(url + "/api/v1/stations/%05d" % (n // 2))
        say("%d stations: one station's state" % n, "%.1f ms" % med, "longest %.1f ms" % worst)
        action = json.dumps({"select": {}, "action": {"set_source": {"channel": 1, "source": "const:5"}}}).encode()
        med, worst, body = timed(url + "/api/v1/actions", "POST", action, times=3)
        say("%d stations: set_source on every station" % n, "%.0f ms" % med,
            "longest %.0f ms, %d changed" % (worst, json.loads(body)["count"]))
        try:
            if chromium_present():
                page_figures(url, n)
            else:
                say("%d stations: status page" % n, "skipped", "no chromium (scripts/setup installs it)")
        finally:
            f.stop()
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
