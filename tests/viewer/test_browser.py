"""The viewer page in headless Chromium: what it draws and what it reports."""

from __future__ import annotations

import base64
import json
from pathlib import Path

import klayout.db as kdb
import matplotlib.image
import numpy as np
import pytest
import velloc.pdk
import velloc.technology as vlt

from corvane import viewer
from corvane.core import communication, lumino, pdk
from corvane.viewer import headless

DATA = Path(__file__).resolve().parents[2] / "examples"
SIZE = (1000, 700)
PANEL = 290  # the canvas starts right of the parts panel

pytestmark = pytest.mark.skipif(
    headless.find_chromium() is None, reason="chromium not installed (scripts/setup.sh installs it)"
)


def message_text(gds, stack_file, output=lumino.Output.LAYER, **kwargs) -> str:
    """What lumino sends for ``gds`` with the layers of ``stack_file`` active."""
    stack, views = vlt.read_layer_technology(stack_file)
    got = []
    previous = communication.set_transport(lambda m: got.append(m.content))
    pdk.set_pdk(velloc.pdk.Pdk(name="test", layer_stack=stack, layer_views=views))
    try:
        lumino.lumino(str(gds), output, **kwargs)
    finally:
        pdk.reset()
        communication.set_transport(previous)
    return got[0]


def page_for(tmp_path, content: str) -> Path:
    message = tmp_path / "message.json"
    message.write_text(content)
    return viewer.write_page(message)


def floats(record) -> np.ndarray:
    return np.frombuffer(base64.b64decode(record["buffer"]), dtype="<f4")


def leaves(node):
    if "shape" in node:
        yield node
    for child in node.get("parts", []):
        yield from leaves(child)


def expected_figures(content: str) -> dict:
    """Placements, polygon instances and the drawn extent, read from the message itself."""
    data = json.loads(content)["data"]
    pool = [floats(r).reshape(-1, 2) for r in data.get("instances", [])]
    parts = list(leaves(data))
    placements = polygons = 0
    lo, hi = np.full(3, np.inf), np.full(3, -np.inf)
    for part in parts:
        m = floats(part["shape"]["matrices"]).reshape(-1, 6)
        if len(m) == 0:
            m = np.array([[1, 0, 0, 0, 1, 0]], dtype=np.float32)
        refs = part["shape"].get("refs", [])
        placements += len(m)
        polygons += len(m) * len(refs)
        if not refs:
            continue
        pts = np.concatenate([pool[r] for r in refs]).astype(np.float64)
        x = m[:, None, 0] * pts[:, 0] + m[:, None, 1] * pts[:, 1] + m[:, None, 2]
        y = m[:, None, 3] * pts[:, 0] + m[:, None, 4] * pts[:, 1] + m[:, None, 5]
        z = part["loc"][0][2]
        lo = np.minimum(lo, [x.min(), y.min(), min(z, z + part["shape"]["height"])])
        hi = np.maximum(hi, [x.max(), y.max(), max(z, z + part["shape"]["height"])])
    return {"parts": len(parts), "placements": placements, "polygons": polygons, "pool": len(pool), "bounds": [lo, hi]}


SHARED = [
    ("tt_um_vga_clock.gds", "sky130_like_stack.json", lumino.Output.LAYER),
    ("tt_um_vga_clock.gds", "sky130_like_stack.json", lumino.Output.CELL),
    ("tt_um_loopback.gds", "sky130_like_stack.json", lumino.Output.LAYER),
    ("MiniChip_1mm.gds", "photonics_stack.json", lumino.Output.CELL),
    ("RingResonator.gds", "photonics_stack.json", lumino.Output.LAYER),
    ("UBC_Logo.gds", "photonics_stack.json", lumino.Output.LAYER),
]


@pytest.mark.skipif(not (DATA / "gds").is_dir(), reason="example layouts (examples/gds) not present")
@pytest.mark.parametrize("gds, stack, output", SHARED, ids=[f"{g[:-4]}-{o.name.lower()}" for g, _, o in SHARED])
def test_shared_layout_draws_every_placement(tmp_path, gds, stack, output):
    content = message_text(DATA / "gds" / gds, DATA / stack, output)
    stats = headless.page_stats(page_for(tmp_path, content), size=SIZE, fragment="check=1")
    print(f"{gds} {output.name}: first frame after {stats['firstFrameMs']} ms, steps {stats['stepsMs']}")
    expected = expected_figures(content)
    assert "error" not in stats
    assert stats["instancesDrawn"] == stats["placements"] == expected["placements"]
    assert stats["polygonsDrawn"] == expected["polygons"]
    assert (stats["parts"], stats["drawCalls"] >= stats["parts"], stats["poolPolygons"]) == (
        expected["parts"], True, expected["pool"])
    assert stats["triangulationErrors"] == 0
    np.testing.assert_allclose(stats["bounds"], expected["bounds"], atol=1e-3)


