"""What a user does with the viewer page, in headless Chromium: picking,
cross-sections, layer opacity and solo, the scale bar, merged layer nodes,
the progress of a large load, and a full chip of 800k shapes."""

from __future__ import annotations

import json
from pathlib import Path

import klayout.db as kdb
import matplotlib.image
import numpy as np
import pytest

from corvane.core import lumino
from corvane.viewer import headless

from .test_browser import DATA, PANEL, SIZE, floats, leaves, message_text, page_for, painted

pytestmark = pytest.mark.skipif(
    headless.find_chromium() is None, reason="chromium not installed (scripts/setup.sh installs it)"
)

BLUE, RED = (0x33, 0x66, 0xCC), (0xCC, 0x33, 0x33)
LAYERS = [("L1", 1, 0.0, 1.0, "#3366cc"), ("L2", 2, 1.0, 0.5, "#cc3333")]


def write_stack(tmp_path, layers=LAYERS) -> Path:
    entries = [
        {"name": name, "layer": layer, "datatype": 0, "zmin": zmin, "thickness": thickness, "color": color}
        for name, layer, zmin, thickness, color in layers
    ]
    path = tmp_path / "stack.json"
    path.write_text(json.dumps({"name": "two", "layers": entries}))
    return path


def hierarchy(tmp_path) -> Path:
    """Cell A (a 40 x 20 um box on L1) holds cell B (a 10 x 5 um box and a
    4 x 5 um one beside it on L2) at (20, 5); "top" places A as is, turned by
    90 degrees at (100, 0), mirrored at (0, 100) and turned by 30 degrees at
    (200, 0)."""
    layout = kdb.Layout()
    layout.dbu = 0.001
    l1, l2 = layout.layer(1, 0), layout.layer(2, 0)
    b = layout.create_cell("B")
    b.shapes(l2).insert(kdb.Box(0, 0, 10000, 5000))
    b.shapes(l2).insert(kdb.Box(12000, 0, 16000, 5000))
    a = layout.create_cell("A")
    a.shapes(l1).insert(kdb.Box(0, 0, 40000, 20000))
    a.insert(kdb.CellInstArray(b.cell_index(), kdb.Trans(20000, 5000)))
    top = layout.create_cell("top")
    for trans in (kdb.ICplxTrans(), kdb.ICplxTrans(1, 90, False, 100000, 0),
                  kdb.ICplxTrans(1, 0, True, 0, 100000), kdb.ICplxTrans(1, 30, False, 200000, 0)):
        top.insert(kdb.CellInstArray(a.cell_index(), trans))
    path = tmp_path / "hierarchy.gds"
    layout.write(str(path))
    return path


def with_user_script(page: Path, script: str) -> Path:
    """The page with ``script`` run once the viewer has loaded; the script
    fills ``out``, which replaces the page's figures."""
    user = (
        '<script>\ndocument.addEventListener("corvane-ready", () => {\n'
        "  const v = window.corvaneViewer, out = {};\n" + script + "\n"
        '  document.getElementById("corvane-stats").textContent = JSON.stringify(out);\n});\n</script>\n'
    )
    page.write_text(page.read_text().replace("</body>", user + "</body>"))
    return page


def image_of(png) -> np.ndarray:
    return np.rint(matplotlib.image.imread(png)[..., :3] * 255).astype(int)


def placement_of(content: str, cell_id_end: str, local, world) -> int:
    """The number of the placement of a part (its id ending in ``cell_id_end``) that takes ``local`` to ``world``."""
    (part,) = [p for p in leaves(json.loads(content)["data"]) if p["id"].endswith(cell_id_end)]
    m = floats(part["shape"]["matrices"]).reshape(-1, 6).astype(float)
    image = np.stack([m[:, 0] * local[0] + m[:, 1] * local[1] + m[:, 2], m[:, 3] * local[0] + m[:, 4] * local[1] + m[:, 5]], 1)
    (found,) = np.nonzero(np.hypot(*(image - world).T) < 1e-3)[0]
    return int(found)


# --- picking ------------------------------------------------------------------

