"""What the status page's browser test and scripts/page-screenshot share: a
fleet of real stations with the HTTP endpoint (orvane-fleet), calls of its
JSON API, and headless Chromium driven through Selenium (Debian's chromium,
chromium-driver and python3-selenium, run by /usr/bin/python3)."""
import json
import os
import pathlib
import socket
import subprocess
import time
import urllib.error
import urllib.request

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"


def chromium_present():
    return all(os.access(p, os.X_OK) for p in (CHROMIUM, DRIVER))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def call(port, method, path, body=None, token=""):
    """(status, JSON or text) of one request to the endpoint; a str body is sent as it is."""
    data = None if body is None else body.encode() if isinstance(body, str) else json.dumps(body).encode()
    headers = {"Content-Type": "application/json"}
    if token:
        headers["Authorization"] = "Bearer " + token
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=data, method=method, headers=headers)
    try:
        with urllib.request.urlopen(request, timeout=5) as answer:
            text = answer.read()
            if answer.headers.get_content_type() == "application/json":
                return answer.status, json.loads(text)
            return answer.status, text.decode(errors="replace")
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode(errors="replace")


def wait_for(what, check, timeout=20):
    """check()'s first true result, polled until `timeout` seconds pass."""
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        try:
            last = check()
            if last:
                return last
        except Exception as e:  # the page may be between two renders
            last = e
        time.sleep(0.1)
    raise AssertionError(f"timed out waiting for {what} (last: {last!r})")


def write_template(d, files):
    """A station directory the fleet copies for each new station: `files` maps
    names to text, written with CRLF line ends as the station writes them."""
    d = pathlib.Path(d)
    for sub in ("log", "history"):
        (d / sub).mkdir(parents=True, exist_ok=True)
    for name, text in files.items():
        (d / name).write_bytes(text.strip("\n").replace("\n", "\r\n").encode() + b"\r\n")
    (d / "configured.flag").write_bytes(b"1\r\n")
    (d / "auto.con").write_bytes(b"1\r\n")


class Fleet:
    """orvane-fleet running `fleet_toml` (written into root) with its HTTP
    endpoint on a free loopback port, its control API behind `token` when one
    is given; ended by close()."""

    def __init__(self, build, root, fleet_toml, token=""):
        root = pathlib.Path(root)
        (root / "fleet.toml").write_text(fleet_toml)
        self.port = free_port()
        self.token = token
        argv = [str(pathlib.Path(build) / "orvane-fleet"), str(root / "fleet.toml"), "--http", str(self.port)]
        if token:
            (root / "http-token").write_text(token + "\n")
            argv += ["--http-token-file", str(root / "http-token")]
        self.log = open(root / "fleet.log", "wb")
        self.process = subprocess.Popen(argv, stdout=self.log, stderr=subprocess.STDOUT)
        self.log_path = root / "fleet.log"
        try:
            wait_for("the fleet to listen", lambda: self.process.poll() is None and self.get("/readyz")[0] == 200)
        except AssertionError:
            self.close()
            raise AssertionError("the fleet did not start:\n" + self.log_path.read_text(errors="replace"))

    def get(self, path):
        return call(self.port, "GET", path, token=self.token)

    def post(self, path, body):
        return call(self.port, "POST", path, body, token=self.token)

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


def browser(width=1280, height=900):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--hide-scrollbars",
                     f"--window-size={width},{height}"):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service(DRIVER), options=options)