# --- pixels -------------------------------------------------------------------


def layout_file(tmp_path, polygons, placements=(kdb.Trans(),)) -> Path:
    """A GDS file: cell "shape" holding ``polygons`` (um) on layer 1/0, placed in "top" by each placement."""
    layout = kdb.Layout()
    layout.dbu = 0.001
    layer = layout.layer(1, 0)
    shape = layout.create_cell("shape")
    for points in polygons:
        shape.shapes(layer).insert(kdb.DPolygon([kdb.DPoint(x, y) for x, y in points], True))
    top = layout.create_cell("top")
    for trans in placements:
        top.insert(kdb.CellInstArray(shape.cell_index(), trans))
    path = tmp_path / "layout.gds"
    layout.write(str(path))
    return path


def stack_file(tmp_path, color) -> Path:
    path = tmp_path / "stack.json"
    entry = {"name": "m1", "layer": 1, "datatype": 0, "zmin": 0.0, "thickness": 0.5, "color": color}
    path.write_text(json.dumps({"name": "one", "layers": [entry]}))
    return path


def screenshot(tmp_path, gds, stack) -> np.ndarray:
    page = page_for(tmp_path, message_text(gds, stack, curve_tolerance=None))
    png = headless.screenshot(page, tmp_path / "shot.png", size=SIZE, fragment="view=top")
    return np.rint(matplotlib.image.imread(png)[..., :3] * 255).astype(int)


def painted(image, rgb):
    """Mask of the canvas pixels of colour ``rgb`` (within one step per channel)."""
    mask = np.all(np.abs(image - np.array(rgb)) <= 1, axis=-1)
    mask[:, :PANEL] = False
    return mask


def box_of(mask):
    rows, cols = np.nonzero(mask)
    return rows.min(), rows.max(), cols.min(), cols.max()


@pytest.mark.parametrize("color, rgb", [("#3366cc", (0x33, 0x66, 0xCC)), ("orange", (255, 165, 0))])
def test_one_box_from_above_shows_its_colour(tmp_path, color, rgb):
    gds = layout_file(tmp_path, [[(0, 0), (20, 0), (20, 10), (0, 10)]])
    image = screenshot(tmp_path, gds, stack_file(tmp_path, color))
    mask = painted(image, rgb)
    top, bottom, left, right = box_of(mask)
    # The box fills its own outline, twice as wide as high, in the middle of the canvas.
    assert mask[top : bottom + 1, left : right + 1].mean() > 0.99
    assert (right - left + 1) / (bottom - top + 1) == pytest.approx(2.0, rel=0.02)
    canvas_middle = (PANEL + SIZE[0]) / 2
    assert abs((left + right) / 2 - canvas_middle) < 8
    assert mask.sum() > 0.3 * (SIZE[0] - PANEL) * SIZE[1] * 0.5  # fitted to the view, not a speck
    assert tuple(image[5, SIZE[0] - 5]) != rgb


def test_concave_outline_at_rotated_and_mirrored_placements(tmp_path):
    # A U (no fan from a corner fills it right) placed as is, turned by 90
    # degrees at (100, 0) and mirrored in x at (0, 100).
    u = [(0, 0), (30, 0), (30, 30), (20, 30), (20, 10), (10, 10), (10, 30), (0, 30)]
    placements = [kdb.Trans(), kdb.Trans(1, False, 100000, 0), kdb.Trans(0, True, 0, 100000)]
    gds = layout_file(tmp_path, [u], placements)
    image = screenshot(tmp_path, gds, stack_file(tmp_path, "#cc3333"))
    mask = painted(image, (0xCC, 0x33, 0x33))
    top, bottom, left, right = box_of(mask)

    # The drawn extent is the layout's, x and y from 0 to 100 um.
    def pixel(x, y):
        return round(top + (100 - y) / 100 * (bottom - top)), round(left + x / 100 * (right - left))

    inside = [(5, 20), (25, 20), (15, 5), (80, 5), (80, 25), (95, 15), (5, 80), (25, 80), (15, 95)]
    outside = [(15, 20), (15, 26), (80, 15), (74, 15), (15, 80), (15, 74), (50, 50), (80, 80)]
    assert [bool(mask[pixel(x, y)]) for x, y in inside] == [True] * len(inside)
    assert [bool(mask[pixel(x, y)]) for x, y in outside] == [False] * len(outside)


