// The gateway's status page: every unit's state, readings and active
// alarms, the recent alarm events, and a chart of the air over a period
// from the history. Reads /api/readings once, /api/status every few
// seconds, /api/series when the unit or the period changes and every
// minute. Everything it shows comes from those; it changes nothing.
"use strict";

const kStatusEvery = 5000;
const kChartEvery = 60000;
const kMainReadings = ["return_air_temperature", "return_air_humidity",
  "supply_air_temperature", "supply_air_humidity", "set_temperature", "set_humidity",
  "run_state", "unit_on_off"];
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

function alarmList(unit) {
  const list = element("ul", { class: "alarms" });
  if (unit.alarms.length === 0) list.append(element("li", { class: "none" }, "No active alarm"));
  for (const alarm of unit.alarms)
    list.append(element("li", { "data-signal-id": alarm.signal_id },
      alarm.title + " (level " + alarm.level + ") since " + (alarm.since || "?")));
  return list;
}

function unitCard(unit) {
  const state = unit.fresh ? "answering" : unit.last_round ? "stale" : "not-answering";
  const card = element("article", { class: "unit", "data-unit": unit.name },
    element("h2", {}, unit.name,
      element("span", { class: "state " + state }, unit.fresh ? unit.state : unit.state + ", stale")),
    element("p", { class: "age" }, "Slave " + unit.slave + "; data " + age(unit.data_age_s) +
      (unit.last_round ? " (" + unit.last_round + ")" : "")),
    alarmList(unit));
  if (unit.readings) {
    card.append(readingRows(unit, kMainReadings));
    const all = element("details", {}, element("summary", {}, "All readings"));
    all.append(readingRows(unit, null));
    card.append(all);
  }
  return card;
}

function showStatus(status) {
  norvane.status = status;
  const g = status.gateway;
  document.getElementById("gateway").textContent =
    "Version " + g.version + ", up since " + g.started + "; as of " + g.time;
  const units = document.getElementById("units");
  const open = new Set(Array.from(units.querySelectorAll("details[open]"))
    .map((d) => d.closest("[data-unit]").dataset.unit));
  units.replaceChildren(...status.units.map(unitCard));
  for (const name of open) {
    const details = units.querySelector('[data-unit="' + CSS.escape(name) + '"] details');
    if (details) details.open = true;
  }
  const rows = status.events.map((e) => element("tr", { class: e.state, "data-signal-id": e.signal_id },
    element("td", {}, e.time || "?"), element("td", {}, e.unit), element("td", {}, e.title),
    element("td", {}, e.state), element("td", {}, e.level), element("td", {}, e.detail)));
  document.getElementById("event-rows").replaceChildren(...rows);
  const select = document.getElementById("chart-unit");
  const names = status.units.map((u) => u.name);
  if (select.options.length !== names.length) {
    const chosen = select.value;
    select.replaceChildren(...names.map((n) => element("option", { value: n }, n)));
    if (names.includes(chosen)) select.value = chosen;
    loadSeries();
  }
}

function note(text) {
  document.getElementById("chart-note").textContent = text;
}

function timeText(ms) {
  return new Date(ms).toLocaleString();
}

function drawChart(series) {
  const datasets = kSeries.map((s) => ({
    label: s.label, yAxisID: s.axis, borderColor: s.color, backgroundColor: s.color,
    borderDash: s.dash || [], pointRadius: 0, borderWidth: 1.5,
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
    note(series.records + " records from " + series.since + " to " + series.until +
      (series.step > 1 ? ", every " + series.step + "th shown" : ""));
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
