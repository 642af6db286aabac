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
// fragment: part, placement, polygon, depth) and highlighted.
//
// For tests and benchmarks: options come from the address (fragment or
// query: view=top, zscale=Z, solo=LAYER, opacity=LAYER:A, clip=x:F[:flip],
// pick=X,Y, redraw=N, check, sync); when the first frame is drawn the page
// writes its figures as JSON into the element "corvane-stats", sets
// window.corvaneViewer and dispatches "corvane-ready" on the document.
"use strict";

(function () {
  const $ = (id) => document.getElementById(id);
  const statsEl = $("corvane-stats");
  const errorEl = $("corvane-error");
  const progressEl = $("progress");

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

  const BATCH_INDICES = 6144; // indices per instance to aim for when batching placements

  // ---------------------------------------------------------------- base64

  const B64 = new Uint8Array(256).fill(255);
  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    .split("")
    .forEach((ch, i) => { B64[ch.charCodeAt(0)] = i; });

  // Decodes standard base64 text into out[at ...]; returns the bytes written.
  function decodeBase64Into(text, out, at) {
    let n = text.length;
    while (n > 0 && text.charCodeAt(n - 1) === 61) n--; // "=" padding
    let o = at;
    let acc = 0;
    let bits = 0;
    for (let i = 0; i < n; i++) {
      const v = B64[text.charCodeAt(i)];
      if (v === 255) throw new Error("invalid base64 text in buffer");
      acc = ((acc << 6) | v) & 0xffffff;
      bits += 6;
      if (bits >= 8) {
        bits -= 8;
        out[o++] = (acc >> bits) & 0xff;
      }
    }
    return o - at;
  }

  // Float count of a buffer record {"shape", "dtype", "buffer", "codec"}.
  function recordLength(record, what) {
    if (!record || typeof record !== "object" || record.codec !== "b64" || record.dtype !== "float32") {
      throw new Error(what + " is not a base64 float32 buffer record");
    }
    const n = (Array.isArray(record.shape) ? record.shape : [0]).reduce((a, b) => a * b, 1);
    if (!Number.isInteger(n) || n < 0) throw new Error(what + " has a bad shape");
    return n;
  }

  // Decodes buffer records one after another into one Float32Array; returns
  // [array, offsets] with offsets[k] the first float of record k.
  async function decodeRecords(records, what, progress) {
    const offsets = new Int32Array(records.length + 1);
    for (let k = 0; k < records.length; k++) {
      offsets[k + 1] = offsets[k] + recordLength(records[k], what);
    }
    const floats = new Float32Array(offsets[records.length]);
    const bytes = new Uint8Array(floats.buffer);
    for (let k = 0; k < records.length; k++) {
      const written = decodeBase64Into(records[k].buffer || "", bytes, offsets[k] * 4);
      if (written !== (offsets[k + 1] - offsets[k]) * 4) {
        throw new Error(what + " " + k + ": buffer length does not match its shape");
      }
      if ((k & 1023) === 0) await progress(k / records.length);
    }
    return [floats, offsets];
  }

  // ---------------------------------------------------------- triangulation

  // Ear clipping of one outline px/py (m vertices, no two consecutive equal).
  // Handles concave outlines, collinear vertices and outlines that touch
  // themselves (holes joined by a cut).  Pushes triangles as local vertex
  // indices onto tris, turning as the outline does; returns the outline's
  // orientation: 1 counter-clockwise, -1 clockwise, 0 no area.
  function triangulate(px, py, m, tris) {
    if (m < 3) return 0;
    let area = 0;
    for (let i = 0, j = m - 1; i < m; j = i++) area += (px[j] - px[i]) * (py[j] + py[i]);
    if (area === 0) return 0;
    const s = area > 0 ? 1 : -1; // orientation: +1 counter-clockwise
    const cross = (a, b, c) => s * ((px[b] - px[a]) * (py[c] - py[b]) - (py[b] - py[a]) * (px[c] - px[b]));

    // Convex outlines (most of a layout) are fans.
    let convex = true;
    for (let i = 0; i < m && convex; i++) {
      if (cross((i + m - 1) % m, i, (i + 1) % m) < 0) convex = false;
    }
    if (convex) {
      for (let i = 1; i + 1 < m; i++) {
        if (cross(0, i, i + 1) > 0) tris.push(0, i, i + 1);
      }
      return s;
    }

    const prev = new Int32Array(m);
    const next = new Int32Array(m);
    for (let i = 0; i < m; i++) { prev[i] = (i + m - 1) % m; next[i] = (i + 1) % m; }
    const remove = (b) => { next[prev[b]] = next[b]; prev[next[b]] = prev[b]; };
    const same = (p, q) => px[p] === px[q] && py[p] === py[q];

    // No other remaining vertex inside or on the triangle a, b, c (vertices
    // that coincide with a corner, as along a cut, do not count).
    const isEar = (a, b, c) => {
      const minx = Math.min(px[a], px[b], px[c]), maxx = Math.max(px[a], px[b], px[c]);
      const miny = Math.min(py[a], py[b], py[c]), maxy = Math.max(py[a], py[b], py[c]);
      for (let p = next[c]; p !== a; p = next[p]) {
        if (px[p] < minx || px[p] > maxx || py[p] < miny || py[p] > maxy) continue;
        if (same(p, a) || same(p, b) || same(p, c)) continue;
        if (cross(a, b, p) >= 0 && cross(b, c, p) >= 0 && cross(c, a, p) >= 0) return false;
      }
      return true;
    };

    let remaining = m;
    let i = 0;
    let stall = 0;
    while (remaining > 3) {
      const a = prev[i], c = next[i];
      const turn = cross(a, i, c);
      if (turn === 0) {
        // Collinear vertex or a spike: nothing to fill.
        remove(i); remaining--; i = a; stall = 0;
      } else if (turn > 0 && isEar(a, i, c)) {
        tris.push(a, i, c);
        remove(i); remaining--; i = c; stall = 0;
      } else if (++stall > remaining) {
        // A whole round without an ear: the outline crosses itself.  Clip
        // a convex corner anyway (or drop a vertex) so that the loop ends.
        let k = i;
        do { if (cross(prev[k], k, next[k]) > 0) break; k = next[k]; } while (k !== i);
        if (cross(prev[k], k, next[k]) > 0) tris.push(prev[k], k, next[k]);
        i = next[k]; remove(k); remaining--; stall = 0;
      } else {
        i = c;
      }
    }
    if (cross(prev[i], i, next[i]) > 0) tris.push(prev[i], i, next[i]);
    return s;
  }

  // Builds the vertex and index data of the whole pool: per polygon its
  // bottom ring (level 0) and top ring (level 1) of vertices (x, y, level,
  // copy number 0) with the polygon's number in refs, caps and walls, each
  // face counter-clockwise seen from outside (back faces are culled, or
  // drawn as cut faces when a cross-section opens the solids).  Polygon k
  // has the vertices vfirst[k] .. vfirst[k+1] - 1 and the indices first[k]
  // .. first[k+1] - 1.  With check, also counts the polygons whose triangles
  // do not add up to the outline's area (reported as triangulationErrors).
  async function buildPool(coords, offsets, count, check, progress) {
    let vertexCount = 0;
    for (let k = 0; k < count; k++) vertexCount += (offsets[k + 1] - offsets[k]); // 2 per point
    const vertices = new Float32Array(vertexCount * 4);
    const refs = new Uint32Array(vertexCount);
    let indices = new Uint32Array(Math.max(16, vertexCount * 8));
    const first = new Int32Array(count + 1);
    const vfirst = new Int32Array(count + 1);
    const bbox = new Float64Array(count * 4);
    const px = [];
    const py = [];
    const tris = [];
    let errors = 0;
    let v = 0; // vertices written
    let e = 0; // indices written
    const push = (a, b, c) => {
      if (e + 3 > indices.length) {
        const grown = new Uint32Array(indices.length * 2);
        grown.set(indices);
        indices = grown;
      }
      indices[e++] = a; indices[e++] = b; indices[e++] = c;
    };
    for (let k = 0; k < count; k++) {
      if ((k & 4095) === 0) await progress(k / count);
      first[k] = e;
      vfirst[k] = v;
      const start = offsets[k];
      const n = (offsets[k + 1] - start) >> 1;
      px.length = 0; py.length = 0;
      let minx = Infinity, miny = Infinity, maxx = -Infinity, maxy = -Infinity;
      for (let j = 0; j < n; j++) {
        const x = coords[start + 2 * j], y = coords[start + 2 * j + 1];
        const last = px.length - 1;
        if (last >= 0 && px[last] === x && py[last] === y) continue; // repeated point
        px.push(x); py.push(y);
        if (x < minx) minx = x; if (x > maxx) maxx = x;
        if (y < miny) miny = y; if (y > maxy) maxy = y;
      }
      while (px.length > 1 && px[0] === px[px.length - 1] && py[0] === py[py.length - 1]) {
        px.pop(); py.pop(); // closing point
      }
      bbox[4 * k] = minx; bbox[4 * k + 1] = miny; bbox[4 * k + 2] = maxx; bbox[4 * k + 3] = maxy;
      const m = px.length;
      if (m < 3) continue;
      const bottom = v, top = v + m;
      for (let j = 0; j < m; j++) {
        vertices[4 * (bottom + j)] = px[j]; vertices[4 * (bottom + j) + 1] = py[j];
        vertices[4 * (top + j)] = px[j]; vertices[4 * (top + j) + 1] = py[j]; vertices[4 * (top + j) + 2] = 1;
      }
      refs.fill(k, v, v + 2 * m);
      v += 2 * m;
      tris.length = 0;
      const turn = triangulate(px, py, m, tris) < 0 ? -1 : 1;
      if (check) {
        let outline = 0, covered = 0;
        for (let i = 0, j = m - 1; i < m; j = i++) outline += px[j] * py[i] - px[i] * py[j];
        for (let t = 0; t < tris.length; t += 3) {
          const [a, b, c] = [tris[t], tris[t + 1], tris[t + 2]];
          covered += Math.abs((px[b] - px[a]) * (py[c] - py[a]) - (py[b] - py[a]) * (px[c] - px[a]));
        }
        if (Math.abs(Math.abs(outline) - covered) > 1e-6 * Math.abs(outline) + 1e-9) errors++;
      }
      // Triangles and edges of a clockwise outline are taken backwards.
      const u = turn > 0 ? 1 : 2, w = 3 - u;
      for (let t = 0; t < tris.length; t += 3) {
        push(bottom + tris[t], bottom + tris[t + w], bottom + tris[t + u]);
        push(top + tris[t], top + tris[t + u], top + tris[t + w]);
      }
      for (let j = 0; j < m; j++) {
        const j1 = j + 1 === m ? 0 : j + 1;
        const b1 = bottom + j1, t1 = top + j1, tj = top + j;
        if (turn > 0) {
          push(bottom + j, b1, t1);
          push(bottom + j, t1, tj);
        } else {
          push(bottom + j, t1, b1);
          push(bottom + j, tj, t1);
        }
      }
    }
    first[count] = e;
    vfirst[count] = v;
    return {
      vertices: vertices.subarray(0, 4 * v), refs: refs.subarray(0, v), indices: indices.subarray(0, e),
      first, vfirst, bbox, errors,
    };
  }

  // ------------------------------------------------------------- part tree

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
        layer = { name, color: part.color, parts: [], opacity: 1, solo: false };
        layers.set(name, layer);
      }
      layer.parts.push(part);
      part.layer = layer;
    }
    return [...layers.values()];
  }

  // The cells from the top cell down to the one a part draws.
  function cellPath(part, root, layerWise) {
    const names = [];
    for (let n = part.node.parent; n && n !== root && !(layerWise && n.parent === root); n = n.parent) names.push(n.name);
    return names.reverse();
  }

  // ------------------------------------------------------------------ math

  function viewBasis(azimuth, elevation) {
    const ce = Math.cos(elevation), se = Math.sin(elevation);
    const ca = Math.cos(azimuth), sa = Math.sin(azimuth);
    const d = [ce * ca, ce * sa, se]; // from the target towards the eye
    const r = [-sa, ca, 0];
    const u = [d[1] * r[2] - d[2] * r[1], d[2] * r[0] - d[0] * r[2], d[0] * r[1] - d[1] * r[0]];
    return { r, u, d };
  }

  const dot = (a, b) => a[0] * b[0] + a[1] * b[1] + a[2] * b[2];

  // Column-major view matrix of an eye at `eye` looking along -d.
  function viewMatrix(basis, eye) {
    const { r, u, d } = basis;
    return new Float32Array([
      r[0], u[0], d[0], 0,
      r[1], u[1], d[1], 0,
      r[2], u[2], d[2], 0,
      -dot(r, eye), -dot(u, eye), -dot(d, eye), 1,
    ]);
  }

  // Product of two column-major 4x4 matrices.
  function multiply(p, q) {
    const out = new Float32Array(16);
    for (let c = 0; c < 4; c++) {
      for (let r = 0; r < 4; r++) {
        out[4 * c + r] = p[r] * q[4 * c] + p[4 + r] * q[4 * c + 1] + p[8 + r] * q[4 * c + 2] + p[12 + r] * q[4 * c + 3];
      }
    }
    return out;
  }

  function orthoMatrix(halfWidth, halfHeight, near, far) {
    return new Float32Array([
      1 / halfWidth, 0, 0, 0,
      0, 1 / halfHeight, 0, 0,
      0, 0, -2 / (far - near), 0,
      0, 0, -(far + near) / (far - near), 1,
    ]);
  }

  // A length for the scale bar: 1, 2 or 5 times a power of ten, at most
  // `most` micrometres; with its text.
  function roundLength(most) {
    const power = Math.pow(10, Math.floor(Math.log10(most)));
    const um = [5, 2, 1].map((f) => f * power).find((v) => v <= most) || power;
    const text = um >= 1000 ? +(um / 1000).toPrecision(3) + " mm" : um >= 1 ? +um.toPrecision(3) + " \u00b5m" : +(um * 1000).toPrecision(3) + " nm";
    return { um, text };
  }

  // --------------------------------------------------------------- shaders

  // A part is drawn with instanced calls.  Its placements (a, b, tx, c,
  // d, ty, placement number, 0 each) sit in a uniform buffer, two vec4 per
  // placement, bound a chunk at a time; instance i of a part with batch size
  // B draws the placements i*B .. i*B + B - 1 of the chunk, one per copy of
  // the part's mesh (copy number in aPos.w), and drops copies past the last
  // one.  The same vertex shader feeds the picture and the id buffer.
  function vertexShader(chunk) {
    return `#version 300 es
    layout(location = 0) in vec4 aPos;   // x, y, level (0 bottom, 1 top), copy number
    layout(location = 1) in uint aRef;   // pool polygon
    layout(std140) uniform Placements { vec4 uM[${2 * chunk}]; };
    uniform ivec2 uBatch;                // batch size, placements in the chunk
    uniform mat4 uViewProj;
    uniform vec4 uPlace;                 // x, y offset, z bottom, height (z scaled)
    uniform ivec2 uHot;                  // placement and polygon highlighted, or -1
    out vec3 vWorld;
    flat out uint vPlacement;
    flat out uint vRef;
    flat out int vHot;                   // 2: the picked shape, 1: its cell, 0: neither
    void main() {
      int j = gl_InstanceID * uBatch.x + int(aPos.w);
      vPlacement = 0u;
      vRef = aRef;
      vHot = 0;
      if (j >= uBatch.y) {
        vWorld = vec3(0.0);
        gl_Position = vec4(0.0, 0.0, 2.0, 1.0);  // outside the clip volume
        return;
      }
      vec4 m0 = uM[2 * j];      // a, b, tx, c
      vec4 m1 = uM[2 * j + 1];  // d, ty, placement number
      vec4 world = vec4(m0.x * aPos.x + m0.y * aPos.y + m0.z + uPlace.x,
                        m0.w * aPos.x + m1.x * aPos.y + m1.y + uPlace.y,
                        uPlace.z + aPos.z * uPlace.w, 1.0);
      int placement = int(m1.z);
      vPlacement = uint(placement);
      if (placement == uHot.x) vHot = int(aRef) == uHot.y ? 2 : 1;
      vWorld = world.xyz;
      gl_Position = uViewProj * world;
    }`;
  }

  // Flat shading with a head light: the face normal from screen-space
  // derivatives of the position, against the viewing direction, so faces
  // square to the view show their colour exactly, whatever the placement.
  // Beyond the cross-section plane nothing is drawn; the back faces seen
  // through the cut are the cut faces, hatched.
  const FRAGMENT_SHADER = `#version 300 es
    precision highp float;
    in vec3 vWorld;
    flat in int vHot;
    uniform vec3 uColor;
    uniform float uAlpha;
    uniform vec3 uEye;                   // unit vector towards the eye
    uniform vec4 uClip;                  // drop dot(uClip.xyz, world) > uClip.w
    out vec4 outColor;
    void main() {
      vec3 n = cross(dFdx(vWorld), dFdy(vWorld));
      if (dot(uClip.xyz, vWorld) > uClip.w) discard;
      vec3 base = vHot == 2 ? mix(uColor, vec3(1.0, 0.9, 0.1), 0.8) : vHot == 1 ? mix(uColor, vec3(1.0), 0.45) : uColor;
      if (!gl_FrontFacing) {
        float stripe = mod(gl_FragCoord.x + gl_FragCoord.y, 8.0) < 4.0 ? 0.42 : 0.78;
        outColor = vec4(base * stripe, uAlpha);
        return;
      }
      float len = length(n);
      float facing = len > 0.0 ? abs(dot(n, uEye)) / len : 1.0;
      outColor = vec4(base * (0.35 + 0.65 * facing), uAlpha);
    }`;

  // The id buffer: part + 1 (0 is nothing), placement, polygon and depth.
  const PICK_SHADER = `#version 300 es
    precision highp float;
    precision highp int;
    in vec3 vWorld;
    flat in uint vPlacement;
    flat in uint vRef;
    uniform vec4 uClip;
    uniform uint uPart;
    out uvec4 outId;
    void main() {
      if (dot(uClip.xyz, vWorld) > uClip.w) discard;
      outId = uvec4(uPart + 1u, vPlacement, vRef, floatBitsToUint(gl_FragCoord.z));
    }`;

  // Starts compiling and linking; the browser does it while the page
  // prepares the geometry, and checkProgram waits for the result.
  function program(gl, vertexSource, fragmentSource) {
    const p = gl.createProgram();
    const shaders = [[gl.VERTEX_SHADER, vertexSource], [gl.FRAGMENT_SHADER, fragmentSource]].map(([type, source]) => {
      const shader = gl.createShader(type);
      gl.shaderSource(shader, source);
      gl.compileShader(shader);
      gl.attachShader(p, shader);
      return shader;
    });
    gl.linkProgram(p);
    gl.flush();
    return { program: p, shaders };
  }

  function checkProgram(gl, { program: p, shaders }) {
    if (gl.getProgramParameter(p, gl.LINK_STATUS)) return p;
    for (const shader of shaders) {
      if (!gl.getShaderParameter(shader, gl.COMPILE_STATUS)) throw new Error("shader: " + gl.getShaderInfoLog(shader));
    }
    throw new Error("program: " + gl.getProgramInfoLog(p));
  }

  // ---------------------------------------------------------------- viewer

  async function start() {
    const times = { start: performance.now() };
    const canvas = $("view");
    const gl = canvas.getContext("webgl2", { alpha: false, antialias: false, preserveDrawingBuffer: false });
    if (!gl) throw new Error("WebGL2 is not available in this browser");
    // Placements per uniform buffer chunk; chunks start at aligned offsets.
    const align = Math.max(1, gl.getParameter(gl.UNIFORM_BUFFER_OFFSET_ALIGNMENT) / 32);
    const chunk = Math.floor(Math.min(gl.getParameter(gl.MAX_UNIFORM_BLOCK_SIZE), 65536) / 32 / align) * align;
    const vertexSource = vertexShader(chunk);
    const compiling = program(gl, vertexSource, FRAGMENT_SHADER);
    const compilingPick = program(gl, vertexSource, PICK_SHADER);
    times.context = performance.now();
    const messageEl = $("lumino-message");
    const text = messageEl.textContent;
    await step("Reading the message (" + (text.length / 1e6).toFixed(1) + " MB)", 0.02, true);
    const message = JSON.parse(text);
    messageEl.textContent = ""; // the parsed message is all that is needed from here on
    times.parse = performance.now();
    const data = message && message.data;
    if (!data || typeof data !== "object") throw new Error('the message has no "data" map');
    const config = message.config && typeof message.config === "object" ? message.config : {};
    const fallbackColor = typeof config.default_color === "string" ? config.default_color : "#e8b024";
    const layerWise = data.name === "Layers";
    // Title: the top cells (children of the root, or of each layer node).
    const kids = (n) => (Array.isArray(n && n.parts) ? n.parts.filter((c) => c && typeof c === "object") : []);
    const tops = layerWise ? kids(data).flatMap(kids) : kids(data);
    const title = [...new Set(tops.map((c) => String(c.name)))].join(", ") || String(data.name ?? "");
    $("title").textContent = title;
    document.title = "corvane viewer: " + title;

    // Geometry: pool, triangulation, part index ranges, placements.
    const pool = Array.isArray(data.instances) ? data.instances : [];
    await step("Decoding " + pool.length.toLocaleString("en-US") + " polygons", 0.1, true);
    const [coords, coordOffsets] = await decodeRecords(pool, "pool polygon", (f) => step("Decoding polygons", 0.1 + 0.08 * f));
    const parts = [];
    const matrixRecords = [];
    const root = buildTree(data, matrixRecords, parts, fallbackColor);
    const layers = collectLayers(root, parts, layerWise);
    await step("Decoding the placements of " + parts.length.toLocaleString("en-US") + " parts", 0.18, true);
    const [matrices, matrixOffsets] = await decodeRecords(matrixRecords, "placement matrices of part", (f) => step("Decoding placements", 0.18 + 0.04 * f));
    times.decode = performance.now();
    await step("Triangulating " + pool.length.toLocaleString("en-US") + " polygons", 0.22, true);
    const geometry = await buildPool(coords, coordOffsets, pool.length, "check" in options,
      (f) => step("Triangulating " + pool.length.toLocaleString("en-US") + " polygons", 0.22 + 0.38 * f));
    times.triangulate = performance.now();
    await step("Placing the parts", 0.6, true);

    // Placements: two vec4 per placement (one identity placement for a part
    // without matrices), the last but one float its number in the part.
    // Mirrored placements (negative determinant) turn faces inside out, so a
    // part's placements form two groups, each at an aligned offset: as they
    // are, and mirrored (drawn with the other front face).  Batch size:
    // software rasterisers pay per instance, so small meshes with many
    // placements draw many placements per instance from copies of the mesh.
    let placementTotal = 0;
    let indexTotal = 0;
    let copyVertexTotal = 0;
    for (const part of parts) {
      part.matrixOffset = matrixOffsets[part.record];
      const floats = matrixOffsets[part.record + 1] - part.matrixOffset;
      if (floats % 6 !== 0) throw new Error("part " + part.node.id + ": matrices are not a multiple of 6 floats");
      part.instanced = floats > 0;
      part.placements = part.instanced ? floats / 6 : 1;
      let mirrored = 0;
      for (let j = 0, q = part.matrixOffset; j < floats / 6; j++, q += 6) {
        if (matrices[q] * matrices[q + 4] - matrices[q + 1] * matrices[q + 3] < 0) mirrored++;
      }
      const inverted = part.height < 0; // a negative height turns faces too
      part.groups = [];
      for (const [count, flip] of [[part.placements - mirrored, inverted], [mirrored, !inverted]]) {
        if (count === 0) continue;
        part.groups.push({ first: placementTotal, count, flip });
        placementTotal += Math.ceil(count / align) * align;
      }
      let indices = 0, vertices = 0;
      for (const ref of part.refs) {
        if (!Number.isInteger(ref) || ref < 0 || ref >= pool.length) throw new Error("part " + part.node.id + ": no pool polygon " + ref);
        indices += geometry.first[ref + 1] - geometry.first[ref];
        vertices += geometry.vfirst[ref + 1] - geometry.vfirst[ref];
      }
      part.batch = indices > 0 ? Math.max(1, Math.min(part.placements, chunk, Math.floor(BATCH_INDICES / indices))) : 1;
      part.elementCount = indices * part.batch;
      part.vertexCount = vertices;
      indexTotal += part.elementCount;
      if (part.batch > 1) copyVertexTotal += vertices * part.batch;
    }
    // The last chunk bound may reach past the last placement.
    const placementData = new Float32Array((placementTotal + chunk) * 8);
    for (const part of parts) {
      if (!part.instanced) {
        placementData.set([1, 0, 0, 0, 1, 0, 0, 0], 8 * part.groups[0].first);
        continue;
      }
      const at = part.groups.map((g) => 8 * g.first);
      for (let j = 0; j < part.placements; j++) {
        const q = part.matrixOffset + 6 * j;
        const mirror = matrices[q] * matrices[q + 4] - matrices[q + 1] * matrices[q + 3] < 0;
        const k = mirror && part.groups.length === 2 ? 1 : 0;
        const t = at[k];
        at[k] += 8;
        placementData.set(matrices.subarray(q, q + 6), t);
        placementData[t + 6] = j;
      }
    }

    // Index ranges: a part without batching indexes the pool's vertices; a
    // batched part indexes its own copies of its polygons' vertices.
    const elements = new Uint32Array(indexTotal);
    const copies = new Float32Array(copyVertexTotal * 4);
    const copyRefs = new Uint32Array(copyVertexTotal);
    let at = 0;
    let copyAt = 0;
    for (const part of parts) {
      part.elementOffset = at;
      part.copied = part.batch > 1;
      if (!part.copied) {
        for (const ref of part.refs) {
          elements.set(geometry.indices.subarray(geometry.first[ref], geometry.first[ref + 1]), at);
          at += geometry.first[ref + 1] - geometry.first[ref];
        }
        continue;
      }
      for (let k = 0; k < part.batch; k++) {
        const copyBase = copyAt + k * part.vertexCount;
        let local = copyBase;
        for (const ref of part.refs) {
          const v0 = geometry.vfirst[ref], v1 = geometry.vfirst[ref + 1];
          copies.set(geometry.vertices.subarray(4 * v0, 4 * v1), 4 * local);
          copyRefs.fill(ref, local, local + (v1 - v0));
          for (let v = local; v < local + (v1 - v0); v++) copies[4 * v + 3] = k;
          for (let e = geometry.first[ref]; e < geometry.first[ref + 1]; e++) elements[at++] = geometry.indices[e] - v0 + local;
          local += v1 - v0;
        }
      }
      copyAt += part.batch * part.vertexCount;
      if ((part.index & 255) === 0) await step("Placing the parts", 0.6 + 0.1 * (part.index / parts.length));
    }

    // Scene bounds, and each part's own: its polygon box at each placement.
    const lo = [Infinity, Infinity, Infinity];
    const hi = [-Infinity, -Infinity, -Infinity];
    for (const part of parts) {
      part.lo = [Infinity, Infinity, Infinity];
      part.hi = [-Infinity, -Infinity, -Infinity];
      if (!part.elementCount) continue;
      let x0 = Infinity, y0 = Infinity, x1 = -Infinity, y1 = -Infinity;
      for (const ref of part.refs) {
        const b = geometry.bbox;
        x0 = Math.min(x0, b[4 * ref]); y0 = Math.min(y0, b[4 * ref + 1]);
        x1 = Math.max(x1, b[4 * ref + 2]); y1 = Math.max(y1, b[4 * ref + 3]);
      }
      const [ox, oy, oz] = part.offset;
      const plo = part.lo, phi = part.hi;
      for (const group of part.groups) for (let j = 0; j < group.count; j++) {
        const t = 8 * (group.first + j);
        const a = placementData[t], b = placementData[t + 1], tx = placementData[t + 2];
        const c = placementData[t + 3], d = placementData[t + 4], ty = placementData[t + 5];
        // The extremes of an affine image of a box are at its corners.
        const wx0 = tx + ox + Math.min(a * x0, a * x1) + Math.min(b * y0, b * y1);
        const wx1 = tx + ox + Math.max(a * x0, a * x1) + Math.max(b * y0, b * y1);
        const wy0 = ty + oy + Math.min(c * x0, c * x1) + Math.min(d * y0, d * y1);
        const wy1 = ty + oy + Math.max(c * x0, c * x1) + Math.max(d * y0, d * y1);
        if (wx0 < plo[0]) plo[0] = wx0; if (wx1 > phi[0]) phi[0] = wx1;
        if (wy0 < plo[1]) plo[1] = wy0; if (wy1 > phi[1]) phi[1] = wy1;
      }
      plo[2] = Math.min(oz, oz + part.height);
      phi[2] = Math.max(oz, oz + part.height);
      for (let k = 0; k < 3; k++) { lo[k] = Math.min(lo[k], plo[k]); hi[k] = Math.max(hi[k], phi[k]); }
    }
    const empty = !(lo[0] <= hi[0]);
    if (empty) { lo.fill(-1); hi.fill(1); }
    times.layout = performance.now();
    await step("Uploading to the graphics card", 0.72, true);

    // WebGL objects.
    const prog = checkProgram(gl, compiling);
    const pickProg = checkProgram(gl, compilingPick);
    const uniforms = (p, names) => Object.fromEntries(names.map((n) => [n, gl.getUniformLocation(p, n)]));
    const COMMON = ["uViewProj", "uPlace", "uBatch", "uHot", "uClip"];
    const u = uniforms(prog, [...COMMON, "uColor", "uAlpha", "uEye"]);
    const up = uniforms(pickProg, [...COMMON, "uPart"]);
    const upload = (target, array) => { const b = gl.createBuffer(); gl.bindBuffer(target, b); gl.bufferData(target, array, gl.STATIC_DRAW); return b; };
    const elementBuffer = upload(gl.ELEMENT_ARRAY_BUFFER, elements);
    const vertexArray = (array, refs) => {
      const vao = gl.createVertexArray();
      gl.bindVertexArray(vao);
      upload(gl.ARRAY_BUFFER, array.length ? array : new Float32Array(4));
      gl.enableVertexAttribArray(0);
      gl.vertexAttribPointer(0, 4, gl.FLOAT, false, 16, 0);
      upload(gl.ARRAY_BUFFER, refs.length ? refs : new Uint32Array(1));
      gl.enableVertexAttribArray(1);
      gl.vertexAttribIPointer(1, 1, gl.UNSIGNED_INT, 4, 0);
      gl.bindBuffer(gl.ELEMENT_ARRAY_BUFFER, elementBuffer);
      return vao;
    };
    const poolVao = vertexArray(geometry.vertices, geometry.refs);
    const copyVao = vertexArray(copies, copyRefs);
    gl.bindVertexArray(null);
    const placementBuffer = upload(gl.UNIFORM_BUFFER, placementData);
    for (const p of [prog, pickProg]) gl.uniformBlockBinding(p, gl.getUniformBlockIndex(p, "Placements"), 0);
    gl.enable(gl.DEPTH_TEST);
    gl.clearColor(0.957, 0.961, 0.969, 1);
    times.upload = performance.now();
    await step("Drawing", 0.8, true);

    // Camera: orbit about a target, orthographic, z up.
    const slider = $("zscale");
    const sliderLabel = $("zscale-value");
    const camera = { azimuth: 0, elevation: 0, target: [0, 0, 0], half: 1 };
    let zScale = Number(options.zscale) > 0 ? Number(options.zscale) : 1;

    function fit(top) {
      camera.azimuth = -Math.PI / 2 + (top ? 0 : Math.PI / 6);
      camera.elevation = top ? Math.PI / 2 : Math.PI / 5;
      camera.target = [(lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2, zScale * (lo[2] + hi[2]) / 2];
      const basis = viewBasis(camera.azimuth, camera.elevation);
      const aspect = canvas.width / Math.max(1, canvas.height);
      let ex = 0, ey = 0;
      for (const x of [lo[0], hi[0]]) for (const y of [lo[1], hi[1]]) for (const z of [lo[2], hi[2]]) {
        const p = [x - camera.target[0], y - camera.target[1], zScale * z - camera.target[2]];
        ex = Math.max(ex, Math.abs(dot(p, basis.r)));
        ey = Math.max(ey, Math.abs(dot(p, basis.u)));
      }
      camera.half = Math.max(ey, ex / aspect, 1e-6) * 1.08;
      changed();
    }

    function radius() {
      const dx = hi[0] - lo[0], dy = hi[1] - lo[1], dz = zScale * (hi[2] - lo[2]);
      return Math.max(Math.sqrt(dx * dx + dy * dy + dz * dz) / 2, 1e-3);
    }

    // The camera of the last frame: eye, basis, half extents, depth range.
    let frame = null;

    function viewProjection() {
      const width = canvas.width, height = canvas.height;
      const aspect = width / Math.max(1, height);
      const basis = viewBasis(camera.azimuth, camera.elevation);
      // The eye sits outside the scene whatever the target: distance from
      // the target to the scene centre plus the scene radius.
      const centre = [(lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2, zScale * (lo[2] + hi[2]) / 2];
      const gap = Math.hypot(centre[0] - camera.target[0], centre[1] - camera.target[1], centre[2] - camera.target[2]);
      const dist = 2 * radius() + gap;
      const eye = camera.target.map((t, k) => t + dist * basis.d[k]);
      const near = dist - radius() - gap, far = dist + radius() + gap;
      frame = { basis, eye, halfWidth: camera.half * aspect, halfHeight: camera.half, near, far, zScale };
      return multiply(orthoMatrix(frame.halfWidth, frame.halfHeight, near, far), viewMatrix(basis, eye));
    }

    // --- what is drawn: tree visibility, layer opacity and solo, the cut.
    const clip = { axis: "", fraction: 0.5, flip: false };

    function layerShown(layer) {
      return layer.opacity > 0 && (!layers.some((l) => l.solo) || layer.solo);
    }

    function clipPlane() {
      if (!clip.axis) return [0, 0, 0, 1];
      const k = clip.axis === "x" ? 0 : 1;
      const at = lo[k] + clip.fraction * (hi[k] - lo[k]);
      const n = [0, 0, 0];
      n[k] = clip.flip ? -1 : 1;
      return [n[0], n[1], n[2], clip.flip ? -at : at];
    }

    function drawPart(part, us) {
      gl.uniform4f(us.uPlace, part.offset[0], part.offset[1], zScale * part.offset[2], zScale * part.height);
      gl.uniform2i(us.uHot, -1, -1);
      if (selection && selection.part === part) gl.uniform2i(us.uHot, selection.placement, selection.polygon);
      let calls = 0, gpuInstances = 0;
      for (const group of part.groups) {
        gl.frontFace(group.flip ? gl.CW : gl.CCW);
        for (let c0 = 0; c0 < group.count; c0 += chunk) {
          const n = Math.min(chunk, group.count - c0);
          gl.bindBufferRange(gl.UNIFORM_BUFFER, 0, placementBuffer, 32 * (group.first + c0), 32 * chunk);
          gl.uniform2i(us.uBatch, part.batch, n);
          gl.drawElementsInstanced(gl.TRIANGLES, part.elementCount, gl.UNSIGNED_INT, part.elementOffset * 4, Math.ceil(n / part.batch));
          calls++;
          gpuInstances += Math.ceil(n / part.batch);
        }
      }
      return [calls, gpuInstances];
    }

    // Draws the parts shown with the program whose uniforms are `us`:
    // opaque ones first, then the translucent ones from far to near.  A cut
    // opens the solids, and their back faces seen through it are the cut
    // faces: opaque parts then get a second pass for their back faces, set
    // back a little so that a face on the same plane as another part's
    // front face (stacked layers) never shows through it.
    function drawParts(us, withBlending, perPart) {
      const plane = clipPlane();
      gl.uniform4f(us.uClip, plane[0], plane[1], plane[2], plane[3]);
      const solo = layers.some((l) => l.solo);
      const shown = parts.filter((p) => p.visible && p.elementCount && p.layer.opacity > 0 && (!solo || p.layer.solo));
      const translucent = withBlending ? shown.filter((p) => p.layer.opacity < 1) : [];
      const opaque = withBlending ? shown.filter((p) => p.layer.opacity >= 1) : shown;
      let bound = null;
      const counts = [0, 0];
      const each = (part) => {
        const vao = part.copied ? copyVao : poolVao;
        if (vao !== bound) { gl.bindVertexArray(vao); bound = vao; }
        perPart(part);
        const [c, g] = drawPart(part, us);
        counts[0] += c;
        counts[1] += g;
      };
      gl.enable(gl.CULL_FACE);
      gl.cullFace(gl.BACK);
      opaque.forEach(each);
      if (clip.axis) {
        gl.cullFace(gl.FRONT);
        gl.enable(gl.POLYGON_OFFSET_FILL);
        gl.polygonOffset(1, 4);
        opaque.forEach(each);
        gl.disable(gl.POLYGON_OFFSET_FILL);
        gl.cullFace(gl.BACK);
      }
      if (translucent.length) {
        const d = frame.basis.d;
        const depth = (p) => (p.lo[0] + p.hi[0]) * d[0] + (p.lo[1] + p.hi[1]) * d[1] + zScale * (p.lo[2] + p.hi[2]) * d[2];
        translucent.sort((p, q) => depth(p) - depth(q));
        gl.enable(gl.BLEND);
        gl.blendFunc(gl.SRC_ALPHA, gl.ONE_MINUS_SRC_ALPHA);
        gl.depthMask(false);
        translucent.forEach(each);
        gl.depthMask(true);
        gl.disable(gl.BLEND);
      }
      gl.bindVertexArray(null);
      return { shown, counts };
    }

    let drawStats = null;
    function draw() {
      gl.bindFramebuffer(gl.FRAMEBUFFER, null);
      gl.viewport(0, 0, canvas.width, canvas.height);
      gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
      gl.useProgram(prog);
      gl.uniformMatrix4fv(u.uViewProj, false, viewProjection());
      gl.uniform3fv(u.uEye, frame.basis.d);
      const { shown, counts } = drawParts(u, true, (part) => {
        gl.uniform3fv(u.uColor, part.color);
        gl.uniform1f(u.uAlpha, Math.min(1, part.layer.opacity));
      });
      let instances = 0, polygons = 0, triangles = 0;
      for (const part of shown) {
        instances += part.placements;
        polygons += part.placements * part.refs.length;
        triangles += (part.placements * part.elementCount) / part.batch / 3;
      }
      drawOverlays();
      drawStats = { drawCalls: counts[0], instancesDrawn: instances, gpuInstances: counts[1], polygonsDrawn: polygons, trianglesDrawn: triangles };
      return drawStats;
    }

    // --- the id buffer, drawn when a pick needs it after the view changed.
    const pickTarget = { fb: null, color: null, depth: null, width: 0, height: 0, valid: false };

    function changed() {
      pickTarget.valid = false;
      requestDraw();
    }

    function drawIds() {
      const w = canvas.width, h = canvas.height;
      if (pickTarget.width !== w || pickTarget.height !== h) {
        if (!pickTarget.fb) {
          pickTarget.fb = gl.createFramebuffer();
          pickTarget.color = gl.createRenderbuffer();
          pickTarget.depth = gl.createRenderbuffer();
        }
        gl.bindRenderbuffer(gl.RENDERBUFFER, pickTarget.color);
        gl.renderbufferStorage(gl.RENDERBUFFER, gl.RGBA32UI, w, h);
        gl.bindRenderbuffer(gl.RENDERBUFFER, pickTarget.depth);
        gl.renderbufferStorage(gl.RENDERBUFFER, gl.DEPTH_COMPONENT24, w, h);
        gl.bindFramebuffer(gl.FRAMEBUFFER, pickTarget.fb);
        gl.framebufferRenderbuffer(gl.FRAMEBUFFER, gl.COLOR_ATTACHMENT0, gl.RENDERBUFFER, pickTarget.color);
        gl.framebufferRenderbuffer(gl.FRAMEBUFFER, gl.DEPTH_ATTACHMENT, gl.RENDERBUFFER, pickTarget.depth);
        pickTarget.width = w;
        pickTarget.height = h;
      }
      gl.bindFramebuffer(gl.FRAMEBUFFER, pickTarget.fb);
      gl.viewport(0, 0, w, h);
      gl.clearBufferuiv(gl.COLOR, 0, new Uint32Array(4));
      gl.clearBufferfv(gl.DEPTH, 0, new Float32Array([1]));
      gl.useProgram(pickProg);
      gl.uniformMatrix4fv(up.uViewProj, false, viewProjection());
      drawParts(up, false, (part) => gl.uniform1ui(up.uPart, part.index));
      gl.bindFramebuffer(gl.FRAMEBUFFER, null);
      pickTarget.valid = true;
    }

    // What is under the canvas point (x, y) in CSS pixels: null, or the
    // part, placement and polygon there with the layout coordinates (um).
    function pick(x, y) {
      const dpr = canvas.width / Math.max(1, canvas.clientWidth);
      const px = Math.floor(x * dpr), py = canvas.height - 1 - Math.floor(y * dpr);
      if (px < 0 || py < 0 || px >= canvas.width || py >= canvas.height) return null;
      if (!pickTarget.valid) drawIds();
      gl.bindFramebuffer(gl.FRAMEBUFFER, pickTarget.fb);
      const id = new Uint32Array(4);
      gl.readPixels(px, py, 1, 1, gl.RGBA_INTEGER, gl.UNSIGNED_INT, id);
      gl.bindFramebuffer(gl.FRAMEBUFFER, null);
      if (id[0] === 0 || id[0] > parts.length) return null;
      const part = parts[id[0] - 1];
      const depth = new Float32Array(new Uint32Array([id[3]]).buffer)[0];
      // Back from the pixel centre and its depth to the layout.
      const f = frame;
      const nx = (2 * (px + 0.5)) / canvas.width - 1, ny = (2 * (py + 0.5)) / canvas.height - 1;
      const along = f.near + depth * (f.far - f.near);
      const world = [0, 1, 2].map((k) => f.eye[k] + nx * f.halfWidth * f.basis.r[k] + ny * f.halfHeight * f.basis.u[k] - along * f.basis.d[k]);
      const path = cellPath(part, root, layerWise);
      return {
        part,
        placement: id[1],
        polygon: id[2],
        layer: part.layer.name,
        cell: path[path.length - 1] ?? "",
        path,
        id: part.node.id,
        placements: part.placements,
        x: world[0], y: world[1], z: world[2] / f.zScale,
        // Half a pixel: how far the position can be off.
        precision: f.halfHeight / canvas.height,
      };
    }

    // The selection (pinned by a click) or the shape under the pointer.
    let selection = null;
    let pinned = false;
    const pickEl = $("pick");
    const pickOut = $("corvane-pick");

    function showPick(found) {
      const same = (a, b) => (a && b ? a.part === b.part && a.placement === b.placement && a.polygon === b.polygon : a === b);
      const redraw = !same(found, selection);
      selection = found;
      const digits = found ? Math.max(0, Math.min(6, Math.ceil(-Math.log10(found.precision * 2)))) : 0;
      const fmt = (v) => v.toFixed(digits);
      if (found) {
        pickEl.hidden = false;
        pickEl.textContent = "";
        const line = (label, value) => {
          const b = document.createElement("b");
          b.textContent = label + " ";
          pickEl.append(b, value, "\n");
        };
        line("layer", found.layer);
        line("cell", found.path.join(" / ") || "(top)");
        line("at", "x " + fmt(found.x) + "  y " + fmt(found.y) + "  z " + found.z.toFixed(3) + " \u00b5m");
        line("shape", "polygon " + found.polygon + ", placement " + (found.placement + 1) + " of " + found.placements);
        pickEl.lastChild.remove(); // the last line break
      } else {
        pickEl.hidden = true;
      }
      const { part, ...plain } = found || {};
      pickOut.textContent = found ? JSON.stringify(plain) : "";
      if (redraw) requestDraw();
      return found;
    }

    // --- overlays: scale bar and axes, redrawn with each frame.
    const scaleEl = $("scalebar");
    const axesCanvas = $("axes");
    const axes2d = axesCanvas.getContext("2d");
    let scaleBar = null;

    function drawOverlays() {
      // Micrometres per CSS pixel across the view (orthographic: the same everywhere).
      const perPixel = (2 * camera.half) / Math.max(1, canvas.clientHeight);
      const { um, text } = roundLength(perPixel * Math.min(160, canvas.clientWidth / 3));
      scaleBar = { um, px: um / perPixel, text };
      scaleEl.hidden = empty;
      scaleEl.querySelector(".bar").style.width = scaleBar.px.toFixed(1) + "px";
      scaleEl.querySelector(".text").textContent = text;
      scaleEl.dataset.um = String(um);
      const basis = viewBasis(camera.azimuth, camera.elevation);
      const s = axesCanvas.width / 2;
      axes2d.clearRect(0, 0, axesCanvas.width, axesCanvas.height);
      axes2d.font = "11px system-ui, sans-serif";
      axes2d.textAlign = "center";
      axes2d.textBaseline = "middle";
      const ends = [["x", [1, 0, 0], "#c62828"], ["y", [0, 1, 0], "#2e7d32"], ["z", [0, 0, 1], "#1565c0"]]
        .map(([name, axis, color]) => [name, color, dot(axis, basis.r), -dot(axis, basis.u), dot(axis, basis.d)])
        .sort((a, b) => a[4] - b[4]); // farthest first
      for (const [name, color, ex, ey] of ends) {
        const x = s + ex * (s - 12), y = s + ey * (s - 12);
        axes2d.strokeStyle = color;
        axes2d.fillStyle = color;
        axes2d.lineWidth = 2;
        axes2d.beginPath();
        axes2d.moveTo(s, s);
        axes2d.lineTo(x, y);
        axes2d.stroke();
        if (Math.hypot(ex, ey) > 0.2) axes2d.fillText(name, s + ex * (s - 4), s + ey * (s - 4));
      }
    }

    let pending = false;
    function requestDraw() {
      if (pending) return;
      pending = true;
      requestAnimationFrame(() => { pending = false; draw(); });
    }

    function resize() {
      const dpr = window.devicePixelRatio || 1;
      const w = Math.max(1, Math.round(canvas.clientWidth * dpr));
      const h = Math.max(1, Math.round(canvas.clientHeight * dpr));
      if (canvas.width === w && canvas.height === h) return false;
      const aspectBefore = canvas.width / Math.max(1, canvas.height);
      canvas.width = w;
      canvas.height = h;
      // Keep what is seen across the width when the window narrows.
      camera.half *= Math.max(1, aspectBefore / (w / h));
      pickTarget.valid = false;
      return true;
    }

    function setZScale(value) {
      const old = zScale;
      zScale = value;
      camera.target[2] *= zScale / old;
      slider.value = String(Math.log10(zScale));
      sliderLabel.textContent = "\u00d7" + (zScale >= 10 ? zScale.toFixed(0) : zScale.toFixed(2));
      changed();
    }

    // --- layers: opacity and solo.
    const layersEl = $("layers");

    // A layer by its name, or by its name without the "(layer, datatype)".
    function findLayer(name) {
      return layers.find((l) => l.name === name) || layers.find((l) => l.name.replace(/ \(\d+, \d+\)$/, "") === name);
    }

    function layerRows() {
      for (const layer of layers) {
        const line = layer.row;
        line.dataset.opacity = String(layer.opacity);
        line.dataset.solo = String(layer.solo);
        line.dataset.shown = String(layerShown(layer));
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
      solo.addEventListener("click", () => setSolo(layer));
      const range = document.createElement("input");
      range.type = "range";
      range.min = "0";
      range.max = "1";
      range.step = "0.05";
      range.title = "opacity";
      range.addEventListener("input", () => setOpacity(layer, range.value));
      line.append(swatch, label, solo, range);
      layersEl.append(line);
      layer.row = line;
    }
    layerRows();

    // --- cross-section.
    const clipAxis = $("clip-axis"), clipPos = $("clip-pos"), clipFlip = $("clip-flip");

    function setClip(axis, fraction, flip) {
      if (axis !== "" && axis !== "x" && axis !== "y") throw new Error("cut axis must be x or y, not " + axis);
      clip.axis = axis;
      if (fraction !== undefined) clip.fraction = Math.max(0, Math.min(1, Number(fraction)));
      if (flip !== undefined) clip.flip = !!flip;
      clipAxis.value = axis;
      clipPos.value = String(Math.round(clip.fraction * 1000));
      clipPos.disabled = clipFlip.disabled = !axis;
      changed();
    }

    clipAxis.addEventListener("change", () => setClip(clipAxis.value));
    clipPos.addEventListener("input", () => setClip(clip.axis, Number(clipPos.value) / 1000));
    clipFlip.addEventListener("click", () => setClip(clip.axis, undefined, !clip.flip));

    // --- tree of parts with visibility toggles; rows are made on demand.
    const treeEl = $("tree");

    function applyVisibility(node, shown) {
      const stack = [[node, shown]];
      while (stack.length) {
        const [n, parentShown] = stack.pop();
        const v = parentShown && n.on;
        if (n.part) n.part.visible = v;
        for (const c of n.children) stack.push([c, v]);
      }
    }

    function ancestorsShown(node) {
      for (let p = node.parent; p; p = p.parent) if (!p.on) return false;
      return true;
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
      box.checked = node.on;
      box.title = node.id;
      box.addEventListener("change", () => {
        node.on = box.checked;
        applyVisibility(node, ancestorsShown(node));
        changed();
      });
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
        twist.addEventListener("click", toggle);
        label.addEventListener("click", toggle);
        node.expand = () => { if (!list || list.hidden) toggle(); };
      }
      return li;
    }

    const topList = document.createElement("ul");
    for (const c of root.children) topList.append(row(c));
    treeEl.append(topList);

    // --- mouse and touch: drag orbits, right or shift drag pans, wheel
    // zooms; hover shows what is under the pointer, a click pins it.
    let drag = null;
    let hover = null;
    const local = (ev) => {
      const rect = canvas.getBoundingClientRect();
      return [ev.clientX - rect.left, ev.clientY - rect.top];
    };
    canvas.addEventListener("contextmenu", (ev) => ev.preventDefault());
    canvas.addEventListener("pointerdown", (ev) => {
      drag = { x: ev.clientX, y: ev.clientY, x0: ev.clientX, y0: ev.clientY, pan: ev.button !== 0 || ev.shiftKey || ev.ctrlKey, moved: false };
      try {
        canvas.setPointerCapture(ev.pointerId); // keep the drag when the pointer leaves the canvas
      } catch (_) {
        // not an active pointer (a synthetic event): the drag works without capture
      }
    });
    canvas.addEventListener("pointerup", (ev) => {
      if (drag && !drag.moved && ev.button === 0) {
        // A click: pin what is under the pointer, or let go of the pin.
        const found = pick(...local(ev));
        pinned = !!found;
        showPick(found);
      }
      drag = null;
    });
    canvas.addEventListener("pointercancel", () => { drag = null; });
    canvas.addEventListener("pointermove", (ev) => {
      if (!drag) {
        if (pinned) return;
        const at = local(ev);
        if (hover === null) {
          hover = setTimeout(() => { hover = null; showPick(pick(...at)); }, 40);
        }
        return;
      }
      const dx = ev.clientX - drag.x, dy = ev.clientY - drag.y;
      if (!drag.moved && Math.hypot(ev.clientX - drag.x0, ev.clientY - drag.y0) < 3) return;
      drag.moved = true;
      drag.x = ev.clientX; drag.y = ev.clientY;
      if (drag.pan) {
        const basis = viewBasis(camera.azimuth, camera.elevation);
        const scale = (2 * camera.half) / Math.max(1, canvas.clientHeight);
        for (let k = 0; k < 3; k++) camera.target[k] += scale * (-dx * basis.r[k] + dy * basis.u[k]);
      } else {
        camera.azimuth -= dx * 0.008;
        camera.elevation = Math.max(-Math.PI / 2, Math.min(Math.PI / 2, camera.elevation + dy * 0.008));
      }
      changed();
    });
    canvas.addEventListener("pointerleave", () => { if (!pinned && !drag) showPick(null); });
    canvas.addEventListener("wheel", (ev) => {
      ev.preventDefault();
      const factor = Math.exp(Math.max(-1, Math.min(1, ev.deltaY * 0.0015)));
      // Zoom about the point under the cursor.
      const rect = canvas.getBoundingClientRect();
      const nx = ((ev.clientX - rect.left) / rect.width) * 2 - 1;
      const ny = 1 - ((ev.clientY - rect.top) / rect.height) * 2;
      const basis = viewBasis(camera.azimuth, camera.elevation);
      const aspect = rect.width / Math.max(1, rect.height);
      const sx = nx * camera.half * aspect * (1 - factor), sy = ny * camera.half * (1 - factor);
      for (let k = 0; k < 3; k++) camera.target[k] += sx * basis.r[k] + sy * basis.u[k];
      camera.half *= factor;
      changed();
    }, { passive: false });

    $("reset").addEventListener("click", () => fit(false));
    $("top").addEventListener("click", () => fit(true));
    slider.addEventListener("input", () => setZScale(Math.pow(10, Number(slider.value))));
    window.addEventListener("keydown", (ev) => {
      if (ev.target instanceof HTMLInputElement && ev.target.type !== "checkbox") return;
      if (ev.key === "r") fit(false);
      else if (ev.key === "t") fit(true);
      else if (ev.key === "Escape") { pinned = false; showPick(null); }
    });
    window.addEventListener("resize", () => { if (resize()) requestDraw(); });

    // Where a layout point (um; z unscaled) is on the canvas, in CSS pixels.
    function toScreen(point) {
      if (!frame) viewProjection();
      const p = [point[0] - frame.eye[0], point[1] - frame.eye[1], zScale * (point[2] || 0) - frame.eye[2]];
      const sx = dot(p, frame.basis.r) / frame.halfWidth, sy = dot(p, frame.basis.u) / frame.halfHeight;
      return [((sx + 1) / 2) * canvas.clientWidth, ((1 - sy) / 2) * canvas.clientHeight];
    }

    // --- options from the address, then the first frame, drawn now so
    // that it is on screen when loading ends.
    for (const name of optionLists.solo || []) setSolo(name, true);
    for (const item of optionLists.opacity || []) {
      const cut = item.lastIndexOf(":");
      setOpacity(item.slice(0, cut), item.slice(cut + 1));
    }
    if (options.clip) {
      const [axis, fraction, flip] = options.clip.split(":");
      setClip(axis, fraction === undefined ? 0.5 : fraction, flip === "flip");
    }
    resize();
    setZScale(zScale);
    fit(options.view === "top");
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
      pinned = true;
      const { part, ...plain } = showPick(pick(x, y)) || {};
      picked = part ? plain : null;
      times.pick = performance.now() - t;
      draw(); // with the highlight
    }
    if (empty) $("empty").hidden = false;
    const rect = canvas.getBoundingClientRect();
    const ms = (t) => Math.round(t * 10) / 10;
    const viewer = { camera, parts, root, layers, draw, fit, setZScale, setOpacity, setSolo, setClip, pick: (x, y) => showPick(pick(x, y)), toScreen, drawIds };
    Object.defineProperty(viewer, "scaleBar", { get: () => scaleBar });
    Object.defineProperty(viewer, "selection", { get: () => selection });
    window.corvaneViewer = viewer;
    report(Object.assign({
      firstFrameMs: ms(times.frame),
      stepsMs: {
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
      layers: layers.map((l) => ({ name: l.name, opacity: l.opacity, solo: l.solo, shown: layerShown(l), parts: l.parts.length })),
      clip: clip.axis ? { axis: clip.axis, fraction: clip.fraction, flip: clip.flip, at: clipPlane()[3] * (clip.flip ? -1 : 1) } : null,
      scaleBar,
      pick: picked,
    }, drawStats));
    document.dispatchEvent(new Event("corvane-ready"));
  }

  start().catch((err) => fail(err && err.message ? err.message : String(err)));
})();
