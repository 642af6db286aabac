"""Exports of the parse result and reference combining."""

import klayout.db as kdb
import pytest

from corvane.core import lumino

from .conftest import layer_table

T = [None] + [kdb.Trans(r % 4, r > 3, 10 * r, -3 * r) for r in range(1, 6)]  # t1..t5


def example():
    """Top holds A1 (t1), B (t2), A2 (t3); cell A holds C1 (t4), C2 (t5)."""
    ly = kdb.Layout()
    top, a, b, c = (ly.create_cell(n) for n in ("TOP", "A", "B", "C"))
    wg, slab = ly.layer(1, 0), ly.layer(2, 0)
    for cell, li in ((a, wg), (b, slab), (c, wg)):
        cell.shapes(li).insert(kdb.Box(0, 0, 100, 100))
    for cell, child, t in ((top, a, T[1]), (top, b, T[2]), (top, a, T[3]), (a, c, T[4]), (a, c, T[5])):
        cell.insert(kdb.CellInstArray(child.cell_index(), t))
    return ly, lumino.ParseGDS(ly, layer_table((1, 0, "WG"), (2, 0, "SLAB")), curve_tolerance=None)


def texts(refs_trans):
    return [str(k.trans) for k in refs_trans]


def test_combine_example():
    _, g = example()
    cells = g.export_cells(combine=False)
    a1, b, a2 = cells.cells[0].references
    c1 = a1.references[0]
    out = g.combine_references(lumino.Output.CELL)
    assert out is g.parsed_cells and g.cell_combined
    refs = out.cells[0].references
    assert refs[0] is a1 and refs[1] is b and len(refs) == 2
    assert (a1.trans_count, texts(a1.trans)) == (2, [str(T[1]), str(T[3])])
    assert (b.trans_count, texts(b.trans)) == (1, [str(T[2])])
    assert a1.references == [c1]
    assert c1.trans_count == 4
    assert texts(c1.trans) == [str(p * c) for p in (T[1], T[3]) for c in (T[4],)] + [
        str(p * c) for p in (T[1], T[3]) for c in (T[5],)]
    assert a2.trans_count == 1  # unreachable and untouched


def test_nested_placements_grouped_by_child_placement():
    ly = kdb.Layout()
    top, mid, leaf = (ly.create_cell(n) for n in ("TOP", "MID", "LEAF"))
    leaf.shapes(ly.layer(1, 0)).insert(kdb.Box(0, 0, 1, 1))
    top.insert(kdb.CellInstArray(mid.cell_index(), kdb.Trans(), kdb.Vector(100, 0), kdb.Vector(0, 100), 2, 1))
    mid.insert(kdb.CellInstArray(leaf.cell_index(), kdb.Trans(1, False, 0, 0), kdb.Vector(7, 0), kdb.Vector(0, 9),
                                 1, 3))
    g = lumino.ParseGDS(ly, layer_table((1, 0, "WG")))
    g.export_cells()
    (m,) = g.parsed_cells.cells[0].references
    (leaf_ref,) = m.references
    assert leaf_ref.trans_count == 6
    parents = [kdb.Trans(0, 0), kdb.Trans(100, 0)]
    children = [kdb.Trans(1, False, 0, 9 * j) for j in range(3)]
    assert texts(leaf_ref.trans) == [str(p * c) for c in children for p in parents]


def test_two_arrays_to_one_cell_sum_their_placements():
    ly = kdb.Layout()
    top, cell = ly.create_cell("TOP"), ly.create_cell("X")
    cell.shapes(ly.layer(1, 0)).insert(kdb.Box(0, 0, 1, 1))
    for n in (2, 3):
        top.insert(kdb.CellInstArray(cell.cell_index(), kdb.Trans(), kdb.Vector(5, 0), kdb.Vector(0, 5), n, 2))
    g = lumino.ParseGDS(ly, layer_table((1, 0, "WG")))
    (ref,) = g.export_cells().cells[0].references
    assert ref.trans_count == 10 == len(ref.trans)


def test_top_cell_without_references_is_untouched():
    ly = kdb.Layout()
    top = ly.create_cell("TOP")
    top.shapes(ly.layer(1, 0)).insert(kdb.Box(0, 0, 1, 1))
    g = lumino.ParseGDS(ly, layer_table((1, 0, "WG")))
    refs = g.export_cells(combine=False).cells[0].references
    g.combine_references(lumino.Output.CELL)
    assert g.parsed_cells.cells[0].references is refs


def test_export_layers_filters_and_combines_without_touching_the_cell_tree():
    ly, g = example()
    wg, slab = str(ly.layer(1, 0)), str(ly.layer(2, 0))
    layers = g.export_layers()
    assert g.layer_combined and not g.cell_combined
    (top_layers,) = layers.layers
    assert list(top_layers) == [wg, slab]
    assert layers.instances is g.parsed_cells.instances and layers.layer_map is g.parsed_cells.layer_map
    # WG: A (twice, combined) with C; B has nothing on WG.
    (a,) = top_layers[wg].references
    assert (a.name, a.trans_count, a.polygons) == ("A", 2, {wg: [0]})
    assert a.references[0].trans_count == 4
    # SLAB: only B survives, the A branch has nothing on it.
    (b,) = top_layers[slab].references
    assert (b.name, b.polygons, b.references) == ("B", {slab: [2]}, [])
    # The cell tree keeps its uncombined placements.
    cell_refs = g.parsed_cells.cells[0].references
    assert [r.trans_count for r in cell_refs] == [1, 1, 1]
    assert [r.trans_count for r in cell_refs[0].references] == [1, 1]


def test_filtered_reference_shares_its_placements():
    _, g = example()
    g.export_layers(combine=False)
    cell_a = g.parsed_cells.cells[0].references[0]
    filtered_a = next(iter(g.parsed_layers.layers[0].values())).references[0]
    assert type(filtered_a) is lumino.Reference and filtered_a is not cell_a
    assert filtered_a.trans is cell_a.trans and filtered_a.trans_count == 1


def test_export_layers_after_combined_export_cells_parses_again():
    _, g = example()
    g.export_cells(combine=True)
    first = g.parsed_cells
    assert g.cell_combined
    layers = g.export_layers()
    assert g.parsed_cells is not first and not g.cell_combined
    (a,) = next(iter(layers.layers[0].values())).references
    assert a.trans_count == 2 and a.references[0].trans_count == 4  # composed once, not twice
    assert len(g.instances) == 3  # the second parse added nothing to the pool


def test_export_cells_resets_the_flag_of_the_result_it_replaces():
    _, g = example()
    g.export_cells(combine=True)
    g.export_cells(combine=False)
    assert not g.cell_combined
    assert [r.trans_count for r in g.parsed_cells.cells[0].references] == [1, 1, 1]


@pytest.mark.parametrize("build", ["no_layers", "no_top_cells"])
def test_empty_results(build):
    ly = kdb.Layout()
    if build == "no_layers":
        ly.create_cell("TOP").shapes(ly.layer(9, 0)).insert(kdb.Box(0, 0, 1, 1))
        expected = [{}]
    else:
        expected = []
    g = lumino.ParseGDS(ly, layer_table((1, 0, "WG")))
    assert len(g.export_cells().cells) == len(expected)
    assert g.export_layers().layers == expected


def test_combine_references_preconditions():
    _, g = example()
    with pytest.raises(AssertionError):
        g.combine_references(lumino.Output.CELL)
    with pytest.raises(AssertionError):
        g.combine_references(lumino.Output.LAYER)
    assert g.combine_references(3) is None and g.combine_references(None) is None
    assert not g.cell_combined and not g.layer_combined
