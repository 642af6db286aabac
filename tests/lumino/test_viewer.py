"""The viewer part tree (to_viewer) and its JSON text (create_json), for small
hand-built layouts whose whole expected output is written out here."""

from __future__ import annotations

import dataclasses
import fnmatch
import json
import random
import subprocess
import sys
import textwrap
import warnings

import klayout.db as kdb
import numpy as np
import pytest

from corvane.core import lumino

CELL, LAYER = lumino.Output.CELL, lumino.Output.LAYER
R90 = kdb.Trans(1, False, 2000, 0)  # quarter turn, then 2 um along x
M0 = kdb.Trans(0, True, 0, 3000)  # mirror at x, then 3 um along y
R0 = kdb.Trans(0, False, 2000, 0)
R90_M = (6.123233995736766e-17, -1.0, 2.0, 1.0, 6.123233995736766e-17, 0.0)
M0_M = (1.0, 0.0, 0.0, 0.0, -1.0, 3.0)
R0_M = (1.0, -0.0, 2.0, 0.0, 1.0, 0.0)


class F32:
    """Expected float32 array: dtype, one dimension, values and zero signs exact."""

    __array_ufunc__ = None  # numpy defers comparisons to __eq__ below

    def __init__(self, *values: float):
        self.given = [float(v) for v in values]
        self.values = np.array(values, dtype=np.float32)

    def __eq__(self, other) -> bool:
        return (
            isinstance(other, np.ndarray)
            and other.dtype == np.float32
            and other.ndim == 1
            and np.array_equal(other, self.values)
            and np.array_equal(np.signbit(other), np.signbit(self.values))
        )

    def __repr__(self) -> str:
        return f"F32{tuple(self.values.tolist())}"


def same(actual, expected, where="root"):
    """Equal with the same types (1 is not 1.0), key orders and zero signs."""
    if isinstance(expected, F32):
        assert expected == actual, f"{where}: {actual!r} != {expected!r}"
    elif isinstance(expected, dict):
        assert type(actual) is dict and list(actual) == list(expected), f"{where}: keys {list(actual)}"
        for key in expected:
            same(actual[key], expected[key], f"{where}.{key}")
    elif isinstance(expected, list):
        assert type(actual) is list and len(actual) == len(expected), f"{where}: {actual!r}"
        for k, (a, e) in enumerate(zip(actual, expected)):
            same(a, e, f"{where}[{k}]")
    else:
        assert type(actual) is type(expected) and actual == expected, f"{where}: {actual!r} != {expected!r}"
        if isinstance(expected, float):
            assert np.signbit(actual) == np.signbit(expected), where


ORIGIN = [[0.0, 0.0, 0.0], [0.0, 0.0, 0.0, 1.0]]
WG = ("#ff0000", 0.22, 0.0)
SLAB = ("#00ff00", 0.15, 0.1)


def parts(name, id_, children):
    node = {"name": name, "id": id_, "version": "3", "loc": ORIGIN}
    if children:
        node["parts"] = children
    return node


def part(name, id_, refs, layer, matrices):
    color, height, zmin = layer
    return {
        "name": name,
        "id": id_,
        "version": "3",
        "loc": [[0, 0, zmin], [0, 0, 0, 1]],
        "shape": {"refs": refs, "height": height, "matrices": matrices},
        "color": color,
        "renderback": False,
        "state": [1, 1],
        "type": "polygon",
        "subtype": "solid",
    }


def root(name, children, pool):
    return {**parts(name, "/" + name, children), "format": "GDS", "instances": pool}


POOL = [F32(0, 0, 0, 0.5, 1, 0.5, 1, 0), F32(0, 0, 0, 0.5, 0.5, 0.5, 0.5, 0), F32(0, 0, 0, 0.1, 0.1, 0.1, 0.1, 0)]


def two_level(*placements):
    """top: a WG box (pool 0) and a SLAB box (pool 1); child: a WG box
    (pool 2), placed in top once per given transformation."""
    ly = kdb.Layout()
    top, child = ly.create_cell("top"), ly.create_cell("child")
    wg, slab = ly.layer(1, 0), ly.layer(2, 0)
    top.shapes(wg).insert(kdb.Box(0, 0, 1000, 500))
    top.shapes(slab).insert(kdb.Box(0, 0, 500, 500))
    child.shapes(wg).insert(kdb.Box(0, 0, 100, 100))
    for t in placements:
        top.insert(kdb.CellInstArray(child.cell_index(), t))
    layers = {
        (1, 0): lumino.PdkLayer("WG", 0.22, 0.0, "#ff0000"),
        (2, 0): lumino.PdkLayer("SLAB", 0.15, 0.1, "#00ff00"),
    }
    return ly, layers


