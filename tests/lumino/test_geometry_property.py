"""Viewer geometry against KLayout's own flattening.

Random hierarchical layouts are built with klayout.db: cells with boxes,
polygons (some with holes), paths and texts on known and unknown layers,
placed singly or as regular arrays, in all eight quarter-turn orientations
or at any angle with a magnification, in a database unit other than 1 nm,
shapes and placements now and then with properties.
Every pool polygon of the viewer data, drawn by every placement matrix of its
Part, must give exactly the polygons that KLayout's recursive shape iterator
yields (their hulls: the pool holds hulls), per layer, as a multiset of
vertex lists, within what float32 rounding allows.  Checked for both outputs,
on the parser (ParseGDS without simplification, exports, to_viewer), on
to_3D_viewer of the layout written to a GDS file, and on the message that
lumino sends.  For the file, the records and the message made from the
core's own reading of it must be byte for byte those made from KLayout's
read; the share of files the reader leaves to KLayout is recorded.

The normal run tries a fixed set of examples; CORVANE_PROPERTY_EXAMPLES=N
explores N random ones.
"""

from __future__ import annotations

import base64
import json
import math
import os
import tempfile
from collections import defaultdict
from pathlib import Path

import klayout.db as kdb
import numpy as np
import pytest
import velloc.pdk
import velloc.technology as vlt
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from corvane.core import lumino, pdk

from .test_file_roads import frozen

DATA_GDS = Path(__file__).resolve().parents[2] / "examples" / "gds"

LAYERS = {(1, 0): "core", (2, 0): "slab", (3, 5): "metal"}
UNKNOWN = (9, 0)  # in no layer table: its shapes never reach the viewer
NAMES = {f"{name} ({l}, {d})": (l, d) for (l, d), name in LAYERS.items()}
OUTPUTS = [lumino.Output.CELL, lumino.Output.LAYER]
EPS32 = 2.0**-24

_explore = int(os.environ.get("CORVANE_PROPERTY_EXAMPLES", "0") or 0)
PROPERTY = settings(
    max_examples=_explore or 40,
    derandomize=not _explore,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)

# ---- random layouts, as plain data (readable when hypothesis reports one) --

coord = st.integers(-3000, 3000)
layer = st.sampled_from([*LAYERS, UNKNOWN])
cell_names = st.sampled_from(["c", "it's", 'say "hi"', "a/b", "..", "zürich", "東京", "x y", "\\"])

box = st.tuples(st.just("box"), coord, coord, st.integers(1, 3000), st.integers(1, 3000))
# A star around a centre: sorted distinct angles give a simple outline.
star = st.tuples(
    st.just("polygon"),
    coord,
    coord,
    st.lists(st.tuples(st.integers(0, 359), st.integers(1, 2000)), min_size=3, max_size=10, unique_by=lambda p: p[0]),
)
holed = st.tuples(st.just("holed"), coord, coord, st.integers(300, 3000), st.integers(300, 3000))
path = st.tuples(
    st.just("path"),
    st.lists(st.tuples(coord, coord), min_size=2, max_size=4, unique=True),
    st.integers(0, 200).map(lambda w: 2 * w),
    st.booleans(),
)
text = st.tuples(st.just("text"), coord, coord)
# A property (written as a GDS2 PROPATTR/PROPVALUE pair): shapes and
# placements with one come after those without in KLayout's lists.
prop = st.one_of(st.none(), st.none(), st.integers(1, 3))
shape = st.tuples(layer, st.one_of(box, star, holed, path, text), prop)

simple = st.tuples(st.just("simple"), st.integers(0, 3), st.booleans(), coord, coord)
complex_ = st.tuples(
    st.just("complex"),
    st.sampled_from([0.25, 0.5, 1.0, 1.5, 2.0, 2.5]),  # magnification
    st.floats(-360, 360, allow_nan=False).map(lambda a: round(a, 3)),  # degrees
    st.booleans(),
    coord,
    coord,
)
array = st.one_of(
    st.none(), st.tuples(st.integers(1, 3), st.integers(1, 3), coord, coord, coord, coord)
)


