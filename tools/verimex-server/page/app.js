// verimex-server's page: starts jobs, follows them and shows their results
// through the server's own HTTP interface. Everything a server or a list
// supplies is put on the page as text (textContent), never as markup.
"use strict";

const OUTCOMES = [
  ["verified", "verified"],
  ["rejected", "rejected"],
  ["could_not_connect", "could not connect"],
  ["no_mail_server", "no mail server"],
  ["timed_out", "timed out"],
  ["other_errors", "other errors"],
];
// Rows the table shows at most; the downloads hold every address.
const TABLE_LIMIT = 5000;

const $ = (id) => document.getElementById(id);
const state = {
  token: sessionStorage.getItem("verimex-token") || "",
  job: "",
  timer: 0,
  rows: [],
  shownDone: -1,
  samples: [],  // [time ms, done] for the rate
};

// ---- talking to the server -------------------------------------------------

class HttpError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

async function api(method, path, body, type) {
  const headers = {};
  if (state.token) headers["Authorization"] = "Bearer " + state.token;
  if (body !== undefined) headers["Content-Type"] = type || "application/json";
  const res = await fetch(path, {method, headers, body});
  if (res.status === 401) {
    $("token-line").hidden = false;
    throw new HttpError(401, "This server wants a token: enter it above.");
  }
  if (!res.ok) {
    let message = res.status + " " + res.statusText;
    try {
      const j = await res.json();
      if (j && j.error) message = j.error;
    } catch (e) { /* not JSON: keep the status line */ }
    throw new HttpError(res.status, message);
  }
  return res;
}

function show(message, kind) {
  const box = $("message");
  box.textContent = message;
  box.className = kind === "info" ? "info" : "";
  box.hidden = !message;
}

function failed(e) {
  show(e && e.message ? e.message : String(e));
}

// The outcome of an exported row, as the server counts them.
function outcomeOf(row) {
  if (row.returnvar === null || row.returnvar === undefined) return "pending";
  if (row.error) return "other_errors";
  const r = row.returnvar;
  if (r === "000") return "verified";
  if (r === "ERROR: could not connect to mail server") return "could_not_connect";
  if (r === "999 - could not find a mail server for the adress") return "no_mail_server";
  if (r.startsWith("ERROR: timeout after ")) return "timed_out";
  if (/^[0-9]{3}/.test(r)) return "rejected";
  return "other_errors";
}

// ---- starting a job ----------------------------------------------------------

function addressLines(text) {
  return text.split(/\r?\n/).map((l) => l.trim()).filter((l) => l && !l.startsWith("#"));
}

async function startJob(event) {
  event.preventDefault();
  const addresses = addressLines($("addresses").value);
  if (addresses.length === 0) {
    show("Paste or load at least one address.");
    return;
  }
  const body = {addresses};
  const name = $("job-name").value.trim();
  if (name) body.name = name;
  const from = $("from").value.trim();
  if (from) body.from = from;
  if ($("timeout").value !== "") body.timeout = Number($("timeout").value);
  $("start").disabled = true;
  try {
    const res = await api("POST", "/v1/jobs", JSON.stringify(body));
    const added = await res.json();
    show("Job " + added.job + ": " + added.added + " addresses added" +
         (added.duplicates ? ", " + added.duplicates + " repeats left out" : "") + ".", "info");
    await loadJobList();
    openJob(added.job);
  } catch (e) {
    failed(e);
  } finally {
    $("start").disabled = false;
  }
}

function loadFile() {
  const file = $("file").files[0];
  if (!file) return;
  const reader = new FileReader();
  reader.onload = () => { $("addresses").value = String(reader.result); };
  reader.onerror = () => show("Could not read " + file.name);
  reader.readAsText(file);
}

