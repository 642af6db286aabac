"""The layout summary read by lumino's direct reader against the one read by KLayout.

``layout_info.summarize`` takes the direct reader's answer where it gives
one and KLayout's read elsewhere; both roads must give the same summary:
counts per pair (texts apart, layers holding only texts absent without
texts), cell count, top cells in KLayout's order, hierarchy depth, dbu.
"""

from __future__ import annotations

from pathlib import Path

import klayout.db as kdb
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvane import layout_info
from corvane.core import lumino

from . import gdsstream as g
from .release import needs_reader
from . import oasisstream as o

DATA = Path(__file__).resolve().parents[2] / "examples"
GDS = sorted((DATA / "gds").glob("*.gds")) if (DATA / "gds").is_dir() else []
SQUARE = [(0, 0), (0, 10), (10, 10), (10, 0)]


verified = needs_reader


def assert_same_summary(path, answered=True):
    """Both roads agree, with and without texts; `answered`: the direct reader must answer."""
    path = Path(path)
    for texts in (True, False):
        want = layout_info._summarize_klayout(path, texts)
        got = layout_info._summarize_direct(path, texts)
        if got is None:
            assert not answered, lumino._layout_summary(str(path), texts=texts)[1]
        else:
            assert got == want
            assert list(got.layers) == list(want.layers)
        assert layout_info.summarize(path, texts=texts) == want


@verified
@pytest.mark.skipif(not GDS, reason="example layouts (examples/gds) not present")
@pytest.mark.parametrize("path", GDS, ids=[p.name for p in GDS])
def test_shared_layouts(path):
    assert_same_summary(path)


# ---- random layouts written by KLayout -------------------------------------------

pair = st.tuples(st.integers(0, 4), st.integers(0, 2))
coord = st.integers(-5000, 5000)
shape = st.tuples(st.sampled_from(["box", "polygon", "path", "text"]), pair, coord, coord)


@st.composite
def layouts(draw):
    """Cells with shapes and texts on a few layers, each placing only cells after it
    (several top cells, arrays, ghost cells), and sometimes a deep chain."""
    n = draw(st.integers(1, 6))
    cells = []
    for k in range(n):
        shapes = draw(st.lists(shape, max_size=6))
        children = []
        if k + 1 < n:
            children = draw(st.lists(st.tuples(st.integers(k + 1, n - 1), st.integers(1, 3), st.integers(1, 3)),
                                     max_size=3))
        cells.append((shapes, children))
    ghosts = draw(st.lists(st.booleans(), min_size=n, max_size=n))
    chain = draw(st.sampled_from([0, 0, 3, 40]))
    return cells, ghosts, chain, draw(st.sampled_from([0.001, 0.0005, 0.005]))


def build(drawn, path):
    cells, ghosts, chain, dbu = drawn
    ly = kdb.Layout()
    ly.dbu = dbu
    made = [ly.create_cell(f"C{k}") for k in range(len(cells))]
    for cell, (shapes, children) in zip(made, cells):
        for kind, (layer, datatype), x, y in shapes:
            target = cell.shapes(ly.layer(layer, datatype))
            if kind == "box":
                target.insert(kdb.Box(x, y, x + 100, y + 50))
            elif kind == "polygon":
                target.insert(kdb.Polygon([kdb.Point(x, y), kdb.Point(x + 80, y + 30), kdb.Point(x, y + 90)]))
            elif kind == "path":
                target.insert(kdb.Path([kdb.Point(x, y), kdb.Point(x + 300, y)], 20))
            else:
                target.insert(kdb.Text("t", x, y))
        for child, na, nb in children:
            trans = kdb.Trans(1, False, 10, 20)
            if na * nb == 1:
                cell.insert(kdb.CellInstArray(made[child].cell_index(), trans))
            else:
                cell.insert(kdb.CellInstArray(made[child].cell_index(), trans, kdb.Vector(500, 0),
                                              kdb.Vector(0, 700), na, nb))
    if chain:
        below = made[-1]
        for k in range(chain):
            above = ly.create_cell(f"chain{k}")
            above.insert(kdb.CellInstArray(below.cell_index(), kdb.Trans(k, 0)))
            above.shapes(ly.layer(9, 0)).insert(kdb.Box(0, 0, k + 1, k + 1))
            below = above
    # A ghost cell is placed but not written: reading it back gives an empty ghost.
    for cell, ghost in zip(made, ghosts):
        if ghost and not cell.is_top():
            cell.ghost_cell = True
    ly.write(str(path))
    return path


