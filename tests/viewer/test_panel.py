"""The panel in headless Chromium: the order of the layer list, the
highlight colour, the z scale refitting the view and the tree's boxes."""

from __future__ import annotations

import klayout.db as kdb
import numpy as np
import pytest

from corvane.core import lumino
from corvane.viewer import headless

from .test_browser import SIZE, message_text, page_for, painted
from .test_interaction import BLUE, RED, hierarchy, image_of, with_user_script, write_stack

pytestmark = pytest.mark.skipif(
    headless.find_chromium() is None, reason="chromium not installed (scripts/setup.sh installs it)"
)


def layered(tmp_path, numbers) -> object:
    layout = kdb.Layout()
    layout.dbu = 0.001
    top = layout.create_cell("top")
    for k, number in enumerate(numbers):
        top.shapes(layout.layer(number, 0)).insert(kdb.Box(k * 20000, 0, k * 20000 + 10000, 10000))
    path = tmp_path / "layered.gds"
    layout.write(str(path))
    return path


# name, layer, zmin, thickness, colour; given to the stack in this order.
ORDERED = [
    ("via", 9, 1.0, 0.5, "#808080"),
    ("poly", 5, 0.0, 0.2, "#cc3333"),
    ("diff", 3, 0.0, 0.1, "#33cc33"),
    ("met4", 12, 2.0, 1.0, "#ffe619"),  # sky130's met4 yellow
    ("met1", 7, 1.0, 0.3, "#3366cc"),
]


def test_layers_are_listed_by_z_then_layer_number_and_the_highlight_is_no_layer_colour(tmp_path):
    stack = write_stack(tmp_path, ORDERED)
    content = message_text(layered(tmp_path, [9, 5, 3, 12, 7]), stack)
    page = with_user_script(page_for(tmp_path, content), """
out.rows = [...document.querySelectorAll("#layers .layer")].map((r) => r.dataset.layer);
""")
    got = headless.page_stats(page, size=SIZE)
    assert got["rows"] == ["diff (3, 0)", "poly (5, 0)", "met1 (7, 0)", "via (9, 0)", "met4 (12, 0)"]
    highlight = np.array(headless.page_stats(page_for(tmp_path, content), size=SIZE)["highlight"])
    colours = [np.array([int(c[k:k + 2], 16) for k in (1, 3, 5)]) / 255 for *_, c in ORDERED]
    assert min(np.linalg.norm(highlight - c) for c in colours) > 0.5


@pytest.mark.parametrize("zscale", [100.0, 0.1])
def test_a_z_scale_change_refits_the_view(tmp_path, zscale):
    content = message_text(hierarchy(tmp_path), write_stack(tmp_path))
    page = with_user_script(page_for(tmp_path, content), f"""
const slider = document.getElementById("zscale");
slider.value = String(Math.log10({zscale}));
slider.dispatchEvent(new Event("input"));
v.draw();
const canvas = document.getElementById("view");
const [lo, hi] = [[Infinity, Infinity, Infinity], [-Infinity, -Infinity, -Infinity]];
for (const p of v.parts) for (let k = 0; k < 3; k++) {{ lo[k] = Math.min(lo[k], p.lo[k]); hi[k] = Math.max(hi[k], p.hi[k]); }}
out.corners = [];
for (const x of [lo[0], hi[0]]) for (const y of [lo[1], hi[1]]) for (const z of [lo[2], hi[2]]) out.corners.push(v.toScreen([x, y, z]));
out.size = [canvas.clientWidth, canvas.clientHeight];
""")
    got = headless.page_stats(page, size=SIZE)
    corners = np.array(got["corners"])
    w, h = got["size"]
    # Everything in view, and filling it along one direction.
    assert (corners >= 0).all() and (corners[:, 0] <= w).all() and (corners[:, 1] <= h).all()
    span = np.ptp(corners, axis=0) / [w, h]
    assert span.max() > 0.8


