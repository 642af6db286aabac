import klayout.db as kdb
import numpy as np
import pytest
from orvik import LayerEnum
from velloc import Component, Transform
from velloc.components import arc_points


def canonical(points) -> tuple:
    """A polygon's points as a tuple that ignores start point and winding direction."""
    pts = [tuple(int(v) for v in p) for p in points]
    area = sum(x0 * y1 - x1 * y0 for (x0, y0), (x1, y1) in zip(pts, pts[1:] + pts[:1]))
    if area < 0:
        pts.reverse()
    start = pts.index(min(pts))
    return tuple(pts[start:] + pts[:start])


def read_back(component: Component, tmp_path):
    path = component.write_gds(tmp_path / f"{component.name}.gds")
    layout = kdb.Layout()
    layout.read(str(path))
    return layout


def cell_polygons(layout, cell) -> dict:
    result = {}
    for li in layout.layer_indexes():
        info = layout.get_info(li)
        polys = [
            canonical((q.x, q.y) for q in s.polygon.each_point_hull())
            for s in cell.shapes(li).each()
        ]
        if polys:
            result[(info.layer, info.datatype)] = sorted(polys)
    return result


def flat_region(layout, layer) -> kdb.Region:
    li = layout.find_layer(*layer)
    return kdb.Region(layout.top_cell().begin_shapes_rec(li))


def expected_region(polys) -> kdb.Region:
    region = kdb.Region()
    for pts in polys:
        region.insert(
            kdb.Polygon([kdb.Point(*p) for p in np.rint(pts * 1000).astype(int).tolist()])
        )
    return region


@pytest.fixture
def hierarchy():
    leaf = Component("leaf")
    leaf.add_polygon([(0, 0), (4, 0), (4, 1), (1, 1), (1, 3), (0, 3)], LayerEnum.WG)  # concave
    leaf.add_polygon(np.vstack(([(0, 0)], arc_points(5.0, 0, 90))), (3, 0))  # quarter disc
    leaf.add_port("o1", (0, 0.5), 180, 1.0, LayerEnum.WG)
    dot = Component("dot")
    dot.add_polygon(
        [(0, 0), (0.5, 0), (0.5, 0.5), (0, 0.5), (0, 0)], LayerEnum.M1
    )  # closed ring of points
    mid = Component("mid")
    mid.add_ref(leaf, "plain")
    mid.add_ref(dot, "grid", origin=(10, 0), columns=3, rows=2, spacing=(2.0, 1.5))
    top = Component("top")
    top.add_ref(mid, "m0", origin=(-5.5, 2.25))
    top.add_ref(mid, "m1", origin=(20, 0), rotation=90, mirror=True)
    top.add_ref(leaf, "tilted", origin=(0, -20), rotation=33.3)
    top.add_ref(dot, "turned", origin=(1, 1), rotation=270, mirror=True, columns=2, spacing=(1, 0))
    top.add_polygon([(-1, -1), (1, -1), (0, 1)], LayerEnum.WG)
    return top


def test_gds_round_trip_keeps_every_cell_polygon(hierarchy, tmp_path):
    layout = read_back(hierarchy, tmp_path)
    components = {c.name: c for c in hierarchy._walk()}
    assert {c.name for c in layout.each_cell()} == set(components)
    assert layout.top_cell().name == "top"
    for kcell in layout.each_cell():
        comp = components[kcell.name]
        expected = {
            layer: sorted(canonical(p) for p in polys) for layer, polys in comp.polygons.items()
        }
        assert cell_polygons(layout, kcell) == expected
        assert sum(1 for _ in kcell.each_inst()) == len(comp.references)


def test_quarter_disc_keeps_its_many_points(hierarchy, tmp_path):
    layout = read_back(hierarchy, tmp_path)
    leaf = layout.cell("leaf")
    (disc,) = leaf.shapes(layout.find_layer(3, 0)).each()
    (stored,) = [ref.component for ref in hierarchy.references if ref.name == "tilted"][0].polygons[
        (3, 0)
    ]
    assert disc.polygon.num_points_hull() == len(stored) > 40


def test_flattened_geometry_matches_klayout(hierarchy, tmp_path):
    """References (rotation, mirror, any angle, arrays) place shapes where KLayout places them."""
    layout = read_back(hierarchy, tmp_path)
    for layer, polys in hierarchy.get_polygons().items():
        theirs = flat_region(layout, layer)
        ours = expected_region(polys)
        assert theirs.count() == ours.count()
        # Off-grid rotations may round single points differently by one database unit.
        assert (theirs ^ ours).sized(-1).is_empty(), layer
    assert flat_region(layout, LayerEnum.M1.value).count() == 2 * 6 + 2


@pytest.mark.parametrize(
    "a, b",
    [
        (Transform(90, False, 1, 2), Transform(0, True, 3, -1)),
        (Transform(30, True, -2, 5), Transform(45, True, 1, 1)),
        (Transform(270, True, 0, 0), Transform(12.5, False, -7, 3)),
    ],
)
def test_transform_composition_agrees_with_klayout(a, b):
    def k(t):
        return kdb.DCplxTrans(1.0, t.rotation, t.mirror, t.x, t.y)

    pts = np.array([[1.0, 0.0], [0.3, -2.0], [-4.0, 5.5]])
    both = k(a) * k(b)
    want = [(q.x, q.y) for q in (both.trans(kdb.DPoint(*p)) for p in pts)]
    assert np.allclose((a * b).apply(pts), want)


def test_distinct_components_with_one_name_get_distinct_cells(tmp_path):
    top = Component("top")
    for k, size in enumerate((1.0, 2.0)):
        pad = Component("pad")
        pad.add_polygon([(0, 0), (size, 0), (size, size), (0, size)], LayerEnum.M1)
        top.add_ref(pad, f"p{k}", origin=(10 * k, 0))
    layout = read_back(top, tmp_path)
    assert sorted(c.name for c in layout.each_cell()) == ["pad", "pad$1", "top"]
    assert flat_region(layout, LayerEnum.M1.value).area() == (1000**2 + 2000**2)
