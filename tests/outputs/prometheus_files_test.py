#!/usr/bin/python3
"""What ships for Prometheus and Grafana against what the gateway exports.

A gateway polls the simulated unit (water on the floor, so that an alarm
series has samples) and is scraped once over HTTP: the families of that
scrape (its TYPE lines) are the series the gateway exports. Then:
  - every PromQL expression of the alert rules and of the Grafana dashboard
    (its panels' queries and its variables' label_values()) parses: they are
    written as recording rules into a scratch file for `promtool check rules`;
  - each names only series of the scrape;
  - the dashboard picks its data source from a variable (no fixed uid);
  - docs/outputs.md names no series that the gateway does not export, and
    every exported series is named there or is a reading of docs/readings.md.

Usage: prometheus_files_test.py --gateway G --sim S --plugin P --rules YML
         --dashboard JSON --outputs-doc MD --readings-doc MD
"""
import argparse
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

import yaml

PATIENCE_S = 30
# Words of PromQL that are not series names.
KEYWORDS = {"and", "or", "unless", "by", "without", "on", "ignoring", "group_left",
            "group_right", "bool", "offset", "inf", "nan", "atan2"}


LOGS = []  # files whose text a failure shows


def fail(message):
    for path in LOGS:
        with open(path, encoding="utf-8", errors="replace") as f:
            print("--- %s:\n%s" % (path.rsplit("/", 1)[-1], f.read()[-3000:]), file=sys.stderr)
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def wait_for(what, check):
    deadline = time.monotonic() + PATIENCE_S
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.1)
    fail("waited in vain for " + what)


def read_line(path, pattern):
    with open(path, encoding="utf-8", errors="replace") as f:
        match = re.search(pattern, f.read(), re.M)
        return match and match.group(1)


def scrape(url):
    try:
        with urllib.request.urlopen(url, timeout=5) as response:
            return response.read().decode()
    except OSError:
        return None


def exported_families(args, work):
    """The metric families of a real scrape of the gateway."""
    processes = []
    try:
        with open(work + "/scenario.txt", "w") as f:
            f.write("0 floor_water on\n")
        sim_log = open(work + "/sim.log", "w")
        processes.append(subprocess.Popen([args.sim, "--scenario", work + "/scenario.txt"],
                                          stdout=sim_log, stderr=subprocess.STDOUT))
        pty = wait_for("the simulator's pty", lambda: read_line(work + "/sim.log", r"^pty (\S+)"))
        config = {"plugin": args.plugin, "history": work + "/history.db", "interval_s": 0.2,
                  "bus": {"port": pty, "response_timeout_ms": 400},
                  "control": {"socket": work + "/control.sock"},
                  "http": {"listen": "127.0.0.1:0"},
                  "units": [{"name": "ac1", "slave": 1, "data_id": 101,
                             "settings": {"appSetting": {"b_mode": "2"}},
                             "alarm_levels": {"120800150010": 3}}]}
        with open(work + "/gateway.json", "w") as f:
            json.dump(config, f)
        gateway_log = open(work + "/gateway.log", "w")
        LOGS.append(work + "/gateway.log")
        processes.append(subprocess.Popen([args.gateway, "run", "--config", work + "/gateway.json"],
                                          stdout=gateway_log, stderr=subprocess.STDOUT))
        address = wait_for("the gateway's address", lambda: read_line(
            work + "/gateway.log", r"metrics at http://([^/\s]+)/metrics"))
        text = wait_for("a scrape with the unit up and its alarm", lambda: (
            lambda t: t if t and '\nnorvane_unit_up{unit="ac1"} 1\n' in t
            and "\nnorvane_alarm_active{" in t else None)(scrape("http://%s/metrics" % address)))
    finally:
        for process in reversed(processes):
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
    LOGS.clear()
    return set(re.findall(r"^# TYPE (\S+) ", text, re.M))


def grafana_free(expr):
    """The expression as Prometheus gets it: Grafana's interval variables as
    a duration, the others (inside regular-expression matchers) as ".*"."""
    expr = re.sub(r"\$\{?__(rate_interval|interval|range)\}?", "5m", expr)
    return re.sub(r"\$\{?\w+\}?", ".*", expr)