def convert(output, *placements, exclude=None, **kw):
    ly, layers = two_level(*placements)
    gds = lumino.ParseGDS(ly, layers, curve_tolerance=None, exclude_layers=exclude, **kw)
    if output == CELL:
        gds.export_cells(combine=True)
    else:
        gds.export_layers(combine=True)
    return gds, gds.to_viewer(output)


def expected_cells(matrices, wg=WG, slab=SLAB):
    t = "/Cells/top"
    top = [part("WG (1, 0)", t + "/WG (1, 0)", [0], wg, F32()), part("SLAB (2, 0)", t + "/SLAB (2, 0)", [1], slab, F32()),
           parts("child", t + "/child", [part("WG (1, 0)", t + "/child/WG (1, 0)", [2], wg, matrices)])]
    return root("Cells", [parts("top", t, top)], POOL)


def expected_layers(matrices, wg=WG, slab=SLAB):
    w, s = "/Layers/WG (1, 0)/top", "/Layers/SLAB (2, 0)/top"
    wg_top = [part("components", w + "/components", [0], wg, F32()),
              parts("child", w + "/child", [part("components", w + "/child/components", [2], wg, matrices)])]
    slab_top = [part("components", s + "/components", [1], slab, F32())]
    return root("Layers", [parts("WG (1, 0)", "/Layers/WG (1, 0)", [parts("top", w, wg_top)]),
                           parts("SLAB (2, 0)", "/Layers/SLAB (2, 0)", [parts("top", s, slab_top)])], POOL)  # fmt: skip


EXPECTED = {CELL: expected_cells, LAYER: expected_layers}


@pytest.mark.parametrize("output", [CELL, LAYER])
def test_whole_tree(output):
    gds, data = convert(output, R90, M0)
    same(gds.asdict(data), EXPECTED[output](F32(*R90_M, *M0_M)))
    # The records themselves, not just their map form.
    assert type(data) is lumino.ViewerData
    node = data.parts[0]
    while isinstance(node, lumino.Parts):
        node = node.parts[-1]
    assert type(node) is lumino.Part and type(node.shape) is lumino.Shape


@pytest.mark.parametrize("output", [CELL, LAYER])
def test_json_text(output):
    gds, data = convert(output, R0, M0, z_scale=2.0)
    scaled = lambda layer: (layer[0], 2.0 * layer[1], 2.0 * layer[2])  # noqa: E731
    expected = EXPECTED[output](F32(*R0_M, *M0_M), wg=scaled(WG), slab=scaled(SLAB))

    def plain(value):
        if isinstance(value, F32):
            return value.given  # as written: json prints 0.1 as orjson prints float32 0.1
        if isinstance(value, dict):
            return {k: plain(v) for k, v in value.items()}
        if isinstance(value, list):
            return [plain(v) for v in value]
        return value

    assert gds.create_json(data) == json.dumps(plain(expected), indent=2)
    assert '"matrices": [\n' in gds.create_json(data) and "-0.0" in gds.create_json(data)


def layer_names(data):
    """Cell-wise: the part names under the top cell, children by name; layer-wise: the layer names."""
    if data.name == "Layers":
        return [p.name for p in data.parts]

    def names(node):
        return [p.name if isinstance(p, lumino.Part) else {p.name: names(p)} for p in node.parts]

    return [{top.name: names(top)} for top in data.parts]


BOTH = ["WG (1, 0)", "SLAB (2, 0)"]


