// The panel beside the view: the controls (z scale, cut, view buttons), the
// layers with opacity and solo, and the tree of parts with visibility.

// Builds the panel for `layers` and the tree under `root`; `clip` is the
// renderer's cross-section, changed by the cut controls.  hooks: changed()
// after anything that changes the picture, fit(top) for the view buttons,
// zScale(value) for the z-scale slider.  Returns findLayer, setOpacity,
// setSolo, setClip and showZScale (the slider and its label).
function makePanel(layers, root, clip, hooks) {
  const changed = hooks.changed;
  const layersEl = $("layers");
  const slider = $("zscale");
  const sliderLabel = $("zscale-value");

  // --- controls: view buttons and z scale.
  listen($("reset"), "click", () => hooks.fit(false));
  listen($("top"), "click", () => hooks.fit(true));
  listen(slider, "input", () => { hooks.zScale(Math.pow(10, Number(slider.value))); hooks.refit(); });

  function showZScale(zScale) {
    slider.value = String(Math.log10(zScale));
    sliderLabel.textContent = "\u00d7" + (zScale >= 10 ? zScale.toFixed(0) : zScale.toFixed(2));
  }

  // --- layers: opacity and solo.

  // A layer by its name, or by its name without the "(layer, datatype)".
  function findLayer(name) {
    return layers.find((l) => l.name === name) || layers.find((l) => l.name.replace(/ \(\d+, \d+\)$/, "") === name);
  }

  function layerRows() {
    for (const layer of layers) {
      const line = layer.row;
      line.dataset.opacity = String(layer.opacity);
      line.dataset.solo = String(layer.solo);
      line.dataset.shown = String(layerShown(layer, layers));
      line.querySelector("input").value = String(layer.opacity);
    }
  }

  function setOpacity(name, value) {
    const layer = typeof name === "string" ? findLayer(name) : name;
    if (!layer) throw new Error("no layer " + name);
    layer.opacity = Math.max(0, Math.min(1, Number(value)));
    layerRows();
    changed();
  }

  function setSolo(name, on) {
    const layer = typeof name === "string" ? findLayer(name) : name;
    if (!layer) throw new Error("no layer " + name);
    layer.solo = on === undefined ? !layer.solo : !!on;
    layerRows();
    changed();
  }

  for (const layer of layers) {
    const line = document.createElement("div");
    line.className = "layer";
    line.dataset.layer = layer.name;
    const swatch = document.createElement("span");
    swatch.className = "swatch";
    swatch.style.background = "rgb(" + layer.color.map((c) => Math.round(c * 255)).join(",") + ")";
    const label = document.createElement("span");
    label.className = "label";
    label.textContent = layer.name;
    label.title = layer.name + " (" + layer.parts.length + " part" + (layer.parts.length === 1 ? "" : "s") + ")";
    const solo = document.createElement("button");
    solo.type = "button";
    solo.className = "solo";
    solo.textContent = "S";
    solo.title = "solo: show only this layer (and other solo layers)";
    listen(solo, "click", () => setSolo(layer));
    const range = document.createElement("input");
    range.type = "range";
    range.min = "0";
    range.max = "1";
    range.step = "0.05";
    range.title = "opacity";
    listen(range, "input", () => setOpacity(layer, range.value));
    line.append(swatch, label, solo, range);
    layersEl.append(line);
    layer.row = line;
  }
  layerRows();

  // --- cross-section.
  const clipAxis = $("clip-axis"), clipPos = $("clip-pos"), clipFlip = $("clip-flip");

  const clipAt = $("clip-at");

  // A cut on a new axis (flip not given) keeps the side away from the
  // camera, so that the section faces the viewer.
  function setClip(axis, fraction, flip) {
    if (axis !== "" && axis !== "x" && axis !== "y") throw new Error("cut axis must be x or y, not " + axis);
    if (flip === undefined && axis && axis !== clip.axis) flip = hooks.facing(axis);
    clip.axis = axis;
    if (fraction !== undefined) clip.fraction = Math.max(0, Math.min(1, Number(fraction)));
    if (flip !== undefined) clip.flip = !!flip;
    clipAxis.value = axis;
    clipPos.value = String(Math.round(clip.fraction * 1000));
    clipPos.disabled = clipFlip.disabled = !axis;
    clipAt.textContent = axis ? axis + " = " + hooks.clipAt().toFixed(3) + " \u00b5m" : "";
    changed();
  }

  listen(clipAxis, "change", () => setClip(clipAxis.value));
  listen(clipPos, "input", () => setClip(clip.axis, Number(clipPos.value) / 1000));
  listen(clipFlip, "click", () => setClip(clip.axis, undefined, !clip.flip));

  // --- tree of parts with visibility toggles; rows are made on demand.
  const treeEl = $("tree");

  // The boxes of the rows made so far, after a change anywhere.
  const boxes = [];
  function showBoxes() {
    for (const [node, box] of boxes) {
      box.checked = node.on && !node.mixed;
      box.indeterminate = node.mixed;
    }
  }

  function setShown(node, on) {
    setSubtree(node, on);
    settleTree(root);
    showBoxes();
    changed();
  }

  function row(node) {
    const li = document.createElement("li");
    const line = document.createElement("div");
    line.className = "row";
    const twist = document.createElement("span");
    twist.className = "twist";
    twist.textContent = node.children.length ? "\u25b8" : "";
    const box = document.createElement("input");
    box.type = "checkbox";
    box.checked = node.on && !node.mixed;
    box.indeterminate = !!node.mixed;
    box.title = node.id;
    box.dataset.id = node.id;
    boxes.push([node, box]);
    listen(box, "change", () => setShown(node, box.checked));
    const swatch = document.createElement("span");
    swatch.className = "swatch";
    if (node.color) swatch.style.background = "rgb(" + node.color.map((c) => Math.round(c * 255)).join(",") + ")";
    else swatch.style.visibility = "hidden";
    const label = document.createElement("span");
    label.className = "label";
    label.textContent = node.name;
    label.title = node.id + (node.part ? " (" + node.part.placements + " placement" + (node.part.placements === 1 ? "" : "s") + ")" : "");
    line.append(twist, box, swatch, label);
    li.append(line);
    if (node.children.length) {
      let list = null;
      const toggle = () => {
        if (!list) {
          list = document.createElement("ul");
          for (const c of node.children) list.append(row(c));
          li.append(list);
        } else {
          list.hidden = !list.hidden;
        }
        twist.textContent = list.hidden ? "\u25b8" : "\u25be";
      };
      listen(twist, "click", toggle);
      listen(label, "click", toggle);
      node.expand = () => { if (!list || list.hidden) toggle(); };
    }
    return li;
  }

  settleTree(root);
  const topList = document.createElement("ul");
  for (const c of root.children) topList.append(row(c));
  treeEl.append(topList);

  return { findLayer, setOpacity, setSolo, setClip, showZScale, setShown };
}
