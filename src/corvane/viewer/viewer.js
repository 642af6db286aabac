// corvane's 3D viewer: draws one lumino message with WebGL2.
//
// The page holds the message as JSON in the script element "lumino-message".
// Its "data" is a tree of parts: inner nodes ("parts") and leaves, each leaf
// a Part whose shape draws some polygons of the shared pool ("instances",
// base64 float32 x0, y0, x1, y1, ...) at every placement of its matrices
// (six floats a, b, tx, c, d, ty each; none means one placement as is),
// extruded from its z position ("loc") by its height, in its colour.
//
// Each pool polygon is triangulated once; its bottom and top rings, caps and
// side walls go into one vertex and index buffer, each vertex tagged with
// its polygon.  A part draws the index ranges of its polygons with instanced
// calls, its placements read from a uniform buffer.  Loading runs in steps
// that let the browser paint a progress bar in between.
//
// What the user sees: a panel of layers (opacity, solo) and of the part
// tree (visibility), a cross-section plane along x or y whose cut faces are
// hatched, a scale bar and axes, and what is under the pointer (layer, cell
// path, coordinates), found in an id buffer drawn like the picture (every
// fragment: part, placement, polygon, depth) and highlighted.  The layout's
// texts come from the page's own data beside the message; a search flies
// to cells and texts, a ruler measures between snapped points and the
// exploded view lifts the layers apart.
//
// For tests and benchmarks: options come from the address (fragment or
// query: view=top, zscale=Z, solo=LAYER, opacity=LAYER:A, clip=x:F[:flip],
// labels=off, explode=F, ruler, pick=X,Y, redraw=N, check, sync); when the first frame is drawn the page
// writes its figures as JSON into the element "corvane-stats", sets
// window.corvaneViewer and dispatches "corvane-ready" on the document.
//
// The page's script is made of several files of this folder, put together
// in one function by corvane.viewer (SCRIPTS there gives their order): the
// page and its options, decoding, triangulation, the part tree and layers,
// the layout of the parts in buffers, the camera, the shaders, the
// renderer, the overlays, the panel and the input.  This file, the last,
// loads the message step by step and puts the viewer together.  A live
// viewer's page takes each next version in place (update): the same WebGL
// context and programs, new buffers, the old layout's listeners dropped.

// The message's data map, its config and the title (the top cells:
// children of the root, or of each layer node) from the message's text.
function readMessage(text) {
  const message = JSON.parse(text);
  const data = message && message.data;
  if (!data || typeof data !== "object") throw new Error('the message has no "data" map');
  const config = message.config && typeof message.config === "object" ? message.config : {};
  const layerWise = data.name === "Layers";
  const kids = (n) => (Array.isArray(n && n.parts) ? n.parts.filter((c) => c && typeof c === "object") : []);
  const tops = layerWise ? kids(data).flatMap(kids) : kids(data);
  const title = [...new Set(tops.map((c) => String(c.name)))].join(", ") || String(data.name ?? "");
  return { data, config, layerWise, title };
}

// The WebGL context and its programs: made once per page, kept when a live
// viewer takes a new version in place.
let context = null;
// The layout shown: dispose() drops its listeners, its buffers and its net.
let shownLayout = null;

function openContext(canvas) {
  if (context) return context;
  const gl = canvas.getContext("webgl2", { alpha: false, antialias: false, preserveDrawingBuffer: false });
  if (!gl) throw new Error("WebGL2 is not available in this browser");
  // The canvas in the picture's background colour while loading (a WebGL
  // canvas is black until drawn).
  canvas.width = Math.max(1, canvas.clientWidth);
  canvas.height = Math.max(1, canvas.clientHeight);
  gl.clearColor(0.957, 0.961, 0.969, 1);
  gl.clear(gl.COLOR_BUFFER_BIT);
  const limits = placementChunk(gl);
  context = { gl, limits, programs: startPrograms(gl, limits.chunk) };
  return context;
}

