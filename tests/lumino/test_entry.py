"""Entry points: to_3D_viewer, lumino (one message through the host), the
demonstration and its host command."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import klayout.db as kdb
import pytest
import velloc.pdk
import velloc.technology as vlt

from corvane.core import communication, lumino, pdk
from corvane.models import LuminoMessage

CELL, LAYER = lumino.Output.CELL, lumino.Output.LAYER

CONFIG = {  # the 41 entries in their order
    "_splash": False, "ambient_intensity": 1, "angular_tolerance": 0.2, "axes": False, "axes0": True,
    "black_edges": False, "center_grid": False, "collapse": 3, "control": "trackball",
    "default_color": "#e8b024", "default_edgecolor": "#707070", "default_facecolor": "Violet",
    "default_opacity": 0.5, "default_thickedgecolor": "MediumOrchid", "default_vertexcolor": "MediumOrchid",
    "direct_intensity": 1.1, "explode": False, "glass": True, "grid": [False, False, False], "helper_scale": 10,
    "metalness": 0.3, "modifier_keys": {"shift": "shiftKey", "ctrl": "ctrlKey", "meta": "metaKey", "alt": "altKey"},
    "new_tree_behavior": True, "ortho": True, "pan_speed": 1, "render_edges": True, "render_joints": False,
    "render_mates": False, "render_normals": False, "reset_camera": "reset", "rotate_speed": 1, "roughness": 0.65,
    "show_parent": False, "show_sketch_local": True, "ticks": 10, "timeit": False, "tools": True,
    "transparent": False, "up": "Z", "zoom_speed": 1, "normal_len": 0,
}  # fmt: skip

@pytest.fixture(autouse=True)
def _host(tmp_path):
    """The generic PDK, a private inbox, and a comms capture restored afterwards."""
    pdk.reset()
    communication.set_inbox(tmp_path / "inbox")
    comms = lumino.comms
    yield
    lumino.comms = comms
    communication.set_inbox(None)
    pdk.reset()


class Capture:
    def __init__(self):
        self.sent = []

    def send_message(self, *args, **kwargs):
        self.sent.append((args, kwargs))


@pytest.fixture
def capture():
    c = Capture()
    lumino.comms = c
    return c


@pytest.fixture
def gds_file(tmp_path):
    """A top cell with a waveguide box and a child placed twice, on the generic PDK's WG layer (1, 0)."""
    ly = kdb.Layout()
    top, child = ly.create_cell("top"), ly.create_cell("child")
    wg = ly.layer(1, 0)
    top.shapes(wg).insert(kdb.Box(0, 0, 1000, 500))
    child.shapes(wg).insert(kdb.Box(0, 0, 100, 100))
    top.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(0, False, 0, 2000)))
    top.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(2, False, 0, -2000)))
    path = tmp_path / "chip.gds"
    ly.write(str(path))
    return str(path)


def test_to_3D_viewer_defaults(gds_file):
    data = lumino.to_3D_viewer(gds_file)
    assert type(data) is lumino.ViewerData and data.id == "/Layers"
    (layer,) = data.parts
    wg = velloc.pdk.get_layer_views().get_from_tuple((1, 0)).fill_color.as_hex()
    assert layer.name == "WG (1, 0)"
    top = layer.parts[0]
    assert top.parts[0].color == wg and top.parts[0].shape.height == 0.22
    assert top.parts[1].parts[0].shape.matrices.shape == (12,)
    d = lumino.to_3D_viewer(gds_file, CELL, as_dict=True)
    assert type(d) is dict and d["id"] == "/Cells" and list(d)[-1] == "instances"
    with pytest.raises(TypeError):  # as_dict is named-only
        lumino.to_3D_viewer(gds_file, CELL, None, None, 1.0, 0.01, None, True)


def test_explicit_layer_views_leave_only_the_stack_to_the_pdk(gds_file, monkeypatch):
    asked = []

    class Library:
        def get_layer_views(self):
            asked.append("views")
            return velloc.pdk.get_layer_views()

        def get_layer_stack(self):
            asked.append("stack")
            return velloc.pdk.get_layer_stack()

    monkeypatch.setattr(lumino, "stockkit", Library())
    lumino.to_3D_viewer(gds_file, layer_views=velloc.pdk.get_layer_views())
    assert asked == ["stack"]
    lumino.to_3D_viewer(gds_file)
    assert asked == ["stack", "views", "stack"]


def test_z_scale_integer_is_accepted(gds_file):
    data = lumino.to_3D_viewer(gds_file, CELL, z_scale=3)
    part = data.parts[0].parts[0]
    assert part.shape.height == 3 * 0.22 and part.loc == ((0, 0, 0.0), (0, 0, 0, 1))


def test_other_outputs_fail_after_reading(gds_file, tmp_path):
    with pytest.raises(ValueError) as e:
        lumino.to_3D_viewer(gds_file, "LAYER")
    assert str(e.value) == "Only Output.CELL and Output.LAYER are allowed"
    with pytest.raises(Exception) as e:  # the read comes first
        lumino.to_3D_viewer(str(tmp_path / "missing.gds"), "LAYER")
    assert not isinstance(e.value, ValueError)


