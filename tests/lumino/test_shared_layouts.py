"""ParseGDS on the real layouts of examples/, checked against KLayout.

Each file is read once per module.  The expected values are derived
independently through KLayout's own API (hull points, recursive instance
iteration, per-instance transformations) and shapely's per-polygon
simplification, so the parser's fast paths (binary polygon reading, batched
simplification, instance text decoding, cell reuse) must agree with the
plain reading exactly.
"""

from __future__ import annotations

from collections import Counter, defaultdict
from functools import cached_property
from pathlib import Path

import klayout.db as kdb
import pytest
import shapely.errors
import shapely.geometry as sg
import velloc.technology as vlt

from corvane.core import lumino

DATA = Path(__file__).resolve().parents[2] / "examples"

FILES = [
    ("tt_um_loopback.gds", "sky130_like_stack.json"),
    ("tt_um_vga_clock.gds", "sky130_like_stack.json"),
    ("MiniChip_1mm.gds", "photonics_stack.json"),
    ("RingResonator.gds", "photonics_stack.json"),
    ("UBC_Logo.gds", "photonics_stack.json"),
]

pytestmark = pytest.mark.skipif(not (DATA / "gds").is_dir(), reason="example layouts (examples/gds) not present")

TOLERANCE = 0.01
# Complex placements are compared by matrix: sorted by entries rounded to
# this many decimals, then compared element-wise within ABS.
DECIMALS = 9
ABS = 1e-9


# --- independent readings -----------------------------------------------------


def plain_hull(shape) -> list[tuple[float, float]]:
    """Hull of a shape point by point, in micrometres."""
    return [(p.x / 1000, p.y / 1000) for p in shape.polygon.to_dtype().each_point_hull()]


def manhattan(points) -> bool:
    """Every edge of the closed outline horizontal or vertical."""
    return all(a[0] == b[0] or a[1] == b[1] for a, b in zip(points, [*points[1:], *points[:1]]))


def simplified(points: list[tuple[float, float]]) -> list[tuple[float, float]]:
    """One polygon simplified by shapely on its own, closing point removed.

    An outline of horizontal and vertical edges is never simplified, and a
    polygon that shapely cannot turn into a non-empty simplified polygon
    keeps its points.
    """
    if manhattan(points):
        return points
    try:
        simple = sg.Polygon(points).simplify(TOLERANCE, preserve_topology=True)
    except (ValueError, shapely.errors.GEOSException):
        return points
    if not isinstance(simple, sg.Polygon) or simple.is_empty:
        return points
    coords = list(simple.exterior.coords)
    if coords[0] == coords[-1]:
        coords.pop()
    return coords


def matrix3d(dtrans) -> tuple[float, ...]:
    """KLayout's own 2x3 matrix of a micrometre-unit transformation."""
    m = kdb.Matrix3d(dtrans)
    return tuple(m.m(i, j) for i in range(2) for j in range(3))


def ktrans_key(k) -> str | tuple[float, ...]:
    """A placement as KLayout's text form when simple, else as its matrix
    (displacement in micrometres)."""
    t = k.trans
    if isinstance(t, kdb.Trans):
        return str(t)
    (a, b, tx), (c, d, ty) = k.trans_matrix()
    return (a, b, tx, c, d, ty)


def inst_keys(inst) -> list[str | tuple[float, ...]]:
    """Every placement of one KLayout instance in KLayout's order, array
    elements expanded, keyed like `ktrans_key`."""
    if not inst.is_complex():
        return [str(t) for t in inst.cell_inst.each_trans()]
    out = []
    for t in inst.cell_inst.each_cplx_trans():
        m = list(matrix3d(kdb.DCplxTrans(t.mag, t.angle, t.is_mirror(), t.disp.x, t.disp.y)))
        m[2] /= 1000
        m[5] /= 1000
        out.append(tuple(m))
    return out


def assert_same_placements(got: list, expected: list, what: str) -> None:
    """Equal in order: texts exactly, matrices within ABS."""
    assert len(got) == len(expected), what
    for g, e in zip(got, expected):
        if isinstance(e, str):
            assert g == e, what
        else:
            assert isinstance(g, tuple) and g == pytest.approx(e, abs=ABS), what


def assert_same_multiset(got: list, expected: list, what: str) -> None:
    """Equal up to order (complex placements matched after sorting)."""

    def split(keys):
        texts = Counter(k for k in keys if isinstance(k, str))
        matrices = [k for k in keys if not isinstance(k, str)]
        return texts, sorted(matrices, key=lambda m: tuple(round(v, DECIMALS) for v in m))

    (gs, gc), (es, ec) = split(got), split(expected)
    assert gs == es, what
    assert_same_placements(gc, ec, what)


