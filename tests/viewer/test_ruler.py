"""The ruler and the exploded view in headless Chromium."""

from __future__ import annotations

import json

import numpy as np
import pytest

from corvane.viewer import headless

from .test_browser import PANEL, SIZE, message_text, page_for, painted
from .test_interaction import box_layout, image_of, shot, with_user_script, write_stack

pytestmark = pytest.mark.skipif(
    headless.find_chromium() is None, reason="chromium not installed (scripts/setup.sh installs it)"
)

# Clicks at the screen places of layout points (x, y, z) in ruler mode.
MEASURE = """
const canvas = document.getElementById("view"), rect = canvas.getBoundingClientRect();
v.setRuler(true);
for (const p of POINTS) {
  const [cx, cy] = v.toScreen(p);
  const at = { clientX: rect.left + cx, clientY: rect.top + cy, button: 0, pointerId: 1, bubbles: true };
  canvas.dispatchEvent(new PointerEvent("pointerdown", at));
  canvas.dispatchEvent(new PointerEvent("pointerup", at));
}
v.draw();
out.points = v.ruler.points.map((p) => [p.kind, p.point.map((c) => Math.round(c * 1000) / 1000)]);
out.distance = v.ruler.distance;
out.text = document.getElementById("ruler-out").textContent;
out.pick = document.getElementById("corvane-pick").textContent;
"""

# The 100 x 20 um box on L1 (top at z 1) and the 60 x 10 um box on L2 above
# (20..80 x 5..15, top at 1.5), seen from above at about 7 pixels a um.
CASES = [
    # Near two corners of L1: snapped onto them.
    ([[0.4, 0.3, 1], [99.7, 19.6, 1]], [["corner", [0, 0, 1]], ["corner", [100, 20, 1]]], np.hypot(100, 20)),
    # Near an edge of L2 and a corner of L2: the edge point square below.
    ([[50.2, 14.6, 1.5], [79.8, 5.2, 1.5]], [["edge", [50.2, 15, 1.5]], ["corner", [80, 5, 1.5]]], np.hypot(29.8, 10)),
    # In the middle of L1, away from its edges: the point as picked.
    ([[10, 10, 1], [10, 2.5, 1]], [["point", [10, 10, 1]], ["point", [10, 2.5, 1]]], 7.5),
]


@pytest.mark.parametrize("points, snapped, distance", CASES)
def test_ruler_measures_between_snapped_points(tmp_path, points, snapped, distance):
    content = message_text(box_layout(tmp_path), write_stack(tmp_path), curve_tolerance=None)
    page = with_user_script(page_for(tmp_path, content), f"const POINTS = {json.dumps(points)};" + MEASURE)
    got = headless.page_stats(page, size=SIZE, fragment="view=top")
    assert [[k, pytest.approx(p, abs=0.08)] for k, p in got["points"]] == snapped
    assert got["distance"] == pytest.approx(distance, abs=0.12)
    assert got["text"].startswith(f"distance {got['distance']:.3f} \u00b5m")
    assert got["pick"] == ""  # ruler clicks pick nothing
    # The ruler's line on the screenshot: its colour between the points.
    image = image_of(headless.screenshot(page, tmp_path / "shot.png", size=SIZE, fragment="view=top"))
    line = np.all(np.abs(image - (0xE6, 0x00, 0x7E)) <= 30, axis=-1)
    assert line.sum() > 30


def test_exploded_view_spreads_the_layers(tmp_path):
    content = message_text(box_layout(tmp_path), write_stack(tmp_path), curve_tolerance=None)
    page = page_for(tmp_path, content)
    rises = []
    for amount in (0.0, 0.5, 1.0):
        stats = headless.page_stats(page, size=SIZE, fragment=f"explode={amount}")
        # The lower layer stays, the upper rises by the spread (a third of the 100 um width).
        assert stats["explode"] == pytest.approx([0, amount * 100 / 3], abs=1e-3)
        image = shot(tmp_path, page, f"explode={amount}")
        # Shaded faces told apart by hue, the axes at the bottom left left out.
        r, g, b = (image[..., k].astype(int) for k in range(3))
        red, blue = (r > g + 40) & (r > b + 40), (b > r + 40) & (b > g + 40)
        for mask in (red, blue):
            mask[:, :PANEL + 100] = False
        red_rows, blue_rows = np.nonzero(red)[0], np.nonzero(blue)[0]
        # How far the red box sits above the blue one, in blue box heights.
        rises.append((blue_rows.mean() - red_rows.mean()) / np.ptp(blue_rows))
    assert rises[0] == pytest.approx(0, abs=0.1)
    assert rises[0] + 0.2 < rises[1] < rises[2] - 0.1
