// The camera: an orthographic view orbiting a target, z up, with the z
// scale of the drawing; and the matrices it is made of.

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

// The view of the scene box lo..hi (um) on the canvas.  view.camera holds
// what the user moves (azimuth, elevation, target, half height of the view
// in um), view.zScale the stretch of z, and view.frame the camera of the
// last view-projection (eye, basis, half extents, depth range).
function makeView(canvas, lo, hi, zScale) {
  const camera = { azimuth: 0, elevation: 0, target: [0, 0, 0], half: 1 };
  const view = { camera, zScale, frame: null };

  // Oblique (or, with top, from above) onto the whole scene.
  view.fit = (top) => {
    camera.azimuth = -Math.PI / 2 + (top ? 0 : Math.PI / 6);
    camera.elevation = top ? Math.PI / 2 : Math.PI / 5;
    view.refit();
  };

  // The whole scene (or the box a..b, um with z unscaled) in view from
  // where the camera looks now.
  view.refit = (a = lo, b = hi) => {
    const zs = view.zScale;
    camera.target = [(a[0] + b[0]) / 2, (a[1] + b[1]) / 2, zs * (a[2] + b[2]) / 2];
    const basis = viewBasis(camera.azimuth, camera.elevation);
    const aspect = canvas.width / Math.max(1, canvas.height);
    let ex = 0, ey = 0;
    for (const x of [a[0], b[0]]) for (const y of [a[1], b[1]]) for (const z of [a[2], b[2]]) {
      const p = [x - camera.target[0], y - camera.target[1], zs * z - camera.target[2]];
      ex = Math.max(ex, Math.abs(dot(p, basis.r)));
      ey = Math.max(ey, Math.abs(dot(p, basis.u)));
    }
    camera.half = Math.max(ey, ex / aspect, 1e-6) * 1.08;
  };

  const radius = () => {
    const dx = hi[0] - lo[0], dy = hi[1] - lo[1], dz = view.zScale * (hi[2] - lo[2]);
    return Math.max(Math.sqrt(dx * dx + dy * dy + dz * dz) / 2, 1e-3);
  };

  // The view-projection matrix of the camera now; sets view.frame.
  view.viewProjection = () => {
    const zs = view.zScale;
    const width = canvas.width, height = canvas.height;
    const aspect = width / Math.max(1, height);
    const basis = viewBasis(camera.azimuth, camera.elevation);
    // The eye sits outside the scene whatever the target: distance from
    // the target to the scene centre plus the scene radius.
    const centre = [(lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2, zs * (lo[2] + hi[2]) / 2];
    const gap = Math.hypot(centre[0] - camera.target[0], centre[1] - camera.target[1], centre[2] - camera.target[2]);
    const dist = 2 * radius() + gap;
    const eye = camera.target.map((t, k) => t + dist * basis.d[k]);
    const near = dist - radius() - gap, far = dist + radius() + gap;
    const frame = { basis, eye, halfWidth: camera.half * aspect, halfHeight: camera.half, near, far, zScale: zs };
    view.frame = frame;
    return multiply(orthoMatrix(frame.halfWidth, frame.halfHeight, near, far), viewMatrix(basis, eye));
  };

  // Where a layout point (um; z unscaled) is on the canvas, in CSS pixels.
  view.toScreen = (point) => {
    if (!view.frame) view.viewProjection();
    const frame = view.frame;
    const p = [point[0] - frame.eye[0], point[1] - frame.eye[1], view.zScale * (point[2] || 0) - frame.eye[2]];
    const sx = dot(p, frame.basis.r) / frame.halfWidth, sy = dot(p, frame.basis.u) / frame.halfHeight;
    return [((sx + 1) / 2) * canvas.clientWidth, ((1 - sy) / 2) * canvas.clientHeight];
  };

  view.setZScale = (value) => {
    const old = view.zScale;
    view.zScale = value;
    camera.target[2] *= value / old;
  };

  // Turns the view by a drag of dx, dy CSS pixels.
  view.orbit = (dx, dy) => {
    camera.azimuth -= dx * 0.008;
    camera.elevation = Math.max(-Math.PI / 2, Math.min(Math.PI / 2, camera.elevation + dy * 0.008));
  };

  // Moves the view with a drag of dx, dy CSS pixels.
  view.pan = (dx, dy) => {
    const basis = viewBasis(camera.azimuth, camera.elevation);
    const scale = (2 * camera.half) / Math.max(1, canvas.clientHeight);
    for (let k = 0; k < 3; k++) camera.target[k] += scale * (-dx * basis.r[k] + dy * basis.u[k]);
  };

  // Zooms by factor about the point nx, ny of the canvas (-1..1 each).
  view.zoomAbout = (factor, nx, ny) => {
    const rect = canvas.getBoundingClientRect();
    const basis = viewBasis(camera.azimuth, camera.elevation);
    const aspect = rect.width / Math.max(1, rect.height);
    const sx = nx * camera.half * aspect * (1 - factor), sy = ny * camera.half * (1 - factor);
    for (let k = 0; k < 3; k++) camera.target[k] += sx * basis.r[k] + sy * basis.u[k];
    camera.half *= factor;
  };

  // Sizes the canvas to its box in device pixels; true when that changed.
  view.resize = () => {
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
  };

  return view;
}