def dashboard_expressions(dashboard):
    found = []

    def walk(panels):
        for panel in panels:
            if panel.get("datasource") not in (None, {"type": "prometheus", "uid": "${datasource}"}):
                fail("panel %r takes a fixed data source: %s" % (panel["title"], panel["datasource"]))
            for target in panel.get("targets", []):
                if target.get("datasource") != {"type": "prometheus", "uid": "${datasource}"}:
                    fail("a query of panel %r takes a fixed data source" % panel["title"])
                found.append(("panel %r" % panel["title"], target["expr"]))
            walk(panel.get("panels", []))

    walk(dashboard["panels"])
    variables = dashboard["templating"]["list"]
    if not any(v["type"] == "datasource" and v["query"] == "prometheus" for v in variables):
        fail("the dashboard has no data source variable")
    for variable in variables:
        if variable["type"] != "query":
            continue
        match = re.fullmatch(r"label_values\((.*),\s*\w+\)", variable["query"]["query"])
        if not match:
            fail("variable %s: not label_values(SERIES, LABEL)" % variable["name"])
        found.append(("variable %s" % variable["name"], match.group(1)))
    return found


def series_names(expr):
    """The series an expression selects: its identifiers that are neither
    functions, keywords, label names nor inside strings or ranges."""
    expr = re.sub(r'"(?:[^"\\]|\\.)*"', '""', expr)
    expr = re.sub(r"\{[^}]*\}", "", expr)
    expr = re.sub(r"\[[^\]]*\]", "", expr)
    expr = re.sub(r"\b(by|without|on|ignoring|group_left|group_right)\s*\([^)]*\)", "", expr)
    names = set()
    for match in re.finditer(r"(?<![\w.])([a-zA-Z_:][\w:]*)(\s*\()?", expr):
        if match.group(2) or match.group(1) in KEYWORDS:
            continue
        names.add(match.group(1))
    return names


def main():
    parser = argparse.ArgumentParser()
    for flag in ("--gateway", "--sim", "--plugin", "--rules", "--dashboard", "--outputs-doc",
                 "--readings-doc"):
        parser.add_argument(flag, required=True)
    args = parser.parse_args()
    for name, path in vars(args).items():
        setattr(args, name, os.path.abspath(path))
    work = tempfile.mkdtemp(prefix="norvane-prometheus.")
    try:
        exported = exported_families(args, work)
        with open(args.rules) as f:
            rules = yaml.safe_load(f)
        expressions = [("rule %s" % rule["alert"], rule["expr"])
                       for group in rules["groups"] for rule in group["rules"]]
        with open(args.dashboard) as f:
            expressions += dashboard_expressions(json.load(f))

        # Each expression parses: promtool names the one that does not.
        recording = {"groups": [{"name": "expressions", "rules": [
            {"record": "expression:%d" % i, "expr": grafana_free(expr)}
            for i, (_, expr) in enumerate(expressions)]}]}
        with open(work + "/expressions.yml", "w") as f:
            yaml.safe_dump(recording, f)
        check = subprocess.run(["promtool", "check", "rules", work + "/expressions.yml"],
                               capture_output=True, text=True)
        if check.returncode != 0:
            fail("promtool check rules: %s%s\n%s" % (check.stdout, check.stderr, "\n".join(
                "expression:%d is %s: %s" % (i, where, expr)
                for i, (where, expr) in enumerate(expressions))))

        named = set()
        for where, expr in expressions:
            names = series_names(grafana_free(expr))
            if not names:
                fail("%s selects no series: %s" % (where, expr))
            unknown = names - exported
            if unknown:
                fail("%s names series the gateway does not export: %s" % (where, sorted(unknown)))
            named |= names

        # The manual's list against the scrape.
        with open(args.outputs_doc) as f:
            in_outputs = set(re.findall(r"\bnorvane_[a-z0-9_]*[a-z0-9]\b", f.read()))
        with open(args.readings_doc) as f:
            readings = set(re.findall(r"^\| `([a-z0-9_]+)` \|", f.read(), re.M))
        unknown = in_outputs - exported
        if unknown:
            fail("docs/outputs.md names series the gateway does not export: %s" % sorted(unknown))
        reading_of = lambda name: re.sub(r"^norvane_|_(celsius|percent|seconds)$", "", name)
        undocumented = {name for name in exported - in_outputs if reading_of(name) not in readings}
        if undocumented:
            fail("series neither in docs/outputs.md nor readings of docs/readings.md: %s"
                 % sorted(undocumented))
        print("%d expressions (%d rules, the rest the dashboard's) parse and name %d of the %d "
              "series of a scrape; docs/outputs.md names %d of them, the rest are readings"
              % (len(expressions), sum(1 for w, _ in expressions if w.startswith("rule")),
                 len(named), len(exported), len(in_outputs)))
    finally:
        subprocess.run(["rm", "-rf", work], check=False)


if __name__ == "__main__":
    main()
