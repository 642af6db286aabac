"""The live viewer in headless Chromium: a save updates the picture and keeps the view, a
broken save keeps the picture and says why, a click on a wire highlights its net."""

from __future__ import annotations

import json

import klayout.db as kdb
import matplotlib.image
import numpy as np
import pytest

from corvane.serve import ConversionOptions, LiveServer
from corvane.viewer import headless
from corvane.viewer.devtools import Browser

from .conftest import VGA, shared, two_metal_layout, um, write_layout

pytestmark = pytest.mark.skipif(
    headless.find_chromium() is None, reason="chromium not installed (scripts/setup.sh installs it)"
)
SIZE = (1000, 700)
# The viewer shown by the shell, and its document.
VIEWER = "corvaneLive.viewer"
DOC = "corvaneLive.shown.frame.contentDocument"


@pytest.fixture(scope="module")
def browser():
    with Browser(timeout=300) as b:
        yield b


@pytest.fixture
def live(browser, tmp_path, stack_file):
    """A server for a two-metal layout and a tab on its address: (server, path, tab)."""
    path = write_layout(two_metal_layout(), tmp_path / "chip.gds")
    server = LiveServer(path, ConversionOptions(stack=str(stack_file)), say=lambda text: None)
    server.start()
    tab = browser.open(server.url + "#sync&view=top", SIZE)
    try:
        shown(tab, 1)
        yield server, path, tab
    finally:
        tab.close()
        server.stop()


def shown(tab, version):
    tab.wait_for(f"corvaneLive.shown && corvaneLive.shown.version === {version} && !corvaneLive.loading", 300)


def stats(tab):
    return json.loads(tab.evaluate(f"{DOC}.getElementById('corvane-stats').textContent"))


def net_figures(tab):
    return tab.wait_for(
        f"(() => {{ const t = {DOC}.getElementById('corvane-net').textContent; const j = t ? JSON.parse(t) : null;"
        " return j && (j.state === 'ready' || j.state === 'error' || j.state === 'none') ? j : null; })()",
        300,
    )


def click_at(tab, x, y, z):
    """A mouse click where the layout point (x, y, z) um is on the screen."""
    tab.evaluate(f"{VIEWER}.draw(), 1")
    cx, cy = tab.evaluate(
        f"(() => {{ const r = {DOC}.getElementById('view').getBoundingClientRect();"
        f" const [x, y] = {VIEWER}.toScreen([{x}, {y}, {z}]); return [r.left + x, r.top + y]; }})()"
    )
    tab.click(cx, cy)


def image(tab, path):
    return np.rint(matplotlib.image.imread(tab.screenshot(path))[..., :3] * 255).astype(int)


# The tree's check box of the layer met2.
MET2_BOX = """const metTwoBox = (d) => [...d.querySelectorAll("#tree .row")]
  .find((row) => row.querySelector(".label").textContent.startsWith("met2")).querySelector("input[type=checkbox]");"""

CHANGE_VIEW = "(() => {" + MET2_BOX + f"""return (() => {{
  const v = {VIEWER};
  v.setZScale(2.5);
  Object.assign(v.camera, {{ azimuth: v.camera.azimuth + 0.4, elevation: 1.1, half: v.camera.half * 0.8 }});
  v.camera.target[0] += 4;
  v.setOpacity("met2", 0.35);
  v.setSolo("met1", true);
  v.setClip("x", 0.9, false);
  metTwoBox({DOC}).click();  // hides met2 in the tree
  v.draw();
  return 1;
}})(); }})()"""

READ_VIEW = "(() => {" + MET2_BOX + f"""return (() => {{
  const v = {VIEWER};
  const d = {DOC};
  return {{
    camera: v.camera, zScale: v.state().zScale,
    layers: v.layers.map((l) => [l.name, l.opacity, l.solo]),
    cut: [v.state().clip.axis, v.state().clip.flip, Math.round(v.state().clip.at * 1e4) / 1e4], hidden: v.state().hidden,
    met2Box: metTwoBox(d).checked,
    selection: v.selection ? [v.selection.layer, v.selection.path] : null,
  }};
}})(); }})()"""


