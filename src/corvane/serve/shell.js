// The live viewer's shell: follows the server and shows each version of the
// layout in one viewer page.
//
// The server's events ("state": the version to show, the file's last error)
// come by server-sent events.  The first version loads in a frame.  Each
// next one goes to the viewer of that frame (its update()), which fetches
// the new message and page data, lays them out while the old picture
// stays, and swaps its buffers in the same WebGL context, keeping what the
// user set (camera, cut, layers, tree, labels, selection).  Should that fail,
// the version loads in a new frame beneath the one shown, handed the
// viewer's state(), and takes its place once its first frame is drawn.
// An error of the file (a save that cannot be read) shows above the
// picture, which stays as it was.
//
// For tests and benchmarks: the element "corvane-live" holds JSON: the
// version shown, the one loading, the server's state, whether the events
// are connected, and every swap with its time (ms since the epoch), load
// time and whether it was in place; window.corvaneLive holds the same and
// the frames.
(function () {
  "use strict";

  const framesEl = document.getElementById("frames");
  const statusEl = document.getElementById("live-status");
  const statusText = statusEl.querySelector(".text");
  const outEl = document.getElementById("corvane-live");
  const epoch = () => performance.timeOrigin + performance.now();

  const live = { shown: null, loading: null, state: null, connected: false, pageError: null, swaps: [], dismissed: "" };
  window.corvaneLive = live;
  // The viewer of the frame shown (null while the first one loads).
  Object.defineProperty(live, "viewer", { get: () => (live.shown ? live.shown.frame.contentWindow.corvaneViewer || null : null) });

  function report() {
    outEl.textContent = JSON.stringify({
      version: live.shown ? live.shown.version : null,
      loading: live.loading ? live.loading.version : null,
      server: live.state,
      connected: live.connected,
      pageError: live.pageError,
      swaps: live.swaps,
    });
    document.body.dataset.version = live.shown ? String(live.shown.version) : "";
    document.body.dataset.error = live.state && live.state.error ? "file" : live.pageError ? "page" : "";
  }

  function showStatus(text, kind) {
    if (!text || text === live.dismissed) {
      statusEl.hidden = true;
      return;
    }
    statusText.textContent = text;
    statusEl.dataset.kind = kind || "error";
    statusEl.hidden = false;
  }
  statusEl.querySelector("button").addEventListener("click", () => {
    live.dismissed = statusText.textContent;
    statusEl.hidden = true;
  });

  function describe() {
    const s = live.state;
    const shown = live.shown ? "version " + live.shown.version : "nothing yet";
    if (!live.connected && live.shown) return ["The server does not answer (stopped?): this is the last picture it sent.", "info"];
    if (s && s.error) return [s.file + ": " + s.error.text + "\nStill showing " + shown + ", the last that could be read.", "error"];
    if (live.pageError) return [live.pageError + "\nStill showing " + shown + ".", "error"];
    return ["", ""];
  }

  function refresh() {
    const [text, kind] = describe();
    showStatus(text, kind);
    report();
  }

  // What the viewer shown has set, for the next version's page.
  function captured(entry) {
    try {
      const viewer = entry.frame.contentWindow.corvaneViewer;
      return viewer && viewer.state ? viewer.state() : null;
    } catch (_) {
      return null;
    }
  }

  function load(state) {
    const frame = document.createElement("iframe");
    frame.title = "corvane viewer: " + state.file + " (version " + state.version + ")";
    const entry = { frame, version: state.version, modifiedNs: state.modifiedNs, requested: performance.now() };
    frame.corvaneState = live.shown ? captured(live.shown) : null;
    frame.corvaneHost = (kind, detail) => settled(entry, kind, detail);
    frame.addEventListener("load", () => {
      // A page that is no viewer (the server no longer has the version) never reports.
      let viewerPage = false;
      try {
        viewerPage = !!frame.contentDocument.getElementById("corvane-stats");
      } catch (_) {
        viewerPage = false;
      }
      if (!viewerPage) settled(entry, "error", "version " + entry.version + " could not be loaded");
    });
    frame.src = state.page + location.hash;
    framesEl.insertBefore(frame, framesEl.firstChild); // beneath the frame shown
    live.loading = entry;
    report();
  }

  const address = (path) => new URL(path, location.href).href;

  // The next version: in place in the viewer shown when it can, else in a frame of its own.
  function next(state) {
    const viewer = live.shown ? live.viewer : null;
    if (viewer && typeof viewer.update === "function" && state.message) update(state, viewer);
    else load(state);
  }

  function update(state, viewer) {
    const shown = live.shown;
    const entry = { frame: shown.frame, version: state.version, modifiedNs: state.modifiedNs, requested: performance.now() };
    live.loading = entry;
    report();
    const source = { message: address(state.message), data: address(state.data), version: state.version, nets: state.nets };
    Promise.resolve()
      .then(() => viewer.update(source))
      .then(
        () => {
          if (entry !== live.loading) return;
          live.loading = null;
          shown.version = entry.version;
          shown.modifiedNs = entry.modifiedNs;
          shown.frame.title = "corvane viewer: " + state.file + " (version " + entry.version + ")";
          live.pageError = null;
          live.swaps.push({ version: entry.version, at: epoch(), loadMs: Math.round(performance.now() - entry.requested), inPlace: true });
          refresh();
          const newest = live.state && live.state.version;
          if (newest != null && newest > entry.version) next(live.state);
        },
        () => {
          if (entry !== live.loading) return;
          live.loading = null;
          load(state); // a page of its own, which says what is wrong if it fails too
        },
      );
  }

  function settled(entry, kind, detail) {
    if (entry !== live.loading) return;
    live.loading = null;
    if (kind === "ready") {
      const old = live.shown;
      const focused = !old || document.activeElement === old.frame;
      live.shown = entry;
      live.pageError = null;
      if (old) old.frame.remove();
      if (focused) entry.frame.contentWindow.focus(); // the keys (r, t, Esc) keep working
      live.swaps.push({ version: entry.version, at: epoch(), loadMs: Math.round(performance.now() - entry.requested) });
    } else {
      entry.frame.remove();
      live.pageError = "Version " + entry.version + " could not be drawn: " + (detail || "unknown error");
    }
    refresh();
    const newest = live.state && live.state.version;
    if (newest != null && newest > entry.version) next(live.state);
  }

  const events = new EventSource("events");
  events.addEventListener("state", (ev) => {
    const state = JSON.parse(ev.data);
    live.state = state;
    live.connected = true;
    document.title = "corvane live viewer: " + state.file;
    const newest = state.version;
    const have = live.loading ? live.loading.version : live.shown ? live.shown.version : null;
    if (newest != null && (have === null || newest > have) && !live.loading) next(state);
    refresh();
  });
  events.addEventListener("open", () => {
    live.connected = true;
    refresh();
  });
  events.addEventListener("error", () => {
    live.connected = false;
    refresh();
  });
  report();
})();