def test_near_faces_hide_what_is_inside_whatever_the_turn(tmp_path):
    # Four red blocks, each with a blue block inside it: a counter-clockwise
    # outline, a clockwise one, a mirrored placement and a negative height.
    # Seen from above only red shows: wrongly culled faces would let the
    # blue one through the top.
    def square(x0, size=30, clockwise=False):
        corners = [(x0, 0), (x0 + size, 0), (x0 + size, size), (x0, size)]
        return record(np.ravel(corners[::-1] if clockwise else corners))

    def block(refs, matrices=(), zmin=0.0, height=2.0, color="#dd0000"):
        node = dict(part(refs, matrices), color=color, loc=[[0, 0, zmin], [0, 0, 0, 1]])
        node["shape"]["height"] = height
        return node

    pool = [square(0), square(40, clockwise=True), square(120)] + [record(np.ravel(
        [(x, 10), (x + 10, 10), (x + 10, 20), (x, 20)])) for x in (10, 50, 90, 130)]
    data = {
        "name": "Cells",
        "parts": [block([0]), block([1]), block([0], [1, 0, 80, 0, -1, 30]), block([2], zmin=2.0, height=-2.0),
                  block([3, 4, 5, 6], zmin=0.5, height=0.5, color="#0000dd")],
        "instances": pool,
    }
    page = page_for(tmp_path, json.dumps({"type": "data", "data": data}))
    png = headless.screenshot(page, tmp_path / "shot.png", size=SIZE, fragment="view=top")
    image = np.rint(matplotlib.image.imread(png)[..., :3] * 255).astype(int)
    red, blue = painted(image, (0xDD, 0, 0)), painted(image, (0, 0, 0xDD))
    top, bottom, left, right = box_of(red)  # x from 0 to 150, y from 0 to 30
    assert not blue.any()
    centres = [(round((top + bottom) / 2), round(left + x / 150 * (right - left))) for x in (15, 55, 95, 135)]
    assert [bool(red[c]) for c in centres] == [True] * 4


# --- what the page says -------------------------------------------------------


def record(values) -> dict:
    data = np.asarray(values, dtype="<f4").tobytes()
    return {"shape": [len(values)], "dtype": "float32", "buffer": base64.b64encode(data).decode(), "codec": "b64"}


def part(refs, matrices=()):
    return {"name": "m1", "id": "/Cells/top/m1", "loc": [[0, 0, 0.0], [0, 0, 0, 1]],
            "shape": {"refs": refs, "height": 0.5, "matrices": record(matrices)}, "color": "#ff0000"}


BOX = record([0, 0, 1, 0, 1, 1, 0, 1])


@pytest.mark.parametrize(
    "data, error",
    [
        ({"name": "Cells", "id": "/Cells"}, None),
        ({"name": "Cells", "parts": [part([0])], "instances": [BOX]}, None),
        ({"name": "Cells", "parts": [part([0])], "instances": [dict(BOX, buffer="AAA*")]}, "invalid base64 text in buffer"),
        ({"name": "Cells", "parts": [part([0])], "instances": [dict(BOX, shape=[10])]}, "pool polygon 0: buffer length does not match its shape"),
        ({"name": "Cells", "parts": [part([1])], "instances": [BOX]}, "part /Cells/top/m1: no pool polygon 1"),
        ({"name": "Cells", "parts": [part([0], [1, 0, 0, 0, 1])], "instances": [BOX]}, "part /Cells/top/m1: matrices are not a multiple of 6 floats"),
        ({"name": "Cells", "parts": [part([0])], "instances": [dict(BOX, dtype="float64")]}, "pool polygon is not a base64 float32 buffer record"),
    ],
    ids=["empty", "one-box", "bad-base64", "short-buffer", "missing-polygon", "partial-matrix", "wrong-dtype"],
)
def test_page_reports_what_it_cannot_draw(tmp_path, data, error):
    stats = headless.page_stats(page_for(tmp_path, json.dumps({"type": "data", "data": data, "config": {}})), size=(400, 300))
    assert stats.get("error") == error
    if error is None:
        assert stats["instancesDrawn"] == len(data.get("parts", []))


AWKWARD = {
    "repeated points": [(0, 0), (0, 0), (10, 0), (10, 10), (10, 10), (0, 10), (0, 0)],
    "collinear points": [(0, 0), (5, 0), (10, 0), (10, 5), (10, 10), (5, 10), (0, 10), (0, 5)],
    "clockwise": [(0, 0), (0, 10), (10, 10), (10, 0)],
    "spike": [(0, 0), (10, 0), (10, 10), (15, 10), (10, 10), (0, 10)],
    "hole joined by a cut": [(0, 0), (30, 0), (30, 30), (0, 30), (0, 10), (10, 10), (10, 20), (20, 20), (20, 10), (10, 10), (0, 10)],
    "comb": [(0, 0), (100, 0)] + [p for k in range(50, 0, -1) for p in ((2 * k, 10), (2 * k, 3), (2 * k - 1, 3), (2 * k - 1, 10))],
    "spiral": [(np.cos(t) * r, np.sin(t) * r) for t, r in zip(np.linspace(0, 12, 300), np.linspace(10, 40, 300))]
    + [(np.cos(t) * r, np.sin(t) * r) for t, r in zip(np.linspace(12, 0, 300), np.linspace(43, 13, 300))],
}


