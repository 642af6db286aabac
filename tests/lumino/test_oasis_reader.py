"""The direct OASIS reader (lumino._read_layout on an OASIS file) against KLayout's own read.

Whatever the reader answers must equal what a fresh kdb.Layout().read()
holds, exactly as for GDS2 (see test_direct_reader.py): cell indices (a
free index included), names, ghost cells, top-cell order, layer indices,
the database unit, each layer's shapes in Shapes.each() order with
Shape.polygon's hull points, and instances in each_inst() order.

Checked on the OASIS files of ../shared/data/corpus, and on random layouts
KLayout writes as OASIS with every writer option (compression into
repetitions, CBLOCKs, strict mode with its tables at the end, standard
properties, cell bounding boxes...).  Files written here record by record
are in test_oasis_records.py.  CORVANE_PROPERTY_EXAMPLES=N explores N
random layouts instead of the fixed set.
"""

from __future__ import annotations

import math
import os
from pathlib import Path

import klayout.db as kdb
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvane import layout_info
from corvane.core import lumino

from . import oasisstream as o
from .direct_reference import first_difference, klayout_layout, same

CORPUS = Path(__file__).resolve().parents[2] / ".." / "shared" / "data" / "corpus"
CORPUS_OASIS = sorted(CORPUS.glob("*.oas")) if CORPUS.is_dir() else []

_explore = int(os.environ.get("CORVANE_PROPERTY_EXAMPLES", "0") or 0)
PROPERTY = settings(
    max_examples=_explore or 80,
    derandomize=not _explore,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.function_scoped_fixture],
)


@pytest.fixture(scope="module", autouse=True)
def verified_klayout(tmp_path_factory):
    """The comparisons need a klayout release the reader was verified against."""
    path = tmp_path_factory.mktemp("probe") / "probe.oas"
    path.write_bytes(o.layout(o.cellname("A"), o.cell(0)))
    got, why = lumino._read_layout(str(path))
    if got is None and "not verified" in why:
        pytest.skip(f"the OASIS reader declines this klayout: {why}")


def assert_same(path, pairs=None, out_of_range_declined=False):
    """The reader answers, and exactly as KLayout reads the file; with
    `out_of_range_declined` it may decline a layout whose coordinates leave
    KLayout's 32-bit range on the way."""
    got, why = lumino._read_layout(str(path), pairs)
    if got is None and out_of_range_declined and why.endswith("out of range"):
        return
    assert got is not None, why
    want = klayout_layout(path, pairs)
    assert same(got, want), first_difference(got, want)


# ---- the corpus ----------------------------------------------------------------


@pytest.mark.skipif(not CORPUS_OASIS, reason="../shared/data/corpus is not present")
@pytest.mark.parametrize("path", CORPUS_OASIS, ids=lambda p: p.name)
@pytest.mark.parametrize("pairs", [None, [(1, 0), (68, 20), (126, 0), (8, 0)]], ids=["all", "some"])
def test_corpus_files_read_as_klayout_reads_them(path, pairs):
    assert_same(path, pairs)


# ---- random layouts written by KLayout -------------------------------------------

coord = st.integers(-30000, 30000)
huge = st.integers(-(2**31) + 1, 2**31 - 1)
layer_pair = st.tuples(st.integers(0, 5), st.integers(0, 2))
prop = st.one_of(st.none(), st.integers(0, 3), st.sampled_from([("name", "v"), ("n", 7), ("x", 2.5), (7, "gds")]))
NAMES = ["TOP", "a", "b$1", "$2", "cell", "x y", "zürich", "Z", "L" * 80, "dup"]


