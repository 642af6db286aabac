// The part tree of the message and the layers of the drawing: view nodes
// with visibility, parts with their colour and placements record, layers
// with opacity and solo.

const colorContext = document.createElement("canvas").getContext("2d");
const colorCache = new Map();

// A WebColor ("#rrggbb" or a CSS colour name) as [r, g, b] in 0..1.
function parseColor(text, fallback) {
  const key = String(text);
  if (colorCache.has(key)) return colorCache.get(key);
  colorContext.fillStyle = fallback;
  colorContext.fillStyle = key;
  const hex = colorContext.fillStyle; // normalised to #rrggbb for opaque colours
  let rgb = [0.5, 0.5, 0.5];
  const match = /^#([0-9a-f]{2})([0-9a-f]{2})([0-9a-f]{2})$/i.exec(hex);
  if (match) rgb = [1, 2, 3].map((g) => parseInt(match[g], 16) / 255);
  colorCache.set(key, rgb);
  return rgb;
}

function locOffset(node) {
  const pos = Array.isArray(node.loc) && Array.isArray(node.loc[0]) ? node.loc[0] : [0, 0, 0];
  return [Number(pos[0]) || 0, Number(pos[1]) || 0, Number(pos[2]) || 0];
}

// Walks the message's tree into view nodes; leaves are collected in parts.
// Inner nodes that share their id with an earlier sibling (a layer drawn
// by several top cells) become one node holding the children of both.
function buildTree(root, matrixRecords, parts, fallbackColor) {
  const stack = [[root, null, [0, 0, 0]]];
  let top = null;
  while (stack.length) {
    const [src, parent, base] = stack.pop();
    const off = locOffset(src);
    const offset = [base[0] + off[0], base[1] + off[1], base[2] + off[2]];
    const isLeaf = !!(src.shape && typeof src.shape === "object");
    const id = String(src.id ?? "");
    let node = !isLeaf && parent ? parent.inner.get(id) : undefined;
    if (!node) {
      node = { name: String(src.name ?? ""), id, parent, children: [], inner: new Map(), on: true, part: null, color: null };
      if (parent) {
        parent.children.push(node);
        if (!isLeaf) parent.inner.set(id, node);
      } else {
        top = node;
      }
    }
    if (isLeaf) {
      const shape = src.shape;
      const matrices = shape.matrices;
      const part = {
        node,
        index: parts.length,
        refs: Array.isArray(shape.refs) ? shape.refs : [],
        height: Number(shape.height) || 0,
        offset,
        color: parseColor(src.color ?? fallbackColor, fallbackColor),
        record: matrixRecords.length,
        placements: 1,
        visible: true,
        layer: null,
      };
      matrixRecords.push(matrices && typeof matrices === "object" ? matrices : { shape: [0], dtype: "float32", buffer: "", codec: "b64" });
      node.part = part;
      node.color = part.color;
      parts.push(part);
    }
    const children = Array.isArray(src.parts) ? src.parts : [];
    for (let k = children.length - 1; k >= 0; k--) {
      if (children[k] && typeof children[k] === "object") stack.push([children[k], node, offset]);
    }
  }
  // Pushing reversed keeps children in order; a node's colour is its
  // leaves' colour when they all share one.
  const post = [];
  const walk = [top];
  while (walk.length) { const n = walk.pop(); post.push(n); for (const c of n.children) walk.push(c); }
  for (let k = post.length - 1; k >= 0; k--) {
    const n = post[k];
    n.inner = null;
    if (n.part || !n.children.length) continue;
    const c0 = n.children[0].color;
    n.color = c0 && n.children.every((c) => c.color && c.color.join() === c0.join()) ? c0 : null;
  }
  return top;
}

// The layers of the drawing: in a layer-wise tree the nodes under the
// root, in a cell-wise tree the leaves' names.  Each part gets its layer;
// layers keep the order in which they are first met.
function collectLayers(root, parts, layerWise) {
  const layers = new Map();
  for (const part of parts) {
    let name = part.node.name;
    if (layerWise) {
      let n = part.node;
      while (n.parent && n.parent !== root) n = n.parent;
      name = n.name;
    }
    let layer = layers.get(name);
    if (!layer) {
      layer = { name, color: part.color, parts: [], opacity: 1, solo: false, lift: 0 };
      layers.set(name, layer);
    }
    layer.parts.push(part);
    part.layer = layer;
  }
  // Listed bottom up: by the z where a layer starts, then by layer and
  // datatype number ("name (L, D)"), then by name; the same for every file
  // of one stack.
  const key = (layer) => {
    const m = / \((\d+), (\d+)\)$/.exec(layer.name);
    const z = Math.min(...layer.parts.map((p) => Math.min(p.offset[2], p.offset[2] + p.height)));
    return [z, m ? Number(m[1]) : Infinity, m ? Number(m[2]) : Infinity];
  };
  const keys = new Map([...layers.values()].map((l) => [l, key(l)]));
  return [...layers.values()].sort((a, b) => {
    const ka = keys.get(a), kb = keys.get(b);
    for (let k = 0; k < 3; k++) if (ka[k] !== kb[k]) return ka[k] < kb[k] ? -1 : 1;
    return a.name < b.name ? -1 : a.name > b.name ? 1 : 0;
  });
}

// A highlight colour far from every layer's: of a few strong colours the
// one whose nearest layer colour is farthest away.
// (Strong colours only: the picked shape's cell is drawn lighter, so white
// would not stand out.)
const HIGHLIGHTS = [[1, 0.9, 0.1], [1, 0, 1], [0, 1, 1], [1, 0.5, 0], [0.2, 1, 0.2], [1, 0.1, 0.1], [0.1, 0.2, 1]];

function highlightColor(layers) {
  let best = HIGHLIGHTS[0], bestDistance = -1;
  for (const c of HIGHLIGHTS) {
    let nearest = Infinity;
    for (const l of layers) nearest = Math.min(nearest, Math.hypot(c[0] - l.color[0], c[1] - l.color[1], c[2] - l.color[2]));
    if (nearest > bestDistance) { best = c; bestDistance = nearest; }
  }
  return best;
}

// Tree visibility: a box acts on its node and everything below it; a node
// is on while any leaf below it is, and mixed while only some are.
function setSubtree(node, on) {
  const walk = [node];
  while (walk.length) { const n = walk.pop(); n.on = on; for (const c of n.children) walk.push(c); }
}

// Recomputes every inner node from its leaves (n.on, n.mixed) and every
// part's visibility.
function settleTree(root) {
  const post = [];
  const walk = [root];
  while (walk.length) { const n = walk.pop(); post.push(n); for (const c of n.children) walk.push(c); }
  for (let k = post.length - 1; k >= 0; k--) {
    const n = post[k];
    if (n.part) n.part.visible = n.on;
    if (!n.children.length) { n.mixed = false; n.all = n.on; continue; }
    let any = false, all = true;
    for (const c of n.children) { any = any || c.on; all = all && c.all; }
    n.on = any;
    n.all = all;
    n.mixed = any && !all;
  }
}

// The cells from the top cell down to the one a part draws.
function cellPath(part, root, layerWise) {
  const names = [];
  for (let n = part.node.parent; n && n !== root && !(layerWise && n.parent === root); n = n.parent) names.push(n.name);
  return names.reverse();
}

// Whether a layer is drawn: not fully transparent, and solo if any layer is.
function layerShown(layer, layers) {
  return layer.opacity > 0 && (!layers.some((l) => l.solo) || layer.solo);
}