async function checkOne(event) {
  event.preventDefault();
  const email = $("check-email").value;
  if (!email) return;
  $("check").disabled = true;
  try {
    const res = await api("GET", "/v1/check?email=" + encodeURIComponent(email));
    const r = await res.json();
    const out = $("check-result");
    out.textContent = r.address + ": " + r.returnvar.replace(/\r?\n$/, "") +
      (r.verified ? "  (verified)" : "") + "\n\n" + r.transcript;
    out.hidden = false;
  } catch (e) {
    failed(e);
  } finally {
    $("check").disabled = false;
  }
}

// ---- following a job ---------------------------------------------------------

async function loadJobList() {
  try {
    const res = await api("GET", "/v1/jobs");
    const {jobs} = await res.json();
    const select = $("jobs");
    while (select.options.length > 1) select.remove(1);
    for (const name of jobs) select.add(new Option(name, name));
    select.value = state.job;
  } catch (e) {
    failed(e);
  }
}

function jobPath(suffix) {
  return "/v1/jobs/" + encodeURIComponent(state.job) + (suffix || "");
}

function openJob(name) {
  clearTimeout(state.timer);
  state.job = name;
  state.rows = [];
  state.shownDone = -1;
  state.samples = [];
  $("job-shown").textContent = name || "(none)";
  $("jobs").value = name;
  for (const id of ["delete-job", "download-csv", "download-json"]) $(id).disabled = !name;
  renderTable();
  if (name) poll();
}

async function poll() {
  const job = state.job;
  if (!job) return;
  let status;
  try {
    status = await (await api("GET", jobPath())).json();
  } catch (e) {
    if (job === state.job) {
      failed(e);
      if (e.status === 404) openJob("");
      else state.timer = setTimeout(poll, 3000);
    }
    return;
  }
  if (job !== state.job) return;  // another job was opened meanwhile
  renderStatus(status);
  const finished = status.done === status.total;
  if (status.done !== state.shownDone) {
    await loadRows();
    state.shownDone = status.done;
  }
  if (job === state.job) state.timer = setTimeout(poll, finished ? 5000 : 1000);
}

function renderStatus(s) {
  for (const key of ["done", "total", "running", "due", "deferred"]) $(key).textContent = s[key];
  for (const [key] of OUTCOMES) $("count-" + key).textContent = s.results[key];
  const share = s.total ? s.done / s.total : 0;
  $("bar-fill").style.width = (100 * share).toFixed(1) + "%";
  // The rate over the last ten seconds or so.
  const now = Date.now();
  state.samples.push([now, s.done]);
  while (state.samples.length > 2 && now - state.samples[0][0] > 10000) state.samples.shift();
  const [t0, d0] = state.samples[0];
  $("rate").textContent = now > t0 ? ((s.done - d0) * 1000 / (now - t0)).toFixed(1) : "0.0";
  $("state").textContent = s.done === s.total ? "finished" : (s.running ? "running" : "waiting");
  renderChart(s.results);
}

function svg(tag, attributes, text) {
  const e = document.createElementNS("http://www.w3.org/2000/svg", tag);
  for (const [k, v] of Object.entries(attributes)) e.setAttribute(k, String(v));
  if (text !== undefined) e.textContent = text;
  return e;
}

function renderChart(results) {
  const chart = $("chart");
  chart.replaceChildren();
  const most = Math.max(1, ...OUTCOMES.map(([k]) => results[k]));
  const width = 600 / OUTCOMES.length;
  OUTCOMES.forEach(([key, label], i) => {
    const n = results[key];
    const h = Math.round(120 * n / most);
    const x = i * width + 10;
    chart.append(svg("rect", {x, y: 140 - h, width: width - 20, height: h, class: key}));
    chart.append(svg("text", {x: x + (width - 20) / 2, y: 134 - h, "text-anchor": "middle"}, n));
    chart.append(svg("text", {x: x + (width - 20) / 2, y: 158, "text-anchor": "middle"}, label));
  });
}

async function loadRows() {
  const job = state.job;
  try {
    const res = await api("GET", jobPath("/results?format=jsonl&limit=" + TABLE_LIMIT));
    const text = await res.text();
    if (job !== state.job) return;
    state.rows = text.split("\n").filter((l) => l).map((l) => JSON.parse(l));
    renderTable();
  } catch (e) {
    failed(e);
  }
}