@st.composite
def oasis_cell(draw, ncells):
    shapes = draw(st.lists(st.one_of(
        st.tuples(st.just("box"), layer_pair, coord, coord, st.integers(0, 5000), st.integers(0, 5000), prop),
        st.tuples(st.just("hugebox"), layer_pair, huge, huge, huge, huge, prop),
        st.tuples(st.just("polygon"), layer_pair, st.lists(st.tuples(coord, coord), min_size=3, max_size=12), prop),
        st.tuples(st.just("hugepolygon"), layer_pair, st.lists(st.tuples(huge, huge), min_size=3, max_size=6), prop),
        st.tuples(st.just("holed"), layer_pair, coord, coord, st.integers(50, 3000), prop),
        st.tuples(st.just("path"), layer_pair, st.lists(st.tuples(coord, coord), min_size=1, max_size=6),
                  st.integers(0, 400).map(lambda w: 2 * w), st.integers(-300, 300), st.integers(-300, 300),
                  st.booleans(), prop),
        st.tuples(st.just("edge"), layer_pair, coord, coord, coord, coord, prop),
        st.tuples(st.just("text"), layer_pair, coord, coord, st.sampled_from(["t", "label", "x y", "ü"]), prop),
        # Many alike: the writer's compression makes repetitions of them.
        st.tuples(st.just("grid"), layer_pair, st.integers(2, 14), st.integers(1, 12), st.integers(1, 900),
                  st.integers(0, 900), st.sampled_from(["box", "polygon", "path", "text", "edge"]), prop),
        st.tuples(st.just("scatter"), layer_pair, st.integers(90, 240), st.integers(1, 7),
                  st.sampled_from(["box", "polygon", "path", "text"])),
    ), max_size=8))
    insts = draw(st.lists(st.tuples(
        st.integers(0, ncells - 1), coord, coord, st.integers(0, 7),
        st.one_of(st.none(), st.tuples(st.floats(0.25, 4.0), st.floats(-360.0, 360.0)),
                  st.tuples(st.just(1.0), st.sampled_from([0.0, 90.0, 180.0, 270.0, 45.0]))),
        st.one_of(st.none(), st.tuples(st.integers(1, 5), st.integers(1, 5), coord, coord, coord, coord)),
        prop, st.sampled_from([1, 1, 1, 3, 12, 130])), max_size=4))
    return shapes, insts


@st.composite
def oasis_layouts(draw):
    n = draw(st.integers(1, 7))
    names = draw(st.lists(st.sampled_from(NAMES), min_size=n, max_size=n, unique=True))
    chain = draw(st.sampled_from([0, 0, 0, 5, 60]))
    return names, [draw(oasis_cell(n)) for _ in range(n)], draw(st.sampled_from([0.001, 0.0005, 0.005, 1e-5])), chain


def set_property(obj, p):
    if p is None:
        return
    if isinstance(p, int):
        obj.set_property(p, f"v{p}")
    else:
        obj.set_property(*p)


def one_shape(kind, x, y, s, j=0):
    w = s * 10
    return {
        "box": lambda: kdb.Box(x, y, x + w, y + (j % 5) * 30 + 1),
        "polygon": lambda: kdb.Polygon([kdb.Point(x, y), kdb.Point(x + w, y + 7), kdb.Point(x, y + 2 * w)]),
        "path": lambda: kdb.Path([kdb.Point(x, y), kdb.Point(x + w, y + 5)], 2 * s, 0, 0, j % 2 == 0),
        "text": lambda: kdb.Text("t", x, y),
        "edge": lambda: kdb.Edge(x, y, x + w, y - w),
    }[kind]()