BAD_ARGUMENTS = [
    ({"gds_file": Path("x.gds")}, "gds_file"),
    ({"gds_file": 3}, "gds_file"),
    ({"z_scale": "2"}, "z_scale"),
    ({"z_scale": None}, "z_scale"),
    ({"curve_tolerance": "0.1"}, "curve_tolerance"),
    ({"curve_tolerance": True}, "curve_tolerance"),
    ({"exclude_layers": ("WG*",)}, "exclude_layers"),
    ({"exclude_layers": "WG*"}, "exclude_layers"),
]


@pytest.mark.parametrize("entry", ["to_3D_viewer", "lumino"])
@pytest.mark.parametrize("bad, name", BAD_ARGUMENTS)
def test_argument_types_are_checked_first(entry, bad, name, monkeypatch, capture):
    class Untouchable:
        def __getattr__(self, attr):
            raise AssertionError(f"used before the argument check: {attr}")

    for alias in ("stockkit", "cvn_pdk", "pya"):
        monkeypatch.setattr(lumino, alias, Untouchable())
    args = {"gds_file": "x.gds", "output": CELL, **bad}
    with pytest.raises(TypeError) as e:
        getattr(lumino, entry)(**args)
    assert str(e.value).startswith(name + " must be ")
    assert capture.sent == []


def test_lumino_needs_an_output(gds_file):
    with pytest.raises(TypeError):
        lumino.lumino(gds_file)


@pytest.mark.parametrize("output", [CELL, LAYER])
def test_lumino_sends_one_message(gds_file, capture, output):
    assert lumino.lumino(gds_file, output, z_scale=2.0, exclude_layers=["nothing"]) is None
    ((args, kwargs),) = capture.sent
    assert kwargs == {} and len(args) == 1 and type(args[0]) is LuminoMessage
    text = args[0].content
    assert type(text) is str and "\n" not in text and text.startswith('{"type":"data","data":{"name":')
    message = json.loads(text)
    assert list(message) == ["type", "data", "config"] and message["type"] == "data"
    config = message["config"]
    assert list(config) == list(CONFIG) and len(config) == 41
    assert config == CONFIG
    for key, value in CONFIG.items():
        assert type(config[key]) is type(value), key  # integers stay integers
    assert '"ambient_intensity":1,' in text and '"normal_len":0}' in text
    expected = lumino.numpy_to_buffer_json(
        lumino.to_3D_viewer(gds_file, output, z_scale=2.0, exclude_layers=["nothing"], as_dict=True)
    )
    assert message["data"] == json.loads(json.dumps(expected))


def test_lumino_takes_the_layers_of_the_active_pdk(gds_file, capture):
    stack, views = vlt.LayerStack({}), velloc.pdk.get_layer_views()
    pdk.set_pdk(velloc.pdk.Pdk(name="empty", layer_stack=stack, layer_views=views))
    lumino.lumino(gds_file, CELL)
    data = json.loads(capture.sent[0][0][0].content)["data"]
    assert data["id"] == "/Cells" and "parts" not in data  # no known layer: nothing to show
    pdk.set_pdk(velloc.pdk.Pdk(name="broken", layer_stack={}, layer_views=views))
    with pytest.raises(AssertionError):
        lumino.lumino(gds_file, CELL)
    assert len(capture.sent) == 1


def test_lumino_sends_nothing_when_a_step_fails(tmp_path, capture):
    with pytest.raises(Exception):
        lumino.lumino(str(tmp_path / "missing.gds"), LAYER)
    assert capture.sent == []


def test_unencodable_values_reach_the_hosts_none(gds_file, capture, monkeypatch):
    seen = []

    class Shared:
        @staticmethod
        def none(value):
            seen.append(value)
            return "fallback"

    odd = object()
    monkeypatch.setattr(lumino, "shared", Shared)
    monkeypatch.setattr(lumino, "to_3D_viewer", lambda *a, **k: {"odd": odd})
    lumino.lumino(gds_file, CELL)
    assert seen == [odd]
    assert json.loads(capture.sent[0][0][0].content)["data"] == {"odd": "fallback"}


@pytest.mark.parametrize("fails", [False, True])
def test_demonstration_deletes_its_file(monkeypatch, tmp_path, fails):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / "tmp"))
    (tmp_path / "tmp").mkdir()
    seen = []

    def show(path, **kwargs):
        seen.append((Path(path).is_file(), path.endswith(".gds"), kwargs))
        if fails:
            raise RuntimeError("viewer down")

    monkeypatch.setattr(lumino, "lumino", show)
    if fails:
        with pytest.raises(RuntimeError, match="viewer down"):
            lumino._main()
    else:
        lumino._main()
    assert seen == [(True, True, {"output": LAYER, "z_scale": 1.0, "curve_tolerance": 0.01, "exclude_layers": None})]
    assert list((tmp_path / "tmp").iterdir()) == []


def test_demo_command_reports_the_delivered_message(tmp_path):
    env = {**os.environ, "HOME": str(tmp_path)}
    r = subprocess.run([sys.executable, "-m", "corvane.demo"], capture_output=True, text=True, env=env, timeout=300)
    assert r.returncode == 0, r.stderr
    (path,) = (tmp_path / ".corvane" / "viewer_inbox").iterdir()
    size = path.stat().st_size
    assert f"delivered to:   {path}" in r.stdout and f"{size:,} bytes" in r.stdout
    assert json.loads(path.read_text())["data"]["id"] == "/Layers"
