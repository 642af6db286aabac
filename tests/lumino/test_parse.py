"""ParseGDS: layer map, lookups, polygon extraction and the depth-first parse."""

import klayout.db as kdb
import pytest
import shapely.geometry as sg

from corvane.core import lumino

from .conftest import layer_table

WG = (1, 0)


def parser(layout, curve_tolerance=None, **kw):
    return lumino.ParseGDS(layout, layer_table((1, 0, "WG"), (2, 0, "SLAB")), curve_tolerance=curve_tolerance, **kw)


def box(cell, layout, x, y, w, h, pair=WG):
    cell.shapes(layout.layer(*pair)).insert(kdb.Box(x, y, x + w, y + h))


def test_constructor_state(layout):
    top = layout.create_cell("TOP")
    layout.layer(5, 5)
    i_wg = layout.layer(1, 0)
    g = parser(layout, curve_tolerance=0.5, z_scale=2, exclude_layers=["x*"])
    assert (g.z_scale, g.curve_tolerance, g.exclude_layers) == (2.0, 0.5, ["x*"])
    assert g.layout is layout
    assert (g.instances, g.instance_index, g.instance_mapping) == ([], 0, {})
    assert (g.parsed_cells, g.parsed_layers, g.cell_combined, g.layer_combined) == (None, None, False, False)
    assert g.layer_map == {i_wg: (1, 0)} and g.reverse_layer_map == {(1, 0): i_wg}
    assert list(g.cell_index_map) == [top.cell_index()]
    assert g.cell_index_map[top.cell_index()].name == "TOP"
    g.cell_combined = True
    assert g.cell_combined is True


def test_layer_lookups():
    layers = {WG: lumino.PdkLayer("WG", 0.22, 0.5, "#ff0000")}
    g = lumino.ParseGDS(kdb.Layout(), layers, z_scale=2.0)
    assert (g.get_name(WG), g.get_color(WG), g.get_zmin(WG), g.get_height(WG)) == ("WG (1, 0)", "#ff0000", 1.0, 0.44)
    assert (g.get_name((7, 3)), g.get_color((7, 3)), g.get_zmin((7, 3)), g.get_height((7, 3))) == (
        "(7, 3)", "#000000", -2.0, 0.1)


def test_texts_use_up_their_position(layout):
    top = layout.create_cell("TOP")
    shapes = top.shapes(layout.layer(1, 0))
    shapes.insert(kdb.Box(0, 0, 10, 10))
    shapes.insert(kdb.Text("label", kdb.Trans(5, 5)))
    shapes.insert(kdb.Polygon([kdb.Point(0, 0), kdb.Point(0, 30), kdb.Point(40, 0)]))
    g = parser(layout)
    cell = g.parse_cells(top)
    li = layout.layer(1, 0)
    # KLayout lists the polygon before the box and the text last.
    positions = sorted(k[2] for k in g.instance_mapping)
    assert positions == [0, 1] and len(g.instances) == 2
    assert cell.polygons == {str(li): [0, 1]}
    assert type(cell) is lumino.Cell


def test_shapes_without_polygon_form_use_up_their_position(layout):
    top = layout.create_cell("TOP")
    shapes = top.shapes(layout.layer(1, 0))
    shapes.insert(kdb.Box(0, 0, 10, 10))
    shapes.insert(kdb.Edge(0, 0, 50, 50))
    shapes.insert(kdb.Polygon([kdb.Point(0, 0), kdb.Point(0, 30), kdb.Point(40, 0)]))
    kinds = [("edge" if s.is_edge() else "polygon" if s.polygon else "other") for s in shapes.each()]
    g = parser(layout)
    g.parse_cells(top)
    li = layout.layer(1, 0)
    # Edges are skipped, but keep their place in the numbering.
    assert sorted(k[2] for k in g.instance_mapping) == [i for i, k in enumerate(kinds) if k == "polygon"]
    assert "edge" in kinds and kinds.index("edge") < max(k[2] for k in g.instance_mapping)
    assert all(k[:2] == (top.cell_index(), li) for k in g.instance_mapping)


def test_layers_outside_the_table_are_never_read(layout):
    top = layout.create_cell("TOP")
    box(top, layout, 0, 0, 10, 10, pair=(9, 9))
    g = parser(layout)
    assert g.layer_map == {}
    cell = g.parse_cells(top)
    assert (cell.polygons, g.instances) == ({}, [])