def build(spec):
    names, cells, dbu, chain = spec
    ly = kdb.Layout()
    ly.dbu = dbu
    made = [ly.create_cell(name) for name in names]
    for k, (shapes, insts) in enumerate(cells):
        cell = made[k]
        for s in shapes:
            li = ly.layer(*s[1])
            kind = s[0]
            if kind == "grid":
                _, _, nx, ny, dx, dy, what, p = s
                for i in range(nx):
                    for j in range(ny):
                        set_property(cell.shapes(li).insert(one_shape(what, i * dx, j * dy, 3, i)), p)
                continue
            if kind == "scatter":
                for j in range(s[2]):
                    x, y = (j * 7919) % 5000 - 2500, (j * 104729) % 3000 - 1500
                    cell.shapes(li).insert(one_shape(s[4], x, y, s[3], j))
                continue
            if kind == "box":
                obj = kdb.Box(s[2], s[3], s[2] + s[4], s[3] + s[5])
            elif kind == "hugebox":
                obj = kdb.Box(s[2], s[3], s[4], s[5])
            elif kind in ("polygon", "hugepolygon"):
                obj = kdb.Polygon([kdb.Point(x, y) for x, y in s[2]], True)
            elif kind == "holed":  # the writer cuts the hole open
                x, y, w = s[2], s[3], s[4]
                obj = kdb.Polygon(kdb.Box(x, y, x + w, y + w))
                obj.insert_hole(kdb.Box(x + w // 4, y + w // 4, x + w // 2, y + w // 3))
            elif kind == "path":
                obj = kdb.Path([kdb.Point(x, y) for x, y in s[2]], s[3], s[4], s[5], s[6])
            elif kind == "edge":
                obj = kdb.Edge(s[2], s[3], s[4], s[5])
            else:
                obj = kdb.Text(s[4], s[2], s[3])
            set_property(cell.shapes(li).insert(obj), s[-1])
        for child, x, y, rot, cplx, array, p, repeat in insts:
            if child <= k:  # placements go down the list only: no recursion
                continue
            for r in range(repeat):
                dx, dy = x + r * 37, y + (r * 53) % 900
                if cplx is None:
                    t = kdb.Trans(rot % 4, rot >= 4, dx, dy)
                else:
                    t = kdb.ICplxTrans(cplx[0], cplx[1], rot >= 4, dx, dy)
                if array is None:
                    ci = kdb.CellInstArray(made[child].cell_index(), t)
                else:
                    na, nb, ax, ay, bx, by = array
                    ci = kdb.CellInstArray(made[child].cell_index(), t, kdb.Vector(ax, ay), kdb.Vector(bx, by), na, nb)
                set_property(cell.insert(ci), p)
    # A chain of cells, each placing the next (twice, once as an array).
    parent = made[-1]
    for d in range(chain):
        c = ly.create_cell(f"chain{d}")
        c.shapes(ly.layer(1, 0)).insert(kdb.Box(0, 0, 10 + d, 10))
        parent.insert(kdb.CellInstArray(c.cell_index(), kdb.Trans(d % 4, False, 100, 0)))
        parent.insert(kdb.CellInstArray(c.cell_index(), kdb.Trans(0, 0), kdb.Vector(20, 0), kdb.Vector(0, 30), 2, 3))
        parent = c
    return ly


writer_options = st.fixed_dictionaries({
    "oasis_compression_level": st.integers(0, 10),
    "oasis_write_cblocks": st.booleans(),
    "oasis_strict_mode": st.booleans(),
    "oasis_write_std_properties": st.integers(0, 2),
    "oasis_substitution_char": st.sampled_from(["", "*", "_"]),
    "oasis_recompress": st.booleans(),
    "oasis_permissive": st.booleans(),
    "oasis_write_cell_bounding_boxes": st.booleans(),
})


def write_oasis(ly, path, opts):
    options = kdb.SaveLayoutOptions()
    options.format = "OASIS"
    for name, value in opts.items():
        setattr(options, name, value)
    ly.write(str(path), options)


@PROPERTY
@given(spec=oasis_layouts(), opts=writer_options, subset=st.booleans())
def test_layouts_written_by_klayout(tmp_path_factory, spec, opts, subset):
    path = tmp_path_factory.mktemp("kl") / "layout.oas"
    write_oasis(build(spec), path, opts)
    assert_same(path, [(1, 0), (2, 1), (5, 2)] if subset else None, out_of_range_declined=True)
    # The summary of `corvane layers`, with and without texts.
    for texts in (True, False):
        got = layout_info._summarize_direct(path, texts)
        assert got is None or got == layout_info._summarize_klayout(path, texts)


@pytest.mark.parametrize("level", range(11))
@pytest.mark.parametrize("strict", [False, True], ids=["plain", "strict"])
@pytest.mark.parametrize("cblocks", [False, True], ids=["raw", "cblocks"])
def test_every_compression_level(tmp_path, level, strict, cblocks):
    # Regular and irregular repetitions of every kind of element, placements included.
    ly = kdb.Layout()
    top, child = ly.create_cell("TOP"), ly.create_cell("CHILD")
    child.shapes(ly.layer(3, 0)).insert(kdb.Box(0, 0, 40, 20))
    l1, l2 = ly.layer(1, 0), ly.layer(2, 7)
    for i in range(12):
        for j in range(5):
            top.shapes(l1).insert(kdb.Box(i * 100, j * 70, i * 100 + 50, j * 70 + 20))
            top.shapes(l2).insert(kdb.Polygon([kdb.Point(i * 90, j * 60), kdb.Point(i * 90 + 30, j * 60 + 5),
                                               kdb.Point(i * 90 + 10, j * 60 + 40)]))
        top.shapes(l2).insert(kdb.Path([kdb.Point(i * i * 13, 0), kdb.Point(i * i * 13, 300)], 8))
        top.shapes(l1).insert(kdb.Text("pin", i * 41 + (i % 3) * 7, -500))
        top.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(0, False, i * i * 50, 1000)))
        top.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(1, True, i * 300, 2000 + (i % 2) * 80)))
    path = tmp_path / "levels.oas"
    write_oasis(ly, path, {"oasis_compression_level": level, "oasis_strict_mode": strict,
                           "oasis_write_cblocks": cblocks})
    assert_same(path)


