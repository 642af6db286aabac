"""Outlines whose edges are all horizontal or vertical keep their points at
any tolerance, on every road that simplifies (one shape at a time, the parse
of a caller's layout, the file read, the message with its simplification
during the read, shapely where the core's simplifier is not used); outlines
with any other edge are simplified exactly as shapely does it."""

from __future__ import annotations

import math

import klayout.db as kdb
import numpy as np
import orjson
import pytest
import shapely
import shapely.geometry as sg
import velloc.technology as vlt

from corvane.core import lumino

from .test_file_roads import GEOS_VERIFIED, shapely_road
from .test_message_roads import lumino_message, record_road
from .release import needs_reader

LAYER = (1, 0)


def manhattan(points) -> bool:
    """Every edge of the closed outline horizontal or vertical."""
    return all(a[0] == b[0] or a[1] == b[1] for a, b in zip(points, [*points[1:], *points[:1]]))


def staircase(steps: int, rise: int, run: int) -> list[tuple[int, int]]:
    """A staircase of small steps closed by a long floor and wall: a Manhattan
    outline that simplification at 0.01 um would turn into a slope."""
    pts = [(0, 0)]
    for k in range(steps):
        pts += [(k * run, (k + 1) * rise), ((k + 1) * run, (k + 1) * rise)]
    return pts + [(steps * run, 0)]


# In database units of 1 nm.
MANHATTAN = {
    "thin box": kdb.Box(0, 0, 380, 10),
    "box below the tolerance": kdb.Box(0, 0, 3, 3),
    "thin polygon box": kdb.SimplePolygon([kdb.Point(*p) for p in [(0, 0), (0, 8), (2000, 8), (2000, 0)]]),
    "L with a 5 nm jog": [(0, 0), (4000, 0), (4000, 5), (3000, 5), (3000, 2000), (0, 2000)],
    "comb of 5 nm teeth": [p for k in range(20) for p in ((20 * k, 0), (20 * k, 6), (20 * k + 5, 6), (20 * k + 5, 0))]
    + [(400, 0), (400, -300), (0, -300)],
    "staircase of 40 steps": staircase(40, 4, 6),
}
ANY_ANGLE = {
    "arc": [(round(10000 * math.cos(math.pi * k / 90)), round(10000 * math.sin(math.pi * k / 90))) for k in range(91)],
    "thin rhombus": [(0, 0), (400, 3), (403, 12), (3, 9)],
    "L with one chamfer": [(0, 0), (4000, 0), (4000, 5), (3000, 5), (2995, 10), (2995, 2000), (0, 2000)],
}


def shape_of(value):
    return value if isinstance(value, (kdb.Box, kdb.SimplePolygon)) else kdb.SimplePolygon([kdb.Point(*p) for p in value])


def layout_file(tmp_path):
    """Every shape in a cell of its own, each cell placed twice (so that the
    read sees repeated points), written as GDS2."""
    layout = kdb.Layout()
    layout.dbu = 0.001
    li = layout.layer(*LAYER)
    top = layout.create_cell("TOP")
    for n, (name, value) in enumerate({**MANHATTAN, **ANY_ANGLE}.items()):
        cell = layout.create_cell(f"C{n}")
        cell.shapes(li).insert(shape_of(value))
        for k in range(2):
            top.insert(kdb.CellInstArray(cell.cell_index(), kdb.Trans(kdb.Vector(30000 * n, 30000 * k))))
    path = tmp_path / "manhattan.gds"
    layout.write(str(path))
    return path


def hull(shape) -> list[tuple[float, float]]:
    return [(p.x / 1000, p.y / 1000) for p in shape.polygon.to_dtype().each_point_hull()]


def expected(points, tolerance):
    """The outline every road must give: the hull itself when Manhattan, else
    shapely's simplification with the closing point removed."""
    if tolerance is None or manhattan(points):
        return points
    coords = list(sg.Polygon(points).simplify(tolerance, preserve_topology=True).exterior.coords)
    return coords[:-1] if coords[0] == coords[-1] else coords


def table():
    return {LAYER: lumino.PdkLayer("one", 0.2, 0.0, "#ff0000")}


def stack_file(tmp_path):
    path = tmp_path / "stack.json"
    path.write_text(orjson.dumps({"name": "one", "layers": [
        {"name": "one", "layer": 1, "datatype": 0, "zmin": 0.0, "thickness": 0.2, "color": "#ff0000"}]}).decode())
    return vlt.read_layer_technology(path)


ROADS = ["each shape", "parse_cells", "export_cells", "to_3D_viewer"]


def shape_cells(layout):
    """The cells C0, C1, ... of layout_file, in that order."""
    return sorted((c for c in layout.each_cell() if c.name != "TOP"), key=lambda c: int(c.name[1:]))


