"""The file entry points' fast roads against the plain ones, byte for byte:

- the core's simplifier against shapely's (forced by making shapely report a
  GEOS release the core was not verified against);
- the file read by the core's reader against KLayout's read (forced by
  rebinding lumino.pya), for the message and for the records;
- which road a call takes (in a fresh process: KLayout's names stay unused
  where the reader answers).
"""

from __future__ import annotations

import gzip
import json
import shutil
import subprocess
import sys
from pathlib import Path

import klayout
import klayout.db as kdb
import numpy as np
import pytest
import shapely
import velloc.technology as vlt

from corvane.core import lumino

from .test_message_roads import lumino_message
from .test_shared_layouts import DATA, FILES

OUTPUTS = [lumino.Output.CELL, lumino.Output.LAYER]
READER_VERIFIED = lumino._read_layout(str(DATA / "gds" / "RingResonator.gds"), counts=True)[0] is not None
GEOS_VERIFIED = tuple(shapely.geos_version) in lumino._verified_geos()


def frozen(value):
    """Records, arrays and containers as plain comparable values: record
    types and field order, dtypes and raw bytes, floats by their exact bits."""
    fields = getattr(type(value), "__dataclass_fields__", None)
    if fields is not None:
        return (type(value).__name__, tuple((name, frozen(getattr(value, name))) for name in fields))
    if isinstance(value, np.ndarray):
        return ("ndarray", value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, dict):
        return ("dict", tuple((frozen(k), frozen(v)) for k, v in value.items()))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, tuple(frozen(v) for v in value))
    if isinstance(value, float):
        return ("float", value.hex())
    return (type(value).__name__, value)


def shapely_road(monkeypatch):
    """Simplify through shapely: its GEOS is then one the core does not know."""
    monkeypatch.setattr(shapely, "geos_version", (0, 0, 0))
    assert lumino._geos_version() == (0, 0, 0)


def klayout_road(monkeypatch):
    """Read through KLayout: a rebound pya is what the plain road would use."""
    monkeypatch.setattr(lumino, "pya", kdb)


def pool_bytes(parser) -> list[bytes]:
    return [np.asarray(p, dtype=np.float64).tobytes() for p in parser.instances]


@pytest.mark.skipif(not GEOS_VERIFIED, reason=f"GEOS {shapely.geos_version} is not verified: shapely does it all")
@pytest.mark.parametrize("gds, stack", FILES, ids=[f for f, _ in FILES])
def test_the_core_and_shapely_simplify_every_shared_layout_alike(gds, stack, monkeypatch):
    layout = kdb.Layout()
    layout.read(str(DATA / "gds" / gds))
    layers = lumino.get_layer_properties(*vlt.read_layer_technology(DATA / stack))
    core = lumino.ParseGDS(layout, layers)
    core.export_cells(combine=False)
    shapely_road(monkeypatch)
    plain = lumino.ParseGDS(layout, layers)
    plain.export_cells(combine=False)
    assert pool_bytes(core) == pool_bytes(plain)
    assert core.instance_mapping == plain.instance_mapping


@pytest.mark.skipif(not GEOS_VERIFIED, reason=f"GEOS {shapely.geos_version} is not verified: shapely does it all")
@pytest.mark.parametrize("gds", ["MiniChip_1mm.gds", "RingResonator.gds"])
def test_the_message_is_the_same_on_both_simplifiers(gds, monkeypatch):
    stack, views = vlt.read_layer_technology(DATA / "photonics_stack.json")
    path = str(DATA / "gds" / gds)
    core = lumino_message(path, lumino.Output.LAYER, stack, views)
    shapely_road(monkeypatch)
    assert lumino_message(path, lumino.Output.LAYER, stack, views) == core


OPTIONS = [{}, {"curve_tolerance": None, "z_scale": 2.5}, {"exclude_layers": ["*(1, 0)", "met?*"]}]


@pytest.mark.parametrize("options", OPTIONS, ids=["defaults", "unsimplified", "excluded"])
@pytest.mark.parametrize("output", OUTPUTS, ids=["cell", "layer"])
@pytest.mark.parametrize("gds, stack", FILES, ids=[f for f, _ in FILES])
def test_the_core_reader_and_klayouts_read_give_the_same(gds, stack, output, options, monkeypatch):
    stack, views = vlt.read_layer_technology(DATA / stack)
    path = str(DATA / "gds" / gds)

    def results():
        kw = dict(layer_views=views, layer_stack=stack, **options)
        return (lumino_message(path, output, stack, views, **options),
                frozen(lumino.to_3D_viewer(path, output, **kw)),
                frozen(lumino.to_3D_viewer(path, output, as_dict=True, **kw)))

    direct = results()
    klayout_road(monkeypatch)
    assert results() == direct