def test_a_big_generated_layout(tmp_path):
    """Thousands of shapes per cell (KLayout's box-tree order) through every writer option at once."""
    ly = kdb.Layout()
    top = ly.create_cell("TOP")
    cells = [ly.create_cell(f"C{k}") for k in range(20)]
    for k, c in enumerate(cells):
        for j in range(400):
            x, y = (j * 7919 + k) % 20000, (j * 104729) % 15000
            c.shapes(ly.layer(k % 4, 0)).insert(kdb.Box(x, y, x + 30 + j % 17, y + 10 + j % 5))
            c.shapes(ly.layer(5, 0)).insert(kdb.Polygon([kdb.Point(x, y), kdb.Point(x + 9, y + 40), kdb.Point(x - 3, y + 9)]))
        for j in range(150):
            top.insert(kdb.CellInstArray(c.cell_index(), kdb.Trans(j % 4, j % 3 == 0, (j * 991) % 90000, k * 20000)))
    path = tmp_path / "big.oas"
    write_oasis(ly, path, {"oasis_compression_level": 2, "oasis_strict_mode": True, "oasis_write_cblocks": True,
                           "oasis_write_std_properties": 2, "oasis_write_cell_bounding_boxes": True})
    assert_same(path)
    assert_same(path, [(2, 0), (5, 0)])


def wavy(cx, cy, points, r):
    """A closed wavy ring of `points` points around (cx, cy)."""
    return kdb.Polygon([kdb.Point(int(cx + (r + 7 * math.sin(9 * t)) * math.cos(t)),
                                  int(cy + (r + 7 * math.sin(9 * t)) * math.sin(t)))
                        for t in (2 * math.pi * k / points for k in range(points))])


@pytest.mark.parametrize("pairs", [None, [(1, 0), (3, 0)]], ids=["all", "some"])
def test_layers_of_large_outlines(tmp_path, pairs):
    """Cells whose layers hold hundreds of thousands of points: in one group, in
    several (with and without properties), and more than a hundred large shapes."""
    ly = kdb.Layout()
    for name in ("A", "B"):
        cell = ly.create_cell(name)
        for k in range(40):
            cell.shapes(ly.layer(1, 0)).insert(wavy(k * 3000, 0, 2000, 1200))
            shape = cell.shapes(ly.layer(2, 0)).insert(wavy(k * 3000, 5000, 2000, 1200))
            if k % 3 == 0:
                shape.set_property("n", k)
        for k in range(150):
            cell.shapes(ly.layer(3, 0)).insert(wavy((k % 15) * 3000, 10000 + (k // 15) * 3000, 300, 1000))
        cell.shapes(ly.layer(4, 0)).insert(kdb.Box(0, 0, 10, 10))
    ly.cell("A").insert(kdb.CellInstArray(ly.cell("B").cell_index(), kdb.Trans(0, 50000)))
    path = tmp_path / "large.oas"
    write_oasis(ly, path, {"oasis_compression_level": 0})
    assert_same(path, pairs)


class Square(kdb.PCellDeclarationHelper):
    """A parametrised square, for a library of the test's own."""

    def __init__(self):
        super().__init__()
        self.param("l", self.TypeLayer, "Layer", default=kdb.LayerInfo(1, 0))
        self.param("s", self.TypeDouble, "Side", default=1.0)

    def produce_impl(self):
        self.cell.shapes(self.l_layer).insert(kdb.DBox(0, 0, self.s, self.s))


@pytest.fixture
def library():
    lib = kdb.Library()
    lib.description = "squares"
    lib.layout().register_pcell("SQUARE", Square())
    lib.register("CORVANE_OASIS_SQUARES")
    yield lib
    if "CORVANE_OASIS_SQUARES" in kdb.Library.library_names() and hasattr(lib, "unregister"):
        lib.unregister()


def test_cells_of_a_registered_library_are_left_to_klayout(tmp_path, library):
    """KLayout's context property names a library KLayout has: KLayout rebuilds
    the cell from it, which this reader does not do."""
    ly = kdb.Layout()
    top = ly.create_cell("TOP")
    square = ly.create_cell("SQUARE", "CORVANE_OASIS_SQUARES", {"s": 2.5})
    top.insert(kdb.CellInstArray(square.cell_index(), kdb.Trans(5, 5)))
    for strict in (False, True):
        path = tmp_path / f"pcell{strict}.oas"
        write_oasis(ly, path, {"oasis_strict_mode": strict})
        got, why = lumino._read_layout(str(path))
        assert got is None and "library" in why, why
    # Without the library the cell is KLayout's cold proxy, read as the file holds it.
    if not hasattr(library, "unregister"):  # klayout 0.30.4 and earlier
        pytest.skip("this klayout cannot unregister a library again")
    library.unregister()
    for strict in (False, True):
        assert_same(tmp_path / f"pcell{strict}.oas")