@verified
@settings(max_examples=40, derandomize=True, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(drawn=layouts())
def test_random_layouts_written_by_klayout(tmp_path_factory, drawn):
    assert_same_summary(build(drawn, tmp_path_factory.mktemp("kl") / "layout.gds"))


# ---- streams made by hand ----------------------------------------------------------

chain = [g.structure(f"L{k}", g.sref(f"L{k + 1}", (k, 0)), g.boundary(1, 0, SQUARE)) for k in range(400)]

STREAMS = {
    # A layer with texts only is absent without texts; one also opened by a
    # boundary too small to keep stays, with no shapes.
    "text-only layers": g.library(g.structure(
        "A", g.text(5, 0, (0, 0)), g.text(5, 0, (1, 1)), g.text(6, 1, (0, 0)),
        g.boundary(6, 1, [(0, 0), (5, 5)]), g.boundary(1, 0, SQUARE))),
    "ghost cells": g.library(g.structure("TOP", g.sref("GHOST", (0, 0)), g.aref("GHOST2", 2, 3, (0, 0), (20, 0), (0, 30)),
                                         g.sref("LEAF", (5, 5))),
                             g.structure("LEAF", g.path(2, 0, [(0, 0), (100, 0)], width=10), g.text(2, 0, (0, 0)))),
    "several top cells": g.library(g.structure("B", g.box(3, 1, SQUARE)), g.structure("A", g.sref("C", (0, 0))),
                                   g.structure("C", g.boundary(1, 0, SQUARE)), g.structure("EMPTY")),
    "a deep hierarchy": g.library(*chain, g.structure("L400", g.text(1, 0, (0, 0)))),
    # Over 100 shapes of a kind and over 100 placements in one cell: KLayout
    # sorts those by their boxes; counting takes them in file order.
    "large buckets": g.library(
        g.structure("TOP", *(g.sref("LEAF", ((k * 7919) % 2000 - 1000, (k * 104729) % 3000)) for k in range(150)),
                    *(g.boundary(1, 0, [(x, y), (x, y + 5), (x + 5, y + 5), (x + 5, y)])
                      for x, y in (((k * 613) % 997, (k * 389) % 991) for k in range(220))),
                    *(g.text(2, 0, ((k * 31) % 500, k)) for k in range(130))),
        g.structure("LEAF", g.boundary(3, 0, SQUARE))),
    "properties and rectangles": g.library(g.structure(
        "P", g.boundary(1, 0, SQUARE, properties=((1, "a"),)), g.text(1, 0, (0, 0), properties=((2, "b"),)),
        g.boundary(1, 0, [(0, 0), (0, 10), (10, 0)]))),
}


@verified
@pytest.mark.parametrize("name", list(STREAMS))
def test_hand_made_streams(tmp_path, name):
    assert_same_summary(g.write(tmp_path, STREAMS[name]))


@verified
def test_deep_hierarchy_levels(tmp_path):
    summary = layout_info._summarize_direct(Path(g.write(tmp_path, STREAMS["a deep hierarchy"])), True)
    assert (summary.depth, summary.top_cells, summary.cells) == (400, ["L0"], 401)


# ---- what the reader leaves to KLayout -------------------------------------------------


@verified
def test_what_the_reader_declines_is_read_by_klayout(tmp_path):
    # Cells that KLayout merges when a late CELLNAME ties a name to a number:
    # the reader leaves that to KLayout.
    oasis = tmp_path / "layout.oas"
    oasis.write_bytes(o.layout(o.cell("A"), o.rectangle(1, 0, 10, 10, 0, 0), o.placement(5, 0, 0), o.cell("B"),
                               o.text("x", 2, 0, 0, 0), o.cellname("B", 5)))
    assert "merged" in lumino._layout_summary(str(oasis))[1]
    summary = layout_info.summarize(oasis)
    assert [(c.pair, c.shapes, c.texts) for c in summary.layers.values()] == [((1, 0), 1, 0), ((2, 0), 0, 1)]
    assert summary == layout_info._summarize_klayout(oasis, True)


def test_unverified_klayout_releases_are_declined(tmp_path):
    path = g.write(tmp_path, g.library(g.structure("A")))
    assert lumino._layout_summary(path, klayout_version="0.0.1") == (None, "klayout 0.0.1 not verified")


def test_unreadable_files_raise_klayouts_error(tmp_path):
    broken = tmp_path / "broken.gds"
    broken.write_bytes(g.library(g.structure("A", g.boundary(1, 0, SQUARE)))[:-10])
    with pytest.raises(RuntimeError):
        layout_info.summarize(broken)


@pytest.mark.parametrize(("kwargs", "message"), [
    ({"path": Path("x.gds")}, "path must be str, not PosixPath"),
    ({"path": "x.gds", "texts": 1}, "texts must be bool, not int"),
    ({"path": "x.gds", "klayout_version": 1}, "klayout_version must be str or None, not int"),
])
def test_argument_types(kwargs, message):
    with pytest.raises(TypeError, match=message):
        lumino._layout_summary(**kwargs)
