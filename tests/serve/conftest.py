"""Layouts, a layer stack with connections, and live servers for the live viewer's tests."""

from __future__ import annotations

import json
import time
import urllib.error
import urllib.request
from pathlib import Path

import klayout.db as kdb
import pytest

from corvane.core import communication, pdk

DATA = Path(__file__).resolve().parents[2] / "examples"
VGA = DATA / "gds" / "tt_um_vga_clock.gds"
shared = pytest.mark.skipif(not VGA.is_file(), reason="example layouts (examples/gds) not present")

STACK = {
    "name": "two-metal",
    "layers": [
        {"name": "met1", "layer": 68, "datatype": 20, "zmin": 0.0, "thickness": 1.0, "color": "#3366cc"},
        {"name": "via", "layer": 68, "datatype": 44, "zmin": 1.0, "thickness": 1.0, "color": "#888888"},
        {"name": "met2", "layer": 69, "datatype": 20, "zmin": 2.0, "thickness": 1.0, "color": "#cc3333"},
    ],
    "connections": {"joins": [["met1", "via", "met2"]], "labels": {"met1": "68/5"}},
}


@pytest.fixture(autouse=True)
def _host_state():
    pdk.reset()
    yield
    communication.set_transport(None)
    pdk.reset()


@pytest.fixture
def stack_file(tmp_path) -> Path:
    path = tmp_path / "two-metal.json"
    path.write_text(json.dumps(STACK))
    return path


def um(*values: float) -> list[int]:
    return [round(v * 1000) for v in values]


def two_metal_layout(extra_boxes: int = 0) -> kdb.Layout:
    """Cell W: a met1 wire (0, 0)-(20, 2) um with a via at its end.  The top cell
    places W as is and turned by 90 degrees at (60, 0), joined by an L of met2
    through both vias: the net "net_a" (5 shapes, a label on 68/5), from
    (0, 0) to (60, 20).  Beside it: a lone met1 box and W mirrored at (0, 40),
    each a net of its own; ``extra_boxes`` met2 boxes at y 60 and above."""
    layout = kdb.Layout()
    layout.dbu = 0.001
    m1, via, m2, label = (layout.layer(68, 20), layout.layer(68, 44), layout.layer(69, 20), layout.layer(68, 5))
    wire = layout.create_cell("W")
    wire.shapes(m1).insert(kdb.Box(*um(0, 0, 20, 2)))
    wire.shapes(via).insert(kdb.Box(*um(18.5, 0.5, 19.5, 1.5)))
    top = layout.create_cell("top")
    top.insert(kdb.CellInstArray(wire.cell_index(), kdb.Trans(0, 0)))
    top.insert(kdb.CellInstArray(wire.cell_index(), kdb.Trans(kdb.Trans.R90, *um(60, 0))))
    top.insert(kdb.CellInstArray(wire.cell_index(), kdb.Trans(kdb.Trans.M0, *um(0, 40))))
    ell = [(18, 0), (60, 0), (60, 20), (58, 20), (58, 2), (18, 2)]
    top.shapes(m2).insert(kdb.Polygon([kdb.Point(*um(x, y)) for x, y in ell]))
    top.shapes(m1).insert(kdb.Box(*um(0, 10, 20, 12)))
    top.shapes(label).insert(kdb.Text("net_a", kdb.Trans(*um(5, 1))))
    for k in range(extra_boxes):
        top.shapes(m2).insert(kdb.Box(*um(10 * k, 60, 10 * k + 8, 68)))
    return layout


def write_layout(layout: kdb.Layout, path: Path) -> Path:
    """Writes ``layout`` to ``path`` as a tool saving in place does (the same file, rewritten)."""
    data = layout.write_bytes(kdb.SaveLayoutOptions())
    with path.open("wb") as f:
        f.write(data)
    return path


def get(url: str, host: str | None = None) -> tuple[int, bytes]:
    request = urllib.request.Request(url, headers={"Host": host} if host else {})
    try:
        with urllib.request.urlopen(request, timeout=60) as response:
            return response.status, response.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


def wait_until(condition, timeout: float = 60.0, every: float = 0.02):
    """``condition()`` once it is truthy; fails the test after ``timeout`` seconds (a hang, not a speed check)."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            pytest.fail(f"nothing came within {timeout:g} s")
        time.sleep(every)
