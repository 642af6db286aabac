"""The exports take faster roads than the plain one, and must end where it
ends on any layout:
- shapes and instances read from the layout's GDS2 serialisation where that
  carries KLayout's own answer, against `parse_cells` (one shape and one
  instance at a time);
- trees combined and filtered before any record is made, against combining
  and filtering the records of the parsed tree."""

from __future__ import annotations

import random

import klayout.db as kdb
import pytest

from corvane.core import lumino

from .test_shared_layouts import DATA, FILES

LAYERS = {(1, 0): "WG", (2, 0): "SLAB", (3, 5): "M1"}


def table():
    return {pair: lumino.PdkLayer(name, 0.2, 0.0, "#ff0000") for pair, name in LAYERS.items()}


def frozen(node):
    """A tree as plain values; placements by their map form and KLayout object."""
    trans = [(k.to_dict(), type(k.trans).__name__, str(k.trans)) for k in getattr(node, "trans", [])]
    return (type(node).__name__, node.cell_index, node.name, node.polygons, getattr(node, "trans_count", None),
            trans, [frozen(r) for r in node.references])


def assert_both_readings_equal(layout, curve_tolerance=None):
    plain = lumino.ParseGDS(layout, table(), curve_tolerance=curve_tolerance)
    expected = [frozen(plain.parse_cells(top)) for top in layout.top_cells()]
    fast = lumino.ParseGDS(layout, table(), curve_tolerance=curve_tolerance)
    got = [frozen(top) for top in fast.export_cells(combine=False).cells]
    assert fast.instances == plain.instances
    assert fast.instance_mapping == plain.instance_mapping
    assert got == expected


def assert_combining_equal(layout, curve_tolerance=None):
    def fresh():
        return lumino.ParseGDS(layout, table(), curve_tolerance=curve_tolerance)

    cell, layer = lumino.Output.CELL, lumino.Output.LAYER
    # Combined cell trees.
    fast = fresh().export_cells(combine=True)
    plain = fresh()
    plain.export_cells(combine=False)
    assert [frozen(c) for c in fast.cells] == [frozen(c) for c in plain.combine_references(cell).cells]
    # Layer trees, uncombined and combined: made with the parse, or filtered
    # from an exported cell tree.
    for combine in (False, True):
        g = fresh()
        fast = g.export_layers(combine=combine)
        p = fresh()
        p.export_cells(combine=False)
        slow = p.export_layers(combine=combine)
        assert g.layer_combined is p.layer_combined is combine and not g.cell_combined
        assert [{k: frozen(t) for k, t in m.items()} for m in fast.layers] == [
            {k: frozen(t) for k, t in m.items()} for m in slow.layers]
        assert [frozen(c) for c in g.parsed_cells.cells] == [frozen(c) for c in p.parsed_cells.cells]
        if not combine:
            assert_shares_lists(g.parsed_cells, fast)


def assert_shares_lists(cells, layers):
    """Uncombined layer trees hold the very polygon and placement lists of the cell tree."""
    for top, by_layer in zip(cells.cells, layers.layers):
        for key, tree in by_layer.items():
            stack = [(top, tree)]
            while stack:
                source, node = stack.pop()
                if key in source.polygons:
                    assert node.polygons[key] is source.polygons[key]
                if hasattr(node, "trans"):
                    assert node.trans is source.trans
                kept = iter(node.references)
                nxt = next(kept, None)
                for ref in source.references:
                    if nxt is not None and nxt.cell_index == ref.cell_index and nxt.trans is ref.trans:
                        stack.append((ref, nxt))
                        nxt = next(kept, None)
                assert nxt is None


@pytest.mark.parametrize("gds, stack", FILES, ids=[f for f, _ in FILES])
def test_shared_layouts(gds, stack):
    layout = kdb.Layout()
    layout.read(str(DATA / "gds" / gds))
    assert_both_readings_equal(layout, curve_tolerance=0.01)
    assert_combining_equal(layout)


