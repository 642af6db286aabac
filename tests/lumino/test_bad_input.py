"""What a new user may pass by mistake fails at once with a TypeError or
ValueError naming the argument, instead of an empty result or an error from
deep inside; damaged GDS files give KLayout's error, never a crash; names with
quotes, slashes and non-ASCII text reach the viewer data as they are."""

from __future__ import annotations

import json
import math
import subprocess
import sys
from pathlib import Path

import klayout.db as kdb
import numpy as np
import pytest

from corvane.core import lumino

DATA = Path(__file__).resolve().parents[2] / "examples"
LAYER = lumino.PdkLayer("WG", 0.22, 0.0, "#ff0000")


@pytest.fixture
def box_layout():
    ly = kdb.Layout()
    ly.create_cell("TOP").shapes(ly.layer(1, 0)).insert(kdb.Box(0, 0, 1000, 1000))
    return ly


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        # the layer table: a list, or keys that are not (layer, datatype) pairs
        ({"layers": [((1, 0), LAYER)]}, TypeError, "layers must be a dict mapping (layer, datatype) pairs to PdkLayer, not list"),
        ({"layers": {"1/0": LAYER}}, TypeError, "layers must be keyed by (layer, datatype) pairs of integers, not keyed by '1/0'"),
        ({"layers": {(1, "0"): LAYER}}, TypeError, "layers must be keyed by (layer, datatype) pairs of integers, not keyed by (1, '0')"),
        ({"layers": {(1, 0): {"name": "WG"}}}, TypeError, "layers[(1, 0)] must be a PdkLayer (name, thickness, zmin, color), not dict"),
        ({"layers": {(1, 0): lumino.PdkLayer("WG", "0.22", 0.0, "#fff")}}, TypeError, "layers[(1, 0)].thickness must be a number, not str"),
        ({"curve_tolerance": "0.01"}, TypeError, "curve_tolerance must be a float or None, not str"),
        ({"curve_tolerance": True}, TypeError, "curve_tolerance must be a float or None, not bool"),
        ({"curve_tolerance": -0.5}, ValueError, "curve_tolerance must be a non-negative number or None, not -0.5"),
        ({"z_scale": math.nan}, ValueError, "z_scale must be a positive finite number, not nan"),
        ({"z_scale": -1.0}, ValueError, "z_scale must be a positive finite number, not -1.0"),
        ({"z_scale": 0.0}, ValueError, "z_scale must be a positive finite number, not 0.0"),
        ({"z_scale": math.inf}, ValueError, "z_scale must be a positive finite number, not inf"),
        ({"exclude_layers": "WG*"}, TypeError, "exclude_layers must be a list of texts or None, not str"),
        ({"exclude_layers": ["WG*", 3]}, TypeError, "exclude_layers must be a list of texts (layer-name patterns), not int"),
        ({"layout": "box.gds"}, TypeError, "layout must be a KLayout Layout, not str"),
    ],
)
def test_parser_arguments_are_checked_on_entry(box_layout, kwargs, error, message):
    args = {"layout": box_layout, "layers": {(1, 0): LAYER}, **kwargs}
    with pytest.raises(error) as e:
        lumino.ParseGDS(**args)
    assert str(e.value) == message


@pytest.mark.parametrize("tolerance", [np.array([0.01, 0.02, 0.03]), "0.01", np.float32(0.01)])
def test_a_tolerance_assigned_later_is_checked_when_used(tolerance):
    """An array once made shapely return one outline per tolerance value, read past the batch's end."""
    ly = kdb.Layout()
    ly.create_cell("TOP").shapes(ly.layer(1, 0)).insert(kdb.Polygon([kdb.Point(0, 0), kdb.Point(0, 900), kdb.Point(900, 0)]))
    g = lumino.ParseGDS(ly, {(1, 0): LAYER})
    g.curve_tolerance = tolerance
    with pytest.raises(TypeError, match="^curve_tolerance must be a float or None, not "):
        g.export_cells()


@pytest.mark.parametrize("lookup", ["get_name", "get_zmin", "get_height", "get_color"])
@pytest.mark.parametrize("spec", ["1/0", (1,), (1, 0, 0), [1, 0], ("1", "0")])
def test_layer_lookups_take_only_layer_pairs(box_layout, lookup, spec):
    g = lumino.ParseGDS(box_layout, {(1, 0): LAYER})
    with pytest.raises(TypeError, match=r"^layer_spec must be a \(layer, datatype\) pair of integers, not "):
        getattr(g, lookup)(spec)