function renderTable() {
  const body = $("results").tBodies[0];
  body.replaceChildren();
  const filter = $("filter").value;
  let shown = 0;
  state.rows.forEach((row, i) => {
    const outcome = outcomeOf(row);
    if (filter && outcome !== filter) return;
    ++shown;
    const tr = document.createElement("tr");
    tr.className = "result-row outcome-" + outcome;
    tr.dataset.outcome = outcome;
    const cells = [
      String(i + 1),
      row.address,
      outcome === "pending" ? row.state : outcome.replace(/_/g, " "),
      row.returnvar === null ? "" : row.returnvar.replace(/\r?\n$/, ""),
      String(row.attempts),
      row.checked_at || "",
    ];
    cells.forEach((text, c) => {
      const td = document.createElement("td");
      td.textContent = text;
      if (c === 3) td.className = "result";
      tr.append(td);
    });
    const td = document.createElement("td");
    if (row.transcript) {
      const button = document.createElement("button");
      button.type = "button";
      button.className = "small show-transcript";
      button.textContent = "transcript";
      button.addEventListener("click", () => toggleTranscript(tr, row));
      td.append(button);
    }
    tr.append(td);
    body.append(tr);
  });
  const total = Number($("total").textContent) || state.rows.length;
  $("shown-note").textContent = state.rows.length === 0 ? "" :
    shown + " shown" + (total > state.rows.length ? " (the table holds the first " + state.rows.length +
                                                    " of " + total + "; the downloads hold all)" : "");
}

function toggleTranscript(tr, row) {
  const next = tr.nextElementSibling;
  if (next && next.classList.contains("transcript")) {
    next.remove();
    return;
  }
  const extra = document.createElement("tr");
  extra.className = "transcript";
  const td = document.createElement("td");
  td.colSpan = 7;
  const pre = document.createElement("pre");
  pre.textContent = row.transcript;
  td.append(pre);
  extra.append(td);
  tr.after(extra);
}

async function download(format) {
  try {
    const res = await api("GET", jobPath("/results?format=" + format));
    const blob = await res.blob();
    const a = document.createElement("a");
    a.href = URL.createObjectURL(blob);
    a.download = state.job.replace(/[^A-Za-z0-9._-]/g, "_") + (format === "csv" ? ".csv" : ".jsonl");
    document.body.append(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(a.href), 60000);
  } catch (e) {
    failed(e);
  }
}

async function deleteJob() {
  if (!state.job || !confirm("Delete job " + state.job + " and its results?")) return;
  try {
    await api("DELETE", jobPath());
    show("Job " + state.job + " deleted.", "info");
    openJob("");
    await loadJobList();
  } catch (e) {
    failed(e);
  }
}

// ---- wiring ------------------------------------------------------------------

function init() {
  $("job-form").addEventListener("submit", startJob);
  $("check-form").addEventListener("submit", checkOne);
  $("file").addEventListener("change", loadFile);
  $("jobs").addEventListener("change", () => openJob($("jobs").value));
  $("refresh-jobs").addEventListener("click", loadJobList);
  $("delete-job").addEventListener("click", deleteJob);
  $("filter").addEventListener("change", renderTable);
  $("download-csv").addEventListener("click", () => download("csv"));
  $("download-json").addEventListener("click", () => download("jsonl"));
  $("token").value = state.token;
  $("token-save").addEventListener("click", () => {
    state.token = $("token").value;
    sessionStorage.setItem("verimex-token", state.token);
    show("", "");
    loadJobList();
    if (state.job) poll();
  });
  renderChart(Object.fromEntries(OUTCOMES.map(([k]) => [k, 0])));
  const wanted = new URLSearchParams(location.search).get("job");
  loadJobList().then(() => { if (wanted) openJob(wanted); });
}

init();