# The tree of the cell-wise hierarchy: top > A > (B > L2, L1).  Each step
# clicks a box (by node id ending) and reads every box made so far.
TREE = """
const rows = () => [...document.querySelectorAll("#tree input[type=checkbox]")];
const expandAll = () => { for (let k = 0; k < 4; k++) for (const t of document.querySelectorAll("#tree .twist")) { const ul = t.closest("li").querySelector("ul"); if (t.textContent && !ul) t.click(); } };
expandAll();
const state = () => Object.fromEntries(rows().map((b) => [b.dataset.id.split("/").slice(-2).join("/"), b.indeterminate ? "mixed" : b.checked ? "on" : "off"]));
const click = (end) => rows().find((b) => b.dataset.id.endsWith(end)).click();
out.steps = [];
for (const end of STEPS) { click(end); out.steps.push([state(), v.draw().instancesDrawn]); }
"""


@pytest.mark.parametrize(
    "steps, last, drawn",
    [
        # Unticking a parent unticks everything below it.
        (["/top/A"], {"top/A": "off", "A/B": "off", "B/L2 (2, 0)": "off", "A/L1 (1, 0)": "off"}, 0),
        # Ticking one child of an unticked parent: the parent and its own
        # parent are mixed.
        (["/top/A", "/A/B"], {"Cells/top": "mixed", "top/A": "mixed", "A/B": "on", "B/L2 (2, 0)": "on", "A/L1 (1, 0)": "off"}, 4),
        # Unticking the only children's leaves unticks the parents.
        (["/A/B/L2 (2, 0)", "/A/L1 (1, 0)"], {"Cells/top": "off", "top/A": "off", "A/B": "off", "B/L2 (2, 0)": "off", "A/L1 (1, 0)": "off"}, 0),
        # A click on a mixed box ticks everything below it.
        (["/A/L1 (1, 0)", "/top"], {"Cells/top": "on", "top/A": "on", "A/B": "on", "B/L2 (2, 0)": "on", "A/L1 (1, 0)": "on"}, 8),
        (["/A/L1 (1, 0)"], {"Cells/top": "mixed", "top/A": "mixed", "A/B": "on", "B/L2 (2, 0)": "on", "A/L1 (1, 0)": "off"}, 4),
    ],
)
def test_tree_boxes_act_on_children_and_show_a_mixed_state(tmp_path, steps, last, drawn):
    content = message_text(hierarchy(tmp_path), write_stack(tmp_path), lumino.Output.CELL)
    page = with_user_script(page_for(tmp_path, content), f"const STEPS = {steps!r};" + TREE)
    state, count = headless.page_stats(page, size=SIZE)["steps"][-1]
    assert {k: v for k, v in state.items() if k in last} == last
    assert count == drawn


@pytest.mark.parametrize(
    "shape",
    [
        (100.0, 50.0, 100.004, 50.004),  # a 4 nm square
        (60.0, 20.0, 60.005, 80.0),  # a vertical line 5 nm wide
        (20.0, 90.0, 180.0, 90.003),  # a horizontal one 3 nm high
    ],
)
def test_shapes_smaller_than_a_pixel_stay_visible(tmp_path, shape):
    """A 200 um box on L1 and a tiny shape on L2 above it, seen from above
    at about 0.25 um a pixel: the tiny shape covers at least one pixel, and
    a line is unbroken along its length."""
    layout = kdb.Layout()
    layout.dbu = 0.001
    top = layout.create_cell("top")
    top.shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 200000, 100000))
    top.shapes(layout.layer(2, 0)).insert(kdb.DBox(*shape).to_itype(0.001))
    path = tmp_path / "tiny.gds"
    layout.write(str(path))
    page = page_for(tmp_path, message_text(path, write_stack(tmp_path), curve_tolerance=None))
    image = image_of(headless.screenshot(page, tmp_path / "shot.png", size=SIZE, fragment="view=top"))
    tiny = painted(image, RED)
    rows, cols = np.nonzero(tiny)
    assert len(rows) >= 1
    (x0, y0, x1, y1), span = shape, max(shape[2] - shape[0], shape[3] - shape[1])
    blue = np.nonzero(painted(image, BLUE) | tiny)
    per_um = (blue[1].max() - blue[1].min() + 1) / 200
    # Where it is, and as long as it is (to two pixels), one or two pixels across.
    assert cols.mean() == pytest.approx(blue[1].min() + (x0 + x1) / 2 * per_um, abs=2)
    assert np.ptp(cols) + np.ptp(rows) + 1 == pytest.approx(max(1, span * per_um), abs=2)
    assert min(np.ptp(cols), np.ptp(rows)) <= 1