def test_polygons_and_cells_of_the_wrong_kind_are_refused(box_layout):
    g = lumino.ParseGDS(box_layout, {(1, 0): LAYER})
    for polygon in (kdb.Box(0, 0, 1, 1), kdb.DPolygon(kdb.DBox(0, 0, 1, 1))):
        with pytest.raises(TypeError, match=f"^polygon must be a KLayout Polygon, not {type(polygon).__name__}$"):
            g.extract_dpolygon(polygon)
    with pytest.raises(TypeError, match="^cell must be a KLayout Cell, not int$"):
        g.parse_cells(0)
    other = kdb.Layout()
    with pytest.raises(ValueError, match="^cell must be a cell of the parser's layout$"):
        g.parse_cells(other.create_cell("OTHER"))  # its index would name a cell of this layout
    assert g.instances == []


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"curve_tolerance": "0.01"}, TypeError, "curve_tolerance must be a float or None, not str"),
        ({"curve_tolerance": math.nan}, ValueError, "curve_tolerance must be a non-negative number or None, not nan"),
        ({"z_scale": math.nan}, ValueError, "z_scale must be a positive finite number, not nan"),
        ({"z_scale": -2}, ValueError, "z_scale must be a positive finite number, not -2.0"),
        ({"exclude_layers": [None]}, TypeError, "exclude_layers must be a list of texts (layer-name patterns), not NoneType"),
        ({"layer_views": []}, TypeError, "layer_views must be a vlt.LayerViews (with get_from_tuple) or None, not list"),
        ({"layer_stack": {}}, TypeError, "layer_stack must be a vlt.LayerStack (with layers) or None, not dict"),
    ],
)
def test_entry_point_arguments_are_checked_before_the_file_is_read(kwargs, error, message):
    with pytest.raises(error) as e:
        lumino.to_3D_viewer("/no/such/file.gds", lumino.Output.CELL, **kwargs)
    assert str(e.value) == message
    if "layer_" not in next(iter(kwargs)):  # lumino has no layer arguments
        with pytest.raises(error) as e:
            lumino.lumino("/no/such/file.gds", lumino.Output.CELL, **kwargs)
        assert str(e.value) == message


@pytest.mark.parametrize("output", [lumino.Output.CELL, lumino.Output.LAYER])
@pytest.mark.parametrize("content", ["nothing", "unknown layers only", "texts only"])
def test_layouts_with_nothing_to_show_give_empty_viewer_data(tmp_path, output, content):
    ly = kdb.Layout()
    if content != "nothing":
        top = ly.create_cell("TOP")
        if content == "texts only":
            top.shapes(ly.layer(1, 0)).insert(kdb.Text("label", kdb.Trans()))
        else:
            top.shapes(ly.layer(250, 7)).insert(kdb.Box(0, 0, 10, 10))
    path = str(tmp_path / "empty.gds")
    ly.write(path)
    data = lumino.to_3D_viewer(path, output)
    assert data.parts == [] and data.instances == []
    assert lumino.to_3D_viewer(path, output, as_dict=True)["id"] in ("/Cells", "/Layers")


# ---- damaged files ---------------------------------------------------------

DAMAGE = """
import os, random, sys, tempfile
import velloc.technology as vlt
from corvane.core import lumino

stack, views = vlt.read_layer_technology(sys.argv[2])
data, rng, outcomes = open(sys.argv[1], "rb").read(), random.Random(11), set()
path = os.path.join(tempfile.mkdtemp(), "damaged.gds")
for k in range(40):  # cut at a random offset, or a few bytes flipped
    damaged = bytearray(data[: rng.randrange(len(data))] if k % 2 else data)
    for _ in range(0 if k % 2 else rng.randint(1, 8)):
        damaged[rng.randrange(len(damaged))] = rng.randrange(256)
    open(path, "wb").write(damaged)
    for output in (lumino.Output.CELL, lumino.Output.LAYER):
        try:
            lumino.to_3D_viewer(path, output, layer_views=views, layer_stack=stack)
        except RuntimeError:  # KLayout's read error
            outcomes.add("RuntimeError")
print(sorted(outcomes))
"""


@pytest.mark.parametrize(
    "name, stack", [("RingResonator.gds", "photonics_stack.json"), ("tt_um_loopback.gds", "sky130_like_stack.json")]
)
def test_truncated_and_corrupted_files_give_klayouts_error_never_a_crash(name, stack):
    if not (DATA / "gds" / name).exists():
        pytest.skip("example layouts (examples/gds) not present")
    args = [sys.executable, "-c", DAMAGE, str(DATA / "gds" / name), str(DATA / stack)]
    r = subprocess.run(args, capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stderr[-2000:]
    assert "RuntimeError" in r.stdout  # most damage is noticed by the reader


# ---- names -------------------------------------------------------------------

NAMES = ['it\'s "quoted"', "a/b/../c", "zürich 東京 ✓", "back\\slash", "tab\there"]


@pytest.mark.parametrize("output", [lumino.Output.CELL, lumino.Output.LAYER])
def test_cell_and_layer_names_pass_through_as_they_are(output):
    ly = kdb.Layout()
    top = ly.create_cell(NAMES[0])
    for k, name in enumerate(NAMES[1:]):
        child = ly.create_cell(name)
        child.shapes(ly.layer(1, 0)).insert(kdb.Box(0, 0, 100, 100))
        top.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(k * 200, 0)))
    layers = {(1, 0): lumino.PdkLayer('M"1/é', 0.2, 0.1, "#00ff00")}
    gds = lumino.ParseGDS(ly, layers)
    (gds.export_cells if output == lumino.Output.CELL else gds.export_layers)()
    tree = json.loads(gds.create_json(gds.to_viewer(output)))
    ids = []
    walk = lambda node: [ids.append(node["id"]), *map(walk, node.get("parts", []))]  # noqa: E731
    walk(tree)
    top, layer = NAMES[0], 'M"1/é (1, 0)'
    if output == lumino.Output.CELL:
        expected = [f"/Cells/{top}"] + [i for n in NAMES[1:] for i in (f"/Cells/{top}/{n}", f"/Cells/{top}/{n}/{layer}")]
    else:
        branch = f"/Layers/{layer}/{top}"
        expected = [f"/Layers/{layer}", branch] + [i for n in NAMES[1:] for i in (f"{branch}/{n}", f"{branch}/{n}/components")]
    assert ids[1:] == expected
