// The layout's texts (labels and pin names), which travel in the page's own
// data beside the message ("corvane-page-data": [x, y, size, text, layer,
// datatype] in micrometres), drawn over the picture at their place on the
// top face of their layer; and the search over cells and texts.

const TEXT_SIZE = 1; // um, for texts the file gives no size
const TEXT_MIN_PX = 7; // smaller is not readable: not drawn
const TEXT_MAX_PX = 28;
const TEXTS_DRAWN = 3000; // at most this many a frame

function readPageData() {
  const el = $("corvane-page-data");
  try {
    const data = JSON.parse(el ? el.textContent || "{}" : "{}");
    return data && typeof data === "object" ? data : {};
  } catch (_) {
    return {};
  }
}

// The texts of the drawn layers: a text goes with the layer of its layer
// and datatype, or else with the lowest drawn layer of its layer number
// (pin and label datatypes beside the drawing's).  Each layer gets its top z.
function placeTexts(records, layers) {
  const exact = new Map(), byNumber = new Map();
  for (const layer of layers) {
    layer.top = Math.max(...layer.parts.map((p) => Math.max(p.offset[2], p.offset[2] + p.height)));
    const m = / \((\d+), (\d+)\)$/.exec(layer.name);
    if (!m) continue;
    exact.set(m[1] + "/" + m[2], layer);
    if (!byNumber.has(m[1])) byNumber.set(m[1], layer);
  }
  const texts = [];
  for (const r of Array.isArray(records) ? records : []) {
    if (!Array.isArray(r) || r.length < 6) continue;
    const layer = exact.get(r[4] + "/" + r[5]) || byNumber.get(String(r[4]));
    if (layer && Number.isFinite(+r[0]) && Number.isFinite(+r[1])) texts.push({ x: +r[0], y: +r[1], size: +r[2] || 0, text: String(r[3]), layer });
  }
  return texts;
}

// The texts drawn on the canvas "labels" over `canvas`; cut(point) tells
// whether the cross-section removes a point (um, z unscaled).
function makeLabels(view, canvas, texts, layers, cut) {
  const el = $("labels");
  const ctx = el.getContext("2d");
  const labels = { on: true, drawn: 0, texts };
  labels.draw = () => {
    const dpr = window.devicePixelRatio || 1;
    const w = canvas.clientWidth, h = canvas.clientHeight;
    if (el.width !== Math.round(w * dpr) || el.height !== Math.round(h * dpr)) {
      el.width = Math.round(w * dpr);
      el.height = Math.round(h * dpr);
    }
    ctx.setTransform(1, 0, 0, 1, 0, 0);
    ctx.clearRect(0, 0, el.width, el.height);
    labels.drawn = 0;
    if (!labels.on || !texts.length) return;
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    ctx.textBaseline = "bottom";
    ctx.lineJoin = "round";
    const perPixel = (2 * view.camera.half) / Math.max(1, h);
    const solo = layers.some((l) => l.solo);
    const shown = new Map(layers.map((l) => [l, l.opacity > 0 && (!solo || l.solo) && l.parts.some((p) => p.visible)]));
    for (const t of texts) {
      if (!shown.get(t.layer)) continue;
      const px = (t.size > 0 ? t.size : TEXT_SIZE) / perPixel;
      if (px < TEXT_MIN_PX) continue;
      const z = t.layer.top + t.layer.lift;
      const [sx, sy] = view.toScreen([t.x, t.y, z]);
      if (sx < -w || sx > w || sy < 0 || sy > h + TEXT_MAX_PX || cut([t.x, t.y, z])) continue;
      ctx.font = Math.min(px, TEXT_MAX_PX).toFixed(1) + "px system-ui, sans-serif";
      ctx.lineWidth = 3;
      ctx.strokeStyle = "#ffffffd0";
      ctx.strokeText(t.text, sx, sy);
      ctx.fillStyle = "#111";
      ctx.fillText(t.text, sx, sy);
      if (++labels.drawn >= TEXTS_DRAWN) break;
    }
  };
  return labels;
}

// Cells (inner nodes of the tree; in a layer-wise tree those below the
// layer nodes) and texts whose name holds `query` (any case), exact names
// first; each with the box to fly to (um, z unscaled): a cell's first
// placement, or around a text.  placementBox(part, j) is a part's box at
// its placement j.
function makeSearch(root, layerWise, texts, placementBox) {
  const cells = new Map(); // name -> nodes
  const walk = root.children.map((c) => [c, layerWise ? 1 : 0]);
  while (walk.length) {
    const [node, depth] = walk.pop();
    if (!node.part && depth === 0) (cells.get(node.name) || cells.set(node.name, []).get(node.name)).push(node);
    for (const c of node.children) walk.push([c, Math.max(0, depth - 1)]);
  }
  function cellBox(nodes) {
    const lo = [Infinity, Infinity, Infinity], hi = [-Infinity, -Infinity, -Infinity];
    for (const node of nodes) {
      // The cell's own shapes, or else everything below it.
      let leaves = node.children.filter((c) => c.part);
      if (!leaves.length) { leaves = []; const w = [node]; while (w.length) { const n = w.pop(); if (n.part) leaves.push(n); else w.push(...n.children); } }
      for (const leaf of leaves) {
        const box = placementBox(leaf.part, 0);
        if (box) for (let k = 0; k < 3; k++) { lo[k] = Math.min(lo[k], box[0][k]); hi[k] = Math.max(hi[k], box[1][k]); }
      }
    }
    return lo[0] <= hi[0] ? [lo, hi] : null;
  }
  return (query, most = 50) => {
    const q = String(query).trim().toLowerCase();
    if (!q) return [];
    const found = [];
    for (const [name, nodes] of cells) {
      if (!name.toLowerCase().includes(q)) continue;
      const box = cellBox(nodes);
      if (box) found.push({ kind: "cell", name, box, exact: name.toLowerCase() === q });
    }
    for (const t of texts) {
      if (!t.text.toLowerCase().includes(q)) continue;
      const r = 4 * Math.max(t.size, TEXT_SIZE);
      found.push({ kind: "label", name: t.text, layer: t.layer.name, at: [t.x, t.y], box: [[t.x - r, t.y - r, t.layer.top], [t.x + r, t.y + r, t.layer.top]], exact: t.text.toLowerCase() === q });
      if (found.length > 10 * most) break;
    }
    found.sort((a, b) => (b.exact - a.exact) || (a.kind === b.kind ? 0 : a.kind === "cell" ? -1 : 1) || a.name.localeCompare(b.name));
    return found.slice(0, most);
  };
}

// Moves the camera to show `box` from where it looks now, in a few frames
// (at once with `now`); the promise is kept after the last.
function flyTo(view, box, changed, now) {
  const camera = view.camera;
  const from = { target: camera.target.slice(), half: camera.half };
  view.refit(box[0], box[1]);
  const to = { target: camera.target.slice(), half: camera.half };
  if (now) { changed(); return Promise.resolve(); }
  camera.target = from.target.slice();
  camera.half = from.half;
  const frames = 16;
  return new Promise((resolve) => {
    let k = 0;
    const next = () => {
      k++;
      const f = k / frames, s = f * f * (3 - 2 * f);
      camera.target = from.target.map((t, i) => t + (to.target[i] - t) * s);
      camera.half = Math.exp(Math.log(from.half) + (Math.log(to.half) - Math.log(from.half)) * s);
      changed();
      if (k < frames) requestAnimationFrame(next);
      else resolve();
    };
    requestAnimationFrame(next);
  });
}