def test_a_save_updates_the_picture_and_keeps_the_view(live, tmp_path):
    server, path, tab = live
    click_at(tab, 10, 11, 1.0)  # pins the lone met1 box
    tab.evaluate(CHANGE_VIEW)
    tab.wait_for(f"!!{VIEWER}.selection")
    before = tab.evaluate(READ_VIEW)
    drawn_before = stats(tab)
    assert before["selection"] == ["met1 (68, 20)", ["top"]] and before["met2Box"] is False
    write_layout(two_metal_layout(extra_boxes=3), path)
    shown(tab, 2)
    tab.wait_for(f"!!{VIEWER}.selection")  # picked again once the new picture is there
    after = tab.evaluate(READ_VIEW)
    assert after == before
    # The new picture: three more met2 boxes in the message and drawn.
    drawn_after = stats(tab)
    assert drawn_after["poolPolygons"] == drawn_before["poolPolygons"] + 3
    # The new page's first frame already had the layers as they were set.
    assert [[l["name"], l["opacity"], l["solo"]] for l in drawn_after["layers"]] == before["layers"]
    assert [l["parts"] for l in drawn_after["layers"]] == [l["parts"] for l in drawn_before["layers"]]
    swap = tab.evaluate("corvaneLive.swaps[corvaneLive.swaps.length - 1]")
    assert swap["version"] == 2