@pytest.mark.parametrize(
    "patterns, cells, layers",
    [
        (None, [{"top": [*BOTH, {"child": ["WG (1, 0)"]}]}], BOTH),
        ([], [{"top": [*BOTH, {"child": ["WG (1, 0)"]}]}], BOTH),
        (["SLAB*"], [{"top": ["WG (1, 0)", {"child": ["WG (1, 0)"]}]}], ["WG (1, 0)"]),
        # case-insensitive both ways; the child shows nothing else and goes
        (["wg*"], [{"top": ["SLAB (2, 0)"]}], ["SLAB (2, 0)"]),
        (["*(2, 0)"], [{"top": ["WG (1, 0)", {"child": ["WG (1, 0)"]}]}], ["WG (1, 0)"]),
        (["x*", "s?ab *"], [{"top": ["WG (1, 0)", {"child": ["WG (1, 0)"]}]}], ["WG (1, 0)"]),
        (["[!w]*"], [{"top": ["WG (1, 0)", {"child": ["WG (1, 0)"]}]}], ["WG (1, 0)"]),
        (["WG"], [{"top": [*BOTH, {"child": ["WG (1, 0)"]}]}], BOTH),  # the whole name must match
        (["[WS]*"], [], []),  # nothing left: the top cell goes too
    ],
)
def test_exclusion(patterns, cells, layers):
    gds, data = convert(CELL, R0, exclude=patterns)
    assert layer_names(data) == cells
    assert len(data.instances) == 3  # excluded polygons stay in the pool
    gds, data = convert(LAYER, R0, exclude=patterns)
    assert layer_names(data) == layers


def test_exclusion_agrees_with_fnmatch():
    names = ["WG", "Slab-90", "M[1]", "a!b", "x^y", "\\dir", "b-a", "]", "--", "&~|", "École", "a\nb", "*?", ""]
    ly = kdb.Layout()
    top = ly.create_cell("T")
    layers = {}
    for i, name in enumerate(names):
        top.shapes(ly.layer(i, 0)).insert(kdb.Box(0, 0, 10, 10))
        layers[(i, 0)] = lumino.PdkLayer(name, 1.0, 0.0, "#000000")
    gds = lumino.ParseGDS(ly, layers, curve_tolerance=None)
    gds.export_cells()
    shown = [gds.get_name((i, 0)) for i in range(len(names))]
    rng = random.Random(6)
    alphabet = "ab-[]!^*?\\wgWG&~|(0, é"
    for _ in range(3000):
        pattern = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 8)))
        gds.exclude_layers = [pattern]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # fnmatch's regular expressions warn about some sets
            expected = [n for n in shown if not fnmatch.fnmatch(n.lower(), pattern.lower())]
        data = gds.to_viewer(CELL)
        got = [p.name for top in data.parts for p in top.parts]
        assert got == expected, pattern


@pytest.mark.parametrize("value", [3, "CELL", None, 1])
def test_unknown_output(value):
    gds, _ = convert(CELL, R0)
    with pytest.raises(ValueError) as e:
        gds.to_viewer(value)
    assert str(e.value) == f"Unknown output {value}"


@pytest.mark.parametrize("output", [CELL, LAYER])
def test_conversion_before_export_is_an_assertion(output):
    gds = lumino.ParseGDS(*two_level(R0))
    with pytest.raises(AssertionError) as e:
        gds.to_viewer(output)
    assert str(e.value) == ""


@pytest.mark.parametrize("output", [CELL, LAYER])
def test_conversion_combines_once(output):
    ly, layers = two_level(R90, M0)
    gds = lumino.ParseGDS(ly, layers, curve_tolerance=None)
    if output == CELL:
        gds.export_cells(combine=False)
    else:
        gds.export_layers(combine=False)
    first, second = gds.asdict(gds.to_viewer(output)), gds.asdict(gds.to_viewer(output))
    assert (gds.cell_combined if output == CELL else gds.layer_combined) is True
    for data in (first, second):
        same(data, EXPECTED[output](F32(*R90_M, *M0_M)))


def test_layer_pair_carried_by_two_layout_layers():
    """Both layout layers (1, 0) become a layer part with their own polygons."""
    ly = kdb.Layout()
    first, second = ly.insert_layer(kdb.LayerInfo(1, 0)), ly.insert_layer(kdb.LayerInfo(1, 0))
    top = ly.create_cell("top")
    top.shapes(first).insert(kdb.Box(0, 0, 100, 100))
    top.shapes(second).insert(kdb.Box(0, 0, 200, 200))
    gds = lumino.ParseGDS(ly, {(1, 0): lumino.PdkLayer("WG", 0.22, 0.0, "#ff0000")}, curve_tolerance=None)
    gds.export_layers()
    data = gds.asdict(gds.to_viewer(LAYER))
    w = "/Layers/WG (1, 0)"
    layer = lambda pool: parts("WG (1, 0)", w, [parts("top", w + "/top", [part("components", w + "/top/components", [pool], WG, F32())])])  # noqa: E731
    same(data, root("Layers", [layer(0), layer(1)], [F32(0, 0, 0, 0.1, 0.1, 0.1, 0.1, 0), F32(0, 0, 0, 0.2, 0.2, 0.2, 0.2, 0)]))


