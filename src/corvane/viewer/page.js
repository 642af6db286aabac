// The page around the viewer: its elements, the options from its address,
// the progress shown while loading, and the figures it reports.

const $ = (id) => document.getElementById(id);
const statsEl = $("corvane-stats");
const errorEl = $("corvane-error");
const progressEl = $("progress");

// The listeners of the layout shown.  A live viewer that takes a new
// version in place aborts them with the old layout (see viewer.js).
let listening = new AbortController();
function listen(target, type, handler, opts) {
  target.addEventListener(type, handler, Object.assign({ signal: listening.signal }, opts));
}

function report(stats) {
  statsEl.textContent = JSON.stringify(stats);
  document.body.dataset.state = stats.error ? "error" : "ready";
}

function fail(message) {
  progressEl.hidden = true;
  errorEl.textContent = message;
  errorEl.hidden = false;
  report({ error: message, firstFrameMs: null });
}

// Options from the page address: fragment and query, repeated keys kept.
function readOptions() {
  const options = {};
  const all = {};
  for (const part of [location.search.replace(/^\?/, ""), location.hash.replace(/^#/, "")]) {
    for (const item of part.split("&")) {
      const eq = item.indexOf("=");
      const key = decodeURIComponent(eq < 0 ? item : item.slice(0, eq));
      if (!key) continue;
      const value = eq < 0 ? "" : decodeURIComponent(item.slice(eq + 1).replace(/\+/g, " "));
      options[key] = value;
      (all[key] = all[key] || []).push(value);
    }
  }
  return { options, all };
}

const { options, all: optionLists } = readOptions();
const SYNC = "sync" in options; // no pauses while loading: honest timings in headless runs

// ------------------------------------------------------------- progress

let lastPause = performance.now();

function showProgress(what, fraction) {
  progressEl.querySelector(".what").textContent = what;
  progressEl.querySelector(".bar span").style.width = (100 * Math.max(0, Math.min(1, fraction))).toFixed(1) + "%";
}

// Shows the progress and, when the last pause is long enough ago (or
// always, with force), lets the browser paint before going on.
async function step(what, fraction, force) {
  if (!force && performance.now() - lastPause < 100) return;
  showProgress(what, fraction);
  if (SYNC) return;
  await new Promise((resolve) => setTimeout(resolve, 0));
  lastPause = performance.now();
}