def test_a_broken_save_keeps_the_picture_and_shows_the_error(live, tmp_path):
    server, path, tab = live
    tab.evaluate("corvaneLive.shown.frame.dataset.first = 'yes', 1")
    shot = image(tab, tmp_path / "before.png")
    data = path.read_bytes()
    path.write_bytes(data[: len(data) // 3])
    tab.wait_for("document.body.dataset.error === 'file'", 300)
    said = tab.evaluate("document.querySelector('#live-status .text').textContent")
    assert said.startswith(f"chip.gds: {path}: cannot read the layout")
    assert said.endswith("Still showing version 1, the last that could be read.")
    assert tab.evaluate("!document.getElementById('live-status').hidden")
    assert tab.evaluate("corvaneLive.shown.version === 1 && corvaneLive.shown.frame.dataset.first === 'yes'")
    # The picture is the one before, below the error box.
    box = tab.evaluate("(() => { const r = document.getElementById('live-status').getBoundingClientRect(); return r.bottom; })()")
    after = image(tab, tmp_path / "after.png")
    assert np.array_equal(after[int(box) + 2 :], shot[int(box) + 2 :])
    # A good save brings the picture back and the error goes.
    write_layout(two_metal_layout(extra_boxes=1), path)
    shown(tab, 2)
    tab.wait_for("document.body.dataset.error === '' && document.getElementById('live-status').hidden", 60)


def test_a_click_on_a_wire_highlights_its_net_and_dims_the_rest(live, tmp_path):
    server, path, tab = live
    tab.evaluate(f"{VIEWER}.fit(true), {VIEWER}.draw(), 1")
    lone_before = image(tab, tmp_path / "plain.png")
    click_at(tab, 5, 1, 1.0)
    net = net_figures(tab)
    assert (net["state"], net["name"], net["shapes"]) == ("ready", "net_a", 5)
    assert net["bbox"] == pytest.approx([0, 0, 60, 20], abs=1e-4)
    assert [layer["shapes"] for layer in net["layers"]] == [2, 2, 1]
    assert tab.evaluate(f"{DOC}.getElementById('net').textContent").startswith("net net_a\n5 shapes, traced in")
    # The lone box is not in the net: it is dimmed; the net's wire is not.
    tab.evaluate(f"{VIEWER}.draw(), 1")
    lit = image(tab, tmp_path / "net.png")
    at = lambda x, y: tuple(int(v) for v in tab.evaluate(f"(() => {{ const r = {DOC}.getElementById('view').getBoundingClientRect(); const [a, b] = {VIEWER}.toScreen([{x}, {y}, 1]); return [r.left + a, r.top + b]; }})()"))  # noqa: E731
    background = np.array([244, 245, 247])
    (lx, ly), (wx, wy) = at(10, 11), at(5, 1)
    assert np.abs(lit[ly, lx] - background).sum() < np.abs(lone_before[ly, lx] - background).sum() / 2
    assert np.abs(lit[wy, wx] - background).sum() > np.abs(lone_before[wy, wx] - background).sum() / 2
    # A click on empty space lets go of the net.
    click_at(tab, 40, 35, 0.0)
    assert net_figures(tab)["state"] == "none"


def vga_expected(point, pair):
    """What KLayout's tracer finds on tt_um_vga_clock through sky130's connections, spelled out
    here: source and drain as diff without poly (computed hierarchically), licon, mcon, the vias, the labels."""
    layout = kdb.Layout()
    layout.read(str(VGA))
    top = layout.top_cell()
    store = kdb.DeepShapeStore()
    region = lambda l, d: kdb.Region(top.begin_shapes_rec(layout.find_layer(l, d)), store)  # noqa: E731
    sd = layout.insert_layer(kdb.LayerInfo("source_drain"))
    (region(65, 20) - region(66, 20)).insert_into(layout, top.cell_index(), sd)
    tech = kdb.NetTracerConnectivity()
    tech.connection("source_drain", "66/44", "67/20")
    tech.connection("65/44", "66/44", "67/20")
    tech.connection("66/20", "66/44", "67/20")
    for below, via, above in [(67, 67, 68), (68, 68, 69), (69, 69, 70), (70, 70, 71), (71, 71, 72)]:
        tech.connection(f"{below}/20", f"{via}/44", f"{above}/20")
    for layer in (66, 67, 68, 69, 70, 71, 72):
        tech.connection(f"{layer}/20", f"{layer}/5")
    tracer = kdb.NetTracer()
    tracer.trace(tech, layout, top, kdb.Point(*um(*point)), layout.find_layer(*pair))
    boxes = [e.shape().polygon.transformed(e.trans()).bbox() for e in tracer.each_element() if not e.shape().is_text()]
    total = kdb.Box()
    for b in boxes:
        total += b
    return len(boxes), [v * layout.dbu for v in (total.left, total.bottom, total.right, total.top)], tracer.name()


@shared
@pytest.mark.chip
def test_a_click_on_a_met1_wire_of_a_chip_highlights_what_klayout_traces(browser, tmp_path):
    layout = kdb.Layout()
    layout.read(str(VGA))
    top = layout.top_cell()
    # A long met1 wire of the top cell, and a point on it.
    wires = [s.bbox() for s in top.shapes(layout.find_layer(68, 20)).each() if s.is_box()]
    wire = max((b for b in wires if min(b.width(), b.height()) >= 140), key=lambda b: max(b.width(), b.height()))
    x, y = wire.center().x * layout.dbu, wire.center().y * layout.dbu
    server = LiveServer(VGA, ConversionOptions(stack="sky130"), say=lambda text: None)
    server.start()
    tab = browser.open(server.url + "#sync&view=top&solo=met1", SIZE)
    try:
        shown(tab, 1)
        # Close enough that the wire is many pixels wide.
        tab.evaluate(f"(() => {{ const c = {VIEWER}.camera; c.target = [{x}, {y}, c.target[2]]; c.half = 3; return 1; }})()")
        click_at(tab, x, y, 1.3761 + 0.36)
        net = net_figures(tab)
    finally:
        tab.close()
        server.stop()
    shapes, bbox, name = vga_expected((x, y), (68, 20))
    assert net["state"] == "ready" and net["at"]["layer"] == "met1 (68, 20)"
    assert net["shapes"] == shapes
    assert net["bbox"] == pytest.approx(bbox, abs=1e-3)
    assert net["name"] == (name or None)


# Counts the WebGL buffers the page's context makes and frees from now on.
COUNT_BUFFERS = f"""(() => {{
  const gl = {DOC}.getElementById("view").getContext("webgl2");
  const w = corvaneLive.shown.frame.contentWindow;
  w.buffersMade = 0; w.buffersFreed = 0; w.firstContext = gl;
  const make = gl.createBuffer, free = gl.deleteBuffer;
  gl.createBuffer = function () {{ w.buffersMade++; return make.call(this); }};
  gl.deleteBuffer = function (b) {{ w.buffersFreed++; return free.call(this, b); }};
  return 1;
}})()"""

LABELS_OFF = f"({DOC}.getElementById('labels-on').click(), 1)"
NET_READY = f"(() => {{ const t = {DOC}.getElementById('corvane-net').textContent; return t && JSON.parse(t).state === 'ready'; }})()"


@pytest.mark.parametrize("saves", [1, 3])
def test_saves_in_a_row_swap_the_data_in_place_and_keep_the_view(live, tmp_path, saves):
    server, path, tab = live
    click_at(tab, 10, 11, 1.0)
    tab.evaluate(CHANGE_VIEW)
    tab.evaluate(LABELS_OFF)
    tab.wait_for(f"!!{VIEWER}.selection")
    # The first version's net is drawn before the counting starts (its
    # buffers would be counted as freed but not as made otherwise).
    tab.wait_for(NET_READY, 300)
    tab.evaluate("corvaneLive.shown.frame.dataset.first = 'yes', 1")
    tab.evaluate(COUNT_BUFFERS)
    before = tab.evaluate(READ_VIEW)
    polygons = stats(tab)["poolPolygons"]
    for k in range(1, saves + 1):
        write_layout(two_metal_layout(extra_boxes=k), path)
        shown(tab, k + 1)
        tab.wait_for(f"!!{VIEWER}.selection")
        assert tab.evaluate(READ_VIEW) == before
        assert stats(tab)["poolPolygons"] == polygons + k
    # One frame, the first, with its one WebGL context; every swap in place.
    assert tab.evaluate("document.querySelectorAll('#frames iframe').length") == 1
    assert tab.evaluate("corvaneLive.shown.frame.dataset.first") == "yes"
    assert tab.evaluate(
        f"(() => {{ const gl = {DOC}.getElementById('view').getContext('webgl2');"
        " return gl === corvaneLive.shown.frame.contentWindow.firstContext && !gl.isContextLost(); })()"
    )
    swaps = tab.evaluate("corvaneLive.swaps")
    assert [(s["version"], s.get("inPlace")) for s in swaps[-saves:]] == [(k + 2, True) for k in range(saves)]
    # The labels stayed off; one net box and one net figure element, not one per version.
    assert tab.evaluate(f"{VIEWER}.labels.on === false && !{DOC}.getElementById('labels-on').checked")
    assert tab.evaluate(f"[{DOC}.querySelectorAll('#net').length, {DOC}.querySelectorAll('#corvane-net').length]") == [1, 1]
    # The net of the kept selection is traced again, against the version shown.
    tab.wait_for(NET_READY, 300)
    # Each version freed the buffers of the one before (its picture and its net): as many freed as made.
    made, freed = tab.evaluate("(() => { const w = corvaneLive.shown.frame.contentWindow; return [w.buffersMade, w.buffersFreed]; })()")
    assert made > 0 and made == freed
    assert tab.evaluate(f"JSON.parse({DOC}.getElementById('corvane-live').textContent).version") == saves + 1


@pytest.mark.parametrize("in_place", [True, False], ids=["in place", "new frame"])
def test_the_new_geometry_is_drawn_and_picked(live, tmp_path, in_place):
    server, path, tab = live
    if not in_place:  # a viewer that cannot take the version: the shell loads it in a frame of its own
        tab.evaluate(f"{VIEWER}.update = () => Promise.reject(new Error('refused')), 1")
    tab.evaluate("corvaneLive.shown.frame.dataset.first = 'yes', 1")
    write_layout(two_metal_layout(extra_boxes=2), path)
    shown(tab, 2)
    assert tab.evaluate("corvaneLive.shown.frame.dataset.first === 'yes'") is in_place
    assert tab.evaluate("document.querySelectorAll('#frames iframe').length") == 1
    assert tab.evaluate("corvaneLive.swaps[corvaneLive.swaps.length - 1].inPlace === true") is in_place
    tab.evaluate(f"{VIEWER}.fit(true), {VIEWER}.draw(), 1")
    found = tab.evaluate(
        f"(() => {{ const [x, y] = {VIEWER}.toScreen([14, 64, 0]); const f = {VIEWER}.pick(x, y); return f && [f.layer, f.cell]; }})()"
    )
    assert found == ["met2 (69, 20)", "top"]
    assert stats(tab)["bounds"][1][1] == pytest.approx(68, abs=1e-6)
    # The version's texts join once they come: labelled and found.
    tab.wait_for(f"JSON.parse({DOC}.getElementById('corvane-stats').textContent).labels.texts === 1", 60)
    assert tab.evaluate(f"{VIEWER}.find('net_a').map((m) => [m.kind, m.name])") == [["label", "net_a"]]
    assert tab.evaluate(f"{DOC}.getElementById('labels-count').textContent") == "(1)"


def test_a_version_gone_before_the_page_asks_is_reported_and_the_picture_stays(live, tmp_path):
    server, path, tab = live
    # The message of version 2 refused as gone: the update fails before the old layout goes.
    tab.evaluate(
        f"(() => {{ const v = {VIEWER}, update = v.update;"
        " v.update = (source) => update(Object.assign({}, source, { message: source.message.replace(/message\\/\\d+$/, 'message/99') }));"
        " return 1; })()"
    )
    tab.evaluate("corvaneLive.shown.frame.dataset.first = 'yes', 1")
    write_layout(two_metal_layout(extra_boxes=1), path)
    shown(tab, 2)  # the new frame the shell falls back to
    assert tab.evaluate("corvaneLive.shown.frame.dataset.first") is None
    assert stats(tab)["poolPolygons"] > 0
