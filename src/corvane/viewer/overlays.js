// What is drawn over the picture: the scale bar and the axes, redrawn with
// each frame, and the box that tells what is under the pointer.

// A length for the scale bar: 1, 2 or 5 times a power of ten, at most
// `most` micrometres; with its text.
function roundLength(most) {
  const power = Math.pow(10, Math.floor(Math.log10(most)));
  const um = [5, 2, 1].map((f) => f * power).find((v) => v <= most) || power;
  const text = um >= 1000 ? +(um / 1000).toPrecision(3) + " mm" : um >= 1 ? +um.toPrecision(3) + " \u00b5m" : +(um * 1000).toPrecision(3) + " nm";
  return { um, text };
}

// The overlays of `view` on `canvas`; with empty (nothing to draw) the scale
// bar stays hidden.
function makeOverlays(view, canvas, empty) {
  const scaleEl = $("scalebar");
  const axesCanvas = $("axes");
  const axes2d = axesCanvas.getContext("2d");
  const pickEl = $("pick");
  const pickOut = $("corvane-pick");
  const overlays = { scaleBar: null };

  // Draws the scale bar and the axes for the camera now.
  overlays.draw = () => {
    const camera = view.camera;
    // Micrometres per CSS pixel across the view (orthographic: the same everywhere).
    const perPixel = (2 * camera.half) / Math.max(1, canvas.clientHeight);
    const { um, text } = roundLength(perPixel * Math.min(160, canvas.clientWidth / 3));
    const scaleBar = { um, px: um / perPixel, text };
    overlays.scaleBar = scaleBar;
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
  };

  // Shows a pick result (or hides the box for null), also as JSON in the
  // element "corvane-pick".
  overlays.showPick = (found) => {
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
      line("cell", found.cell || "(top)");
      line("path", found.path.join(" / ") || "(top)");
      line("at", "x " + fmt(found.x) + "  y " + fmt(found.y) + "  z " + found.z.toFixed(3) + " \u00b5m");
      line("shape", "polygon " + found.polygon + ", placement " + (found.placement + 1) + " of " + found.placements);
      pickEl.lastChild.remove(); // the last line break
    } else {
      pickEl.hidden = true;
    }
    const { part, ...plain } = found || {};
    pickOut.textContent = found ? JSON.stringify(plain) : "";
  };

  return overlays;
}
