"""The Python entry points read the file they are given as a file, whatever its name,
refuse at once what cannot be read as a layout (a FIFO, a device, a directory), and
refuse a database unit that is not positive, on the direct reader's road and on
KLayout's alike."""

from __future__ import annotations

import os
import threading
import types
from pathlib import Path

import klayout.db as kdb
import pytest
import velloc.pdk
import velloc.technology as vlt

from corvane import layout_info
from corvane.core import lumino, pdk

from . import gdsstream as g
from .release import needs_reader

ODD_NAMES = ["pipe:touch X;cat ring.gds #.gds", "http:ring.gds", "https:ring.gds", "file:ring.gds",
             ":ring.gds", "data:ring.gds", "ring.gds[OASIS]", " ring.gds"]


class Capture:
    def __init__(self):
        self.sent = []

    def send_message(self, message):
        self.sent.append(message.content)


def stack_and_views():
    import json
    import tempfile

    layers = [{"name": f"L{l}", "layer": l, "datatype": 0, "zmin": 0.2 * l, "thickness": 0.2, "color": "#ff0000"}
              for l in (1, 2)]
    with tempfile.TemporaryDirectory() as folder:
        stack_file = Path(folder) / "stack.json"
        stack_file.write_text(json.dumps({"name": "files", "layers": layers}))
        return vlt.read_layer_technology(stack_file)


def message(path):
    stack, views = stack_and_views()
    capture, previous = Capture(), lumino.comms
    lumino.comms = capture
    pdk.set_pdk(velloc.pdk.Pdk(name="files", layer_stack=stack, layer_views=views))
    try:
        lumino.lumino(path, lumino.Output.CELL)
    finally:
        pdk.reset()
        lumino.comms = previous
    (content,) = capture.sent
    return content


def viewer_data(path):
    stack, views = stack_and_views()
    return lumino.numpy_to_buffer_json(
        lumino.to_3D_viewer(path, lumino.Output.LAYER, layer_views=views, layer_stack=stack, as_dict=True))


def summary(path):
    s = layout_info.summarize(path)
    return s.dbu, s.cells, s.top_cells, s.depth, s.layers


ENTRIES = {"lumino": message, "to_3D_viewer": viewer_data, "summarize": summary}


def ring(folder: Path) -> Path:
    layout = kdb.Layout()
    top = layout.create_cell("TOP")
    top.shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 2000, 1000))
    top.shapes(layout.layer(2, 0)).insert(kdb.Polygon([kdb.Point(0, 0), kdb.Point(500, 900), kdb.Point(900, 0)]))
    path = folder / "ring.gds"
    layout.write(str(path))
    return path


@pytest.fixture(params=["direct", "klayout"])
def road(request, monkeypatch):
    """The direct reader, or KLayout's read (the reader's names rebound, its summary declining)."""
    if request.param == "klayout":
        monkeypatch.setattr(lumino, "pya", types.SimpleNamespace(Layout=kdb.Layout))
        monkeypatch.setattr(lumino, "_layout_summary", lambda *a, **k: (None, "declined"))
    return request.param


@pytest.mark.parametrize("name", ODD_NAMES)
@pytest.mark.parametrize("entry", ENTRIES)
def test_the_file_is_read_whatever_its_name(tmp_path, monkeypatch, road, entry, name):
    plain = ring(tmp_path)
    (tmp_path / name).write_bytes(plain.read_bytes())
    monkeypatch.chdir(tmp_path)
    assert ENTRIES[entry](name) == ENTRIES[entry]("ring.gds")
    assert not (tmp_path / "X").exists()  # the pipe's command never ran


def test_the_checked_path_is_absolute_and_unnormalised(tmp_path, monkeypatch):
    ring(tmp_path)
    (tmp_path / "sub").mkdir()
    monkeypatch.chdir(tmp_path / "sub")
    assert lumino._layout_path("../ring.gds") == f"{tmp_path}/sub/../ring.gds"
    assert lumino._layout_path(str(tmp_path / "ring.gds")) == str(tmp_path / "ring.gds")
    missing = lumino._layout_path("none.gds")  # left to the read, whose error passes through
    assert missing == f"{tmp_path}/sub/none.gds"
    with pytest.raises(RuntimeError, match="none.gds"):
        viewer_data("none.gds")


def not_regular(tmp_path, kind):
    if kind == "fifo":
        target = tmp_path / "x.gds"
        os.mkfifo(target)
        return target, "a FIFO"
    if kind == "directory":
        return tmp_path, "a directory"
    if not os.path.exists(kind):
        pytest.skip(f"{kind} is absent")
    return Path(kind), "a character device"


@pytest.mark.parametrize("kind", ["fifo", "directory", "/dev/null", "/dev/zero"])
@pytest.mark.parametrize("entry", ENTRIES)
def test_what_is_not_a_regular_file_is_refused_before_it_is_read(tmp_path, road, entry, kind):
    target, what = not_regular(tmp_path, kind)
    # Should a reader wait on the FIFO, a writer that comes after a while ends its wait
    # (an empty read, a wrong result) instead of the test hanging for ever.
    stop = threading.Event()

    def unblock():
        while not stop.wait(5.0):
            try:
                os.close(os.open(target, os.O_WRONLY | os.O_NONBLOCK))
            except OSError:
                pass

    if kind == "fifo":
        threading.Thread(target=unblock, daemon=True).start()
    try:
        with pytest.raises(ValueError, match=f"^gds_file '{target}': {what}, not a regular file$"):
            ENTRIES[entry](str(target))
    finally:
        stop.set()


def unit_file(tmp_path, dbu_meter):
    data = g.library(g.structure("TOP", g.boundary(1, 0, [(0, 0), (0, 10), (10, 10), (10, 0)])), dbu_meter=dbu_meter)
    return Path(g.write(tmp_path, data, "unit.gds"))


@pytest.mark.parametrize("dbu_meter, shown", [(0.0, "0"), (-1e-9, "-0.001"), (-2.5e-6, "-2.5")])
@pytest.mark.parametrize("entry", ENTRIES)
@needs_reader
def test_a_unit_that_is_not_positive_is_refused_on_every_road(tmp_path, road, entry, dbu_meter, shown):
    path = unit_file(tmp_path, dbu_meter)
    reason = f"database unit not positive ({shown} um)"
    # The direct reader declines the file with this reason, and the entries refuse it with it.
    assert lumino._read_layout(str(path))[1].startswith("database unit not positive")
    with pytest.raises(ValueError, match=rf"^gds_file '{path}': {reason}$".replace("(", r"\(").replace(")", r"\)")):
        ENTRIES[entry](str(path))


def test_a_compressed_file_with_a_bad_unit_is_refused(tmp_path):
    import gzip

    path = unit_file(tmp_path, 0.0)
    zipped = tmp_path / "unit.gds.gz"
    zipped.write_bytes(gzip.compress(path.read_bytes()))
    with pytest.raises(ValueError, match=r"database unit not positive \(0 um\)$"):
        viewer_data(str(zipped))