# A user clicks at the screen position of each point (x, y in um, seen from
# above) and reads what the page says is there.
PICK = """
const canvas = document.getElementById("view"), rect = canvas.getBoundingClientRect();
out.picks = [];
for (const [x, y] of POINTS) {
  const [cx, cy] = v.toScreen([x, y, 0]);
  const at = { clientX: rect.left + cx, clientY: rect.top + cy, button: 0, pointerId: 1, bubbles: true };
  canvas.dispatchEvent(new PointerEvent("pointerdown", at));
  canvas.dispatchEvent(new PointerEvent("pointerup", at));
  const text = document.getElementById("corvane-pick").textContent;
  out.picks.push(text ? JSON.parse(text) : null);
  out.shown = !document.getElementById("pick").hidden;
}
"""

# (x, y) seen from above -> layer, cell path, top face z, the cell-local point.
TARGETS = [
    ((92.5, 25.0), "L2 (2, 0)", ["top", "A", "B"], 1.5, (5.0, 2.5)),  # B in the turned A
    ((5.0, 95.0), "L1 (1, 0)", ["top", "A"], 1.0, (5.0, 5.0)),  # the mirrored A
    ((200 + 5 * np.cos(np.pi / 6) - 5 * np.sin(np.pi / 6), 5 * np.sin(np.pi / 6) + 5 * np.cos(np.pi / 6)),
     "L1 (1, 0)", ["top", "A"], 1.0, (5.0, 5.0)),  # the A turned by 30 degrees
]


@pytest.mark.parametrize("output", [lumino.Output.LAYER, lumino.Output.CELL])
def test_click_names_layer_cell_path_and_coordinates(tmp_path, output):
    content = message_text(hierarchy(tmp_path), write_stack(tmp_path), output, curve_tolerance=None)
    points = [list(t[0]) for t in TARGETS] + [[60.0, 60.0]]
    page = with_user_script(page_for(tmp_path, content), f"const POINTS = {json.dumps(points)};" + PICK)
    got = headless.page_stats(page, size=SIZE, fragment="view=top")
    *picks, nothing = got["picks"]
    assert nothing is None and got["shown"] is False  # a click on empty space lets go
    for pick, ((x, y), layer, path, z, local) in zip(picks, TARGETS):
        assert (pick["layer"], pick["path"], pick["cell"]) == (layer, path, path[-1])
        # Within a pixel (precision is half a pixel) of the point clicked.
        assert abs(pick["x"] - x) <= 2 * pick["precision"] and abs(pick["y"] - y) <= 2 * pick["precision"]
        assert pick["z"] == pytest.approx(z, abs=1e-3)
        cell = "/".join(path[1:]) + ("/components" if output is lumino.Output.LAYER else "/" + layer)
        assert pick["id"].endswith(cell)
        # The placement named is the one that takes the cell-local point there.
        assert pick["placement"] == placement_of(content, cell, local, np.array([x, y]))


def test_picked_shape_is_highlighted(tmp_path):
    content = message_text(hierarchy(tmp_path), write_stack(tmp_path), curve_tolerance=None)
    page = with_user_script(page_for(tmp_path, content), "const POINTS = [[92.5, 25.0]];" + PICK + "v.draw();")
    image = image_of(headless.screenshot(page, tmp_path / "shot.png", size=SIZE, fragment="view=top"))
    highlight = headless.page_stats(page_for(tmp_path, content), size=SIZE)["highlight"]
    red = np.array(RED) / 255
    hot = np.rint(255 * (0.2 * red + 0.8 * np.array(highlight)))
    light = np.rint(255 * (0.55 * red + 0.45))
    # Where layout points are: the drawing spans the layout's extent.
    drawn = painted(image, BLUE) | painted(image, RED) | painted(image, hot) | painted(image, light)
    rows, cols = np.nonzero(drawn)
    (x0, y0, _), (x1, y1, _) = headless.page_stats(page_for(tmp_path, content), size=SIZE)["bounds"]

    def colour_at(x, y):
        row = rows.min() + (y1 - y) / (y1 - y0) * (rows.max() - rows.min())
        col = cols.min() + (x - x0) / (x1 - x0) * (cols.max() - cols.min())
        return tuple(image[round(row), round(col)])

    # The picked shape in yellow, the other shape of its cell placement
    # lighter, the same shape at another placement and the cell around it in
    # their own colours.
    assert [colour_at(x, y) for x, y in [(92.5, 25.0), (92.5, 34.0), (25.0, 7.5), (85.0, 10.0)]] == [
        pytest.approx(tuple(hot), abs=2), pytest.approx(tuple(light), abs=2), pytest.approx(RED, abs=1), pytest.approx(BLUE, abs=1)]


