// The gateway's status page: every unit's state, readings and active
// alarms, the recent alarm events, and a chart of the air over a period
// from the history. Reads /api/readings once, /api/status every few
// seconds, /api/series when the unit or the period changes and every
// minute. Everything it shows comes from those, in their order (the units
// needing attention first) and with their counts; it changes nothing.
// From kTableFrom units on, one table row a unit instead of a card each.
// Every time on the page is ISO 8601 in the browser's local time with its
// offset, e.g. 2024-05-01T12:00:05+02:00, the gateway's own format.
"use strict";

const kStatusEvery = 5000;
const kChartEvery = 60000;
const kTableFrom = 6;  // units; fewer are shown as cards
const kMainReadings = ["return_air_temperature", "return_air_humidity",
  "supply_air_temperature", "supply_air_humidity", "set_temperature", "set_humidity",
  "run_state", "unit_on_off"];
const kTableReadings = ["return_air_temperature", "return_air_humidity",
  "supply_air_temperature", "supply_air_humidity"];
const kSeries = [
  { name: "return_air_temperature", label: "Return air \u00b0C", axis: "temperature", color: "#c0392b" },
  { name: "supply_air_temperature", label: "Supply air \u00b0C", axis: "temperature", color: "#2f5d9a" },
  { name: "return_air_humidity", label: "Return air %", axis: "humidity", color: "#d68910", dash: [6, 3] },
  { name: "supply_air_humidity", label: "Supply air %", axis: "humidity", color: "#1e8449", dash: [6, 3] },
];

const norvane = { table: [], status: null, chart: null, series: null };
window.norvane = norvane;

function element(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes || {})) node.setAttribute(key, value);
  for (const child of children)
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  return node;
}

async function fetchJson(path) {
  const response = await fetch(path, { cache: "no-store" });
  if (!response.ok) throw new Error(path + ": " + response.status + " " + response.statusText);
  return response.json();
}

// A value as the gateway's other outputs write it: tenths with one decimal,
// whole numbers as they are, flags as "alarm" or "normal", names as they are.
function valueText(row, value) {
  if (value === null || value === undefined) return "-";
  if (typeof value === "boolean") return value ? "alarm" : "normal";
  if (typeof value === "number") {
    const text = row.scale === "tenths" ? value.toFixed(1) : String(value);
    return row.unit ? text + " " + row.unit : text;
  }
  return String(value);
}

function pad(number) {
  return String(number).padStart(2, "0");
}

// A time (Unix milliseconds or an ISO 8601 text) as ISO 8601 in local time
// with the offset: 2024-05-01T12:00:05+02:00.
function timeText(value) {
  const date = new Date(value);
  if (value === null || value === undefined || isNaN(date.getTime())) return "?";
  const offset = -date.getTimezoneOffset();
  const sign = offset < 0 ? "-" : "+";
  return date.getFullYear() + "-" + pad(date.getMonth() + 1) + "-" + pad(date.getDate()) +
    "T" + pad(date.getHours()) + ":" + pad(date.getMinutes()) + ":" + pad(date.getSeconds()) +
    sign + pad(Math.floor(Math.abs(offset) / 60)) + ":" + pad(Math.abs(offset) % 60);
}

function timeElement(value) {
  const text = timeText(value);
  return element("time", text === "?" ? {} : { datetime: text }, text);
}

function age(seconds) {
  if (seconds === null || seconds === undefined) return "no data yet";
  if (seconds < 120) return seconds + " s old";
  if (seconds < 7200) return Math.round(seconds / 60) + " min old";
  return Math.round(seconds / 3600) + " h old";
}

function readingRows(unit, names) {
  const body = element("tbody");
  for (const row of norvane.table) {
    if (names && !names.includes(row.name)) continue;
    body.append(element("tr", { "data-reading": row.name },
      element("th", { title: row.name }, row.description),
      element("td", { class: "value" }, valueText(row, unit.readings[row.name]))));
  }
  return element("table", unit.fresh ? {} : { class: "stale-data" }, body);
}

// A level's colour: critical from 3 up (higher is worse), major, warning.
function levelClass(level) {
  return level >= 3 ? "level-critical" : level === 2 ? "level-major" : "level-warning";
}

