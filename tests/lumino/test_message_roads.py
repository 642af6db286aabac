"""lumino builds its message straight from the C++ parse; the message must be
byte for byte the one the records give (to_3D_viewer, numpy_to_buffer_json,
orjson), and a caller who rebinds a name of that road gets the road itself."""

from __future__ import annotations

import random

import klayout.db as kdb
import orjson
import pytest
import velloc.pdk
import velloc.technology as vlt

from corvane.core import lumino, pdk, shared

from . import gdsstream as g
from .test_fast_paths import random_layout
from .test_shared_layouts import DATA, FILES


class Capture:
    def __init__(self):
        self.sent = []

    def send_message(self, message):
        self.sent.append(message.content)


def record_road(path, output, stack, views, **kw):
    """The message as the records make it."""
    data = lumino.numpy_to_buffer_json(
        lumino.to_3D_viewer(path, output, layer_stack=stack, layer_views=views, as_dict=True, **kw))
    config = orjson.loads(lumino_message(path, output, stack, views, **kw))["config"]
    return orjson.dumps({"type": "data", "data": data, "config": config}, default=shared.none).decode()


def lumino_message(path, output, stack, views, **kw):
    capture = Capture()
    previous = lumino.comms
    lumino.comms = capture
    pdk.set_pdk(velloc.pdk.Pdk(name="roads", layer_stack=stack, layer_views=views))
    try:
        lumino.lumino(path, output, **kw)
    finally:
        pdk.reset()
        lumino.comms = previous
    (content,) = capture.sent
    return content


OUTPUTS = [lumino.Output.CELL, lumino.Output.LAYER]


@pytest.mark.parametrize("output", OUTPUTS, ids=["cell", "layer"])
@pytest.mark.parametrize("gds, stack", FILES, ids=[f for f, _ in FILES])
def test_shared_layouts(gds, stack, output):
    stack, views = vlt.read_layer_technology(DATA / stack)
    path = str(DATA / "gds" / gds)
    assert lumino_message(path, output, stack, views) == record_road(path, output, stack, views)


def pruned_layout() -> kdb.Layout:
    """A top cell showing only through children: one showing nothing once
    "wg*" is excluded (also below a cell of its own), one holding only an
    unknown layer."""
    layout = kdb.Layout()
    top, a, b, c, d = (layout.create_cell(n) for n in ("TOP", "A", "B", "C", "D"))
    d.insert(kdb.CellInstArray(a.cell_index(), kdb.Trans(0, 0)))
    top.insert(kdb.CellInstArray(d.cell_index(), kdb.Trans(3, 0)))
    a.shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 100, 100))
    b.shapes(layout.layer(2, 0)).insert(kdb.Box(0, 0, 50, 50))
    c.shapes(layout.layer(7, 7)).insert(kdb.Box(0, 0, 50, 50))
    for child, x in ((a, 0), (b, 500), (a, 900), (c, 1300)):
        top.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(x, 0)))
    return layout


@pytest.mark.parametrize("seed", [*range(12), "pruned"])
def test_generated_layouts_with_options(seed, tmp_path):
    rnd = random.Random(seed)
    layout = pruned_layout() if seed == "pruned" else random_layout(seed)
    path = str(tmp_path / "layout.gds")
    layout.write(path)
    stack_file = tmp_path / "stack.json"
    levels = [dict(name=name, layer=l, datatype=d, zmin=0.1 * k, thickness=0.22 + k, color=f"#{k + 1}0{k}0f0")
              for k, (name, (l, d)) in enumerate([("wg", (1, 0)), ("slab", (2, 0)), ("m1", (3, 5))])]
    stack_file.write_text(orjson.dumps({"name": "generated", "layers": levels}).decode())
    stack, views = vlt.read_layer_technology(stack_file)
    kw = dict(z_scale=rnd.choice([1.0, 2.5, 0.5]), curve_tolerance=rnd.choice([None, 0.01]),
              exclude_layers=["WG*"] if seed == "pruned" else rnd.choice([None, [], ["wg*"], ["*(2, 0)", "?lab*"]]))
    for output in OUTPUTS:
        assert lumino_message(path, output, stack, views, **kw) == record_road(path, output, stack, views, **kw)


def test_a_rebound_name_takes_the_record_road(monkeypatch):
    stack, views = vlt.read_layer_technology(DATA / "photonics_stack.json")
    calls = []
    original = lumino.to_3D_viewer

    def spy(*args, **kw):
        calls.append(args)
        return original(*args, **kw)

    monkeypatch.setattr(lumino, "to_3D_viewer", spy)
    path = str(DATA / "gds" / "RingResonator.gds")
    message = lumino_message(path, lumino.Output.LAYER, stack, views)
    assert len(calls) == 1
    monkeypatch.undo()
    assert message == lumino_message(path, lumino.Output.LAYER, stack, views)


@pytest.mark.parametrize("depth", [100, 200, 1500])
def test_deep_hierarchies_get_their_message(depth, tmp_path):
    """Deeper than the nesting an encoder of the record road accepts."""
    layout = kdb.Layout()
    cells = [layout.create_cell(f"c{k}") for k in range(depth + 1)]
    for parent, child in zip(cells, cells[1:]):
        parent.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(0, False, 1000, 0)))
    cells[-1].shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 1000, 1000))
    path = str(tmp_path / "deep.gds")
    layout.write(path)
    stack, views = vlt.read_layer_technology(DATA / "photonics_stack.json")
    for output in OUTPUTS:
        message = lumino_message(path, output, stack, views)
        assert message.startswith('{"type":"data","data":{"name":') and message.endswith('"normal_len":0}}')
        node, levels = orjson_free_loads(message)["data"]["parts"][0], 0
        while "parts" in node:
            node, levels = node["parts"][-1], levels + 1
        assert "shape" in node and levels == depth + 1 + (output == lumino.Output.LAYER)
        if depth < 110:
            assert message == record_road(path, output, stack, views)