# --- cross-section, solo, opacity, scale bar -----------------------------------


def box_layout(tmp_path) -> Path:
    """A 100 x 20 um box on L1 with a 60 x 10 um box on L2 above its middle."""
    layout = kdb.Layout()
    layout.dbu = 0.001
    top = layout.create_cell("top")
    top.shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 100000, 20000))
    top.shapes(layout.layer(2, 0)).insert(kdb.Box(20000, 5000, 80000, 15000))
    path = tmp_path / "boxes.gds"
    layout.write(str(path))
    return path


def columns(mask):
    cols = np.nonzero(mask.any(axis=0))[0]
    return cols.min(), cols.max()


@pytest.fixture
def boxes(tmp_path):
    return page_for(tmp_path, message_text(box_layout(tmp_path), write_stack(tmp_path), curve_tolerance=None))


def shot(tmp_path, page, fragment):
    return image_of(headless.screenshot(page, tmp_path / "shot.png", size=SIZE, fragment=fragment))


@pytest.mark.parametrize(
    "clip, kept",
    [("x:0.5", (0, 50)), ("x:0.25:flip", (25, 100)), ("y:0.5", (0, 100))],
)
def test_cross_section_cuts_the_drawing(tmp_path, boxes, clip, kept):
    image = shot(tmp_path, boxes, "view=top")
    whole = painted(image, BLUE) | painted(image, RED)
    left, right = columns(whole)  # x from 0 to 100 um
    image = shot(tmp_path, boxes, "view=top&clip=" + clip)
    cut = painted(image, BLUE) | painted(image, RED)
    got = [(c - left) / (right - left) * 100 for c in columns(cut)]
    assert got == pytest.approx(kept, abs=1.5)
    if clip.startswith("y"):  # the upper half is gone
        rows = np.nonzero(cut.any(axis=1))[0]
        assert rows.max() - rows.min() == pytest.approx((np.ptp(np.nonzero(whole.any(axis=1))[0])) / 2, abs=3)


@pytest.mark.parametrize("fragment, faces", [("", False), ("clip=y:0.5", True), ("clip=x:0.5", True), ("clip=y:0.5:flip", False)])
def test_cut_faces_are_marked_and_face_the_camera(tmp_path, boxes, fragment, faces):
    # Seen from the oblique default view (from -y and +x), a cut from the
    # address keeps the far side, so its hatched cut faces show; "flip"
    # keeps the near side, whose cut faces turn away.
    stripes = [tuple(round(c * f) for c in BLUE) for f in (0.42, 0.78)]
    image = shot(tmp_path, boxes, fragment)
    hatch = sum(int(np.all(np.abs(image - s) <= 1, axis=-1)[:, PANEL:].sum()) for s in stripes)
    assert (hatch > 200) is faces, hatch


@pytest.mark.parametrize("fragment, axis, at", [("clip=x:0.25", "x", 25.0), ("clip=y:0.5:flip", "y", 10.0)])
def test_cut_position_is_shown_in_micrometres(tmp_path, boxes, fragment, axis, at):
    page = with_user_script(boxes, 'out.text = document.getElementById("clip-at").textContent;')
    assert headless.page_stats(page, size=SIZE, fragment=fragment)["text"] == f"{axis} = {at:.3f} \u00b5m"


