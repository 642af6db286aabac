// Net highlighting, in a page served by a live viewer (corvane view
// --serve): a click that pins a shape asks the server for the shape's net,
// traced by KLayout through the layer stack's connections.  The net comes
// back as extra geometry (its shapes per layer, in micrometres of the top
// cell, with the layers' heights and colours); it is triangulated like the
// pool and drawn over the picture, which is dimmed behind a veil, with the
// net's name (from a label on it) in a box above the view.
//
// The page learns where its server is from the element "corvane-live"
// ({net: address, version: N, nets: true or why not}); a page without it
// (written to a file) traces nothing.  For tests: the element "corvane-net"
// holds JSON (state: none, tracing, ready or error; the net's name, shapes
// drawn per layer, their bounds; times), and the document gets the event
// "corvane-net" whenever it changes.

const NET_VEIL = [0.957, 0.961, 0.969, 0.72]; // the background colour, over the picture

function liveConfig() {
  const el = document.getElementById("corvane-live");
  if (!el) return null;
  try {
    const config = JSON.parse(el.textContent);
    return config && typeof config === "object" ? config : null;
  } catch (_) {
    return null;
  }
}

const NET_VERTEX = `#version 300 es
  layout(location = 0) in vec4 aPos;   // x, y, level (0 bottom, 1 top), copy number
  uniform mat4 uViewProj;
  uniform vec2 uZ;                     // bottom and height, z scaled
  out vec3 vWorld;
  void main() {
    vec4 world = vec4(aPos.x, aPos.y, uZ.x + aPos.z * uZ.y, 1.0);
    vWorld = world.xyz;
    gl_Position = uViewProj * world;
  }`;

const NET_FRAGMENT = `#version 300 es
  precision highp float;
  in vec3 vWorld;
  uniform vec3 uColor;
  uniform vec3 uEye;
  uniform vec4 uClip;
  out vec4 outColor;
  void main() {
    if (dot(uClip.xyz, vWorld) > uClip.w) discard;
    vec3 base = mix(uColor, vec3(1.0), 0.12);
    if (!gl_FrontFacing) {
      float stripe = mod(gl_FragCoord.x + gl_FragCoord.y, 8.0) < 4.0 ? 0.42 : 0.78;
      outColor = vec4(base * stripe, 1.0);
      return;
    }
    vec3 n = cross(dFdx(vWorld), dFdy(vWorld));
    float len = length(n);
    float facing = len > 0.0 ? abs(dot(n, uEye)) / len : 1.0;
    outColor = vec4(base * (0.35 + 0.65 * facing), 1.0);
  }`;

// One triangle over the whole canvas, in the veil's colour.
const VEIL_VERTEX = `#version 300 es
  void main() {
    vec2 p = vec2(float((gl_VertexID << 1) & 2), float(gl_VertexID & 2)) * 2.0 - 1.0;
    gl_Position = vec4(p, 0.0, 1.0);
  }`;

const VEIL_FRAGMENT = `#version 300 es
  precision mediump float;
  uniform vec4 uVeil;
  out vec4 outColor;
  void main() { outColor = uVeil; }`;

// Decodes an int32 buffer record {"shape", "dtype": "int32", "buffer", "codec": "b64"}.
function decodeInts(record, what) {
  if (!record || record.codec !== "b64" || record.dtype !== "int32") throw new Error(what + " is not a base64 int32 buffer record");
  const n = Number(record.shape && record.shape[0]) || 0;
  const ints = new Int32Array(n);
  if (decodeBase64Into(record.buffer || "", new Uint8Array(ints.buffer), 0) !== 4 * n) throw new Error(what + ": buffer length does not match its shape");
  return ints;
}