def orjson_free_loads(text):
    """json.loads with room for deep nesting."""
    import json
    import sys

    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 10_000))
    try:
        return json.loads(text)
    finally:
        sys.setrecursionlimit(limit)


ODD_NAMES = ['it\'s "quoted"', "a/b/../c", "zürich 東京 ✓", "back\\slash", "tab\there", "ctl\x01\x1f"]


@pytest.mark.parametrize("z_scale", [1.0, 3e-5, 1e-9, 7e16])
def test_odd_names_and_scales(z_scale, tmp_path):
    """Texts that need escapes, and heights whose float text has an exponent
    (written by the record road's encoder then: its releases differ there)."""
    layout = kdb.Layout()
    top = layout.create_cell(ODD_NAMES[0])
    for k, name in enumerate(ODD_NAMES[1:]):
        child = layout.create_cell(name)
        child.shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 100 + k, 100))
        top.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(k * 200, 0)))
    path = str(tmp_path / "odd.gds")
    layout.write(path)
    stack, views = vlt.read_layer_technology(DATA / "photonics_stack.json")
    for output in OUTPUTS:
        assert lumino_message(path, output, stack, views, z_scale=z_scale) == record_road(
            path, output, stack, views, z_scale=z_scale)


@pytest.mark.parametrize("output", OUTPUTS, ids=["cell", "layer"])
def test_a_read_declined_at_the_end_gives_klayouts_message(output, tmp_path):
    """Cells are simplified while the file is read; where the reader declines
    at the last structure, that work is dropped and KLayout's read makes the
    message."""
    gds, stack = next((f, s) for f, s in FILES if f == "RingResonator.gds")
    data = (DATA / "gds" / gds).read_bytes()
    end = data.rindex(g.record(g.ENDLIB))
    late = g.structure("LATE", g.path(1, 0, [(0, 0), (2**30, 0)], width=2))
    path = tmp_path / "late.gds"
    path.write_bytes(data[:end] + late + data[end:])
    assert lumino._read_layout(str(path))[0] is None
    stack, views = vlt.read_layer_technology(DATA / stack)
    assert lumino_message(str(path), output, stack, views) == record_road(str(path), output, stack, views)


@pytest.mark.parametrize("layers", [3, 64, 65, 130])
def test_layer_wise_placements_are_klayouts_flattening(layers, tmp_path):
    # Layers past 64 take a second word of bits; cells on different layer
    # subsets under the same arrays share their combined placements between
    # the layers' trees.  Every layer's placements must be KLayout's own.
    import base64

    import numpy as np

    ly = kdb.Layout()
    top, a, b, c = (ly.create_cell(n) for n in ("TOP", "A", "B", "C"))
    for k in range(layers):
        b.shapes(ly.layer(k + 1, 0)).insert(kdb.Box(0, 0, 100, 100))
        if k % 3 == 0:
            c.shapes(ly.layer(k + 1, 0)).insert(kdb.Box(0, 0, 50, 50))
    a.insert(kdb.CellInstArray(b.cell_index(), kdb.Trans(0, 0), kdb.Vector(1000, 0), kdb.Vector(0, 700), 3, 2))
    a.insert(kdb.CellInstArray(c.cell_index(), kdb.Trans(200, 300)))
    top.insert(kdb.CellInstArray(a.cell_index(), kdb.Trans(5, -7), kdb.Vector(9000, 0), kdb.Vector(0, 8000), 2, 3))
    top.insert(kdb.CellInstArray(c.cell_index(), kdb.Trans(-400, 0)))
    path = str(tmp_path / "layers.gds")
    ly.write(path)
    stack_file = tmp_path / "stack.json"
    stack_file.write_text(orjson.dumps({"name": "many", "layers": [
        dict(name=f"L{k + 1}", layer=k + 1, datatype=0, zmin=0.1 * k, thickness=0.1, color="#808080")
        for k in range(layers)]}).decode())
    stack, views = vlt.read_layer_technology(stack_file)
    data = orjson.loads(lumino_message(path, lumino.Output.LAYER, stack, views))["data"]
    pool = [np.frombuffer(base64.b64decode(i["buffer"]), np.float32).reshape(-1, 2) for i in data["instances"]]

    def corners(part, out):  # lower-left corners of every placed polygon
        shape = part.get("shape")
        if shape and shape.get("refs"):
            m = np.frombuffer(base64.b64decode(shape["matrices"]["buffer"]), np.float32).reshape(-1, 6)
            for ref in shape["refs"]:
                low = pool[ref].min(axis=0)
                out += [(round(float(r[2] + low[0]), 3), round(float(r[5] + low[1]), 3)) for r in m]
        for child in part.get("parts", []):
            corners(child, out)
        return out

    got = {int(g["name"].split("(")[1].split(",")[0]): sorted(corners(g, [])) for g in data["parts"]}
    want = {}
    for li in ly.layer_indices():
        it = ly.top_cell().begin_shapes_rec(li)
        while not it.at_end():
            box = it.shape().bbox().transformed(it.trans())
            want.setdefault(ly.get_info(li).layer, []).append((round(box.left / 1000, 3), round(box.bottom / 1000, 3)))
            it.next()
    assert got == {k: sorted(v) for k, v in want.items()}