def test_solo_and_opacity(tmp_path, boxes):
    stats = headless.page_stats(boxes, size=SIZE, fragment="view=top&solo=L2&opacity=L1:0.3")
    assert [(l["name"], l["solo"], l["opacity"], l["shown"]) for l in stats["layers"]] == [
        ("L1 (1, 0)", False, 0.3, False), ("L2 (2, 0)", True, 1, True)]
    assert stats["instancesDrawn"] == 1
    image = shot(tmp_path, boxes, "view=top&solo=L2")
    assert not painted(image, BLUE).any() and painted(image, RED).any()
    # Half-transparent L2 over L1: its colour mixed with the blue below.
    image = shot(tmp_path, boxes, "view=top&opacity=L2:0.5")
    mixed = tuple((np.array(RED) + np.array(BLUE)) / 2)
    assert np.all(np.abs(image - mixed) <= 2, axis=-1)[:, PANEL:].sum() > 1000
    assert not painted(image, RED).any()


def test_scale_bar_matches_the_drawing(tmp_path, boxes):
    stats = headless.page_stats(boxes, size=SIZE, fragment="view=top")
    left, right = columns(painted(shot(tmp_path, boxes, "view=top"), BLUE))
    pixels_per_um = (right - left + 1) / 100
    bar = stats["scaleBar"]
    assert bar["px"] / bar["um"] == pytest.approx(pixels_per_um, rel=0.02)
    assert str(bar["um"])[0] in "125" and 20 <= bar["px"] <= 170
    assert bar["text"] == f"{bar['um']:g} \u00b5m"


# --- the panel ---------------------------------------------------------------


def two_tops(tmp_path) -> Path:
    layout = kdb.Layout()
    layout.dbu = 0.001
    for k, name in enumerate(["left", "right"]):
        cell = layout.create_cell(name)
        cell.shapes(layout.layer(1, 0)).insert(kdb.Box(k * 50000, 0, k * 50000 + 20000, 20000))
    layout.create_cell("lone").shapes(layout.layer(2, 0)).insert(kdb.Box(0, 30000, 5000, 35000))
    path = tmp_path / "tops.gds"
    layout.write(str(path))
    return path


PANEL_ROWS = """
const labels = (ul) => [...ul.querySelectorAll(":scope > li")].map((li) => li.querySelector(".label").textContent);
const rows = [...document.querySelectorAll("#tree > ul > li")];
out.top = labels(document.querySelector("#tree > ul"));
rows[0].querySelector(".twist").click();
out.under = labels(rows[0].querySelector("ul"));
out.layers = [...document.querySelectorAll("#layers .layer")].map((r) => r.dataset.layer);
rows[0].querySelector("input").click();
out.drawn = v.draw().instancesDrawn;
"""


def test_layer_nodes_of_several_top_cells_are_one(tmp_path):
    content = message_text(two_tops(tmp_path), write_stack(tmp_path))
    nodes = json.loads(content)["data"]["parts"]
    names = list(dict.fromkeys(p["name"] for p in nodes))
    assert sorted(p["id"] for p in nodes) == ["/Layers/L1 (1, 0)"] * 2 + ["/Layers/L2 (2, 0)"]
    got = headless.page_stats(with_user_script(page_for(tmp_path, content), PANEL_ROWS), size=(800, 600))
    # One row per layer; the first layer's row holds the top cells of all its nodes.
    under = [p["parts"][0]["name"] for p in nodes if p["name"] == names[0]]
    hidden = sum(1 for p in nodes if p["name"] == names[0])
    # The layer list goes by z: L1 below L2, whatever the order of the tree.
    assert got == {"top": names, "under": under, "layers": ["L1 (1, 0)", "L2 (2, 0)"], "drawn": 3 - hidden}


# --- the page's script -------------------------------------------------------

# Names of the script files that must stay inside the page's one function.
INNER = ["start", "makeRenderer", "makePanel", "makeView", "bindInput", "buildTree", "triangulate", "B64", "options"]