def test_box_outline_with_and_without_simplification(layout):
    top = layout.create_cell("TOP")
    box(top, layout, 0, 0, 1000, 2000)
    corners = [(0.0, 0.0), (0.0, 2.0), (1.0, 2.0), (1.0, 0.0)]
    for tol in (None, 0.01, 5.0):
        # Even a tolerance larger than the box keeps its corners: an outline
        # of horizontal and vertical edges is never simplified.
        g = parser(layout, curve_tolerance=tol)
        g.parse_cells(top)
        assert g.instances == [corners]
        (shape,) = top.shapes(layout.layer(1, 0)).each()
        assert g.extract_dpolygon(shape.polygon) == g.instances[0]


def arc(n, r=10000):
    import math

    pts = [kdb.Point(round(r * math.cos(math.pi * k / n)), round(r * math.sin(math.pi * k / n))) for k in range(n + 1)]
    return kdb.Polygon(pts)


@pytest.mark.parametrize("tolerance", [0.001, 0.01, 0.5])
def test_curve_tolerance_is_the_simplification_tolerance(layout, tolerance):
    top = layout.create_cell("TOP")
    poly = arc(200)
    top.shapes(layout.layer(1, 0)).insert(poly)
    g = parser(layout, curve_tolerance=tolerance)
    g.parse_cells(top)
    points = [(p.x / 1000, p.y / 1000) for p in poly.to_dtype().each_point_hull()]
    expected = list(sg.Polygon(points).simplify(tolerance, preserve_topology=True).exterior.coords)[:-1]
    assert g.instances[0] == expected
    assert g.extract_dpolygon(poly) == expected


def test_polygons_shapely_cannot_simplify_keep_their_outline(layout):
    top = layout.create_cell("TOP")
    shapes = top.shapes(layout.layer(1, 0))
    # KLayout reduces a two-point hull to an empty one; shapely cannot make a
    # polygon of it, so the (empty) outline is kept instead of failing.
    two = kdb.Polygon()
    two.assign_hull([kdb.Point(0, 0), kdb.Point(100, 100)], False)
    shapes.insert(two)
    # A box below the tolerance keeps its four corners; a slanted quadrangle
    # below it collapses to a triangle, like shapely does it.
    shapes.insert(kdb.Polygon(kdb.Box(0, 0, 3, 3)))
    slanted = [(0, 0), (3, 1), (4, 4), (1, 3)]
    shapes.insert(kdb.Polygon([kdb.Point(*p) for p in slanted]))
    g = parser(layout, curve_tolerance=0.01)
    g.parse_cells(top)
    points = [(p.x / 1000, p.y / 1000) for p in list(shapes.each())[2].polygon.to_dtype().each_point_hull()]
    collapsed = list(sg.Polygon(points).simplify(0.01, preserve_topology=True).exterior.coords)[:-1]
    assert len(collapsed) == 3
    assert g.instances == [[], [(0.0, 0.0), (0.0, 0.003), (0.003, 0.003), (0.003, 0.0)], collapsed]


def test_cell_placed_twice_is_extracted_once(layout):
    top, child = layout.create_cell("TOP"), layout.create_cell("CHILD")
    box(child, layout, 0, 0, 100, 100)
    box(child, layout, 0, 200, 100, 100)
    top.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(1000, 0)))
    top.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(2, True, 0, 1000)))
    g = parser(layout)
    cell = g.parse_cells(top)
    a, b = cell.references
    assert type(a) is lumino.Reference and a.name == "CHILD"
    assert a.polygons == b.polygons == {str(layout.layer(1, 0)): [0, 1]}
    assert a.polygons["0"] is not b.polygons["0"]
    assert len(g.instances) == 2 == g.instance_index
    assert [k.to_dict() for k in a.trans] == [{"mirror": False, "angle": 0, "displacement": [1.0, 0.0]}]
    assert [k.to_dict() for k in b.trans] == [{"mirror": True, "angle": 180, "displacement": [0.0, 1.0]}]
    # Parsing again adds nothing to the pool.
    g.parse_cells(top)
    assert len(g.instances) == 2


def test_array_instance_is_one_reference_with_all_placements(layout):
    top, child = layout.create_cell("TOP"), layout.create_cell("CHILD")
    box(child, layout, 0, 0, 10, 10)
    inst = top.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(3, True, 5, 7), kdb.Vector(100, 1),
                                        kdb.Vector(-2, 300), 3, 2))
    (ref,) = parser(layout).parse_cells(top).references
    assert ref.trans_count == 6 and len(ref.trans) == 6
    assert [str(k.trans) for k in ref.trans] == [str(t) for t in inst.cell_inst.each_trans()]