// The nets of the page drawn with `gl` in `view`, over what `renderer`
// draws (its cut applies); hooks.changed() after the net changed.
// nets.picked(found, pinned) follows what the input pins; nets.draw()
// draws the net over the picture; nets.current is the net shown.
function makeNets(gl, view, renderer, hooks) {
  const config = liveConfig();
  const nets = { enabled: !!(config && config.net), current: null, pending: null };
  let programs = null;
  let emptyVao = null;

  if (!nets.enabled) {
    nets.picked = nets.draw = nets.clear = nets.dispose = () => {};
    return nets;
  }
  const box = document.createElement("div");
  box.id = "net";
  box.hidden = true;
  Object.assign(box.style, {
    position: "absolute", right: "10px", top: "10px", maxWidth: "50%", padding: "6px 8px", background: "#fffffff0",
    border: "1px solid #ccd", fontSize: "12px", whiteSpace: "pre-wrap",
  });
  const out = document.createElement("pre");
  out.id = "corvane-net";
  out.hidden = true;
  $("stage").append(box);
  document.body.append(out);

  function tell(figures, text) {
    out.textContent = JSON.stringify(figures);
    box.textContent = text || "";
    box.hidden = !text;
    document.dispatchEvent(new CustomEvent("corvane-net", { detail: figures }));
  }

  function compile() {
    if (programs) return programs;
    const made = { net: program(gl, NET_VERTEX, NET_FRAGMENT), veil: program(gl, VEIL_VERTEX, VEIL_FRAGMENT) };
    const net = checkProgram(gl, made.net), veil = checkProgram(gl, made.veil);
    const at = (p, names) => Object.fromEntries(names.map((n) => [n, gl.getUniformLocation(p, n)]));
    programs = { net, veil, u: at(net, ["uViewProj", "uZ", "uColor", "uEye", "uClip"]), uv: at(veil, ["uVeil"]) };
    emptyVao = gl.createVertexArray();
    return programs;
  }

  function release(current) {
    if (!current) return;
    for (const layer of current.layers) {
      gl.deleteVertexArray(layer.vao);
      for (const buffer of layer.buffers) gl.deleteBuffer(buffer);
    }
  }

  // The net's layers triangulated and uploaded, with the bounds of what is drawn.
  async function upload(net) {
    const layers = [];
    const lo = [Infinity, Infinity], hi = [-Infinity, -Infinity];
    let shapes = 0;
    for (const layer of net.layers || []) {
      if (!layer.drawn) continue;
      const [coords] = await decodeRecords([layer.points], "net points of " + layer.name, async () => {});
      const sizes = decodeInts(layer.sizes, "net point counts of " + layer.name);
      const offsets = new Int32Array(sizes.length + 1);
      for (let k = 0; k < sizes.length; k++) offsets[k + 1] = offsets[k] + 2 * sizes[k];
      if (offsets[sizes.length] !== coords.length) throw new Error("net points of " + layer.name + " do not match their counts");
      for (let k = 0; k < coords.length; k += 2) {
        lo[0] = Math.min(lo[0], coords[k]); hi[0] = Math.max(hi[0], coords[k]);
        lo[1] = Math.min(lo[1], coords[k + 1]); hi[1] = Math.max(hi[1], coords[k + 1]);
      }
      shapes += sizes.length;
      const geometry = await buildPool(coords, offsets, sizes.length, false, async () => {});
      const vao = gl.createVertexArray();
      gl.bindVertexArray(vao);
      const vertices = gl.createBuffer();
      gl.bindBuffer(gl.ARRAY_BUFFER, vertices);
      gl.bufferData(gl.ARRAY_BUFFER, geometry.vertices, gl.STATIC_DRAW);
      gl.enableVertexAttribArray(0);
      gl.vertexAttribPointer(0, 4, gl.FLOAT, false, 16, 0);
      const indices = gl.createBuffer();
      gl.bindBuffer(gl.ELEMENT_ARRAY_BUFFER, indices);
      gl.bufferData(gl.ELEMENT_ARRAY_BUFFER, geometry.indices, gl.STATIC_DRAW);
      gl.bindVertexArray(null);
      layers.push({
        name: layer.name, shapes: sizes.length, zmin: Number(layer.zmin) || 0, height: Number(layer.height) || 0,
        color: parseColor(layer.color, "#e8b024"), vao, buffers: [vertices, indices], count: geometry.indices.length,
      });
    }
    return { layers, shapes, bbox: shapes ? [lo[0], lo[1], hi[0], hi[1]] : null };
  }

  function describe(net) {
    const name = net.name ? "net " + net.name : "net (no label names it)";
    const count = net.shapes.toLocaleString("en-US") + " shape" + (net.shapes === 1 ? "" : "s");
    const warn = net.incomplete ? "\nincomplete: KLayout stopped before the whole net was traced" : "";
    return name + "\n" + count + ", traced in " + Math.round(net.traceMs) + " ms" + warn;
  }

  async function trace(found) {
    const at = { x: found.x, y: found.y, layer: found.layer, cell: found.path[0] || "", near: 2 * found.precision };
    const ticket = { at };
    nets.pending = ticket;
    tell({ state: "tracing", at }, "tracing the net\u2026");
    const started = performance.now();
    let figures, text;
    try {
      const query = new URLSearchParams({ v: String(config.version), x: String(at.x), y: String(at.y), layer: at.layer, cell: at.cell, near: String(at.near) });
      const response = await fetch(config.net + "?" + query, { cache: "no-store" });
      const net = await response.json();
      if (nets.pending !== ticket) return;
      if (!response.ok) throw new Error(net && net.error ? net.error : "the server answered " + response.status);
      const drawn = await upload(net);
      if (nets.pending !== ticket) { release(drawn); return; }
      release(nets.current);
      nets.current = Object.assign(drawn, { at, net });
      figures = {
        state: "ready", at, name: net.name, incomplete: net.incomplete, shapes: drawn.shapes, bbox: drawn.bbox,
        layers: drawn.layers.map((l) => ({ name: l.name, shapes: l.shapes })), elements: net.elements, texts: net.texts,
        traceMs: net.traceMs, roundTripMs: Math.round(performance.now() - started),
      };
      text = describe(net);
    } catch (err) {
      if (nets.pending !== ticket) return;
      figures = { state: "error", at, error: err && err.message ? err.message : String(err) };
      text = "no net: " + figures.error;
    }
    nets.pending = null;
    hooks.changed();
    tell(figures, text);
  }

  nets.clear = () => {
    nets.pending = null;
    if (!nets.current && box.hidden) return;
    release(nets.current);
    nets.current = null;
    hooks.changed();
    tell({ state: "none" }, "");
  };

  // A pinned shape traces its net; letting go of the pin clears it.
  nets.picked = (found, pinned) => {
    if (pinned && found) {
      if (config.nets !== true) {
        tell({ state: "error", error: String(config.nets) }, "no net: " + config.nets);
        return;
      }
      trace(found);
    } else if (!pinned) {
      nets.clear();
    }
  };

  // Over the picture just drawn: the veil, then the net with a depth of its own.
  nets.draw = () => {
    const current = nets.current;
    if (!current || !current.layers.length) return;
    const { net, veil, u, uv } = compile();
    gl.disable(gl.DEPTH_TEST);
    gl.disable(gl.CULL_FACE); // whichever way the last part's faces turned
    gl.enable(gl.BLEND);
    gl.blendFunc(gl.SRC_ALPHA, gl.ONE_MINUS_SRC_ALPHA);
    gl.useProgram(veil);
    gl.uniform4fv(uv.uVeil, NET_VEIL);
    gl.bindVertexArray(emptyVao);
    gl.drawArrays(gl.TRIANGLES, 0, 3);
    gl.disable(gl.BLEND);
    gl.enable(gl.DEPTH_TEST);
    gl.clear(gl.DEPTH_BUFFER_BIT);
    gl.useProgram(net);
    gl.uniformMatrix4fv(u.uViewProj, false, view.viewProjection());
    gl.uniform3fv(u.uEye, view.frame.basis.d);
    gl.uniform4fv(u.uClip, renderer.clipPlane());
    // With a cut, the back faces seen through it are the cut faces.
    if (renderer.clip.axis) gl.disable(gl.CULL_FACE);
    else { gl.enable(gl.CULL_FACE); gl.cullFace(gl.BACK); }
    gl.frontFace(gl.CCW);
    const zScale = view.zScale;
    for (const layer of current.layers) {
      gl.uniform2f(u.uZ, zScale * layer.zmin, zScale * layer.height);
      gl.uniform3fv(u.uColor, layer.color);
      gl.bindVertexArray(layer.vao);
      gl.drawElements(gl.TRIANGLES, layer.count, gl.UNSIGNED_INT, 0);
    }
    gl.bindVertexArray(null);
    gl.enable(gl.CULL_FACE);
  };

  // Ends this layout's nets (a live viewer's next version makes its own).
  nets.dispose = () => {
    nets.pending = null;
    release(nets.current);
    nets.current = null;
    if (programs) {
      gl.deleteProgram(programs.net);
      gl.deleteProgram(programs.veil);
      gl.deleteVertexArray(emptyVao);
    }
    box.remove();
    out.remove();
  };

  tell({ state: "none" }, "");
  return nets;
}