def random_layout(seed: int) -> kdb.Layout:
    """Cells holding every kind of shape, placed in every way."""
    rnd = random.Random(seed)
    layout = kdb.Layout()
    layout.dbu = rnd.choice([0.001, 0.001, 0.0005, 0.005])
    layers = [layout.layer(*pair) for pair in LAYERS] + [layout.layer(9, 9)]
    cells = [layout.create_cell(f"C{k}") for k in range(6)]

    def point():
        return kdb.Point(rnd.randint(-5000, 5000), rnd.randint(-5000, 5000))

    for cell in cells:
        for _ in range(rnd.randint(0, 12)):
            shapes = cell.shapes(rnd.choice(layers))
            kind = rnd.randrange(9)
            x, y = rnd.randint(-5000, 5000), rnd.randint(-5000, 5000)
            if kind == 0:
                shapes.insert(kdb.Box(x, y, x + rnd.randint(0, 900), y + rnd.randint(0, 900)))
            elif kind == 1:
                shapes.insert(kdb.SimplePolygon([point() for _ in range(rnd.randint(3, 9))]))
            elif kind == 2:
                poly = kdb.Polygon(kdb.Box(x, y, x + 1000, y + 1000))
                if rnd.random() < 0.5:
                    poly.insert_hole(kdb.Box(x + 200, y + 200, x + 400, y + 400))
                shapes.insert(poly)
            elif kind == 3:
                path = kdb.Path([point() for _ in range(rnd.randint(2, 4))], rnd.randint(0, 300))
                path.round = rnd.random() < 0.3
                path.bgn_ext, path.end_ext = rnd.randint(0, 50), rnd.randint(0, 50)
                shapes.insert(path)
            elif kind == 4:
                shapes.insert(kdb.Text("t", kdb.Trans(x, y)))
            elif kind == 5:
                shapes.insert(kdb.Edge(point(), point()))
            elif kind == 6:
                shapes.insert(kdb.Box(x, y, x + 100, y + 100), layout.properties_id([[1, "p"]]))
            elif kind == 7:
                shapes.insert(kdb.Polygon([point() for _ in range(rnd.randint(3, 6))]))
            else:
                shapes.insert(kdb.EdgePair(kdb.Edge(point(), point()), kdb.Edge(point(), point())))
    # Enough shapes for the serialised reading to pay (it is taken only then).
    fill = layout.create_cell("FILL")
    for k in range(1000):
        fill.shapes(layers[0]).insert(kdb.Box(k * 10, 0, k * 10 + 5, 5))
    cells[0].insert(kdb.CellInstArray(fill.cell_index(), kdb.Trans()))
    for k, cell in enumerate(cells[:-1]):
        for _ in range(rnd.randint(0, 5)):
            child = rnd.choice(cells[k + 1 :]).cell_index()
            kind = rnd.randrange(5)
            if kind < 2:
                trans = kdb.Trans(rnd.randrange(4), rnd.random() < 0.5, rnd.randint(-9000, 9000), rnd.randint(-9000, 9000))
            else:
                trans = kdb.ICplxTrans(rnd.choice([1.0, 0.5, 2.0]), rnd.choice([0.0, 90.0, 33.3, 270.0]),
                                       rnd.random() < 0.5, rnd.randint(-9000, 9000), rnd.randint(-9000, 9000))
            if kind in (0, 2):
                inst = kdb.CellInstArray(child, trans)
            else:
                a = kdb.Vector(rnd.randint(-3000, 3000), rnd.randint(-3000, 3000))
                b = kdb.Vector(rnd.randint(-3000, 3000), rnd.randint(-3000, 3000))
                inst = kdb.CellInstArray(child, trans, a, b, rnd.randint(1, 3), rnd.randint(1, 3))
            if rnd.random() < 0.2:
                cell.insert(inst, layout.properties_id([[2, "q"]]))
            else:
                cell.insert(inst)
    return layout


@pytest.mark.parametrize("seed", range(40))
def test_generated_layouts(seed):
    layout = random_layout(seed)
    assert_both_readings_equal(layout)
    assert_combining_equal(layout)


def test_pool_and_index_behave_as_the_list_and_dict_they_stand_for():
    import collections.abc
    import copy
    import pickle

    g = lumino.ParseGDS(random_layout(3), table(), curve_tolerance=None)
    g.export_cells()
    pool, index = g.instances, g.instance_mapping
    as_list, as_dict = copy.copy(pool), copy.deepcopy(index)
    assert type(as_list) is list and type(as_dict) is dict and len(as_list) == len(as_dict) > 3
    assert isinstance(pool, collections.abc.Sequence) and isinstance(index, collections.abc.Mapping)
    assert pool == as_list and list(pool) == as_list and pool[-1] == as_list[-1] and pool[1:3] == as_list[1:3]
    assert repr(pool) == repr(as_list) and pickle.loads(pickle.dumps(pool)) == as_list
    assert pool.index(as_list[2]) == as_list.index(as_list[2]) and pool.count(as_list[0]) == as_list.count(as_list[0])
    assert index == as_dict and list(index) == list(as_dict) and list(index.items()) == list(as_dict.items())
    key = next(iter(as_dict))
    assert index[key] == as_dict[key] and key in index and index.get((-1, 0, 0), "none") == "none"
    with pytest.raises(IndexError):
        pool[len(as_list)]
    with pytest.raises(KeyError):
        index[(-1, 0, 0)]
    pool[0] = [(1, 2), (3.5, 4)]
    pool.append(((0, 0), (1, 0), (1, 1)))
    as_list[0] = [(1.0, 2.0), (3.5, 4.0)]
    as_list.append([(0.0, 0.0), (1.0, 0.0), (1.0, 1.0)])
    assert pool == as_list and pool != as_list[:-1]
    with pytest.raises(TypeError):
        hash(pool)


@pytest.mark.parametrize("side", [2_000_000_000, 3_100_000_000, 4_200_000_000])
def test_boxes_whose_area_overflows_64_bits(side):
    """KLayout orients the hull of such a box otherwise than it writes it."""
    layout = kdb.Layout()
    top, fill = layout.create_cell("TOP"), layout.create_cell("FILL")
    wg = layout.layer(1, 0)
    half = side // 2
    top.shapes(wg).insert(kdb.Box(-half, -half, side - half, side - half))
    top.shapes(wg).insert(kdb.Box(-half, 0, side - half, 10))
    for k in range(1000):  # enough shapes for the serialised reading
        fill.shapes(wg).insert(kdb.Box(k * 10, 0, k * 10 + 5, 5))
    top.insert(kdb.CellInstArray(fill.cell_index(), kdb.Trans()))
    assert_both_readings_equal(layout)
