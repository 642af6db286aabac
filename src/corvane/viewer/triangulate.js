// Triangulation of the pool polygons and the vertex and index data of their
// solids (bottom and top rings, caps and side walls).

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