def test_complex_instances_keep_angle_and_magnification(layout):
    top, child = layout.create_cell("TOP"), layout.create_cell("CHILD")
    box(child, layout, 0, 0, 10, 10)
    c = kdb.ICplxTrans(2.0, 30.0, True, 100, -50)
    top.insert(kdb.CellInstArray(child.cell_index(), c, kdb.Vector(100, 0), kdb.Vector(0, 50), 2, 1))
    (ref,) = parser(layout).parse_cells(top).references
    assert ref.trans_count == 2
    expected = [kdb.DCplxTrans(t) for t in top.each_inst().__next__().cell_inst.each_cplx_trans()]
    for k, t in zip(ref.trans, expected):
        d = k.to_dict()
        assert d["angle"] == pytest.approx(t.angle) and d["mirror"] is True
        assert d["displacement"] == [t.disp.x / 1000, t.disp.y / 1000]
        assert k.trans_matrix()[0][0] == pytest.approx(2.0 * 0.8660254037844387)


def test_multi_level_tree_in_pre_order(layout):
    top, mid, leaf = (layout.create_cell(n) for n in ("TOP", "MID", "LEAF"))
    box(top, layout, 0, 0, 5, 5)
    box(mid, layout, 0, 0, 6, 6, pair=(2, 0))
    box(leaf, layout, 0, 0, 7, 7)
    mid.insert(kdb.CellInstArray(leaf.cell_index(), kdb.Trans(1, True, 3, 4)))
    top.insert(kdb.CellInstArray(mid.cell_index(), kdb.Trans(2, False, 10, 20)))
    top.insert(kdb.CellInstArray(leaf.cell_index(), kdb.Trans(3, False, -1, -2)))
    g = parser(layout)
    cell = g.parse_cells(top)
    wg, slab = str(layout.layer(1, 0)), str(layout.layer(2, 0))
    assert cell.polygons == {wg: [0]}
    m, l2 = cell.references
    assert (m.name, m.polygons, m.references[0].name, m.references[0].polygons) == ("MID", {slab: [1]}, "LEAF",
                                                                                     {wg: [2]})
    assert (l2.name, l2.polygons) == ("LEAF", {wg: [2]})
    assert [str(k.trans) for k in m.references[0].trans] == ["m45 3,4"]
    assert g.instances[2] == [(0.0, 0.0), (0.0, 0.007), (0.007, 0.007), (0.007, 0.0)]


@pytest.mark.parametrize("tolerance", [0.0, 0.004, 0.01, 1])
def test_rectangles_keep_their_corners_at_any_tolerance(layout, tolerance):
    # Sizes around the point where simplification would start to drop
    # corners (it is never asked to), as boxes and as four-point polygons
    # given in either orientation.
    top = layout.create_cell("TOP")
    shapes = top.shapes(layout.layer(1, 0))
    sizes = [1, 2, 5, 9, 10, 14, 15, 20, 21, 29, 30, 45, 1000, 3000]
    for i, w in enumerate(sizes):
        for j, h in enumerate(sizes):
            x, y = 5000 * i, 5000 * j
            shapes.insert(kdb.Box(x, y, x + w, y + h))
            shapes.insert(kdb.SimplePolygon([kdb.Point(x, y), kdb.Point(x + w, y), kdb.Point(x + w, y + h),
                                             kdb.Point(x, y + h)]))
    g = parser(layout, curve_tolerance=tolerance)
    g.parse_cells(top)
    li = layout.layer(1, 0)
    by_position = {key[2]: index for key, index in g.instance_mapping.items()}
    for pos, shape in enumerate(shapes.each()):
        points = [(p.x / 1000, p.y / 1000) for p in shape.polygon.to_dtype().each_point_hull()]
        assert g.instances[by_position[pos]] == points, (li, pos, points)


@pytest.mark.parametrize("tolerance", [-0.01, float("nan")])
def test_invalid_tolerance_is_an_error_not_a_silent_no_op(layout, tolerance):
    top = layout.create_cell("TOP")
    box(top, layout, 0, 0, 10, 10)
    with pytest.raises(ValueError, match="curve_tolerance must be a non-negative number or None"):
        parser(layout, curve_tolerance=tolerance)
    g = parser(layout)
    g.curve_tolerance = tolerance  # assigned after construction: refused when used
    with pytest.raises(ValueError, match="curve_tolerance must be a non-negative number or None"):
        g.parse_cells(top)
    assert g.instances == [] and g.instance_mapping == {}