@pytest.mark.parametrize("output", OUTPUTS, ids=["cell", "layer"])
@pytest.mark.parametrize("gds, stack", FILES, ids=[f for f, _ in FILES])
def test_klayouts_read_without_the_binary_forms(gds, stack, output, monkeypatch):
    """Releases before 0.30.9 have no to_bytes: KLayout's road reads their
    transformations and points one by one, to the same message."""
    stack, views = vlt.read_layer_technology(DATA / stack)
    path = str(DATA / "gds" / gds)
    klayout_road(monkeypatch)
    binary = lumino_message(path, output, stack, views)
    for cls in (kdb.Polygon, kdb.Trans, kdb.ICplxTrans):
        monkeypatch.delattr(cls, "to_bytes", raising=False)
    assert not hasattr(kdb.Polygon(), "to_bytes")
    assert lumino_message(path, output, stack, views) == binary


ROAD_PROBE = """
import json, sys
import velloc.pdk, velloc.technology as vlt
from corvane.core import lumino, pdk
stack, views = vlt.read_layer_technology(sys.argv[2])
pdk.set_pdk(velloc.pdk.Pdk(name="probe", layer_stack=stack, layer_views=views))
sent = []
lumino.comms = type("Capture", (), {"send_message": staticmethod(sent.append)})
lumino.lumino(sys.argv[1], lumino.Output.LAYER)
data = lumino.to_3D_viewer(sys.argv[1], lumino.Output.CELL, layer_views=views, layer_stack=stack)
print(json.dumps([len(sent), len(data.instances), lumino.pya.lazy_loaded, lumino.kdb.lazy_loaded]))
"""


def probe_roads(path) -> list:
    r = subprocess.run([sys.executable, "-c", ROAD_PROBE, str(path), str(DATA / "photonics_stack.json")],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout.splitlines()[-1])


@pytest.mark.skipif(not READER_VERIFIED, reason=f"the reader is not verified with klayout {kdb.__version__}")
def test_klayout_is_left_alone_where_the_reader_answers(tmp_path):
    sent, polygons, pya_used, kdb_used = probe_roads(DATA / "gds" / "RingResonator.gds")
    assert (sent, pya_used, kdb_used) == (1, False, False) and polygons > 0
    # A compressed file is the reader's too; one it declines is KLayout's.
    packed = tmp_path / "ring.gds.gz"
    with open(DATA / "gds" / "RingResonator.gds", "rb") as src, gzip.open(packed, "wb") as dst:
        shutil.copyfileobj(src, dst)
    assert lumino._read_layout(str(packed))[0] is not None
    assert probe_roads(packed) == [1, polygons, False, False]
    cut = tmp_path / "cut.gds.gz"
    cut.write_bytes(packed.read_bytes()[: len(packed.read_bytes()) // 2])
    assert lumino._read_layout(str(cut))[0] is None
    r = subprocess.run([sys.executable, "-c", ROAD_PROBE, str(cut), str(DATA / "photonics_stack.json")],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode != 0 and "RuntimeError" in r.stderr  # KLayout's own error


def test_the_klayout_version_is_klayouts_own_once_imported(monkeypatch):
    path = str(DATA / "gds" / "RingResonator.gds")
    monkeypatch.setattr(klayout, "__version__", "0.0.1")
    assert lumino._read_layout(path) == (None, "klayout 0.0.1 not verified")


def test_the_klayout_version_is_read_beside_the_package_without_importing_it(tmp_path):
    """A klayout package earlier on the path, with its distribution record."""
    (tmp_path / "klayout").mkdir()
    (tmp_path / "klayout" / "__init__.py").write_text("raise ImportError('not to be imported')\n")
    (tmp_path / "klayout-7.7.7.dist-info").mkdir()
    (tmp_path / "klayout-7.7.7.dist-info" / "METADATA").write_text("Metadata-Version: 2.1\nName: klayout\nVersion: 7.7.7\n")
    code = ("import sys; sys.path.insert(0, sys.argv[1]); from corvane.core import lumino; "
            "print(lumino._read_layout(sys.argv[2]), 'klayout' in sys.modules)")
    r = subprocess.run([sys.executable, "-c", code, str(tmp_path), str(DATA / "gds" / "RingResonator.gds")],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["(None,", "'klayout", "7.7.7", "not", "verified')", "False"]


@pytest.mark.parametrize("gds", [f for f, _ in FILES])
def test_the_file_is_read_never_mapped(gds):
    # A mapped file that another process shortens ends the interpreter with
    # SIGBUS: the reader reads into a buffer of its own, and the keyword that
    # once mapped the file is gone.
    path = str(DATA / "gds" / gds)
    with pytest.raises(TypeError):
        lumino._read_layout(path, map_file=True)
    assert lumino._read_layout(path) == lumino._read_layout(path)