class Case:
    """One shared layout with its layer table and the parses the tests share."""

    def __init__(self, gds: str, stack: str):
        self.name = gds
        self.layout = kdb.Layout()
        self.layout.read(str(DATA / "gds" / gds))
        assert self.layout.dbu == pytest.approx(0.001)
        self.layers = lumino.get_layer_properties(*vlt.read_layer_technology(DATA / stack))

    # KLayout's view

    @cached_property
    def tops(self):
        return list(self.layout.top_cells())

    @cached_property
    def mapped(self) -> list[int]:
        out = []
        for li in self.layout.layer_indices():
            info = self.layout.get_info(li)
            if (info.layer, info.datatype) in self.layers:
                out.append(li)
        return out

    @cached_property
    def reachable(self) -> set[int]:
        cells = set()
        for top in self.tops:
            cells.add(top.cell_index())
            cells.update(top.called_cells())
        return cells

    @cached_property
    def shapes(self) -> dict[tuple[int, int, int], object]:
        """Polygon-convertible, non-text shapes of reachable cells on mapped
        layers, by (cell index, layer index, position among all shapes)."""
        out = {}
        for ci in sorted(self.reachable):
            cell = self.layout.cell(ci)
            for li in self.mapped:
                for pos, shape in enumerate(cell.shapes(li).each()):
                    if not shape.is_text() and shape.polygon is not None:
                        out[(ci, li, pos)] = shape
        return out

    @cached_property
    def layers_below(self) -> dict[int, set[str]]:
        """Per reachable cell, the layer keys with polygons in it or below it."""
        own = defaultdict(set)
        for ci, li, _ in self.shapes:
            own[ci].add(str(li))
        out = {}
        for ci in self.reachable:
            keys = set(own[ci])
            for child in self.layout.cell(ci).called_cells():
                keys |= own[child]
            out[ci] = keys
        return out

    @cached_property
    def placements(self) -> dict[int, dict[int, list]]:
        """Per top cell, per child cell: every placement KLayout's recursive
        instance iterator delivers, composed up to the top cell."""
        out = {}
        for top in self.tops:
            per_child = defaultdict(list)
            for it in top.begin_instances_rec().each():
                full = it.trans() * it.inst_trans()
                if full.is_complex():
                    key = matrix3d(it.dtrans() * it.inst_dtrans())
                else:
                    key = str(full.s_trans())
                per_child[it.inst_cell().cell_index()].append(key)
            out[top.cell_index()] = dict(per_child)
        return out

    # The parser's view

    @cached_property
    def exports(self):
        """One parser exporting combined cells, then combined layers."""
        parser = lumino.ParseGDS(self.layout, self.layers)
        cells = parser.export_cells(combine=True)
        after_cells = (parser.cell_combined, len(parser.instances))
        layers = parser.export_layers(combine=True)
        return parser, cells, layers, after_cells

    @cached_property
    def raw(self):
        """A parser without simplification and its uncombined cell tree."""
        parser = lumino.ParseGDS(self.layout, self.layers, curve_tolerance=None)
        return parser, parser.export_cells(combine=False)


@pytest.fixture(scope="module", params=FILES, ids=[gds.removesuffix(".gds") for gds, _ in FILES])
def case(request) -> Case:
    return Case(*request.param)


def tree_placements(cell) -> dict[int, list]:
    """Per child cell, every placement held anywhere in a combined tree;
    also checks the combined-tree invariants on the way."""
    out = defaultdict(list)

    def walk(node):
        indices = [ref.cell_index for ref in node.references]
        assert len(indices) == len(set(indices)), f"{node.name}: a child cell listed twice"
        for ref in node.references:
            assert ref.trans_count == len(ref.trans)
            out[ref.cell_index].extend(ktrans_key(k) for k in ref.trans)
            walk(ref)

    walk(cell)
    return dict(out)


def mismatches(pairs, limit=5) -> list[str]:
    """Up to `limit` descriptions of (key, got, expected) with got != expected,
    compared by repr so that every float must be identical to the bit."""
    out = []
    for key, got, expected in pairs:
        if repr(got) != repr(expected):
            out.append(f"{key}: got {got!r}, expected {expected!r}")
            if len(out) == limit:
                break
    return out


# --- exports ---------------------------------------------------------------------


def test_exports_in_both_modes(case):
    parser, cells, layers, (cell_combined, pool_after_cells) = case.exports
    assert cell_combined and parser.layer_combined
    # The layer export filtered a fresh, uncombined parse of the cells.
    assert parser.parsed_cells is not cells
    assert [c.cell_index for c in cells.cells] == [t.cell_index() for t in case.tops]
    assert [c.name for c in cells.cells] == [t.name for t in case.tops]
    assert cells.instances is parser.instances
    assert len(layers.layers) == len(case.tops)
    assert layers.instances is parser.parsed_cells.instances
    # Parsing again for the layer export finds every shape in the pool.
    assert len(parser.instances) == pool_after_cells
    assert sorted(parser.layer_map) == sorted(case.mapped)
    assert len(parser.instances) > 0


