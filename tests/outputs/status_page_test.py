#!/usr/bin/python3
"""The status page in a real browser: headless Chromium, driven by
Selenium, loads the page of a gateway that polls simulated units, one of
them with water on the floor.

With two units (the default) the page shows a card a unit: each unit's
readings and the alarm, and its chart holds exactly the points that the
history holds for its period (read here from the SQLite file and decoded
on our own).

With --units 12, in a 1400x1000 window: one of them is at a slave nobody
serves. The summary counts 12 units, 1 alarming, 1 not answering; the
table shows all 12 rows without scrolling, the alarming unit first with a
badge of its level's colour, then the silent one, then the rest in the
configuration's order; every time on the page, the chart's axis included,
is ISO 8601 with the offset.

Either way the browser's console must stay free of errors. A screenshot is
left at --screenshot.

Usage: status_page_test.py --gateway G --sim S --plugin P --screenshot PNG [--units 12]
"""
import argparse
import json
import os
import re
import signal
import sqlite3
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request
from datetime import datetime

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

PATIENCE_S = 30
# The record's words of the chart's four series: byte offset, signed.
AIR = {
    "return_air_temperature": (26, True),
    "return_air_humidity": (28, False),
    "supply_air_temperature": (30, True),
    "supply_air_humidity": (32, False),
}


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def wait_for(what, check, timeout=PATIENCE_S):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.1)
    fail("waited in vain for " + what)


def read_line(path, pattern):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            match = re.search(pattern, f.read(), re.M)
            return match and match.group(1)
    except FileNotFoundError:
        return None


def get_json(url):
    with urllib.request.urlopen(url, timeout=5) as response:
        return json.load(response)


def history_points(db, unit, since_ms, until_ms):
    """The history's records of `unit` in [since, until), decoded here."""
    connection = sqlite3.connect("file:" + db + "?mode=ro", uri=True)
    points = []
    for stamp, record in connection.execute(
            "SELECT time, record FROM history WHERE device = ? ORDER BY id", (unit,)):
        ms = int(time.mktime(time.strptime(stamp, "%Y-%m-%d %H:%M:%S"))) * 1000
        if not since_ms <= ms < until_ms:
            continue
        values = {}
        for name, (offset, signed) in AIR.items():
            (word,) = struct.unpack_from("<h" if signed else "<H", record, offset)
            values[name] = word / 10
        points.append((ms, values))
    connection.close()
    return points


def browser(profile, size):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--disable-background-networking", "--disable-extensions", "--disable-sync",
                 "--disable-default-apps", "--disable-component-update", "--no-first-run",
                 "--no-default-browser-check", "--window-size=%d,%d" % size,
                 "--user-data-dir=" + profile):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    # The window's size is the page's, whatever the browser keeps around it.
    extra = driver.execute_script("return [window.outerWidth - window.innerWidth,"
                                  " window.outerHeight - window.innerHeight];")
    driver.set_window_size(size[0] + extra[0], size[1] + extra[1])
    return driver


def check_page(driver, base, db):
    driver.get(base + "/")
    wait = WebDriverWait(driver, PATIENCE_S)
    for unit in ("ac1", "ac2"):
        cell = wait.until(lambda d, u=unit: d.find_element(
            By.CSS_SELECTOR, '[data-unit="%s"] [data-reading="return_air_temperature"] td' % u))
        if not re.fullmatch(r"-?\d+\.\d \u00b0C", cell.text):
            fail("%s's return air temperature reads %r" % (unit, cell.text))
        humidity = driver.find_element(
            By.CSS_SELECTOR, '[data-unit="%s"] [data-reading="return_air_humidity"] td' % unit)
        if not re.fullmatch(r"\d+\.\d %", humidity.text):
            fail("%s's return air humidity reads %r" % (unit, humidity.text))
    alarm = wait.until(lambda d: d.find_element(
        By.CSS_SELECTOR, '[data-unit="ac1"] .alarms [data-signal-id="120800150010"]'))
    if "Water on the floor" not in alarm.text:
        fail("the alarm reads %r" % alarm.text)
    if driver.find_elements(By.CSS_SELECTOR, '[data-unit="ac2"] .alarms [data-signal-id]'):
        fail("ac2 shows an alarm it does not have")
    event = wait.until(lambda d: d.find_element(
        By.CSS_SELECTOR, '#event-rows tr[data-signal-id="120800150010"]'))
    if "raised" not in event.text or "ac1" not in event.text:
        fail("the event row reads %r" % event.text)

    # The chart as drawn, and the period it was read for, in one go.
    shown = wait.until(lambda d: d.execute_script(
        "const n = window.norvane; if (!n.chart || !n.series) return null;"
        "return {since: n.series.since, until: n.series.until, unit: n.series.unit,"
        " datasets: n.chart.data.datasets.map((s, i) => ({label: s.label, data: s.data}))};"))
    since_ms = datetime.fromisoformat(shown["since"]).timestamp() * 1000
    until_ms = datetime.fromisoformat(shown["until"]).timestamp() * 1000
    stored = history_points(db, shown["unit"], since_ms, until_ms)
    if len(stored) < 3:
        fail("the history holds %d records in the chart's period" % len(stored))
    names = ["return_air_temperature", "supply_air_temperature", "return_air_humidity",
             "supply_air_humidity"]
    for name, dataset in zip(names, shown["datasets"]):
        drawn = [(p["x"], round(p["y"], 1)) for p in dataset["data"] if p["y"] is not None]
        expected = [(ms, values[name]) for ms, values in stored]
        if drawn != expected:
            fail("%s: the chart draws %d points %s, the history holds %d %s" % (
                name, len(drawn), drawn[:3], len(expected), expected[:3]))
    return len(stored)


