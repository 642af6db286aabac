// What a viewer keeps across versions of the layout, in a live viewer: the
// camera, the z scale, the cut, the layers' opacity and solo, the parts
// hidden in the tree, the labels on or off and the shape picked (with its
// net).
//
// A live viewer's page takes each next version in place (update() in
// viewer.js): KEPT becomes state() of the layout shown, which the new one
// takes while it is put together (keepLayers before the panel is made,
// keepView before the first frame, keepSelection after it).  Where that
// fails, the shell loads the version in a new frame and hands it state()
// as the property corvaneState of that frame; the page tells the shell
// through corvaneHost(kind, detail) of its frame when it has drawn its
// first frame ("ready") or failed ("error").  A page opened on its own has
// no such frame, and none of this does anything.

function hostFrame() {
  try {
    const frame = window.frameElement;
    return frame && typeof frame.corvaneHost === "function" ? frame : null;
  } catch (_) {
    return null; // a frame of another origin
  }
}

// Replaced by the state of the version shown when a live viewer takes the
// next one in place (update in viewer.js).
let KEPT = (() => {
  const frame = hostFrame();
  const kept = frame ? frame.corvaneState : null;
  return kept && typeof kept === "object" ? kept : null;
})();

// The host hears of the page's report (report() in page.js sets data-state).
(function tellHost() {
  const frame = hostFrame();
  if (!frame) return;
  const observer = new MutationObserver(() => {
    const state = document.body.dataset.state;
    if (state !== "ready" && state !== "error") return;
    observer.disconnect();
    frame.corvaneHost(state, state === "error" ? errorEl.textContent : null);
  });
  observer.observe(document.body, { attributes: true, attributeFilter: ["data-state"] });
})();

// The state to hand to the next version: plain values only.
function captureState(view, layers, root, renderer, nets, labels) {
  const clip = renderer.clip, selection = renderer.selection;
  const hidden = [];
  const walk = [root];
  while (walk.length) {
    const node = walk.pop();
    if (!node.on) hidden.push(node.id);
    for (const child of node.children) walk.push(child);
  }
  const camera = view.camera;
  return {
    camera: { azimuth: camera.azimuth, elevation: camera.elevation, target: camera.target.slice(0, 3), half: camera.half },
    zScale: view.zScale,
    // The cut where it is: the fraction of the extent changes with the layout.
    clip: { axis: clip.axis, fraction: clip.fraction, flip: clip.flip, at: clip.axis ? renderer.clipPlane()[3] * (clip.flip ? -1 : 1) : null },
    layers: layers.map((l) => ({ name: l.name, opacity: l.opacity, solo: l.solo })),
    labels: labels.on,
    hidden,
    selection: selection ? { x: selection.x, y: selection.y, z: selection.z, layer: selection.layer, path: selection.path.slice() } : null,
    net: nets && nets.current ? Object.assign({}, nets.current.at) : null,
  };
}

// Layers' opacity and solo, and the parts hidden: before the panel shows them.
function keepLayers(root, layers) {
  if (!KEPT) return;
  const byName = new Map((Array.isArray(KEPT.layers) ? KEPT.layers : []).map((l) => [l.name, l]));
  for (const layer of layers) {
    const kept = byName.get(layer.name);
    if (!kept) continue;
    const opacity = Number(kept.opacity);
    if (Number.isFinite(opacity)) layer.opacity = Math.max(0, Math.min(1, opacity));
    layer.solo = !!kept.solo;
  }
  const hidden = new Set(Array.isArray(KEPT.hidden) ? KEPT.hidden : []);
  if (!hidden.size) return;
  const walk = [root];
  while (walk.length) {
    const node = walk.pop();
    if (hidden.has(node.id)) setSubtree(node, false);
    else for (const child of node.children) walk.push(child);
  }
  settleTree(root);
}

// The z scale, the camera and the cut: after the view was fitted, before
// the first frame; lo..hi is the new layout's extent.
function keepView(view, panel, setZScale, lo, hi) {
  if (!KEPT) return;
  if (Number(KEPT.zScale) > 0) setZScale(Number(KEPT.zScale));
  const c = KEPT.camera;
  const finite = (v) => typeof v === "number" && Number.isFinite(v);
  if (c && finite(c.azimuth) && finite(c.elevation) && finite(c.half) && c.half > 0 && Array.isArray(c.target) && c.target.every(finite)) {
    Object.assign(view.camera, { azimuth: c.azimuth, elevation: c.elevation, target: c.target.slice(0, 3), half: c.half });
  }
  const clip = KEPT.clip;
  if (!clip || !(clip.axis === "" || clip.axis === "x" || clip.axis === "y")) return;
  let fraction = clip.fraction;
  const k = clip.axis === "x" ? 0 : 1;
  if (clip.axis && finite(clip.at) && hi[k] > lo[k]) fraction = Math.max(0, Math.min(1, (clip.at - lo[k]) / (hi[k] - lo[k])));
  panel.setClip(clip.axis, fraction, clip.flip);
}

// The shape picked: whatever is now on the same layer under the same point
// (polygon numbers change with the file).  After the first frame, so that
// the new picture shows first; `select(found)` pins it (and traces its net).
function keepSelection(view, pickAt, select) {
  const kept = KEPT && KEPT.selection;
  if (!kept) return;
  setTimeout(() => {
    const [cx, cy] = view.toScreen([kept.x, kept.y, kept.z]);
    const found = pickAt(cx, cy);
    if (found && found.layer === kept.layer && found.path.join("/") === (kept.path || []).join("/")) select(found);
  }, 0);
}
