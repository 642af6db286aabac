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
// side walls go into one vertex and index buffer.  A part draws the index
// ranges of its polygons with instanced calls, its placements read from a
// uniform buffer.  When the first frame is drawn, the page writes its
// figures as JSON into the element "corvane-stats" (read by tests and
// benchmarks).
"use strict";

(function () {
  const statsEl = document.getElementById("corvane-stats");
  const errorEl = document.getElementById("corvane-error");

  function report(stats) {
    statsEl.textContent = JSON.stringify(stats);
    document.body.dataset.state = stats.error ? "error" : "ready";
  }

  function fail(message) {
    errorEl.textContent = message;
    errorEl.hidden = false;
    report({ error: message, firstFrameMs: null });
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
  function decodeRecords(records, what) {
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
  // copy number 0), caps and walls, each face counter-clockwise seen from
  // outside (back faces are culled).  Polygon k has the vertices
  // vfirst[k] .. vfirst[k+1] - 1 and the indices first[k] .. first[k+1] - 1.
  // With check, also counts the polygons whose triangles do not add up to
  // the outline's area (reported as triangulationErrors).
  function buildPool(coords, offsets, count, check) {
    let vertexCount = 0;
    for (let k = 0; k < count; k++) vertexCount += (offsets[k + 1] - offsets[k]); // 2 per point
    const vertices = new Float32Array(vertexCount * 4);
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
    return { vertices: vertices.subarray(0, 4 * v), indices: indices.subarray(0, e), first, vfirst, bbox, errors };
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
  function buildTree(root, matrixRecords, parts, fallbackColor) {
    const stack = [[root, null, [0, 0, 0]]];
    let top = null;
    while (stack.length) {
      const [src, parent, base] = stack.pop();
      const off = locOffset(src);
      const offset = [base[0] + off[0], base[1] + off[1], base[2] + off[2]];
      const node = { name: String(src.name ?? ""), id: String(src.id ?? ""), parent, children: [], on: true, part: null, color: null };
      if (parent) parent.children.push(node); else top = node;
      if (src.shape && typeof src.shape === "object") {
        const shape = src.shape;
        const matrices = shape.matrices;
        const part = {
          node,
          refs: Array.isArray(shape.refs) ? shape.refs : [],
          height: Number(shape.height) || 0,
          offset,
          color: parseColor(src.color ?? fallbackColor, fallbackColor),
          record: matrixRecords.length,
          placements: 1,
          visible: true,
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
      if (n.part || !n.children.length) continue;
      const c0 = n.children[0].color;
      n.color = c0 && n.children.every((c) => c.color && c.color.join() === c0.join()) ? c0 : null;
    }
    return top;
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

  // Column-major view matrix of an eye at target + dist * d.
  function viewMatrix(basis, target, dist) {
    const { r, u, d } = basis;
    const eye = [target[0] + dist * d[0], target[1] + dist * d[1], target[2] + dist * d[2]];
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

  // --------------------------------------------------------------- shaders

  // A part is drawn with instanced calls.  Its placements (a, b, tx, c,
  // d, ty each) sit in a uniform buffer, two vec4 per placement, bound a
  // chunk at a time; instance i of a part with batch size B draws the
  // placements i*B .. i*B + B - 1 of the chunk, one per copy of the part's
  // mesh (copy number in aPos.w), and drops copies past the last one.
  function vertexShader(chunk) {
    return `#version 300 es
    layout(location = 0) in vec4 aPos;   // x, y, level (0 bottom, 1 top), copy number
    layout(std140) uniform Placements { vec4 uM[${2 * chunk}]; };
    uniform ivec2 uBatch;                // batch size, placements in the chunk
    uniform mat4 uViewProj;
    uniform vec4 uPlace;                 // x, y offset, z bottom, height (z scaled)
    out vec3 vWorld;
    void main() {
      int j = gl_InstanceID * uBatch.x + int(aPos.w);
      if (j >= uBatch.y) {
        vWorld = vec3(0.0);
        gl_Position = vec4(0.0, 0.0, 2.0, 1.0);  // outside the clip volume
        return;
      }
      vec4 m0 = uM[2 * j];      // a, b, tx, c
      vec4 m1 = uM[2 * j + 1];  // d, ty
      vec4 world = vec4(m0.x * aPos.x + m0.y * aPos.y + m0.z + uPlace.x,
                        m0.w * aPos.x + m1.x * aPos.y + m1.y + uPlace.y,
                        uPlace.z + aPos.z * uPlace.w, 1.0);
      vWorld = world.xyz;
      gl_Position = uViewProj * world;
    }`;
  }

  // Flat shading with a head light: the face normal from screen-space
  // derivatives of the position, against the viewing direction, so faces
  // square to the view show their colour exactly, whatever the placement.
  const FRAGMENT_SHADER = `#version 300 es
    precision highp float;
    in vec3 vWorld;
    uniform vec3 uColor;
    uniform vec3 uEye;                   // unit vector towards the eye
    out vec4 outColor;
    void main() {
      vec3 n = cross(dFdx(vWorld), dFdy(vWorld));
      float len = length(n);
      float facing = len > 0.0 ? abs(dot(n, uEye)) / len : 1.0;
      outColor = vec4(uColor * (0.35 + 0.65 * facing), 1.0);
    }`;

  // Starts compiling and linking; the browser does it while the page
  // prepares the geometry, and checkProgram waits for the result.
  function program(gl, chunk) {
    const p = gl.createProgram();
    const shaders = [[gl.VERTEX_SHADER, vertexShader(chunk)], [gl.FRAGMENT_SHADER, FRAGMENT_SHADER]].map(([type, source]) => {
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

  function hashOptions() {
    const options = {};
    for (const item of location.hash.replace(/^#/, "").split("&")) {
      const [key, value] = item.split("=");
      if (key) options[decodeURIComponent(key)] = decodeURIComponent(value ?? "");
    }
    return options;
  }

  function start() {
    const times = { start: performance.now() };
    const canvas = document.getElementById("view");
    const gl = canvas.getContext("webgl2", { antialias: false, preserveDrawingBuffer: false });
    if (!gl) throw new Error("WebGL2 is not available in this browser");
    // Placements per uniform buffer chunk; chunks start at aligned offsets.
    const align = Math.max(1, gl.getParameter(gl.UNIFORM_BUFFER_OFFSET_ALIGNMENT) / 32);
    const chunk = Math.floor(Math.min(gl.getParameter(gl.MAX_UNIFORM_BLOCK_SIZE), 65536) / 32 / align) * align;
    const compiling = program(gl, chunk);
    times.context = performance.now();
    const text = document.getElementById("lumino-message").textContent;
    const message = JSON.parse(text);
    times.parse = performance.now();
    const data = message && message.data;
    if (!data || typeof data !== "object") throw new Error('the message has no "data" map');
    const config = message.config && typeof message.config === "object" ? message.config : {};
    const fallbackColor = typeof config.default_color === "string" ? config.default_color : "#e8b024";
    // Title: the top cells (children of the root, or of each layer node).
    const kids = (n) => (Array.isArray(n && n.parts) ? n.parts.filter((c) => c && typeof c === "object") : []);
    const tops = data.name === "Layers" ? kids(data).flatMap(kids) : kids(data);
    const title = [...new Set(tops.map((c) => String(c.name)))].join(", ") || String(data.name ?? "");
    document.getElementById("title").textContent = title;
    document.title = "corvane viewer: " + title;

    // Geometry: pool, triangulation, part index ranges, placements.
    const pool = Array.isArray(data.instances) ? data.instances : [];
    const [coords, coordOffsets] = decodeRecords(pool, "pool polygon");
    const parts = [];
    const matrixRecords = [];
    const root = buildTree(data, matrixRecords, parts, fallbackColor);
    const [matrices, matrixOffsets] = decodeRecords(matrixRecords, "placement matrices of part");
    times.decode = performance.now();
    const options = hashOptions();
    const geometry = buildPool(coords, coordOffsets, pool.length, "check" in options);
    times.triangulate = performance.now();

    // Placements: two vec4 per placement (one identity placement for a part
    // without matrices).  Mirrored placements (negative determinant) turn
    // faces inside out, so a part's placements form two groups, each at an
    // aligned offset: as they are, and mirrored (drawn with the other front
    // face).  Batch size: software rasterisers pay per instance, so small
    // meshes with many placements draw many placements per instance from
    // copies of the mesh.
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
        placementData[t] = matrices[q]; placementData[t + 1] = matrices[q + 1];
        placementData[t + 2] = matrices[q + 2]; placementData[t + 3] = matrices[q + 3];
        placementData[t + 4] = matrices[q + 4]; placementData[t + 5] = matrices[q + 5];
      }
    }

    // Index ranges: a part without batching indexes the pool's vertices; a
    // batched part indexes its own copies of its polygons' vertices.
    const elements = new Uint32Array(indexTotal);
    const copies = new Float32Array(copyVertexTotal * 4);
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
          for (let v = local; v < local + (v1 - v0); v++) copies[4 * v + 3] = k;
          for (let e = geometry.first[ref]; e < geometry.first[ref + 1]; e++) elements[at++] = geometry.indices[e] - v0 + local;
          local += v1 - v0;
        }
      }
      copyAt += part.batch * part.vertexCount;
    }

    // Scene bounds: each part's polygon box at each of its placements.
    const lo = [Infinity, Infinity, Infinity];
    const hi = [-Infinity, -Infinity, -Infinity];
    for (const part of parts) {
      if (!part.elementCount) continue;
      let x0 = Infinity, y0 = Infinity, x1 = -Infinity, y1 = -Infinity;
      for (const ref of part.refs) {
        const b = geometry.bbox;
        x0 = Math.min(x0, b[4 * ref]); y0 = Math.min(y0, b[4 * ref + 1]);
        x1 = Math.max(x1, b[4 * ref + 2]); y1 = Math.max(y1, b[4 * ref + 3]);
      }
      const [ox, oy, oz] = part.offset;
      for (const group of part.groups) for (let j = 0; j < group.count; j++) {
        const t = 8 * (group.first + j);
        const a = placementData[t], b = placementData[t + 1], tx = placementData[t + 2];
        const c = placementData[t + 3], d = placementData[t + 4], ty = placementData[t + 5];
        // The extremes of an affine image of a box are at its corners.
        const wx0 = tx + ox + Math.min(a * x0, a * x1) + Math.min(b * y0, b * y1);
        const wx1 = tx + ox + Math.max(a * x0, a * x1) + Math.max(b * y0, b * y1);
        const wy0 = ty + oy + Math.min(c * x0, c * x1) + Math.min(d * y0, d * y1);
        const wy1 = ty + oy + Math.max(c * x0, c * x1) + Math.max(d * y0, d * y1);
        if (wx0 < lo[0]) lo[0] = wx0; if (wx1 > hi[0]) hi[0] = wx1;
        if (wy0 < lo[1]) lo[1] = wy0; if (wy1 > hi[1]) hi[1] = wy1;
      }
      lo[2] = Math.min(lo[2], oz, oz + part.height);
      hi[2] = Math.max(hi[2], oz, oz + part.height);
    }
    const empty = !(lo[0] <= hi[0]);
    if (empty) { lo.fill(-1); hi.fill(1); }
    times.layout = performance.now();

    // WebGL objects.
    const prog = checkProgram(gl, compiling);
    const uniform = (name) => gl.getUniformLocation(prog, name);
    const uViewProj = uniform("uViewProj"), uEye = uniform("uEye"), uPlace = uniform("uPlace");
    const uColor = uniform("uColor"), uBatch = uniform("uBatch");
    const upload = (target, array) => { const b = gl.createBuffer(); gl.bindBuffer(target, b); gl.bufferData(target, array, gl.STATIC_DRAW); return b; };
    const elementBuffer = upload(gl.ELEMENT_ARRAY_BUFFER, elements);
    const vertexArray = (array) => {
      const vao = gl.createVertexArray();
      gl.bindVertexArray(vao);
      upload(gl.ARRAY_BUFFER, array.length ? array : new Float32Array(4));
      gl.enableVertexAttribArray(0);
      gl.vertexAttribPointer(0, 4, gl.FLOAT, false, 16, 0);
      gl.bindBuffer(gl.ELEMENT_ARRAY_BUFFER, elementBuffer);
      return vao;
    };
    const poolVao = vertexArray(geometry.vertices);
    const copyVao = vertexArray(copies);
    gl.bindVertexArray(null);
    const placementBuffer = upload(gl.UNIFORM_BUFFER, placementData);
    gl.useProgram(prog);
    gl.uniformBlockBinding(prog, gl.getUniformBlockIndex(prog, "Placements"), 0);
    gl.enable(gl.DEPTH_TEST);
    gl.enable(gl.CULL_FACE);
    gl.clearColor(0.957, 0.961, 0.969, 1);
    times.upload = performance.now();

    // Camera: orbit about a target, orthographic, z up.
    const slider = document.getElementById("zscale");
    const sliderLabel = document.getElementById("zscale-value");
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
    }

    function radius() {
      const dx = hi[0] - lo[0], dy = hi[1] - lo[1], dz = zScale * (hi[2] - lo[2]);
      return Math.max(Math.sqrt(dx * dx + dy * dy + dz * dz) / 2, 1e-3);
    }

    let drawStats = null;
    function draw() {
      const width = canvas.width, height = canvas.height;
      gl.viewport(0, 0, width, height);
      gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
      const aspect = width / Math.max(1, height);
      const basis = viewBasis(camera.azimuth, camera.elevation);
      // The eye sits outside the scene whatever the target: distance from
      // the target to the scene centre plus the scene radius.
      const centre = [(lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2, zScale * (lo[2] + hi[2]) / 2];
      const gap = Math.hypot(centre[0] - camera.target[0], centre[1] - camera.target[1], centre[2] - camera.target[2]);
      const dist = 2 * radius() + gap;
      gl.useProgram(prog);
      const proj = orthoMatrix(camera.half * aspect, camera.half, dist - radius() - gap, dist + radius() + gap);
      gl.uniformMatrix4fv(uViewProj, false, multiply(proj, viewMatrix(basis, camera.target, dist)));
      gl.uniform3fv(uEye, basis.d);
      let calls = 0, instances = 0, gpuInstances = 0, polygons = 0, triangles = 0;
      let bound = null;
      for (const part of parts) {
        if (!part.visible || !part.elementCount) continue;
        const vao = part.copied ? copyVao : poolVao;
        if (vao !== bound) { gl.bindVertexArray(vao); bound = vao; }
        gl.uniform3fv(uColor, part.color);
        gl.uniform4f(uPlace, part.offset[0], part.offset[1], zScale * part.offset[2], zScale * part.height);
        for (const group of part.groups) {
          gl.frontFace(group.flip ? gl.CW : gl.CCW);
          for (let c0 = 0; c0 < group.count; c0 += chunk) {
            const n = Math.min(chunk, group.count - c0);
            gl.bindBufferRange(gl.UNIFORM_BUFFER, 0, placementBuffer, 32 * (group.first + c0), 32 * chunk);
            gl.uniform2i(uBatch, part.batch, n);
            gl.drawElementsInstanced(gl.TRIANGLES, part.elementCount, gl.UNSIGNED_INT, part.elementOffset * 4, Math.ceil(n / part.batch));
            calls++;
            gpuInstances += Math.ceil(n / part.batch);
          }
        }
        instances += part.placements;
        polygons += part.placements * part.refs.length;
        triangles += (part.placements * part.elementCount) / part.batch / 3;
      }
      gl.bindVertexArray(null);
      drawStats = { drawCalls: calls, instancesDrawn: instances, gpuInstances, polygonsDrawn: polygons, trianglesDrawn: triangles };
      return drawStats;
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
      return true;
    }

    function setZScale(value) {
      const old = zScale;
      zScale = value;
      camera.target[2] *= zScale / old;
      slider.value = String(Math.log10(zScale));
      sliderLabel.textContent = "\u00d7" + (zScale >= 10 ? zScale.toFixed(0) : zScale.toFixed(2));
      requestDraw();
    }

    // --- tree of parts with visibility toggles; rows are made on demand.
    const treeEl = document.getElementById("tree");

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
        requestDraw();
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

    // --- mouse and touch: drag orbits, right or shift drag pans, wheel zooms.
    let drag = null;
    canvas.addEventListener("contextmenu", (ev) => ev.preventDefault());
    canvas.addEventListener("pointerdown", (ev) => {
      drag = { x: ev.clientX, y: ev.clientY, pan: ev.button !== 0 || ev.shiftKey || ev.ctrlKey };
      try {
        canvas.setPointerCapture(ev.pointerId); // keep the drag when the pointer leaves the canvas
      } catch (_) {
        // not an active pointer (a synthetic event): the drag works without capture
      }
    });
    canvas.addEventListener("pointerup", () => { drag = null; });
    canvas.addEventListener("pointercancel", () => { drag = null; });
    canvas.addEventListener("pointermove", (ev) => {
      if (!drag) return;
      const dx = ev.clientX - drag.x, dy = ev.clientY - drag.y;
      drag.x = ev.clientX; drag.y = ev.clientY;
      if (drag.pan) {
        const basis = viewBasis(camera.azimuth, camera.elevation);
        const scale = (2 * camera.half) / Math.max(1, canvas.clientHeight);
        for (let k = 0; k < 3; k++) camera.target[k] += scale * (-dx * basis.r[k] + dy * basis.u[k]);
      } else {
        camera.azimuth -= dx * 0.008;
        camera.elevation = Math.max(-Math.PI / 2, Math.min(Math.PI / 2, camera.elevation + dy * 0.008));
      }
      requestDraw();
    });
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
      requestDraw();
    }, { passive: false });

    document.getElementById("reset").addEventListener("click", () => { fit(false); requestDraw(); });
    document.getElementById("top").addEventListener("click", () => { fit(true); requestDraw(); });
    slider.addEventListener("input", () => setZScale(Math.pow(10, Number(slider.value))));
    window.addEventListener("keydown", (ev) => {
      if (ev.target instanceof HTMLInputElement && ev.target.type !== "checkbox") return;
      if (ev.key === "r") { fit(false); requestDraw(); } else if (ev.key === "t") { fit(true); requestDraw(); }
    });
    window.addEventListener("resize", () => { if (resize()) requestDraw(); });

    // --- first frame, drawn now so that it is on screen when loading ends.
    resize();
    setZScale(zScale);
    fit(options.view === "top");
    draw();
    const pixel = new Uint8Array(4);
    gl.readPixels(0, 0, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, pixel); // waits for the frame
    times.frame = performance.now();
    // "#redraw=N": N more frames, each timed to completion (benchmarks).
    const redraws = [];
    for (let k = 0; k < Math.min(100, Number(options.redraw) || 0); k++) {
      const t = performance.now();
      draw();
      gl.readPixels(0, 0, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, pixel);
      redraws.push(Math.round((performance.now() - t) * 10) / 10);
    }
    if (empty) document.getElementById("empty").hidden = false;
    const rect = canvas.getBoundingClientRect();
    const ms = (t) => Math.round(t * 10) / 10;
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
      parts: parts.length,
      placements: parts.reduce((n, p) => n + p.placements, 0),
      poolPolygons: pool.length,
      poolTriangles: geometry.indices.length / 3,
      triangulationErrors: "check" in options ? geometry.errors : null,
      bounds: [lo, hi],
      canvas: [rect.left, rect.top, rect.width, rect.height],
      renderer: gl.getParameter(gl.RENDERER),
    }, drawStats));
    window.corvaneViewer = { camera, parts, root, draw, fit, setZScale };
  }

  try {
    start();
  } catch (err) {
    fail(err && err.message ? err.message : String(err));
  }
})();
