// Mouse, touch and keys on the view: drag orbits, right or shift drag pans,
// the wheel zooms about the pointer; hover shows what is under the pointer,
// a click pins it (a click on empty space or Esc lets go); r and t fit the
// view, obliquely or from above.

// Binds the input to `view` on `canvas`.  hooks: changed() after the camera
// moved, pickAt(x, y) what is under a canvas point (CSS pixels) or null,
// showPick(found) to show (and highlight) it or nothing, fit(top), resized()
// after the window changed size.  Returns the state: pinned while a shape
// stays shown whatever the pointer does.
function bindInput(canvas, view, hooks) {
  const state = { pinned: false };
  let drag = null;
  let hover = null;
  const local = (ev) => {
    const rect = canvas.getBoundingClientRect();
    return [ev.clientX - rect.left, ev.clientY - rect.top];
  };
  listen(canvas, "contextmenu", (ev) => ev.preventDefault());
  listen(canvas, "pointerdown", (ev) => {
    drag = { x: ev.clientX, y: ev.clientY, x0: ev.clientX, y0: ev.clientY, pan: ev.button !== 0 || ev.shiftKey || ev.ctrlKey, moved: false };
    try {
      canvas.setPointerCapture(ev.pointerId); // keep the drag when the pointer leaves the canvas
    } catch (_) {
      // not an active pointer (a synthetic event): the drag works without capture
    }
  });
  listen(canvas, "pointerup", (ev) => {
    if (drag && !drag.moved && ev.button === 0) {
      // A click: pin what is under the pointer, or let go of the pin.
      // (In ruler mode the click is a point of the ruler.)
      if (!(hooks.clickAt && hooks.clickAt(...local(ev)))) {
        const found = hooks.pickAt(...local(ev));
        state.pinned = !!found;
        hooks.showPick(found);
      }
    }
    drag = null;
  });
  listen(canvas, "pointercancel", () => { drag = null; });
  listen(canvas, "pointermove", (ev) => {
    if (!drag) {
      if (state.pinned) return;
      const at = local(ev);
      if (hover === null) {
        // A click in the meantime pins a shape: the hover then has nothing to show.
        hover = setTimeout(() => { hover = null; if (!state.pinned) hooks.showPick(hooks.pickAt(...at)); }, 40);
      }
      return;
    }
    const dx = ev.clientX - drag.x, dy = ev.clientY - drag.y;
    if (!drag.moved && Math.hypot(ev.clientX - drag.x0, ev.clientY - drag.y0) < 3) return;
    drag.moved = true;
    drag.x = ev.clientX; drag.y = ev.clientY;
    if (drag.pan) view.pan(dx, dy);
    else view.orbit(dx, dy);
    hooks.changed();
  });
  listen(canvas, "pointerleave", () => { if (!state.pinned && !drag) hooks.showPick(null); });
  listen(canvas, "wheel", (ev) => {
    ev.preventDefault();
    const factor = Math.exp(Math.max(-1, Math.min(1, ev.deltaY * 0.0015)));
    // Zoom about the point under the cursor.
    const rect = canvas.getBoundingClientRect();
    const nx = ((ev.clientX - rect.left) / rect.width) * 2 - 1;
    const ny = 1 - ((ev.clientY - rect.top) / rect.height) * 2;
    view.zoomAbout(factor, nx, ny);
    hooks.changed();
  }, { passive: false });

  listen(window, "keydown", (ev) => {
    if (ev.target instanceof HTMLInputElement && ev.target.type !== "checkbox") return;
    if (ev.key === "r") hooks.fit(false);
    else if (ev.key === "t") hooks.fit(true);
    else if (ev.key === "m" && hooks.ruler) hooks.ruler();
    else if (ev.key === "Escape") { state.pinned = false; hooks.showPick(null); if (hooks.escape) hooks.escape(); }
  });
  listen(window, "resize", () => { if (view.resize()) hooks.resized(); });
  return state;
}
