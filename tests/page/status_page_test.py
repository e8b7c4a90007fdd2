#!/usr/bin/python3
"""The status page in a real browser (headless Chromium through Selenium)
against a real fleet of three stations with the HTTP endpoint, its control
API behind a token: the page asks for the token and sends the one typed in,
the fleet table lists the stations and filters, a click opens one, a value set through the API
reaches its panel, a fault set through the API shows and the page's button
clears it, a scenario posted shows its progress, and a host's text is shown
as text, never run as markup.

    status_page_test.py BUILD_DIR

Exits 77 (skipped) when Chromium or its driver is absent."""
import pathlib
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
from page_browser import Fleet, browser, chromium_present, free_port, wait_for, write_template  # noqa: E402

# Channel 1 analog with thresholds 100 and 200, linked to no module, so a
# value set stays; channel 2 named with markup, as a host may name it by
# SET_CONFIG. The module is simulated in the process, so the station reads.
TEMPLATE = {
    "emulate.ini": "[Config]\nEventSample=100\nHistorySample=100",
    "module.con": "1,4017,A,1,Y",
    "sensor.con": ",T01,A,I,Y,0,1000,100,200\n,<b>X,A,I,Y,0,1000,100,200",
}


def fleet_file(root):
    tables = []
    for n in (1, 2, 3):
        tables.append(f"""
[[stations]]
first = {n}
count = 1
dir = "{root}/{{n:03}}"
template = "{root}/template"
listen = "127.0.0.1"
port = {free_port()}
log = "memo"
reboot_cmd = "true"
poweroff_cmd = "true"
[stations.modules]
modules = ["01"]
""")
    return "threads = 1\n" + "".join(tables)


def check_page(driver, fleet):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    names = ["001", "002", "003"]

    driver.get(fleet.url("/"))
    rows = lambda: driver.find_elements(By.CSS_SELECTOR, "#rows tr td a")  # noqa: E731
    problem = driver.find_element(By.ID, "problem")
    wait_for("the page to ask for the token", lambda: "token" in problem.text)
    assert not rows()
    driver.find_element(By.ID, "token").send_keys(fleet.token, Keys.ENTER, Keys.TAB)
    wait_for("3 stations in the table", lambda: [a.text for a in rows()] == names)
    wait_for("the count", lambda: driver.find_element(By.ID, "count").text == "3 stations")
    filter_box = driver.find_element(By.ID, "filter")
    filter_box.send_keys("*2")
    wait_for("the filter", lambda: [a.text for a in rows()] == ["002"])
    assert driver.find_element(By.ID, "count").text == "1 of 3 stations match"

    name = "002"
    rows()[0].click()
    wait_for("the station page", lambda: driver.find_element(By.ID, "name").text == name)
    panel = lambda n, part: driver.find_element(By.CSS_SELECTOR, f"#panel-{n} .{part}")  # noqa: E731
    assert len(driver.find_elements(By.CSS_SELECTOR, "#panels .panel")) == 32

    # Host texts are text: the label with markup shows as typed and makes no element.
    wait_for("channel 2's label", lambda: panel(2, "label").text == "<b>X")
    assert not driver.find_elements(By.CSS_SELECTOR, "#panels b")

    # A value set through the API reaches the panel, coloured by its level.
    status, answer = fleet.post(f"/api/v1/stations/{name}/channels/1/value", {"value": 4321})
    assert status == 200, answer
    wait_for("the value on panel 1", lambda: panel(1, "value").text == "4321")
    wait_for("panel 1 above threshold 2",
             lambda: driver.find_element(By.ID, "panel-1").get_attribute("class") == "panel alarm2")

    # A fault set through the API shows; the page's button clears it.
    status, answer = fleet.post("/api/v1/actions", {"select": {"names": [name]},
                                                    "action": {"fault": {"target": "module", "kind": "silent", "module": "01"}}})
    assert status == 200, answer
    item = wait_for("the fault on the page", lambda: [li for li in driver.find_elements(By.CSS_SELECTOR, "#faults li")
                                                      if "module 01: silent" in li.text])
    item[0].find_element(By.TAG_NAME, "button").click()
    wait_for("the fault cleared on the page", lambda: not driver.find_elements(By.CSS_SELECTOR, "#faults li"))
    status, answer = fleet.get(f"/api/v1/stations/{name}/faults")
    assert status == 200 and answer["faults"] == [], answer
    # A scenario posted to the endpoint: its progress as the page shows it.
    scenario = lambda: driver.find_element(By.ID, "scenario").text  # noqa: E731
    wait_for("no scenario", lambda: "No scenario." in scenario())
    status, answer = fleet.post("/api/v1/scenario",
                                'name = "page"\nseed = 7\n[[steps]]\nat = 0\nselect = { names = ["%s"] }\n'
                                'set_value = { channel = 1, value = 5 }\n[[steps]]\nat = 600\n'
                                'clear_faults = { target = "all" }\n' % name)
    assert status == 200, answer
    wait_for("the scenario's progress", lambda: "1 of 2 steps" in scenario())
    assert "page (seed 7)" in scenario() and "Next step at " in scenario(), scenario()
    problem = driver.find_element(By.ID, "problem")  # the page the token was carried to
    assert not problem.is_displayed(), problem.text


def main():
    build = pathlib.Path(sys.argv[1]).resolve()
    if not chromium_present():
        print("skipped: chromium or chromedriver is absent (Debian's chromium and chromium-driver; scripts/setup "
              "installs them)")
        return 77
    with tempfile.TemporaryDirectory() as t:
        root = pathlib.Path(t)
        write_template(root / "template", TEMPLATE)
        fleet = Fleet(build, root, fleet_file(root), token="page-test-token")
        driver = None
        try:
            driver = browser()
            check_page(driver, fleet)
        except Exception:
            print(fleet.log_path.read_text(errors="replace")[-4000:])
            raise
        finally:
            if driver:
                driver.quit()
            fleet.close()
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
