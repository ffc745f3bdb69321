#!/usr/bin/python3
"""The status page in a real browser: headless Chromium, driven by
Selenium, loads the page of a gateway that polls two simulated units, one
of them with water on the floor. The page must show each unit's readings
and the alarm, its chart must hold exactly the points that the history
holds for its period (read here from the SQLite file and decoded on our
own), and the browser's console must stay free of errors. A screenshot is
left at --screenshot.

Usage: status_page_test.py --gateway G --sim S --plugin P --screenshot PNG
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


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--disable-background-networking", "--disable-extensions", "--disable-sync",
                 "--disable-default-apps", "--disable-component-update", "--no-first-run",
                 "--no-default-browser-check", "--window-size=1280,1800",
                 "--user-data-dir=" + profile):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


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
        drawn = [(p["x"], round(p["y"], 1)) for p in dataset["data"]]
        expected = [(ms, values[name]) for ms, values in stored]
        if drawn != expected:
            fail("%s: the chart draws %d points %s, the history holds %d %s" % (
                name, len(drawn), drawn[:3], len(expected), expected[:3]))
    return len(stored)


def main():
    parser = argparse.ArgumentParser()
    for flag in ("--gateway", "--sim", "--plugin", "--screenshot"):
        parser.add_argument(flag, required=True)
    args = parser.parse_args()
    os.environ["TZ"] = "Asia/Shanghai"  # an offset of +08:00 throughout
    time.tzset()
    work = tempfile.mkdtemp(prefix="norvane-page.")
    processes = []
    try:
        with open(work + "/scenario.txt", "w") as f:
            f.write("0.5 floor_water on\n")
        sim_log = open(work + "/sim.log", "w")
        processes.append(subprocess.Popen(
            [args.sim, "--slaves", "1-2", "--scenario", work + "/scenario.txt"],
            stdout=sim_log, stderr=subprocess.STDOUT))
        pty = wait_for("the simulator's pty", lambda: read_line(work + "/sim.log", r"^pty (\S+)"))
        units = [{"name": name, "slave": slave, "data_id": 100 + slave,
                  "settings": {"appSetting": {"b_mode": "2"}},
                  "alarm_levels": {"120800150010": 3}} for name, slave in (("ac1", 1), ("ac2", 2))]
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
        wait_for("the alarm and a few rounds", lambda: any(
            u["alarms"] for u in get_json(base + "/api/status")["units"]) and len(
            history_points(work + "/history.db", "ac1", 0, 1e15)) >= 5)

        driver = browser(work + "/profile")
        try:
            points = check_page(driver, base, work + "/history.db")
            errors = [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
            if errors:
                fail("the console has errors: %s" % errors)
            driver.save_screenshot(args.screenshot)
        finally:
            driver.quit()
        print("status page: both units' readings, the alarm, %d chart points as in the history,"
              " no console error; screenshot %s" % (points, args.screenshot))
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
