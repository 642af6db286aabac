// Where the parts go in the buffers of the graphics card: each part's
// placements in the uniform buffer, its index range (of the pool's vertices
// or of copies of its own), and the bounds of the parts and of the scene.

const BATCH_INDICES = 6144; // indices per instance to aim for when batching placements

// Lays out the parts (their fields are set here: placements, groups, batch,
// element range, bounds lo and hi) over the triangulated pool `geometry` of
// poolLength polygons, their matrices decoded into `matrices` at
// matrixOffsets; `limits` as from placementChunk.  Returns the buffer data
// (placementData, elements, copies, copyRefs) and the scene box lo..hi,
// empty when nothing is drawn (the box is then -1..1).
async function layoutParts(parts, geometry, poolLength, matrices, matrixOffsets, limits, progress) {
  const { align, chunk } = limits;
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
      if (!Number.isInteger(ref) || ref < 0 || ref >= poolLength) throw new Error("part " + part.node.id + ": no pool polygon " + ref);
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
    if ((part.index & 255) === 0) await progress(part.index / parts.length);
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
  return { placementData, elements, copies, copyRefs, lo, hi, empty };
}
