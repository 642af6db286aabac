// The ruler: in ruler mode two clicks on shapes give the distance between
// the points in micrometres, each point snapped to a corner or an edge of
// the polygon under the pointer; and the exploded view, which lifts each
// layer above the one below it.

const SNAP_PX = 10; // corners and edges within this many CSS pixels catch the point

// The polygon `ref` of the pool at placement j of `part`, in layout um:
// a list of [x, y].
function placedOutline(part, j, ref, coords, coordOffsets, matrices) {
  const a = coordOffsets[ref], b = coordOffsets[ref + 1];
  let m = [1, 0, 0, 0, 1, 0];
  if (part.instanced) m = matrices.subarray(part.matrixOffset + 6 * j, part.matrixOffset + 6 * j + 6);
  const out = [];
  for (let k = a; k + 1 < b; k += 2) {
    const x = coords[k], y = coords[k + 1];
    out.push([m[0] * x + m[1] * y + m[2] + part.offset[0], m[3] * x + m[4] * y + m[5] + part.offset[1]]);
  }
  return out;
}

// The point of the outline nearest (x, y) on screen: a corner within
// SNAP_PX, or else a point of an edge within SNAP_PX, or (x, y) itself.
// toScreen takes [x, y, z] (um) to CSS pixels; at is the picked point.
function snapPoint(outline, at, screen, toScreen) {
  const z = at[2];
  const s = outline.map((p) => toScreen([p[0], p[1], z]));
  let best = null, bestD = SNAP_PX;
  for (let k = 0; k < s.length; k++) {
    const d = Math.hypot(s[k][0] - screen[0], s[k][1] - screen[1]);
    if (d <= bestD) { best = { point: [outline[k][0], outline[k][1], z], kind: "corner" }; bestD = d; }
  }
  if (best) return best;
  for (let k = 0; k < s.length; k++) {
    const p = s[k], q = s[(k + 1) % s.length];
    const dx = q[0] - p[0], dy = q[1] - p[1], len2 = dx * dx + dy * dy;
    if (!len2) continue;
    const t = Math.max(0, Math.min(1, ((screen[0] - p[0]) * dx + (screen[1] - p[1]) * dy) / len2));
    const d = Math.hypot(p[0] + t * dx - screen[0], p[1] + t * dy - screen[1]);
    if (d <= bestD) {
      const u = outline[k], v = outline[(k + 1) % outline.length];
      best = { point: [u[0] + t * (v[0] - u[0]), u[1] + t * (v[1] - u[1]), z], kind: "edge" };
      bestD = d;
    }
  }
  return best || { point: at.slice(), kind: "point" };
}

// The ruler's state and drawing on the canvas "ruler".  hooks.pickAt(x, y)
// as in viewer.js, hooks.outline(found) the picked polygon's outline,
// hooks.changed() to redraw.
function makeRuler(view, canvas, hooks) {
  const el = $("ruler");
  const ctx = el.getContext("2d");
  const outEl = $("ruler-out");
  const ruler = { on: false, points: [], distance: null };

  ruler.click = (x, y) => {
    const found = hooks.pickAt(x, y);
    if (!found) return null;
    const snapped = snapPoint(hooks.outline(found), [found.x, found.y, found.z], [x, y], (p) => view.toScreen([p[0], p[1], p[2] + found.part.layer.lift]));
    snapped.layer = found.part.layer;
    if (ruler.points.length >= 2) ruler.points = [];
    ruler.points.push(snapped);
    ruler.show();
    hooks.changed();
    return snapped;
  };

  ruler.clear = () => { ruler.points = []; ruler.show(); hooks.changed(); };

  ruler.show = () => {
    const [a, b] = ruler.points.map((p) => p.point);
    ruler.distance = b ? Math.hypot(b[0] - a[0], b[1] - a[1], b[2] - a[2]) : null;
    outEl.hidden = !ruler.on;
    if (!ruler.on) return;
    const f = (v) => v.toFixed(3);
    if (b) {
      outEl.textContent = "distance " + f(ruler.distance) + " \u00b5m\ndx " + f(b[0] - a[0]) + "  dy " + f(b[1] - a[1]) + "  dz " + f(b[2] - a[2]) + " \u00b5m";
    } else {
      outEl.textContent = a ? "from x " + f(a[0]) + "  y " + f(a[1]) + " \u00b5m: click the second point" : "ruler: click two points";
    }
  };

  ruler.draw = (lift) => {
    const dpr = window.devicePixelRatio || 1;
    const w = canvas.clientWidth, h = canvas.clientHeight;
    if (el.width !== Math.round(w * dpr) || el.height !== Math.round(h * dpr)) { el.width = Math.round(w * dpr); el.height = Math.round(h * dpr); }
    ctx.setTransform(1, 0, 0, 1, 0, 0);
    ctx.clearRect(0, 0, el.width, el.height);
    if (!ruler.on || !ruler.points.length) return;
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    const s = ruler.points.map((p) => view.toScreen([p.point[0], p.point[1], p.point[2] + lift(p)]));
    ctx.strokeStyle = "#e6007e";
    ctx.fillStyle = "#e6007e";
    ctx.lineWidth = 2;
    if (s.length === 2) { ctx.beginPath(); ctx.moveTo(...s[0]); ctx.lineTo(...s[1]); ctx.stroke(); }
    for (const p of s) { ctx.beginPath(); ctx.arc(p[0], p[1], 4, 0, 2 * Math.PI); ctx.fill(); }
  };

  return ruler;
}

// Lifts each layer by its place in the list (bottom up) times `amount`
// (0 to 1) of a spread of the larger of three times the stack's height and
// a third of the layout's width; hi[2] grows with it so that fitting
// sees the lifted layers.  Returns the largest lift.
function explodeLayers(layers, lo, hi, baseTop, amount) {
  const spread = Math.max(3 * (baseTop - lo[2]), Math.max(hi[0] - lo[0], hi[1] - lo[1]) / 3);
  const step = layers.length > 1 ? (amount * spread) / (layers.length - 1) : 0;
  layers.forEach((layer, k) => { layer.lift = k * step; });
  hi[2] = baseTop + (layers.length - 1) * step;
  return hi[2] - baseTop;
}
