"""lumino end to end on the real layouts of examples/, both outputs: the
decoded message must be consistent in itself and agree with the parse."""

from __future__ import annotations

import base64
import json

import klayout.db as kdb
import numpy as np
import pytest
import velloc.pdk
import velloc.technology as vlt

from corvane.core import lumino, pdk

from .test_shared_layouts import DATA, FILES, pytestmark  # noqa: F401  (skipped without the shared data)


class Capture:
    def __init__(self):
        self.sent = []

    def send_message(self, message):
        self.sent.append(message)


@pytest.fixture(scope="module", params=FILES, ids=[f for f, _ in FILES])
def layout_file(request):
    name, stack_file = request.param
    stack, views = vlt.read_layer_technology(DATA / stack_file)
    return str(DATA / "gds" / name), stack, views


def decode(record) -> np.ndarray:
    assert list(record) == ["shape", "dtype", "buffer", "codec"]
    assert record["dtype"] == "float32" and record["codec"] == "b64"
    raw = base64.b64decode(record["buffer"], validate=True)
    assert len(raw) == 4 * record["shape"][0] and len(record["shape"]) == 1
    values = np.frombuffer(raw, dtype=np.float32)
    assert np.isfinite(values).all()
    return values


@pytest.mark.parametrize("output", [lumino.Output.CELL, lumino.Output.LAYER])
def test_message_is_consistent_and_agrees_with_the_parse(layout_file, output, monkeypatch):
    path, stack, views = layout_file
    capture = Capture()
    monkeypatch.setattr(lumino, "comms", capture)
    pdk.set_pdk(velloc.pdk.Pdk(name="shared", layer_stack=stack, layer_views=views))
    try:
        lumino.lumino(path, output)
    finally:
        pdk.reset()
    (message,) = capture.sent
    envelope = json.loads(message.content)
    assert list(envelope) == ["type", "data", "config"] and len(envelope["config"]) == 41
    data = envelope["data"]

    # The parse of the same file, for the pool and the placements.
    layout = kdb.Layout()
    layout.read(path)
    gds = lumino.ParseGDS(layout, lumino.get_layer_properties(stack, views))
    parsed = gds.export_cells() if output == lumino.Output.CELL else gds.export_layers()
    pool = [decode(r) for r in data["instances"]]
    assert len(pool) == len(parsed.instances) > 0
    for got, polygon in zip(pool, parsed.instances):
        assert len(got) % 2 == 0
        assert got.tobytes() == np.array(polygon, dtype=np.float32).ravel().tobytes()

    used = set()
    placements = 0

    def check(node, parent_id, tree):
        nonlocal placements
        assert node["id"] == f"{parent_id}/{node['name']}"
        children = node.get("parts", [])
        cells = [c for c in children if "shape" not in c]
        refs = tree.references if tree is not None else []
        assert len(cells) <= len(refs)
        for part in children:
            if "shape" in part:
                shape = part["shape"]
                assert all(0 <= i < len(pool) for i in shape["refs"])
                used.update(shape["refs"])
                matrices = decode(shape["matrices"])
                assert len(matrices) % 6 == 0
                placements += len(matrices) // 6
                expected = [k.trans_matrix() for k in getattr(tree, "trans", [])]
                assert matrices.tobytes() == np.array(expected, dtype=np.float32).ravel().tobytes()
        # Cell-wise trees prune references without parts: match them by name in order.
        pending = list(refs)
        for child in cells:
            while pending[0].name != child["name"]:
                pending.pop(0)
            check(child, node["id"], pending.pop(0))

    if output == lumino.Output.CELL:
        for top in data.get("parts", []):
            tree = next(c for c in parsed.cells if c.name == top["name"])
            check(top, "/Cells", tree)
    else:
        trees = [tree for layers in parsed.layers for tree in layers.values()]
        assert len(data.get("parts", [])) == len(trees)
        for layer_part, tree in zip(data["parts"], trees):
            assert layer_part["id"] == "/Layers/" + layer_part["name"] and len(layer_part["parts"]) == 1
            check(layer_part["parts"][0], layer_part["id"], tree)
    assert used == set(range(len(pool)))  # every polygon is drawn
    assert placements > 0