# The room of --units 12: ac9 at slave 1, the one that supervises the
# scenario's alarm; ac4 at a slave nobody serves; the others at slaves 2 to 11.
ROOM = [("ac%d" % k, slave) for k, slave in zip(range(1, 13), (2, 3, 4, 40, 5, 6, 7, 8, 1, 9, 10, 11))]
ISO_TIME = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\+08:00"


def check_room(driver, base):
    """The 12 units' table; returns how many rows the window shows whole."""
    driver.get(base + "/")
    wait = WebDriverWait(driver, PATIENCE_S)
    rows = wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#units.table tbody tr")) == 12
                      and d.find_elements(By.CSS_SELECTOR, "#units.table tbody tr"))
    if driver.find_elements(By.CSS_SELECTOR, "#units article.unit"):
        fail("12 units shown as cards")
    counts = {e.get_attribute("data-count"): e.text
              for e in driver.find_elements(By.CSS_SELECTOR, "#summary [data-count]")}
    if counts != {"units": "12 units", "alarming": "1 alarming",
                  "not_answering": "1 not answering"}:
        fail("the summary reads %r" % counts)
    order = [row.get_attribute("data-unit") for row in rows]
    expected = ["ac9", "ac4"] + [name for name, _ in ROOM if name not in ("ac9", "ac4")]
    if order != expected:
        fail("the units come in the order %s, not %s" % (order, expected))
    first = rows[0].find_element(By.CSS_SELECTOR, ".state")
    if "level-critical" not in first.get_attribute("class") or "critical" not in first.text:
        fail("the alarming unit's badge is %r (%s)" % (first.text, first.get_attribute("class")))
    healthy = rows[2].find_element(By.CSS_SELECTOR, ".state")
    colour = "return getComputedStyle(arguments[0]).backgroundColor;"
    if healthy.text != "answering" or (driver.execute_script(colour, first) ==
                                       driver.execute_script(colour, healthy)):
        fail("a healthy badge %r looks like the alarming one" % healthy.text)
    if "Water on the floor" not in rows[0].find_element(By.CSS_SELECTOR, "td.alarms").text:
        fail("the alarming unit's row reads %r" % rows[0].text)
    if not re.search(r"\d+\.\d \u00b0C", rows[2].find_element(
            By.CSS_SELECTOR, '[data-reading="return_air_temperature"]').text):
        fail("ac1's row reads %r" % rows[2].text)
    title = rows[2].find_element(By.CSS_SELECTOR, ".title").text
    if title != "Row A \u2013 1":
        fail("ac1's title reads %r" % title)
    width, height = driver.execute_script("return [window.innerWidth, window.innerHeight];")
    if (width, height) != (1400, 1000):
        fail("the window shows %dx%d px, not 1400x1000" % (width, height))
    whole = sum(1 for row in rows if driver.execute_script(
        "const r = arguments[0].getBoundingClientRect(); return r.top >= 0 && r.bottom <= arguments[1];",
        row, height))
    if whole != 12:
        fail("%d of 12 rows fit a window %d px high" % (whole, height))

    # One time format: every time element, the page's text and the chart's axis.
    ticks = wait.until(lambda d: d.execute_script(
        "const c = window.norvane.chart; return c && c.scales.x.ticks.map((t) => t.label);"))
    stamps = [e.text for e in driver.find_elements(By.TAG_NAME, "time")] + ticks
    wrong = [t for t in stamps if not re.fullmatch(ISO_TIME, t)]
    if wrong or len(stamps) < 12 + len(ticks):
        fail("%d times, these not as ISO 8601 with offset: %s" % (len(stamps), wrong))
    left = re.sub(ISO_TIME, "", driver.find_element(By.TAG_NAME, "body").text)
    if re.search(r"\d:\d\d", left):
        fail("a time in another format: %r" % re.search(r".{0,30}\d:\d\d.{0,10}", left).group(0))
    return whole, height