@st.composite
def plans(draw):
    n = draw(st.integers(1, 5))
    cells = []
    for i in range(n):
        shapes = draw(st.lists(shape, max_size=4))
        children = list(range(i + 1, n))
        insts = draw(
            st.lists(st.tuples(st.sampled_from(children), st.one_of(simple, complex_), array, prop), max_size=3)
            if children
            else st.just([])
        )
        cells.append((draw(cell_names) + f"_{i}", shapes, insts))
    dbu = draw(st.sampled_from([0.00025, 0.0005, 0.002, 0.005, 0.001]))
    # Now and then a cell with over a thousand shapes, placed in the first
    # cell: large layouts are read from KLayout's serialisation in one go.
    bulk = draw(st.one_of(st.none(), st.none(), st.none(), st.tuples(layer, st.integers(0, 2**32), st.one_of(simple, complex_), array)))
    # Keep the flattened layout small: placements per cell, times its shapes.
    mult = [1] * n
    for i, (_, _, insts) in enumerate(cells):
        for j, _, arr, _ in insts:
            mult[j] += mult[i] * (arr[0] * arr[1] if arr else 1)
    assume(sum(m * len(c[1]) for m, c in zip(mult, cells)) <= 600)
    if bulk and bulk[3]:  # at most two placements of the bulk cell
        na, nb, *steps = bulk[3]
        bulk = (*bulk[:3], (min(na, 2), 1, *steps))
    return dbu, cells, bulk


