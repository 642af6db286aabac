"""A cell that places itself, directly or through others, is declined by the
reader of either format, as KLayout refuses such a file."""

from __future__ import annotations

import klayout.db as kdb
import pytest

from corvane.core import lumino

from . import gdsstream as g
from .direct_reference import klayout_layout, same
from . import oasisstream as o
from .release import needs_reader


def gds(cycle):
    cells = [g.structure(name, g.boundary(1, 0, [(0, 0), (10, 0), (10, 10), (0, 10)]), g.sref(child, (0, 0)))
             for name, child in zip(cycle, cycle[1:] + cycle[:1])]
    return g.library(g.structure("TOP", g.sref(cycle[0], (0, 0))), *cells)


def oas(cycle):
    records = [o.cellname("TOP"), *(o.cellname(name) for name in cycle), o.cell("TOP"), o.placement(cycle[0], 0, 0)]
    for name, child in zip(cycle, cycle[1:] + cycle[:1]):
        records += [o.cell(name), o.rectangle(1, 0, 10, 10, 0, 0), o.placement(child, 0, 0)]
    return o.layout(*records)


@pytest.mark.parametrize("write", [gds, oas], ids=["gds", "oasis"])
@pytest.mark.parametrize("cycle", [["A"], ["A", "B"], ["A", "B", "C"]], ids=["self", "two", "three"])
@needs_reader
def test_a_cell_that_places_itself_is_declined(tmp_path, write, cycle):
    path = tmp_path / ("t.gds" if write is gds else "t.oas")
    path.write_bytes(write(cycle))
    with pytest.raises(RuntimeError):
        kdb.Layout().read(str(path))
    got, why = lumino._read_layout(str(path))
    assert got is None and why == "recursive hierarchy"


@pytest.mark.parametrize("write", [gds, oas], ids=["gds", "oasis"])
@needs_reader
def test_a_cell_placed_twice_is_no_cycle(tmp_path, write):
    """TOP places A and B, both place LEAF: a diamond, read as KLayout reads it."""
    path = tmp_path / ("t.gds" if write is gds else "t.oas")
    if write is gds:
        leaf = g.structure("LEAF", g.boundary(1, 0, [(0, 0), (10, 0), (10, 10), (0, 10)]))
        data = g.library(g.structure("TOP", g.sref("A", (0, 0)), g.sref("B", (20, 0))),
                         g.structure("A", g.sref("LEAF", (0, 0))), g.structure("B", g.sref("LEAF", (0, 0))), leaf)
    else:
        names = ["TOP", "A", "B", "LEAF"]
        data = o.layout(*(o.cellname(n) for n in names),
                        o.cell("TOP"), o.placement("A", 0, 0), o.placement("B", 20, 0),
                        o.cell("A"), o.placement("LEAF", 0, 0), o.cell("B"), o.placement("LEAF", 0, 0),
                        o.cell("LEAF"), o.rectangle(1, 0, 10, 10, 0, 0))
    path.write_bytes(data)
    got, why = lumino._read_layout(str(path))
    assert got is not None, why
    assert same(got, klayout_layout(str(path)))