def pool_by_road(road, path, tolerance):
    """The outline of each shape cell's shape, in the order of shape_cells."""
    layout = kdb.Layout()
    layout.read(str(path))
    cells = shape_cells(layout)
    if road == "to_3D_viewer":
        stack, views = stack_file(path.parent)
        data = lumino.to_3D_viewer(str(path), lumino.Output.CELL, layer_stack=stack, layer_views=views,
                                   curve_tolerance=tolerance, as_dict=True)
        (top,) = data["parts"]
        refs = {cell["name"]: cell["parts"][0]["shape"]["refs"] for cell in top["parts"]}
        pool = [list(zip(p[0::2].tolist(), p[1::2].tolist())) for p in data["instances"]]
        return [pool[refs[c.name][0]] for c in cells]
    g = lumino.ParseGDS(layout, table(), curve_tolerance=tolerance)
    li = layout.layer(*LAYER)
    if road == "each shape":
        return [g.extract_dpolygon(next(iter(c.shapes(li).each())).polygon) for c in cells]
    if road == "parse_cells":
        g.parse_cells(layout.top_cell())
    else:
        g.export_cells(combine=False)
    return [list(g.instances[g.instance_mapping[(c.cell_index(), li, 0)]]) for c in cells]


@pytest.mark.parametrize("simplifier", ["core", "shapely"])
@pytest.mark.parametrize("tolerance", [None, 0.001, 0.01, 5.0])
@pytest.mark.parametrize("road", ROADS)
def test_manhattan_outlines_keep_their_points_on_every_road(tmp_path, road, tolerance, simplifier, monkeypatch):
    if simplifier == "core" and not GEOS_VERIFIED:
        pytest.skip(f"GEOS {shapely.geos_version} is not verified: shapely simplifies on every road")
    path = layout_file(tmp_path)
    if simplifier == "shapely":
        shapely_road(monkeypatch)
    layout = kdb.Layout()
    layout.read(str(path))
    hulls = [hull(next(iter(c.shapes(layout.layer(*LAYER)).each()))) for c in shape_cells(layout)]
    got = pool_by_road(road, path, tolerance)
    assert len(got) == len(hulls) == len(MANHATTAN) + len(ANY_ANGLE)
    assert [manhattan(h) for h in hulls] == [True] * len(MANHATTAN) + [False] * len(ANY_ANGLE)
    for name, points, outline in zip([*MANHATTAN, *ANY_ANGLE], hulls, got):
        want = expected(points, tolerance)
        if road == "to_3D_viewer":  # the viewer's pool is float32
            want = [tuple(p) for p in np.asarray(want, dtype=np.float32).tolist()]
        assert [tuple(p) for p in outline] == want, name


def test_the_thin_box_of_the_report_keeps_its_four_corners(layout):
    top = layout.create_cell("TOP")
    top.shapes(layout.layer(*LAYER)).insert(kdb.Box(0, 0, 380, 10))
    g = lumino.ParseGDS(layout, table())  # the default tolerance, 0.01 um
    (shape,) = top.shapes(layout.layer(*LAYER)).each()
    assert g.extract_dpolygon(shape.polygon) == [(0.0, 0.0), (0.0, 0.01), (0.38, 0.01), (0.38, 0.0)]


@pytest.mark.skipif(not GEOS_VERIFIED, reason=f"GEOS {shapely.geos_version} is not verified: nothing is simplified during the read")
@pytest.mark.parametrize("workers", [0, 2])
@needs_reader
def test_the_read_simplifies_none_of_the_manhattan_outlines(tmp_path, workers):
    path = layout_file(tmp_path)
    made = lumino._presimplified(str(path), 0.01, workers)
    read, _ = lumino._read_layout(str(path))
    for ci, at, k in made:
        points = np.asarray(read["cells"][ci]["shapes"][at][k]).reshape(-1, 2).tolist()
        assert not manhattan(points), (ci, at, k)
    # Every any-angle outline that simplification changes was made (both placements' cell once).
    assert len(made) == sum(1 for v in ANY_ANGLE.values() if not manhattan(v))


@pytest.mark.parametrize("simplifier", ["core", "shapely"])
@pytest.mark.parametrize("output", [lumino.Output.CELL, lumino.Output.LAYER], ids=["cell", "layer"])
def test_the_message_and_the_records_agree(tmp_path, output, simplifier, monkeypatch):
    path = layout_file(tmp_path)
    if simplifier == "shapely":
        shapely_road(monkeypatch)
    stack, views = stack_file(tmp_path)
    assert lumino_message(str(path), output, stack, views) == record_road(str(path), output, stack, views)