function alarmList(unit) {
  const list = element("ul", { class: "alarms" });
  if (unit.alarms.length === 0) list.append(element("li", { class: "none" }, "No active alarm"));
  for (const alarm of unit.alarms)
    list.append(element("li", { "data-signal-id": alarm.signal_id, class: levelClass(alarm.level) },
      element("span", { class: "level" }, alarm.level_name), " " + alarm.title + " since ",
      timeElement(alarm.since)));
  return list;
}

// The unit's state; coloured by its worst active alarm's level, green when
// answering without alarm, grey without current data.
function stateBadge(unit) {
  const state = unit.fresh ? unit.state : unit.last_round && unit.state === "answering" ?
    "stale" : unit.state;
  const colour = unit.alarms.length > 0 ? levelClass(unit.alarm_level) :
    unit.fresh ? "answering" : "silent";
  const text = unit.alarms.length > 0 ? state + " \u00b7 " + unit.alarm_level_name : state;
  return element("span", { class: "state " + colour, "data-level": unit.alarm_level }, text);
}

function unitName(unit) {
  const name = element("span", { class: "title" }, unit.title || unit.name);
  if (!unit.title || unit.title === unit.name) return [name];
  return [name, element("span", { class: "name" }, unit.name)];
}

function dataAge(unit) {
  const text = element("span", { class: "age" }, "data " + age(unit.data_age_s));
  if (unit.last_round) text.append(" (", timeElement(unit.last_round), ")");
  return text;
}

function unitCard(unit) {
  const card = element("article", { class: "unit", "data-unit": unit.name },
    element("h2", {}, ...unitName(unit), stateBadge(unit)),
    element("p", { class: "age" }, "Slave " + unit.slave + "; ", dataAge(unit)),
    alarmList(unit));
  if (unit.readings) {
    card.append(readingRows(unit, kMainReadings));
    const all = element("details", {}, element("summary", {}, "All readings"));
    all.append(readingRows(unit, null));
    card.append(all);
  }
  return card;
}

function readingCell(unit, name) {
  const row = norvane.table.find((r) => r.name === name);
  return element("td", { class: "value", "data-reading": name },
    row && unit.readings ? valueText(row, unit.readings[name]) : "-");
}

function unitRow(unit) {
  const alarms = element("td", { class: "alarms" });
  for (const alarm of unit.alarms)
    alarms.append(element("span", { "data-signal-id": alarm.signal_id, class: levelClass(alarm.level) },
      element("span", { class: "level" }, alarm.level_name), " " + alarm.title));
  return element("tr", { "data-unit": unit.name, class: unit.fresh ? "" : "stale-data" },
    element("th", { scope: "row" }, ...unitName(unit)),
    element("td", {}, stateBadge(unit)),
    ...kTableReadings.map((name) => readingCell(unit, name)),
    alarms,
    element("td", { class: "last-round", title: "data " + age(unit.data_age_s) },
      unit.last_round ? timeElement(unit.last_round) : "none yet"));
}

function unitTable(units) {
  const headings = kTableReadings.map((name) => {
    const row = norvane.table.find((r) => r.name === name);
    return element("th", { class: "value" }, row ? row.description : name);
  });
  return element("table", { class: "units" },
    element("thead", {}, element("tr", {}, element("th", {}, "Unit"), element("th", {}, "State"),
      ...headings, element("th", {}, "Alarms"), element("th", {}, "Last round"))),
    element("tbody", {}, ...units.map(unitRow)));
}

function showSummary(summary) {
  const count = (key, one, many) => element("span", { "data-count": key,
    class: key !== "units" && summary[key] > 0 ? "count attention" : "count" },
    summary[key] + " " + (summary[key] === 1 ? one : many));
  document.getElementById("summary").replaceChildren(count("units", "unit", "units"),
    count("alarming", "alarming", "alarming"), count("not_answering", "not answering",
      "not answering"));
}