# --- the polygon pool ------------------------------------------------------------


def test_pool_holds_each_polygon_shape_once(case):
    parser = case.exports[0]
    assert len(parser.instances) == len(case.shapes)
    assert parser.instance_index == len(parser.instances)
    assert set(parser.instance_mapping) == set(case.shapes)
    assert sorted(parser.instance_mapping.values()) == list(range(len(parser.instances)))
    # Without simplification the walk assigns the same indices.
    assert case.raw[0].instance_mapping == parser.instance_mapping


def test_pool_equals_per_polygon_simplification(case):
    parser = case.exports[0]
    pool, mapping = parser.instances, parser.instance_mapping
    bad = mismatches(
        (key, pool[mapping[key]], simplified(plain_hull(shape))) for key, shape in case.shapes.items()
    )
    assert not bad, "\n".join(bad)


def test_pool_without_tolerance_equals_plain_hulls(case):
    parser = case.raw[0]
    pool, mapping = parser.instances, parser.instance_mapping
    bad = mismatches((key, pool[mapping[key]], plain_hull(shape)) for key, shape in case.shapes.items())
    assert not bad, "\n".join(bad)


@pytest.mark.parametrize("simplify", [True, False], ids=["simplified", "raw"])
def test_extract_dpolygon_equals_pool(case, simplify):
    parser = case.exports[0] if simplify else case.raw[0]
    pool, mapping = parser.instances, parser.instance_mapping
    bad = mismatches(
        (key, parser.extract_dpolygon(shape.polygon), pool[mapping[key]])
        for key, shape in case.shapes.items()
    )
    assert not bad, "\n".join(bad)


# --- placements ------------------------------------------------------------------


def test_uncombined_tree_mirrors_each_cell(case):
    """Every visit of a cell carries its own polygons and one reference per
    KLayout instance, with that instance's placements."""
    parser, parsed = case.raw
    mapping = parser.instance_mapping
    expected = {}

    def expect(ci):
        if ci not in expected:
            cell = case.layout.cell(ci)
            polygons = defaultdict(list)
            for li in case.mapped:
                for pos, _ in enumerate(cell.shapes(li).each()):
                    if (ci, li, pos) in case.shapes:
                        polygons[str(li)].append(mapping[(ci, li, pos)])
            insts = [(inst.cell_index, inst_keys(inst)) for inst in cell.each_inst()]
            expected[ci] = (cell.name, dict(polygons), insts)
        return expected[ci]

    def walk(node):
        name, polygons, insts = expect(node.cell_index)
        assert node.name == name
        assert node.polygons == polygons, node.name
        assert [r.cell_index for r in node.references] == [ci for ci, _ in insts], node.name
        for ref, (_, placed) in zip(node.references, insts):
            assert ref.trans_count == len(ref.trans)
            assert_same_placements([ktrans_key(k) for k in ref.trans], placed, f"{node.name} -> {ref.name}")
            walk(ref)

    for cell in parsed.cells:
        walk(cell)


def test_combined_placement_counts(case):
    cells = case.exports[1]
    for top in cells.cells:
        got = {ci: len(p) for ci, p in tree_placements(top).items()}
        expected = {ci: len(p) for ci, p in case.placements[top.cell_index].items()}
        assert got == expected, top.name


def test_combined_placements_equal_klayout(case):
    cells = case.exports[1]
    for top in cells.cells:
        got = tree_placements(top)
        expected = case.placements[top.cell_index]
        assert got.keys() == expected.keys()
        for ci, placed in expected.items():
            assert_same_multiset(got[ci], placed, f"{top.name} -> {case.layout.cell(ci).name}")


def test_layer_trees_keep_branches_with_polygons(case):
    """Per layer, a child stays with all its placements exactly when it or a
    cell below it has polygons on the layer."""
    layers = case.exports[2]
    for top, cell_layers in zip(case.tops, layers.layers):
        below = case.layers_below
        assert set(cell_layers) == below[top.cell_index()], top.name
        all_placed = case.placements[top.cell_index()]
        for key, tree in cell_layers.items():
            got = tree_placements(tree)
            expected = {ci: p for ci, p in all_placed.items() if key in below[ci]}
            assert got.keys() == expected.keys(), (top.name, key)
            for ci, placed in expected.items():
                assert_same_multiset(
                    got[ci], placed, f"layer {key}: {top.name} -> {case.layout.cell(ci).name}"
                )