def main():
    parser = argparse.ArgumentParser()
    for flag in ("--gateway", "--sim", "--plugin", "--screenshot"):
        parser.add_argument(flag, required=True)
    parser.add_argument("--units", type=int, choices=(2, 12), default=2)
    args = parser.parse_args()
    room = ROOM if args.units == 12 else [("ac1", 1), ("ac2", 2)]
    os.environ["TZ"] = "Asia/Shanghai"  # an offset of +08:00 throughout
    time.tzset()
    work = tempfile.mkdtemp(prefix="norvane-page.")
    processes = []
    try:
        with open(work + "/scenario.txt", "w") as f:
            f.write("0.5 floor_water on\n")
        sim_log = open(work + "/sim.log", "w")
        processes.append(subprocess.Popen(
            [args.sim, "--slaves", "1-%d" % (11 if args.units == 12 else 2),
             "--scenario", work + "/scenario.txt"],
            stdout=sim_log, stderr=subprocess.STDOUT))
        pty = wait_for("the simulator's pty", lambda: read_line(work + "/sim.log", r"^pty (\S+)"))
        units = [{"name": name, "slave": slave, "data_id": 100 + slave,
                  "settings": {"appSetting": {"b_mode": "2"}},
                  # The scenario wets every unit's floor: only slave 1 watches it.
                  "alarm_levels": {"120800150010": 3 if slave == 1 else "off"}}
                 for name, slave in room]
        if args.units == 12:
            for k, unit in enumerate(units):
                unit["title"] = "Row %s \u2013 %d" % ("AB"[k // 6], k % 6 + 1)
        config = {"plugin": args.plugin, "history": work + "/history.db", "interval_s": 0.3,
                  "bus": {"port": pty, "response_timeout_ms": 400},
                  "control": {"socket": work + "/control.sock"},
                  "units": units, "http": {"listen": "127.0.0.1:0"}}
        with open(work + "/gateway.json", "w") as f:
            json.dump(config, f)
        gateway_log = open(work + "/gateway.log", "w")
        processes.append(subprocess.Popen([args.gateway, "run", "--config", work + "/gateway.json"],
                                          stdout=gateway_log, stderr=subprocess.STDOUT))
        address = wait_for("the gateway's address", lambda: read_line(
            work + "/gateway.log", r"metrics at http://([^/\s]+)/metrics"))
        base = "http://" + address
        alarming = room[0][0] if args.units == 2 else "ac9"
        wait_for("the alarm and a few rounds", lambda: any(
            u["alarms"] for u in get_json(base + "/api/status")["units"]) and len(
            history_points(work + "/history.db", alarming, 0, 1e15)) >= 5)
        if args.units == 12:
            wait_for("1 alarming, 1 not answering", lambda: get_json(base + "/api/status")[
                "summary"] == {"units": 12, "alarming": 1, "not_answering": 1})

        driver = browser(work + "/profile", (1400, 1000) if args.units == 12 else (1280, 1800))
        try:
            if args.units == 12:
                whole, height = check_room(driver, base)
                outcome = ("12 units: the summary, %d of 12 rows whole in %d px, the alarming unit"
                           " first, one time format" % (whole, height))
            else:
                points = check_page(driver, base, work + "/history.db")
                outcome = ("both units' readings, the alarm, %d chart points as in the history"
                           % points)
            errors = [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
            if errors:
                fail("the console has errors: %s" % errors)
            driver.save_screenshot(args.screenshot)
        finally:
            driver.quit()
        print("status page: %s, no console error; screenshot %s" % (outcome, args.screenshot))
    finally:
        for process in reversed(processes):
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
        subprocess.run(["rm", "-rf", work], check=False)


if __name__ == "__main__":
    main()
