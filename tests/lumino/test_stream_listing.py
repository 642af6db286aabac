"""KLayout's GDS2 serialisation of a caller's layout, listed by the direct
reader (lumino._list_stream): the bulk road of ParseGDS.  Wherever the
listing says a cell's layer or placements are as KLayout holds them, they
equal that layout's own Shapes.each() (Shape.polygon's hull points, texts
without) and each_inst(), shape for shape; and the listing says so for the
layers and placements KLayout writes as it holds them.
"""

from __future__ import annotations

import klayout.db as kdb
import pytest

from corvane.core import lumino

from .test_fast_paths import random_layout
from .test_shared_layouts import DATA, FILES


def serialised(layout, indices=None):
    """The bytes ParseGDS's road asks KLayout for."""
    options = kdb.SaveLayoutOptions()
    options.format = "GDS2"
    options.gds2_multi_xy_records = True
    options.gds2_write_timestamps = False
    options.deselect_all_layers()
    for index in layout.layer_indices() if indices is None else indices:
        options.add_layer(index, layout.get_info(index))
    return layout.write_bytes(options)


def held_shapes(layout, cell, index):
    out = []
    for shape in cell.shapes(index).each():
        p = shape.polygon
        out.append(None if p is None else [(q.x, q.y) for q in p.each_point_hull()])
    return out


def simple_instances(layout, cell):
    out = []
    for inst in cell.each_inst():
        t = inst.trans
        out.append((layout.cell(inst.cell_index).name, t.angle, t.is_mirror(), float(t.disp.x), float(t.disp.y)))
    return out


def check_listing(layout):
    """Every layer and placement list given as held equals KLayout's; returns
    how many cell layers with shapes and placement lists were held and not."""
    listing, why = lumino._list_stream(serialised(layout))
    assert listing is not None, why
    pairs = {(l, d): li for li, l, d in listing["layers"]}
    cells = {c["name"]: c for c in listing["cells"] if not c["ghost"]}
    tally = {"layers held": 0, "layers not": 0, "placements held": 0, "placements not": 0}
    for cell in layout.each_cell():
        listed = cells[cell.name]
        for index in layout.layer_indices():
            info = layout.get_info(index)
            want = held_shapes(layout, cell, index)
            li = pairs.get((info.layer, info.datatype))
            got = [] if li is None else listed["shapes"][li]
            if not want:
                continue
            if got is None:
                tally["layers not"] += 1
                continue
            tally["layers held"] += 1
            assert got == want, (cell.name, info.layer, info.datatype)
        if not cell.child_instances():
            continue
        if listed["instances"] is None:
            tally["placements not"] += 1
            continue
        tally["placements held"] += 1
        names = [c["name"] for c in listing["cells"]]
        got = [(names[i["child"]], i["rot"], i["mirror"], i["dx"], i["dy"]) for i in listed["instances"]]
        assert not any(i["complex"] or i["array"] for i in listed["instances"])
        assert got == simple_instances(layout, cell), cell.name
    return tally


@pytest.mark.skipif(not (DATA / "gds").is_dir(), reason="example layouts (examples/gds) not present")
@pytest.mark.parametrize("gds, stack", FILES, ids=[f for f, _ in FILES])
def test_shared_layouts_listed_as_klayout_holds_them(gds, stack):
    layout = kdb.Layout()
    layout.read(str(DATA / "gds" / gds))
    tally = check_listing(layout)
    # Most of each file is given as held (the road pays only then).
    assert tally["layers held"] > 2 * tally["layers not"], tally


@pytest.mark.parametrize("seed", range(12))
def test_generated_layouts_listed_as_klayout_holds_them(seed):
    tally = check_listing(random_layout(seed))
    assert tally["layers held"] > 0, tally


def hand_made():
    """Shapes KLayout writes otherwise than it holds them, beside plain ones."""
    ly = kdb.Layout()
    top, child = ly.create_cell("TOP"), ly.create_cell("CHILD")
    plain, holes, paths, raw, big, mixed = (ly.layer(n, 0) for n in range(1, 7))
    for k in range(5):
        top.shapes(plain).insert(kdb.Box(k * 10, 0, k * 10 + 5, 8))
        top.shapes(plain).insert(kdb.Polygon([kdb.Point(k, 0), kdb.Point(k + 3, 9), kdb.Point(k - 2, 4)]))
        top.shapes(plain).insert(kdb.Text("t", k, k))
    poly = kdb.Polygon(kdb.Box(0, 0, 100, 100))
    poly.insert_hole(kdb.Box(10, 10, 20, 20))
    top.shapes(holes).insert(poly)
    top.shapes(paths).insert(kdb.Path([kdb.Point(0, 0), kdb.Point(100, 0)], 10))
    top.shapes(raw).insert(kdb.SimplePolygon([kdb.Point(5, 5), kdb.Point(0, 0), kdb.Point(5, 0)], True))
    top.shapes(big).insert(kdb.Box(-2**31 + 1, -2**31 + 1, 2**31 - 1, 2**31 - 1))
    top.shapes(mixed).insert(kdb.Box(0, 0, 5, 5))
    top.shapes(mixed).insert(kdb.Edge(0, 0, 5, 5))
    child.shapes(plain).insert(kdb.Box(0, 0, 1, 1))
    top.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(1, True, 7, -9)))
    top.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(2, False, 0, 0)), ly.properties_id([[1, "p"]]))
    arrays = ly.create_cell("ARRAYS")
    arrays.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(), kdb.Vector(10, 0), kdb.Vector(0, 10), 2, 3))
    complex_ = ly.create_cell("COMPLEX")
    complex_.insert(kdb.CellInstArray(child.cell_index(), kdb.ICplxTrans(2.0, 0, False, 0, 0)))
    top.insert(kdb.CellInstArray(arrays.cell_index(), kdb.Trans()))
    top.insert(kdb.CellInstArray(complex_.cell_index(), kdb.Trans()))
    return ly


def test_what_klayout_writes_otherwise_than_it_holds_is_not_held():
    ly = hand_made()
    listing, why = lumino._list_stream(serialised(ly))
    assert listing is not None, why
    top = next(c for c in listing["cells"] if c["name"] == "TOP")
    by_pair = {(l, d): li for li, l, d in listing["layers"]}
    held = {n: top["shapes"][by_pair[(n, 0)]] is not None for n in range(1, 7)}
    # Plain shapes and a raw (unnormalised) outline are held; a polygon with
    # a hole, a path, an outline whose area passes 64 bits and an edge
    # (written as a path) are not.
    assert held == {1: True, 2: False, 3: False, 4: True, 5: False, 6: False}
    placements = {c["name"]: c["instances"] is not None for c in listing["cells"]}
    assert placements["TOP"] and not placements["ARRAYS"] and not placements["COMPLEX"]
    check_listing(ly)


@pytest.mark.parametrize("data", [b"", b"\x00\x06\x00\x02\x02\x58", bytes(64)], ids=["empty", "cut", "zeros"])
def test_what_is_not_a_stream_is_not_listed(data):
    listing, why = lumino._list_stream(data)
    assert listing is None and why


def test_the_listing_takes_only_bytes():
    with pytest.raises(TypeError, match="data must be bytes"):
        lumino._list_stream(bytearray(b"\x00\x06\x00\x02"))
