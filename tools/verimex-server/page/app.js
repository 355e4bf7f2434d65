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
const VERDICTS = ["deliverable", "undeliverable", "risky", "unknown"];
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

// The verdict of an exported row, as the engine gave it; "pending" before
// its first result, "none" for a result stored without one (by an older
// version): the page does not guess one from the reply's text.
function verdictOf(row) {
  if (row.returnvar === null || row.returnvar === undefined) return "pending";
  return VERDICTS.includes(row.verdict) ? row.verdict : "none";
}

// The reply that decided, as the server sent it; "" when none did (no
// mail server, a time-out, a refused connection).
function decidingReply(row) {
  if (row.returnvar === null || row.returnvar === undefined) return "";
  if (row.code === null || row.code === undefined) return row.verdict ? "" : row.returnvar.replace(/\r?\n$/, "");
  if (row.returnvar === "000") return String(row.code) + (row.enhanced ? " " + row.enhanced : "");
  return row.returnvar.replace(/\r?\n$/, "");
}

// The settings of the form that decide results, as the API names them.
function checkSettings() {
  const settings = {method: $("method").value, tls: $("tls").value};
  const sender = $("mail-from").value.trim();
  if (sender) settings.mail_from = sender;
  return settings;
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
  const body = Object.assign({addresses}, checkSettings());
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
    const query = new URLSearchParams(Object.assign({email}, checkSettings()));
    const from = $("from").value.trim();
    if (from) query.set("from", from);
    if ($("timeout").value !== "") query.set("timeout", $("timeout").value);
    const res = await api("GET", "/v1/check?" + query.toString());
    const r = await res.json();
    const verdict = verdictOf(r);
    const badge = $("check-badge");
    // Method vrfy answers with the component's members alone: no verdict.
    badge.textContent = verdict;
    badge.className = "badge " + verdict;
    badge.hidden = !r.verdict;
    const reply = decidingReply(r);
    $("check-line").textContent = r.address + (r.reason ? ": " + r.reason.replace(/_/g, " ") : "") +
      (reply ? ": " + reply : "");
    $("check-verdict").hidden = false;
    const out = $("check-result");
    out.textContent = r.transcript;
    out.hidden = !r.transcript;
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
  state.status = null;
  $("job-shown").textContent = name || "(none)";
  $("jobs").value = name;
  for (const id of ["delete-job", "download-csv", "download-json"]) $(id).disabled = !name;
  renderVerdicts();
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
  state.status = s;
  renderVerdicts();
}

// The verdicts' shares as one bar, their counts, and the count of each
// verdict and reason. The whole job's counts come from its status when the
// store keeps them by verdict; else from the rows loaded, which the note
// says when those are not the whole job.
function renderVerdicts() {
  const fromRows = Object.fromEntries(VERDICTS.map((v) => [v, 0]));
  const reasons = new Map();
  let without = 0;
  for (const row of state.rows) {
    const v = verdictOf(row);
    if (v === "pending") continue;
    if (v === "none") {
      ++without;
      continue;
    }
    ++fromRows[v];
    const key = v + "\u0000" + (row.reason || "");
    reasons.set(key, (reasons.get(key) || 0) + 1);
  }
  const status = state.status || {};
  const whole = status.verdicts && typeof status.verdicts === "object" ? status.verdicts : null;
  const counts = Object.fromEntries(VERDICTS.map((v) => [v, whole ? Number(whole[v] || 0) : fromRows[v]]));
  const total = VERDICTS.reduce((n, v) => n + counts[v], 0);
  const bar = $("verdict-bar");
  bar.replaceChildren();
  for (const v of VERDICTS) {
    $("verdict-" + v).textContent = counts[v];
    if (!counts[v]) continue;
    const part = document.createElement("span");
    part.className = v;
    part.dataset.verdict = v;
    part.style.width = (100 * counts[v] / total).toFixed(2) + "%";
    part.title = v + ": " + counts[v];
    part.textContent = Math.round(100 * counts[v] / total) + "%";
    bar.append(part);
  }
  const done = Number(status.done || 0);
  const notes = [];
  if (!whole && done > state.rows.length)
    notes.push("Counted over the first " + state.rows.length + " addresses, those the table holds.");
  if (without)
    notes.push(without + " results were stored without a verdict (the store keeps none for them); their replies are in the table.");
  $("verdict-note").textContent = notes.join(" ");

  const body = $("reasons").tBodies[0];
  body.replaceChildren();
  const order = (key) => VERDICTS.indexOf(key.split("\u0000")[0]);
  const keys = [...reasons.keys()].sort((a, b) => order(a) - order(b) || reasons.get(b) - reasons.get(a));
  for (const key of keys) {
    const [v, reason] = key.split("\u0000");
    const tr = document.createElement("tr");
    tr.className = "reason-row " + v;
    for (const [text, cls] of [[v, "verdict"], [reason.replace(/_/g, " "), ""], [String(reasons.get(key)), ""]]) {
      const td = document.createElement("td");
      td.textContent = text;
      if (cls) td.className = cls;
      tr.append(td);
    }
    body.append(tr);
  }
  // The reasons seen, for the table's filter; the choice made stays.
  const select = $("reason-filter");
  const chosen = select.value;
  while (select.options.length > 1) select.remove(1);
  for (const reason of [...new Set(keys.map((k) => k.split("\u0000")[1]))].filter((r) => r).sort())
    select.add(new Option(reason.replace(/_/g, " "), reason));
  select.value = [...select.options].some((o) => o.value === chosen) ? chosen : "";
}

async function loadRows() {
  const job = state.job;
  try {
    const res = await api("GET", jobPath("/results?format=jsonl&limit=" + TABLE_LIMIT));
    const text = await res.text();
    if (job !== state.job) return;
    state.rows = text.split("\n").filter((l) => l).map((l) => JSON.parse(l));
    renderVerdicts();
    renderTable();
  } catch (e) {
    failed(e);
  }
}

function renderTable() {
  const body = $("results").tBodies[0];
  body.replaceChildren();
  const filter = $("filter").value;
  const reasonFilter = $("reason-filter").value;
  let shown = 0;
  state.rows.forEach((row, i) => {
    const verdict = verdictOf(row);
    if (filter && verdict !== filter) return;
    if (reasonFilter && row.reason !== reasonFilter) return;
    ++shown;
    const tr = document.createElement("tr");
    tr.className = "result-row " + (verdict === "pending" ? "verdict-pending" : verdict);
    tr.dataset.verdict = verdict;
    const cells = [
      [String(i + 1), ""],
      [row.address, ""],
      [verdict === "pending" ? row.state : verdict === "none" ? "" : verdict, "verdict"],
      [verdict === "pending" ? "" : (row.reason || "").replace(/_/g, " "), "reason"],
      [decidingReply(row), "result"],
      [String(row.attempts), ""],
      [row.checked_at || "", ""],
    ];
    for (const [text, cls] of cells) {
      const td = document.createElement("td");
      td.textContent = text;
      if (cls) td.className = cls;
      tr.append(td);
    }
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
  td.colSpan = 8;
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
  $("reason-filter").addEventListener("change", renderTable);
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
  renderVerdicts();
  const wanted = new URLSearchParams(location.search).get("job");
  loadJobList().then(() => { if (wanted) openJob(wanted); });
}

init();