def test_awkward_outlines_are_filled_exactly(tmp_path):
    pool = [record(np.ravel(points)) for points in AWKWARD.values()]
    data = {"name": "Cells", "parts": [part(list(range(len(pool))))], "instances": pool}
    stats = headless.page_stats(page_for(tmp_path, json.dumps({"type": "data", "data": data})), size=(400, 300), fragment="check=1")
    assert "error" not in stats
    # Every outline's triangles add up to its area (the page checks), and
    # each has its caps: at least two triangles per outline.
    assert stats["triangulationErrors"] == 0
    assert stats["poolTriangles"] >= 2 * len(pool)


# The user's side: a script run once the viewer has loaded, clicking and
# scrolling as a person would, then reading what the viewer draws.
USER = """<script>
document.addEventListener("corvane-ready", () => {
  const v = window.corvaneViewer, out = {};
  const rows = (li) => [...li.querySelectorAll(":scope > ul > li")];
  const box = (li) => li.querySelector(":scope > .row > input");
  const first = rows(document.getElementById("tree"))[0];
  out.all = v.draw().instancesDrawn;
  box(first).click();
  out.layerHidden = v.draw().instancesDrawn;
  out.childRowsBefore = rows(first).length;
  first.querySelector(".twist").click();
  out.childRows = rows(first).length;
  out.childChecked = box(rows(first)[0]).checked;
  box(first).click();
  out.restored = v.draw().instancesDrawn;
  box(rows(first)[0]).click();
  out.childHidden = v.draw().instancesDrawn;
  const slider = document.getElementById("zscale");
  slider.value = "1";
  slider.dispatchEvent(new Event("input"));
  out.zLabel = document.getElementById("zscale-value").textContent;
  const canvas = document.getElementById("view"), r = canvas.getBoundingClientRect();
  const at = { clientX: r.left + r.width / 2, clientY: r.top + r.height / 2, bubbles: true, cancelable: true };
  const half = v.camera.half;
  canvas.dispatchEvent(new WheelEvent("wheel", { ...at, deltaY: -300 }));
  out.zoomedIn = v.camera.half < half;
  const azimuth = v.camera.azimuth, target = [...v.camera.target];
  canvas.dispatchEvent(new PointerEvent("pointerdown", { ...at, button: 0, pointerId: 1, isPrimary: true }));
  canvas.dispatchEvent(new PointerEvent("pointermove", { ...at, clientX: at.clientX + 40, pointerId: 1 }));
  canvas.dispatchEvent(new PointerEvent("pointerup", { ...at, pointerId: 1 }));
  out.orbited = v.camera.azimuth !== azimuth && v.camera.target.join() === target.join();
  canvas.dispatchEvent(new PointerEvent("pointerdown", { ...at, button: 0, shiftKey: true, pointerId: 1, isPrimary: true }));
  canvas.dispatchEvent(new PointerEvent("pointermove", { ...at, clientX: at.clientX + 40, pointerId: 1 }));
  canvas.dispatchEvent(new PointerEvent("pointerup", { ...at, pointerId: 1 }));
  out.panned = v.camera.target.join() !== target.join();
  document.getElementById("corvane-stats").textContent = JSON.stringify(out);
});
</script>
"""


def placements(node) -> int:
    return sum(max(1, part["shape"]["matrices"]["shape"][0] // 6) for part in leaves(node))


@pytest.mark.skipif(not (DATA / "gds").is_dir(), reason="example layouts (examples/gds) not present")
def test_tree_toggles_and_camera_controls(tmp_path):
    content = message_text(DATA / "gds" / "tt_um_loopback.gds", DATA / "sky130_like_stack.json")
    data = json.loads(content)["data"]
    page = page_for(tmp_path, content)
    page.write_text(page.read_text().replace("</body>", USER + "</body>"))
    got = headless.page_stats(page, size=(800, 600))
    layer = data["parts"][0]
    total = placements(data)
    assert got == {
        "all": total,
        "layerHidden": total - placements(layer),
        "childRowsBefore": 0,  # rows are made when a node is opened
        "childRows": len(layer["parts"]),
        "childChecked": False,  # unticked with its layer
        "restored": total,
        "childHidden": total - placements(layer["parts"][0]),
        "zLabel": "\u00d710",
        "zoomedIn": True,
        "orbited": True,
        "panned": True,
    }