// The geometry of a read message: the part tree and layers, the pool
// decoded and triangulated, the parts laid out.  Touches nothing on the
// page, so a live viewer's version shown stays in view meanwhile.
async function prepare({ data, config, layerWise, title }, times) {
  const fallbackColor = typeof config.default_color === "string" ? config.default_color : "#e8b024";
  const pool = Array.isArray(data.instances) ? data.instances : [];
  const polygonCount = pool.length.toLocaleString("en-US");
  await step("Decoding " + polygonCount + " polygons", 0.1, true);
  const [coords, coordOffsets] = await decodeRecords(pool, "pool polygon", (f) => step("Decoding polygons", 0.1 + 0.08 * f));
  const parts = [];
  const matrixRecords = [];
  const root = buildTree(data, matrixRecords, parts, fallbackColor);
  const layers = collectLayers(root, parts, layerWise);
  await step("Decoding the placements of " + parts.length.toLocaleString("en-US") + " parts", 0.18, true);
  const [matrices, matrixOffsets] = await decodeRecords(matrixRecords, "placement matrices of part", (f) => step("Decoding placements", 0.18 + 0.04 * f));
  times.decode = performance.now();
  await step("Triangulating " + polygonCount + " polygons", 0.22, true);
  const geometry = await buildPool(coords, coordOffsets, pool.length, "check" in options,
    (f) => step("Triangulating " + polygonCount + " polygons", 0.22 + 0.38 * f));
  times.triangulate = performance.now();
  await step("Placing the parts", 0.6, true);
  const scene = await layoutParts(parts, geometry, pool.length, matrices, matrixOffsets, context.limits,
    (f) => step("Placing the parts", 0.6 + 0.1 * f));
  times.layout = performance.now();
  return { layerWise, title, pool, coords, coordOffsets, parts, root, layers, matrices, geometry, scene };
}

async function start() {
  const times = { start: performance.now() };
  openContext($("view"));
  times.context = performance.now();
  const messageEl = $("lumino-message");
  const text = messageEl.textContent;
  await step("Reading the message (" + (text.length / 1e6).toFixed(1) + " MB)", 0.02, true);
  const message = readMessage(text);
  messageEl.textContent = ""; // the parsed message is all that is needed from here on
  times.parse = performance.now();
  await assemble(await prepare(message, times), readPageData(), times);
}