def test_script_files_share_one_scope_and_leave_the_globals_alone(tmp_path):
    content = message_text(hierarchy(tmp_path), write_stack(tmp_path))
    script = f"for (const name of {json.dumps(INNER)}) out[name] = name in window;\nout.viewer = typeof v.pick;"
    got = headless.page_stats(with_user_script(page_for(tmp_path, content), script), size=SIZE)
    assert got == {**{name: False for name in INNER}, "viewer": "function"}


# --- loading ------------------------------------------------------------------

# Runs before the viewer: a task queued now runs while the viewer loads only
# if the viewer pauses (and so lets the browser paint its progress bar).
# Every text the progress indicator shows, as the page changes it: a
# mutation observer sees each change before the page yields, however the
# browser spaces its timers on a busy machine.
WATCH = """<script>
window.seen = [];
const note = () => {
  const p = document.getElementById("progress");
  const what = p && p.querySelector(".what");
  if (!what) return;
  const now = p.hidden ? "hidden" : what.textContent;
  if (window.seen[window.seen.length - 1] !== now) window.seen.push(now);
};
new MutationObserver(note).observe(document.documentElement,
  { subtree: true, childList: true, characterData: true, attributes: true });
document.addEventListener("corvane-ready", () => {
  note();
  document.getElementById("corvane-stats").textContent = JSON.stringify(window.seen);
});
</script>
"""


def test_progress_is_shown_while_loading(tmp_path):
    content = message_text(DATA / "gds" / "tt_um_loopback.gds", DATA / "sky130_like_stack.json")
    page = page_for(tmp_path, content)
    page.write_text(page.read_text().replace('<script type="application/json"', WATCH + '<script type="application/json"', 1))
    seen = headless.page_stats(page, size=(800, 600))
    assert any(s.startswith("Triangulating") for s in seen), seen
    assert seen.index(next(s for s in seen if s.startswith("Triangulating"))) < len(seen) - 1
    # Loaded: the indicator is gone.
    dom = headless.page_dom(page, size=(800, 600))
    assert '<div id="progress" hidden=""' in dom


def copies_side_by_side(path: Path, copies: int) -> int:
    """The Tiny Tapeout layouts side by side ``copies`` times, each copy with
    cells of its own; returns the number of shapes."""
    sources = []
    for gds in sorted((DATA / "gds").glob("tt_um_*.gds")):
        source = kdb.Layout()
        source.read(str(gds))
        sources.append(source)
    layout = kdb.Layout()
    top = layout.create_cell("TOP")
    for k in range(copies):
        for j, source in enumerate(sources):
            holder = layout.create_cell(f"COPY_{k}_{j}")
            holder.copy_tree(source.top_cells()[0])
            top.insert(kdb.CellInstArray(holder.cell_index(), kdb.Trans(k * 300_000, j * 300_000)))
    layout.write(str(path))
    return sum(c.shapes(li).size() for c in layout.each_cell() for li in layout.layer_indices())


@pytest.mark.chip
@pytest.mark.skipif(not (DATA / "gds").is_dir(), reason="example layouts (examples/gds) not present")
def test_full_chip_of_800k_shapes_loads_and_draws(tmp_path):
    gds = tmp_path / "chip.gds"
    assert copies_side_by_side(gds, 20) >= 800_000
    content = message_text(gds, DATA / "sky130_like_stack.json")
    data = json.loads(content)["data"]
    placements = sum(max(1, p["shape"]["matrices"]["shape"][0] // 6) for p in leaves(data))
    # Once drawn, a pick in the tenth copy of tt_um_vga_clock.
    script = """Object.assign(out, JSON.parse(document.getElementById("corvane-stats").textContent));
    const p = v.pick(...v.toScreen([9 * 300 + 80, 300 + 110, 0]));
    out.picked = p && p.path;"""
    page = with_user_script(page_for(tmp_path, content), script)
    del content, data
    stats = headless.page_stats(page, size=(1000, 700), timeout=900)
    assert "error" not in stats
    assert stats["instancesDrawn"] == stats["placements"] == placements
    assert stats["poolPolygons"] > 700_000
    assert stats["bounds"][1][0] > 19 * 300  # all twenty copies side by side
    assert stats["picked"][:2] == ["TOP", "COPY_9_1"]
