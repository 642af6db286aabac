// The renderer: the laid-out parts on the graphics card, drawn into the
// picture or into the id buffer that picking reads.

// Uploads the scene and returns the renderer.  `programs` are the compiling
// programs of startPrograms, `geometry` the triangulated pool, `scene` what
// layoutParts made of the parts, `view` the camera (makeView); `limits` as
// from placementChunk.  What is drawn follows the parts' visibility, the
// layers' opacity and solo, renderer.clip (the cross-section) and
// renderer.selection (the highlighted shape).
function makeRenderer(gl, { programs, geometry, scene, parts, layers, view, limits }) {
  const canvas = gl.canvas;
  const { chunk } = limits;
  const { lo, hi } = scene;
  const prog = checkProgram(gl, programs.picture);
  const pickProg = checkProgram(gl, programs.ids);
  const uniforms = (p, names) => Object.fromEntries(names.map((n) => [n, gl.getUniformLocation(p, n)]));
  const COMMON = ["uViewProj", "uPlace", "uBatch", "uHot", "uClip", "uBoxes", "uViewport"];
  const u = uniforms(prog, [...COMMON, "uColor", "uAlpha", "uEye", "uHighlight"]);
  const up = uniforms(pickProg, [...COMMON, "uPart"]);
  const owned = { buffers: [], vaos: [] }; // deleted by dispose()
  const upload = (target, array) => { const b = gl.createBuffer(); owned.buffers.push(b); gl.bindBuffer(target, b); gl.bufferData(target, array, gl.STATIC_DRAW); return b; };
  const elementBuffer = upload(gl.ELEMENT_ARRAY_BUFFER, scene.elements);
  const vertexArray = (array, refs) => {
    const vao = gl.createVertexArray();
    owned.vaos.push(vao);
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
  const copyVao = vertexArray(scene.copies, scene.copyRefs);
  gl.bindVertexArray(null);
  const placementBuffer = upload(gl.UNIFORM_BUFFER, scene.placementData);
  for (const p of [prog, pickProg]) gl.uniformBlockBinding(p, gl.getUniformBlockIndex(p, "Placements"), 0);
  // The pool polygons' boxes, which the vertex shader reads to keep small
  // shapes a pixel wide.
  const boxCount = Math.max(1, geometry.bbox.length / 4);
  const boxRows = Math.ceil(boxCount / BOX_ROW);
  const boxData = new Float32Array(BOX_ROW * boxRows * 4);
  boxData.set(geometry.bbox);
  const boxTexture = gl.createTexture();
  gl.activeTexture(gl.TEXTURE0);
  gl.bindTexture(gl.TEXTURE_2D, boxTexture);
  gl.texImage2D(gl.TEXTURE_2D, 0, gl.RGBA32F, BOX_ROW, boxRows, 0, gl.RGBA, gl.FLOAT, boxData);
  for (const [name, value] of [[gl.TEXTURE_MIN_FILTER, gl.NEAREST], [gl.TEXTURE_MAG_FILTER, gl.NEAREST]]) gl.texParameteri(gl.TEXTURE_2D, name, value);
  gl.enable(gl.DEPTH_TEST);
  gl.clearColor(0.957, 0.961, 0.969, 1);

  const renderer = {
    clip: { axis: "", fraction: 0.5, flip: false },
    selection: null, // a pick result, highlighted
    highlight: [1, 0.9, 0.1], // in this colour
    stats: null, // what the last picture drew
  };

  // The cross-section plane [nx, ny, nz, w]: what has dot(n, p) > w is cut away.
  renderer.clipPlane = () => {
    const clip = renderer.clip;
    if (!clip.axis) return [0, 0, 0, 1];
    const k = clip.axis === "x" ? 0 : 1;
    const at = lo[k] + clip.fraction * (hi[k] - lo[k]);
    const n = [0, 0, 0];
    n[k] = clip.flip ? -1 : 1;
    return [n[0], n[1], n[2], clip.flip ? -at : at];
  };

  function drawPart(part, us) {
    const zScale = view.zScale;
    const selection = renderer.selection;
    gl.uniform4f(us.uPlace, part.offset[0], part.offset[1], zScale * (part.offset[2] + part.layer.lift), zScale * part.height);
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
    gl.activeTexture(gl.TEXTURE0);
    gl.bindTexture(gl.TEXTURE_2D, boxTexture);
    gl.uniform1i(us.uBoxes, 0);
    gl.uniform2f(us.uViewport, canvas.width, canvas.height);
    const plane = renderer.clipPlane();
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
    if (renderer.clip.axis) {
      gl.cullFace(gl.FRONT);
      gl.enable(gl.POLYGON_OFFSET_FILL);
      gl.polygonOffset(1, 4);
      opaque.forEach(each);
      gl.disable(gl.POLYGON_OFFSET_FILL);
      gl.cullFace(gl.BACK);
    }
    if (translucent.length) {
      const d = view.frame.basis.d;
      const zScale = view.zScale;
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

  // Draws the picture; returns (and keeps in renderer.stats) what it drew.
  renderer.draw = () => {
    gl.bindFramebuffer(gl.FRAMEBUFFER, null);
    gl.viewport(0, 0, canvas.width, canvas.height);
    gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
    gl.useProgram(prog);
    gl.uniformMatrix4fv(u.uViewProj, false, view.viewProjection());
    gl.uniform3fv(u.uEye, view.frame.basis.d);
    gl.uniform3fv(u.uHighlight, renderer.highlight);
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
    renderer.stats = { drawCalls: counts[0], instancesDrawn: instances, gpuInstances: counts[1], polygonsDrawn: polygons, trianglesDrawn: triangles };
    return renderer.stats;
  };

  // --- the id buffer, drawn when a pick needs it after the view changed.
  const pickTarget = { fb: null, color: null, depth: null, width: 0, height: 0, valid: false };

  // The id buffer no longer shows the view (to be called on any change).
  renderer.invalidate = () => { pickTarget.valid = false; };

  renderer.drawIds = () => {
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
    gl.uniformMatrix4fv(up.uViewProj, false, view.viewProjection());
    drawParts(up, false, (part) => gl.uniform1ui(up.uPart, part.index));
    gl.bindFramebuffer(gl.FRAMEBUFFER, null);
    pickTarget.valid = true;
  };

  // What is under the canvas point (x, y) in CSS pixels: null, or the part,
  // placement and polygon there with the layout coordinates (um) and how
  // far they can be off (half a pixel).
  renderer.pick = (x, y) => {
    const dpr = canvas.width / Math.max(1, canvas.clientWidth);
    const px = Math.floor(x * dpr), py = canvas.height - 1 - Math.floor(y * dpr);
    if (px < 0 || py < 0 || px >= canvas.width || py >= canvas.height) return null;
    if (!pickTarget.valid) renderer.drawIds();
    gl.bindFramebuffer(gl.FRAMEBUFFER, pickTarget.fb);
    const id = new Uint32Array(4);
    gl.readPixels(px, py, 1, 1, gl.RGBA_INTEGER, gl.UNSIGNED_INT, id);
    gl.bindFramebuffer(gl.FRAMEBUFFER, null);
    if (id[0] === 0 || id[0] > parts.length) return null;
    const depth = new Float32Array(new Uint32Array([id[3]]).buffer)[0];
    // Back from the pixel centre and its depth to the layout.
    const f = view.frame;
    const nx = (2 * (px + 0.5)) / canvas.width - 1, ny = (2 * (py + 0.5)) / canvas.height - 1;
    const along = f.near + depth * (f.far - f.near);
    const world = [0, 1, 2].map((k) => f.eye[k] + nx * f.halfWidth * f.basis.r[k] + ny * f.halfHeight * f.basis.u[k] - along * f.basis.d[k]);
    const part = parts[id[0] - 1];
    return {
      part,
      placement: id[1],
      polygon: id[2],
      x: world[0], y: world[1], z: world[2] / f.zScale - part.layer.lift, // as in the layout, not exploded
      precision: f.halfHeight / canvas.height,
    };
  };

  // Frees what this renderer put on the graphics card; the programs and
  // the context stay for the next layout (a live viewer's next version).
  renderer.dispose = () => {
    for (const vao of owned.vaos) gl.deleteVertexArray(vao);
    for (const buffer of owned.buffers) gl.deleteBuffer(buffer);
    gl.deleteTexture(boxTexture);
    if (pickTarget.fb) {
      gl.deleteFramebuffer(pickTarget.fb);
      gl.deleteRenderbuffer(pickTarget.color);
      gl.deleteRenderbuffer(pickTarget.depth);
    }
    owned.vaos = [];
    owned.buffers = [];
  };

  return renderer;
}