// A live viewer's next version, in the same page and WebGL context:
// source = {message, data: addresses of the version's message and page
// data, version, nets}.  The new message is fetched, read and laid out
// while the old picture stays; only then does the old layout go (its
// listeners, buffers and net) and the new one take the state the user
// had set (state.js).  Rejects when the version cannot be shown; the
// old picture stays unless the failure came after it went.  The page data
// (the texts, which the server may still be making) comes meanwhile and
// joins the picture once there, without a new frame.
async function update(source) {
  const times = { start: performance.now() };
  const get = async (url) => {
    const response = await fetch(url, { cache: "no-store" });
    if (!response.ok) throw new Error(url.replace(/^.*\//, "") + ": " + response.status + " " + (await response.text()).slice(0, 200));
    return response.text();
  };
  const pageText = source.data ? get(source.data) : Promise.resolve("{}");
  pageText.catch(() => {}); // awaited after the layout
  const text = await get(source.message);
  times.context = times.fetch = performance.now();
  const message = readMessage(text);
  times.parse = performance.now();
  const prepared = await prepare(message, times);
  const pageData = pageText.then((t) => {
    const data = JSON.parse(t);
    if (!data || typeof data !== "object") throw new Error("the page data is not a JSON object");
    return data;
  });
  const viewer = window.corvaneViewer;
  KEPT = viewer && viewer.state ? viewer.state() : null;
  const config = liveConfig();
  if (config) {
    config.version = source.version;
    if (source.nets !== undefined) config.nets = source.nets;
    $("corvane-live").textContent = JSON.stringify(config);
  }
  try {
    await assemble(prepared, pageData, times);
  } catch (err) {
    fail(err && err.message ? err.message : String(err));
    throw err;
  }
}

// Puts the viewer of a prepared layout on the page (after the one shown,
// if any, is gone) and draws its first frame.  pageData may be a promise:
// its texts are then labelled and searched once it comes.
async function assemble(prepared, pageData, times) {
  const textsLater = pageData instanceof Promise ? pageData : null;
  if (textsLater) pageData = {};
  const { gl, programs, limits } = context;
  const canvas = gl.canvas;
  const { layerWise, title, pool, coords, coordOffsets, parts, root, layers, matrices, geometry, scene } = prepared;
  const { lo, hi, empty } = scene;
  const again = shownLayout !== null;
  if (shownLayout) shownLayout.dispose();
  shownLayout = null;
  listening = new AbortController();
  const listeners = listening;
  let disposed = false;
  for (const id of ["layers", "tree", "found"]) $(id).textContent = "";
  $("title").textContent = title;
  document.title = "corvane viewer: " + title;
  keepLayers(root, layers); // a live viewer's next version: what the user had set
  await step("Uploading to the graphics card", 0.72, true);

  const view = makeView(canvas, lo, hi, Number(options.zscale) > 0 ? Number(options.zscale) : 1);
  const renderer = makeRenderer(gl, { programs, geometry, scene, parts, layers, view, limits });
  renderer.highlight = highlightColor(layers);
  times.upload = performance.now();
  await step("Drawing", 0.8, true);
  const overlays = makeOverlays(view, canvas, empty);
  const texts = placeTexts(pageData.texts, layers); // labels and search read it when they run
  const cut = (p) => {
    const plane = renderer.clipPlane();
    return plane[0] * p[0] + plane[1] * p[1] + plane[2] * view.zScale * p[2] > plane[3];
  };
  const labels = makeLabels(view, canvas, texts, layers, cut);
  if (options.labels === "off") labels.on = false;
  if (KEPT && typeof KEPT.labels === "boolean") labels.on = KEPT.labels; // a live viewer's next version

  // The ruler snaps to the outline of the polygon picked, at its placement.
  const ruler = makeRuler(view, canvas, {
    pickAt: (x, y) => pickAt(x, y),
    outline: (found) => placedOutline(found.part, found.placement, found.polygon, coords, coordOffsets, matrices),
    changed: () => requestDraw(),
  });
  const baseTop = hi[2];
  let explode = 0;
  function setExplode(amount) {
    explode = Math.max(0, Math.min(1, Number(amount) || 0));
    explodeLayers(layers, lo, hi, baseTop, explode);
    $("explode").value = String(explode);
    view.refit();
    changed();
  }

  let nets = null;
  function draw() {
    if (disposed) return renderer.stats; // a frame asked for by a layout since replaced
    // A frame drawn now is the one asked for: in software a frame of a
    // large layout takes most of a second, which a second one would add
    // to whatever comes next (the next version's upload).
    if (pending) { cancelAnimationFrame(pending); pending = 0; }
    const stats = renderer.draw();
    if (nets) nets.draw();
    overlays.draw();
    labels.draw();
    ruler.draw((p) => p.layer.lift);
    return stats;
  }

  // A part's box at its first placement (um, z unscaled), for the search.
  const placementBox = (part) => {
    if (!part.elementCount) return null;
    let x0 = Infinity, y0 = Infinity, x1 = -Infinity, y1 = -Infinity;
    for (const ref of part.refs) {
      const b = geometry.bbox;
      x0 = Math.min(x0, b[4 * ref]); y0 = Math.min(y0, b[4 * ref + 1]);
      x1 = Math.max(x1, b[4 * ref + 2]); y1 = Math.max(y1, b[4 * ref + 3]);
    }
    const m = scene.placementData.subarray(8 * part.groups[0].first, 8 * part.groups[0].first + 6);
    const xs = [x0, x1].flatMap((x) => [y0, y1].map((y) => m[0] * x + m[1] * y + m[2] + part.offset[0]));
    const ys = [x0, x1].flatMap((x) => [y0, y1].map((y) => m[3] * x + m[4] * y + m[5] + part.offset[1]));
    return [[Math.min(...xs), Math.min(...ys), part.lo[2]], [Math.max(...xs), Math.max(...ys), part.hi[2]]];
  };
  const find = makeSearch(root, layerWise, texts, placementBox);

  let pending = 0; // the frame asked for, if any
  function requestDraw() {
    if (pending) return;
    pending = requestAnimationFrame(() => { pending = 0; draw(); });
  }

  // After anything that changes the picture.
  function changed() {
    renderer.invalidate();
    requestDraw();
  }

  function fit(top) {
    view.fit(top);
    changed();
  }

  // What is under the canvas point (x, y), with its layer and cells.
  function pickAt(x, y) {
    const hit = renderer.pick(x, y);
    if (!hit) return null;
    const part = hit.part;
    const path = cellPath(part, root, layerWise);
    return {
      part,
      placement: hit.placement,
      polygon: hit.polygon,
      layer: part.layer.name,
      cell: path[path.length - 1] ?? "",
      path,
      id: part.node.id,
      placements: part.placements,
      x: hit.x, y: hit.y, z: hit.z,
      precision: hit.precision,
    };
  }

  // Shows and highlights a pick result, or nothing for null.
  function showPick(found) {
    const same = (a, b) => (a && b ? a.part === b.part && a.placement === b.placement && a.polygon === b.polygon : a === b);
    const redraw = !same(found, renderer.selection);
    renderer.selection = found;
    overlays.showPick(found);
    if (redraw) requestDraw();
    return found;
  }

  // The flip that keeps the side of a cut across `axis` away from the camera.
  const facing = (axis) => { view.viewProjection(); return view.frame.basis.d[axis === "x" ? 0 : 1] < -1e-6; };
  const panel = makePanel(layers, root, renderer.clip, {
    changed,
    fit,
    zScale: setZScale,
    refit: () => { view.refit(); changed(); },
    facing,
    clipAt: () => renderer.clipPlane()[3] * (renderer.clip.flip ? -1 : 1),
  });

  function setZScale(value) {
    view.setZScale(value);
    panel.showZScale(value);
    changed();
  }

  // Labels on and off; the search box lists what it finds, Enter or a
  // click flies there.
  const labelsBox = $("labels-on"), searchEl = $("search"), foundEl = $("found");
  labelsBox.checked = labels.on;
  const countTexts = () => { $("labels-count").textContent = texts.length ? "(" + texts.length.toLocaleString("en-US") + ")" : "(none)"; };
  countTexts();
  listen(labelsBox, "change", () => { labels.on = labelsBox.checked; requestDraw(); });
  let results = [];
  const go = (match) => flyTo(view, match.box, changed, SYNC);
  listen(searchEl, "input", () => {
    results = find(searchEl.value, 30);
    foundEl.textContent = "";
    for (const match of results) {
      const line = document.createElement("div");
      const kind = document.createElement("span");
      kind.className = "kind";
      kind.textContent = match.kind;
      line.append(kind, match.name + (match.layer ? " (" + match.layer + ")" : ""));
      listen(line, "click", () => go(match));
      foundEl.append(line);
    }
  });
  listen(searchEl, "keydown", (ev) => { if (ev.key === "Enter" && results.length) go(results[0]); });

  // A pinned shape also traces its net where a server serves the page.
  nets = makeNets(gl, view, renderer, { changed });
  const select = (found) => { showPick(found); nets.picked(found, input.pinned); };
  function setRuler(on) {
    ruler.on = on === undefined ? !ruler.on : !!on;
    $("ruler-on").setAttribute("aria-pressed", String(ruler.on));
    if (!ruler.on) ruler.points = [];
    ruler.show();
    requestDraw();
  }
  listen($("ruler-on"), "click", () => setRuler());
  listen($("explode"), "input", () => setExplode($("explode").value));
  const input = bindInput(canvas, view, {
    changed, pickAt, showPick: select, fit, resized: changed,
    clickAt: (x, y) => { if (!ruler.on) return false; ruler.click(x, y); return true; },
    ruler: () => setRuler(),
    escape: () => { if (ruler.on) ruler.clear(); },
  });

  // Options from the address, then the first frame, drawn now so that it
  // is on screen when loading ends.
  for (const name of optionLists.solo || []) panel.setSolo(name, true);
  for (const item of optionLists.opacity || []) {
    const cut = item.lastIndexOf(":");
    panel.setOpacity(item.slice(0, cut), item.slice(cut + 1));
  }
  view.resize();
  setZScale(view.zScale);
  if (Number(options.explode) > 0) explodeLayers(layers, lo, hi, baseTop, Math.min(1, Number(options.explode)));
  $("explode").value = String(Math.min(1, Number(options.explode) || 0));
  if ("ruler" in options || again) setRuler("ruler" in options);
  fit(options.view === "top");
  if (options.clip) {
    // The section faces the camera; "flip" keeps the other side.
    const [axis, fraction, flip] = options.clip.split(":");
    panel.setClip(axis, fraction === undefined ? 0.5 : fraction, axis ? facing(axis) !== (flip === "flip") : undefined);
  }
  keepView(view, panel, setZScale, lo, hi);
  times.setup = performance.now();
  draw();
  const pixel = new Uint8Array(4);
  gl.readPixels(0, 0, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, pixel); // waits for the frame
  times.frame = performance.now();
  progressEl.hidden = true;
  // "redraw=N": N more frames, each timed to completion (benchmarks).
  const redraws = [];
  for (let k = 0; k < Math.min(100, Number(options.redraw) || 0); k++) {
    const t = performance.now();
    draw();
    gl.readPixels(0, 0, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, pixel);
    redraws.push(Math.round((performance.now() - t) * 10) / 10);
  }
  let picked;
  if (options.pick) {
    const [x, y] = options.pick.split(",").map(Number);
    const t = performance.now();
    input.pinned = true;
    const { part, ...plain } = showPick(pickAt(x, y)) || {};
    picked = part ? plain : null;
    times.pick = performance.now() - t;
    draw(); // with the highlight
  }
  $("empty").hidden = !empty;
  const rect = canvas.getBoundingClientRect();
  const ms = (t) => Math.round(t * 10) / 10;
  const viewer = {
    camera: view.camera, parts, root, layers, draw, fit, setZScale,
    setOpacity: panel.setOpacity, setSolo: panel.setSolo, setClip: panel.setClip, setShown: panel.setShown, view,
    pick: (x, y) => showPick(pickAt(x, y)), toScreen: view.toScreen, drawIds: renderer.drawIds,
    nets, state: () => captureState(view, layers, root, renderer, nets, labels),
    labels, find, flyTo: (match, now) => flyTo(view, match.box, changed, now),
    ruler, setRuler, setExplode, update,
  };
  Object.defineProperty(viewer, "scaleBar", { get: () => overlays.scaleBar });
  Object.defineProperty(viewer, "selection", { get: () => renderer.selection });
  window.corvaneViewer = viewer;
  const clip = renderer.clip;
  const stats = Object.assign({
    firstFrameMs: ms(times.frame - (times.fetch !== undefined ? times.start : 0)),
    stepsMs: times.fetch !== undefined ? {
      // A live viewer's version taken in place: from the shell's request on.
      fetch: ms(times.fetch - times.start),
      parse: ms(times.parse - times.fetch),
      decode: ms(times.decode - times.parse),
      triangulate: ms(times.triangulate - times.decode),
      layout: ms(times.layout - times.triangulate),
      upload: ms(times.upload - times.layout),
      setup: ms(times.setup - times.upload), // search, panel, the view kept
      draw: ms(times.frame - times.setup),
    } : {
      loadToScript: ms(times.start),
      context: ms(times.context - times.start),
      parse: ms(times.parse - times.context),
      decode: ms(times.decode - times.parse),
      triangulate: ms(times.triangulate - times.decode),
      layout: ms(times.layout - times.triangulate),
      upload: ms(times.upload - times.layout),
      draw: ms(times.frame - times.upload),
    },
    redrawMs: redraws,
    pickMs: times.pick === undefined ? null : ms(times.pick),
    parts: parts.length,
    placements: parts.reduce((n, p) => n + p.placements, 0),
    poolPolygons: pool.length,
    poolTriangles: geometry.indices.length / 3,
    triangulationErrors: "check" in options ? geometry.errors : null,
    bounds: [lo, hi],
    canvas: [rect.left, rect.top, rect.width, rect.height],
    renderer: gl.getParameter(gl.RENDERER),
    layers: layers.map((l) => ({ name: l.name, opacity: l.opacity, solo: l.solo, shown: layerShown(l, layers), parts: l.parts.length })),
    highlight: renderer.highlight,
    explode: layers.map((l) => l.lift),
    labels: { texts: texts.length, inPage: Array.isArray(pageData.texts) ? pageData.texts.length : 0, drawn: labels.drawn, on: labels.on },
    clip: clip.axis ? { axis: clip.axis, fraction: clip.fraction, flip: clip.flip, at: renderer.clipPlane()[3] * (clip.flip ? -1 : 1) } : null,
    scaleBar: overlays.scaleBar,
    pick: picked,
  }, renderer.stats);
  report(stats);
  shownLayout = {
    dispose() {
      disposed = true;
      listeners.abort();
      nets.dispose();
      renderer.dispose();
    },
  };
  document.dispatchEvent(new Event("corvane-ready"));
  if (textsLater) {
    textsLater.then((data) => {
      if (disposed) return;
      for (const t of placeTexts(data.texts, layers)) texts.push(t);
      countTexts();
      labels.draw(); // over the picture as it is: no new frame needed
      stats.labels = { texts: texts.length, inPage: Array.isArray(data.texts) ? data.texts.length : 0, drawn: labels.drawn, on: labels.on };
      stats.textsMs = ms(performance.now() - times.start);
      report(stats);
    }, (err) => {
      if (!disposed) $("labels-count").textContent = "(texts unavailable: " + (err && err.message ? err.message : String(err)) + ")";
    });
  }
  keepSelection(view, pickAt, (found) => { if (disposed) return; input.pinned = true; select(found); });
}

start().catch((err) => fail(err && err.message ? err.message : String(err)));