def build(plan) -> kdb.Layout:
    dbu, cells, bulk = plan
    ly = kdb.Layout()
    ly.dbu = dbu
    kcells = [ly.create_cell(name) for name, _, _ in cells]
    def properties(value):
        return ly.properties_id({1: f"p{value}"}) if value else 0

    for kcell, (_, shapes, _) in zip(kcells, cells):
        for spec, (kind, *p), value in shapes:
            target = kcell.shapes(ly.layer(*spec))
            if kind == "box":
                x, y, w, h = p
                item = kdb.Box(x, y, x + w, y + h)
            elif kind == "polygon":
                x, y, rays = p
                pts = [
                    kdb.Point(x + round(r * math.cos(math.radians(a))), y + round(r * math.sin(math.radians(a))))
                    for a, r in sorted(rays)
                ]
                item = kdb.Polygon(pts)
            elif kind == "holed":
                x, y, w, h = p
                item = kdb.Polygon(kdb.Box(x, y, x + w, y + h))
                item.insert_hole(kdb.Box(x + w // 4, y + h // 4, x + w // 2, y + h // 2))
            elif kind == "path":
                pts, width, round_ends = p
                item = kdb.Path([kdb.Point(*q) for q in pts], width, width // 2, width // 2, round_ends)
            else:
                item = kdb.Text("label", kdb.Trans(*p))
            if value:
                target.insert(item, properties(value))
            else:
                target.insert(item)
    placements = [(kcell, child, t, arr, value) for kcell, (_, _, insts) in zip(kcells, cells)
                  for child, t, arr, value in insts]
    if bulk:
        spec, seed, t, arr = bulk
        rng = np.random.default_rng(seed)
        big = ly.create_cell("bulk")
        target = big.shapes(ly.layer(*spec))
        for x, y, w, h in rng.integers(-3000, 3000, (1100, 4)):
            if x % 3:
                target.insert(kdb.Box(int(x), int(y), int(x + 1 + abs(w)), int(y + 1 + abs(h))))
            else:
                target.insert(kdb.Polygon([kdb.Point(int(x), int(y)), kdb.Point(int(x + abs(w) + 1), int(y)), kdb.Point(int(x), int(y + abs(h) + 1))]))
        kcells.append(big)
        placements.append((kcells[0], len(kcells) - 1, t, arr, None))
    for kcell, child, (kind, *t), arr, value in placements:
        trans = kdb.Trans(*t) if kind == "simple" else kdb.ICplxTrans(*t)
        ci = kcells[child].cell_index()
        if arr:
            na, nb, ax, ay, bx, by = arr
            inst = kdb.CellInstArray(ci, trans, kdb.Vector(ax, ay), kdb.Vector(bx, by), na, nb)
        else:
            inst = kdb.CellInstArray(ci, trans)
        if value:
            kcell.insert(inst, properties(value))
        else:
            kcell.insert(inst)
    return ly


# ---- both sides as {layer: [vertex array]} ------------------------------


def klayout_polygons(ly: kdb.Layout) -> dict:
    """Every non-text shape of each known layer, flattened into each top cell
    by KLayout's recursive shape iterator, as its hull in micrometres (in the
    order of the shape's polygon; a polygon without points is left out)."""
    out = defaultdict(list)
    for spec in LAYERS:
        li = ly.find_layer(*spec)
        if li is None:
            continue
        for top in ly.top_cells():
            it = ly.begin_shapes(top, li)
            while not it.at_end():
                s = it.shape()
                hull = [] if s.is_text() else list(s.polygon.to_dtype(ly.dbu).each_point_hull())
                if hull:
                    t = it.dtrans()
                    out[spec].append(np.array([((q := t * p).x, q.y) for p in hull]))
                it.next()
    return out


def field(node, key):
    """A member of a record, or of its map form (left-out empty fields as [])."""
    return node.get(key, []) if isinstance(node, dict) else getattr(node, key, [])


def array_of(value) -> np.ndarray:
    """A float32 array, or an encoded buffer record decoded."""
    if isinstance(value, dict):
        assert value["dtype"] == "float32" and value["codec"] == "b64"
        return np.frombuffer(base64.b64decode(value["buffer"], validate=True), dtype=np.float32)
    assert isinstance(value, np.ndarray) and value.dtype == np.float32 and value.ndim == 1
    return value


def viewer_polygons(data, output) -> dict:
    """Every pool polygon of each Part drawn by each of its placement matrices
    (a top cell's Part has none: drawn once as it is), per layer, with a bound
    of the float32 rounding of each coordinate."""
    pool = [array_of(p).astype(np.float64).reshape(-1, 2) for p in field(data, "instances")]
    out = defaultdict(list)

    def walk(node, spec):
        for child in field(node, "parts"):
            if field(child, "shape") == []:  # a Parts
                walk(child, spec)
                continue
            shape = field(child, "shape")
            s = spec if spec else NAMES[field(child, "name")]
            m = array_of(field(shape, "matrices")).astype(np.float64).reshape(-1, 6)
            if len(m) == 0:
                m = np.array([[1.0, 0.0, 0.0, 0.0, 1.0, 0.0]])
            for ref in field(shape, "refs"):
                if len(pool[ref]) == 0:  # a polygon without points draws nothing
                    continue
                x, y = pool[ref][:, 0], pool[ref][:, 1]
                for a, b, tx, c, d, ty in m:
                    pts = np.column_stack([a * x + b * y + tx, c * x + d * y + ty])
                    bound = 4 * EPS32 * np.column_stack(
                        [abs(a * x) + abs(b * y) + abs(tx), abs(c * x) + abs(d * y) + abs(ty)]
                    )
                    out[s].append((pts, bound + 1e-12))

    for top in field(data, "parts"):
        if output == lumino.Output.LAYER:
            walk(top, NAMES[field(top, "name")])
        else:
            walk({"parts": [top]}, None)
    return out


def assert_same_polygons(expected: dict, actual: dict) -> None:
    """Each expected vertex list matched by one viewer vertex list within its
    bounds; candidates are looked up by vertex count and rounded first vertex
    (all of them when that misses, as a vertex near a rounding edge may)."""
    assert sorted(expected) == sorted(k for k, v in actual.items() if v)

    def key(pts):
        return len(pts), round(pts[0][0], 2), round(pts[0][1], 2)

    for spec, polys in expected.items():
        assert len(polys) == len(actual[spec]), spec
        left = defaultdict(list)
        for k, (pts, bound) in enumerate(actual[spec]):
            left[key(pts)].append(k)
        unused = set(range(len(actual[spec])))

        def matches(k, e):
            pts, bound = actual[spec][k]
            return len(pts) == len(e) and (abs(pts - e) <= bound).all()

        for e in polys:
            hit = next((k for k in left[key(e)] if k in unused and matches(k, e)), None)
            if hit is None:
                hit = next((k for k in unused if matches(k, e)), None)
            assert hit is not None, f"layer {spec}: no viewer polygon matches {e.tolist()}"
            unused.discard(hit)


# ---- the properties --------------------------------------------------------


@pytest.fixture(scope="module")
def technology(tmp_path_factory):
    stack_file = tmp_path_factory.mktemp("stack") / "property_stack.json"
    entries = [
        {"name": name, "layer": l, "datatype": d, "zmin": 0.5 * k, "thickness": 0.25, "color": "#10a0f0"}
        for k, ((l, d), name) in enumerate(LAYERS.items())
    ]
    stack_file.write_text(json.dumps({"name": "property_stack", "layers": entries}))
    return vlt.read_layer_technology(stack_file)


def layer_table():
    return {pair: lumino.PdkLayer(name, 0.25, 0.0, "#10a0f0") for pair, name in LAYERS.items()}


@PROPERTY
@given(plans())
def test_parser_viewer_data_is_klayouts_flattening(plan):
    ly = build(plan)
    expected = klayout_polygons(ly)
    for output in OUTPUTS:
        gds = lumino.ParseGDS(ly, layer_table(), curve_tolerance=None)
        (gds.export_cells if output == lumino.Output.CELL else gds.export_layers)(combine=True)
        assert_same_polygons(expected, viewer_polygons(gds.to_viewer(output), output))


class Capture:
    def __init__(self):
        self.sent = []

    def send_message(self, message):
        self.sent.append(message)


def test_file_entry_points_are_klayouts_flattening(technology, record_property):
    stack, views = technology
    declined = []

    def entry_points(path, output):
        """to_3D_viewer's records and lumino's message."""
        data = lumino.to_3D_viewer(path, output, layer_views=views, layer_stack=stack, curve_tolerance=None)
        lumino.lumino(path, output, curve_tolerance=None)
        return data, capture.sent.pop().content

    @PROPERTY
    @given(plan=plans())
    def check(plan):
        with tempfile.TemporaryDirectory() as folder:
            path = str(Path(folder) / "layout.gds")
            build(plan).write(path)
            written = kdb.Layout()
            written.read(path)
            expected = klayout_polygons(written)
            declined.append(lumino._read_layout(path, counts=True)[0] is None)
            for output in OUTPUTS:
                data, message = entry_points(path, output)
                assert_same_polygons(expected, viewer_polygons(data, output))
                assert_same_polygons(expected, viewer_polygons(json.loads(message)["data"], output))
                # KLayout's read gives the same bytes (a rebound pya is read with).
                lumino.pya = kdb
                try:
                    klayout_data, klayout_message = entry_points(path, output)
                finally:
                    lumino.pya = pya
                assert klayout_message == message
                assert frozen(klayout_data) == frozen(data)

    capture, channel, pya = Capture(), lumino.comms, lumino.pya
    lumino.comms = capture
    pdk.set_pdk(velloc.pdk.Pdk(name="property", layer_stack=stack, layer_views=views))
    try:
        check()
    finally:
        lumino.comms, lumino.pya = channel, pya
        pdk.reset()
    record_property("files declined by the reader", f"{sum(declined)} of {len(declined)}")
    if lumino._read_layout(str(DATA_GDS / "RingResonator.gds"), counts=True)[0] is not None:
        # The reader is verified with this klayout: it must answer for most files.
        assert sum(declined) <= len(declined) // 4, f"{sum(declined)} of {len(declined)} declined"
