"""Values KLayout reads that the viewer's float32 cannot hold (a magnification of 1e45, a
unit of 1e80 um, coordinates that a large unit carries past 3.4e38) are an OverflowError
naming the cell and the value, on every road: never an infinity in the viewer data."""

from __future__ import annotations

import pytest

from . import gdsstream as g
from .test_file_safety import ENTRIES, road  # noqa: F401  (the road fixture)

SQUARE = [(0, 0), (0, 100), (100, 100), (100, 0)]


def placed(tmp_path, mag):
    data = g.library(g.structure("TOP", g.sref("CHILD", (0, 0), mag=mag)),
                     g.structure("CHILD", g.boundary(1, 0, SQUARE)))
    return g.write(tmp_path, data, "mag.gds")


def unit(tmp_path, dbu_meter, points=SQUARE):
    return g.write(tmp_path, g.library(g.structure("TOP", g.boundary(1, 0, points)), dbu_meter=dbu_meter), "unit.gds")


CASES = [
    (lambda t: placed(t, 1e45), r"cell 'CHILD': a placement matrix value 1e\+45"),
    (lambda t: unit(t, 1e74), r"cell 'TOP': a coordinate \(um\) 1e\+82"),
    (lambda t: unit(t, 1e29, [(0, 0), (0, 10**5), (10**5, 10**5), (10**5, 0)]),
     r"cell 'TOP': a coordinate \(um\) (1e\+40|9.99+e\+39)"),
]


@pytest.mark.parametrize("make, message", CASES, ids=["magnification", "unit", "coordinates"])
@pytest.mark.parametrize("entry", ["lumino", "to_3D_viewer"])
def test_values_past_float32_are_refused(tmp_path, road, entry, make, message):
    path = make(tmp_path)
    with pytest.raises(OverflowError, match=f"^{message} does not fit the viewer's float32 "
                                            r"\(largest 3.4028234663852886e\+38\)$"):
        ENTRIES[entry](path)


@pytest.mark.parametrize("mag", [1e30, 1e-30])
def test_values_within_float32_are_kept(tmp_path, mag):
    data = ENTRIES["to_3D_viewer"](placed(tmp_path, mag))
    assert "inf" not in repr(data).lower()