@pytest.mark.parametrize("dbu", [0.001, 0.0005, 0.005])
@pytest.mark.parametrize("curve_tolerance", [None, 0.01])
def test_coordinates_follow_the_layout_database_unit(dbu, curve_tolerance):
    """A 1 um box placed 1 um and 2 um away (once simply, once magnified)
    comes out in micrometres whatever the unit, and the caller's layout keeps it."""
    layout = kdb.Layout()
    layout.dbu = dbu
    um = round(1 / dbu)
    top, child = layout.create_cell("TOP"), layout.create_cell("CHILD")
    box(child, layout, 0, 0, um, um)
    top.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(0, False, um, 2 * um)))
    top.insert(kdb.CellInstArray(child.cell_index(), kdb.ICplxTrans(2.0, 0, False, um, 2 * um)))
    g = parser(layout, curve_tolerance=curve_tolerance)
    cells = g.export_cells(combine=True)
    assert layout.dbu == dbu
    assert sorted(cells.instances[0]) == [(0.0, 0.0), (0.0, 1.0), (1.0, 0.0), (1.0, 1.0)]
    assert [k.to_dict()["displacement"] for k in cells.cells[0].references[0].trans] == [[1.0, 2.0]] * 2
    assert [k.trans_matrix()[0][2] for k in cells.cells[0].references[0].trans] == [1.0, 1.0]
    assert g.extract_dpolygon(kdb.Polygon(kdb.Box(0, 0, um, um))) == cells.instances[0]


def test_caller_record_classes_are_constructed_normally(layout, monkeypatch):
    """Rebound record classes are called (their __post_init__ runs), in the
    parse and in the layer filter."""

    @lumino.dataclass
    class MyCell(lumino.Cell):
        def __post_init__(self):
            self.seen = True

    @lumino.dataclass
    class MyReference(lumino.Reference):
        def __post_init__(self):
            self.seen = True

    monkeypatch.setattr(lumino, "Cell", MyCell)
    monkeypatch.setattr(lumino, "Reference", MyReference)
    top, child = layout.create_cell("TOP"), layout.create_cell("CHILD")
    box(child, layout, 0, 0, 10, 10)
    top.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(), kdb.Vector(20, 0), kdb.Vector(0, 20), 2, 1))
    g = parser(layout)
    tops = [g.export_cells(combine=False).cells[0], g.export_layers(combine=False).layers[0][str(layout.layer(1, 0))]]
    for tree in tops:
        (ref,) = tree.references
        assert (type(tree), type(ref), tree.seen, ref.seen) == (MyCell, MyReference, True, True)
        assert (ref.name, ref.trans_count, len(ref.trans), ref.polygons) == ("CHILD", 2, 2, {"0": [0]})


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: lumino.KTrans(None), "trans must be a KLayout transformation"),
        (lambda: setattr(lumino.KTrans(kdb.Trans()), "trans", "r90"), "KTrans.trans must be a KLayout transformation"),
        (lambda: lumino.KTrans.multiply(None, "abc"), "trans must be a KTrans, a list or tuple of KTrans, or None"),
        (lambda: lumino.KTrans.multiply([None], None), "parent_trans must be a KTrans"),
    ],
)
def test_transformation_arguments_checked_on_entry(call, message):
    with pytest.raises(TypeError, match="^" + message):
        call()


@pytest.mark.parametrize("subclass", [False, True])
def test_placement_list_without_length_is_reported_where_read(layout, subclass):
    reference = lumino.dataclass(type("Sub", (lumino.Reference,), {})) if subclass else lumino.Reference
    top = layout.create_cell("TOP")
    box(top, layout, 0, 0, 10, 10)
    g = parser(layout)
    g.parsed_cells = lumino.ParsedCells([], g.layer_map, [lumino.Cell(0, "TOP", references=[reference(1, "C", trans=5)])])
    with pytest.raises(TypeError, match="has no len"):
        g.export_layers(combine=False)


def test_transformation_cycles_are_collected():
    import gc
    import weakref

    class Wrapped:
        angle, disp = 0, kdb.Point(0, 0)

        def is_mirror(self):
            return False

    w = Wrapped()
    w.back = lumino.KTrans(w)
    alive = weakref.ref(w)
    del w
    gc.collect()
    assert alive() is None