@pytest.mark.parametrize("output", [CELL, LAYER])
def test_complex_placements_keep_their_whole_matrix(output):
    placements = [kdb.ICplxTrans(2.0, 30.0, False, 1000, 0), kdb.ICplxTrans(0.5, 45.0, True, 0, -2500)]
    ly, layers = two_level(*placements)
    gds = lumino.ParseGDS(ly, layers, curve_tolerance=None)
    (gds.export_cells if output == CELL else gds.export_layers)()
    data = gds.to_viewer(output)
    node = data.parts[0]
    while isinstance(node, lumino.Parts):
        node = node.parts[-1]
    expected = []
    for t in placements:
        m = kdb.Matrix3d(t.to_itrans(0.001))  # micrometre displacement
        expected += [m.m(i, j) for i in range(2) for j in range(3)]
    assert node.shape.matrices.dtype == np.float32 and node.shape.matrices.shape == (12,)
    np.testing.assert_allclose(node.shape.matrices, expected, rtol=1e-6, atol=1e-7)


def test_values_the_caller_put_in_go_through_numpy():
    gds, _ = convert(CELL, R0)

    class Placement:
        def trans_matrix(self):
            return ((1, 2, 3), (4, 5, 6.5))

    gds.instances[1] = [(1, 2), (3.5, 4)]  # integers
    gds.instances[2] = np.array([[0.5, 1.5], [2.5, 3.5]])
    gds.parsed_cells.cells[0].references[0].trans = [Placement()]
    data = gds.to_viewer(CELL)
    assert data.instances[1] == F32(1, 2, 3.5, 4) and data.instances[2] == F32(0.5, 1.5, 2.5, 3.5)
    assert data.parts[0].parts[2].parts[0].shape.matrices == F32(1, 2, 3, 4, 5, 6.5)


def test_rebound_record_classes_are_called(monkeypatch):
    made = []

    @dataclasses.dataclass
    class Part(lumino.Part):
        def __post_init__(self):
            made.append(self.id)

    monkeypatch.setattr(lumino, "Part", Part)
    _, data = convert(LAYER, R0)
    assert made == [
        "/Layers/WG (1, 0)/top/components",
        "/Layers/WG (1, 0)/top/child/components",
        "/Layers/SLAB (2, 0)/top/components",
    ]
    assert type(data.parts[0].parts[0].parts[0]) is Part


def test_deep_or_cyclic_input_raises_recursion_error():
    """Trees for to_viewer, values for asdict and numpy_to_buffer_json; in a
    child process, so that a crash fails this test only."""
    code = """
        import klayout.db as kdb
        from corvane.core import lumino
        def chain(depth):
            top = node = lumino.Cell(0, "top", {"0": [0]})
            for i in range(depth):
                node.references.append(lumino.Reference(i + 1, "c", {"0": [0]}, trans=[lumino.KTrans(kdb.Trans())]))
                node = node.references[0]
            return top, node
        gds = lumino.ParseGDS(kdb.Layout(), {(1, 0): lumino.PdkLayer("WG", 1.0, 0.0, "#fff")})
        gds.layer_map, gds.cell_combined, gds.layer_combined = {0: (1, 0)}, True, True
        deep, _ = chain(50_000)
        cyclic, last = chain(3)
        last.references.append(cyclic)
        nested = cycle = {}
        for _ in range(100_000):
            nested = [nested]
        cycle["self"] = cycle
        calls = [lambda: gds.asdict(nested), lambda: lumino.numpy_to_buffer_json({"d": nested}),
                 lambda: lumino.numpy_to_buffer_json(cycle)]
        for top in (deep, cyclic):
            gds.parsed_cells = lumino.ParsedCells([[(0.0, 0.0)]], {0: (1, 0)}, [top])
            gds.parsed_layers = lumino.ParsedLayers([[(0.0, 0.0)]], {0: (1, 0)}, [{"0": top}])
            calls += [lambda: gds.to_viewer(lumino.Output.CELL), lambda: gds.to_viewer(lumino.Output.LAYER)]
            for call in calls:
                try:
                    call()
                except RecursionError:
                    print("RecursionError")
            calls = []
    """
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["RecursionError"] * 7