function showStatus(status) {
  norvane.status = status;
  const g = status.gateway;
  document.getElementById("gateway").replaceChildren("Version " + g.version + ", up since ",
    timeElement(g.started), "; as of ", timeElement(g.time));
  showSummary(status.summary);
  const units = document.getElementById("units");
  const open = new Set(Array.from(units.querySelectorAll("details[open]"))
    .map((d) => d.closest("[data-unit]").dataset.unit));
  const asTable = status.units.length >= kTableFrom;
  units.className = asTable ? "table" : "cards";
  units.replaceChildren(...(asTable ? [unitTable(status.units)] : status.units.map(unitCard)));
  for (const name of open) {
    const details = units.querySelector('[data-unit="' + CSS.escape(name) + '"] details');
    if (details) details.open = true;
  }
  const rows = status.events.map((e) => element("tr", { class: e.state, "data-signal-id": e.signal_id },
    element("td", {}, timeElement(e.time)), element("td", {}, e.unit), element("td", {}, e.title),
    element("td", {}, e.state), element("td", {}, e.level_name || e.level), element("td", {}, e.detail)));
  document.getElementById("event-rows").replaceChildren(...rows);
  const select = document.getElementById("chart-unit");
  // In the configuration's order, whatever the order of the units above.
  const names = status.units.slice().sort((a, b) => a.position - b.position).map((u) => u.name);
  if (select.options.length !== names.length) {
    const chosen = select.value;
    select.replaceChildren(...names.map((n) => element("option", { value: n }, n)));
    if (names.includes(chosen)) select.value = chosen;
    loadSeries();
  }
}

function note(...parts) {
  document.getElementById("chart-note").replaceChildren(...parts);
}

function drawChart(series) {
  const datasets = kSeries.map((s) => ({
    label: s.label, yAxisID: s.axis, borderColor: s.color, backgroundColor: s.color,
    borderDash: s.dash || [], pointRadius: 0, borderWidth: 1.5, spanGaps: false,
    data: series.time.map((t, i) => ({ x: t, y: series.series[s.name][i] })),
  }));
  if (norvane.chart) {
    norvane.chart.data.datasets = datasets;
    norvane.chart.update("none");
    return;
  }
  norvane.chart = new Chart(document.getElementById("chart"), {
    type: "line",
    data: { datasets },
    options: {
      animation: false, maintainAspectRatio: false, parsing: false, normalized: true,
      interaction: { mode: "nearest", axis: "x", intersect: false },
      scales: {
        x: { type: "linear", ticks: { callback: timeText, maxTicksLimit: 8 } },
        temperature: { type: "linear", position: "left", title: { display: true, text: "\u00b0C" } },
        humidity: { type: "linear", position: "right", title: { display: true, text: "%" },
          grid: { drawOnChartArea: false } },
      },
      plugins: { tooltip: { callbacks: { title: (items) => timeText(items[0].parsed.x) } } },
    },
  });
}

async function loadSeries() {
  const unit = document.getElementById("chart-unit").value;
  const hours = document.getElementById("chart-hours").value;
  if (!unit) return;
  try {
    const series = await fetchJson("api/series?unit=" + encodeURIComponent(unit) + "&hours=" + hours);
    norvane.series = series;
    note(series.records + " records from ", timeElement(series.since), " to ",
      timeElement(series.until), (series.step > 1 ? ", every " + series.step + "th shown" : "") +
      (series.gaps > 0 ? "; " + series.gaps + (series.gaps === 1 ? " outage" : " outages") +
        " (nothing read) shown as gaps" : ""));
    if (typeof Chart === "undefined") {
      note("The chart needs Chart.js (Debian package libjs-chart.js) on the gateway.");
      return;
    }
    drawChart(series);
  } catch (error) {
    note("History not available: " + error.message);
  }
}

async function refreshStatus() {
  try {
    showStatus(await fetchJson("api/status"));
  } catch (error) {
    document.getElementById("gateway").textContent = "The gateway does not answer: " + error.message;
  }
}

async function start() {
  try {
    norvane.table = await fetchJson("api/readings");
  } catch (error) {
    document.getElementById("gateway").textContent = "The gateway does not answer: " + error.message;
  }
  document.getElementById("chart-unit").addEventListener("change", loadSeries);
  document.getElementById("chart-hours").addEventListener("change", loadSeries);
  await refreshStatus();
  setInterval(refreshStatus, kStatusEvery);
  setInterval(loadSeries, kChartEvery);
}

start();
