"""OASIS files on lumino's roads: the file read by the core's reader must give
the message, the records and the summary that KLayout's read gives, byte
for byte, and the reader is chosen by the file's content, not its name.

- the corpus OASIS files (../shared/data/corpus; skipped without it) and
  generated layouts written as OASIS, through lumino (the message road),
  to_3D_viewer (the records, both forms) and the summary of `corvane
  layers`, each against the same call with KLayout reading the file;
- in a fresh process, that KLayout is not imported where the reader answers.
"""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import klayout.db as kdb
import orjson
import pytest
import velloc.technology as vlt

from corvane import layout_info
from corvane.core import lumino

from . import oasisstream as o
from .release import needs_reader

# Every test here checks the OASIS reader's own answers (on a release it
# declines, KLayout alone would read these files, some of which crash it).
pytestmark = needs_reader
from .test_fast_paths import random_layout
from .test_file_roads import frozen, klayout_road
from .test_message_roads import lumino_message

CORPUS = Path(__file__).resolve().parents[2] / ".." / "shared" / "data" / "corpus"
CORPUS_OASIS = sorted(CORPUS.glob("*.oas")) if CORPUS.is_dir() else []
OUTPUTS = [lumino.Output.CELL, lumino.Output.LAYER]
needs_corpus = pytest.mark.skipif(not CORPUS_OASIS, reason="../shared/data/corpus is not present")


def reader_answers(path) -> bool:
    return lumino._read_layout(str(path), counts=True)[0] is not None


def stack_for(path, tmp_path, skip_every=3):
    """A layer stack for the file's layers (every `skip_every`-th one left
    out, so that unknown layers are met too)."""
    ly = kdb.Layout()
    ly.read(str(path))
    pairs = sorted({(ly.get_info(li).layer, ly.get_info(li).datatype) for li in ly.layer_indices()})
    levels = [dict(name=f"L{l}_{d}", layer=l, datatype=d, zmin=0.1 * k, thickness=0.2 + 0.01 * k,
                   color=f"#{(k * 37) % 256:02x}80{(k * 91) % 256:02x}")
              for k, (l, d) in enumerate(pairs) if k % skip_every != skip_every - 1]
    stack = tmp_path / "stack.json"
    stack.write_text(orjson.dumps({"name": "generated", "layers": levels}).decode())
    return vlt.read_layer_technology(stack)


def results(path, output, stack, views, **options):
    kw = dict(layer_views=views, layer_stack=stack, **options)
    return (lumino_message(str(path), output, stack, views, **options),
            frozen(lumino.to_3D_viewer(str(path), output, **kw)),
            frozen(lumino.to_3D_viewer(str(path), output, as_dict=True, **kw)))


def assert_roads_agree(path, tmp_path, monkeypatch, **options):
    assert reader_answers(path), lumino._read_layout(str(path))[1]
    stack, views = stack_for(path, tmp_path)
    for output in OUTPUTS:
        direct = results(path, output, stack, views, **options)
        with monkeypatch.context() as m:
            klayout_road(m)
            assert results(path, output, stack, views, **options) == direct


@needs_corpus
@pytest.mark.parametrize("path", CORPUS_OASIS, ids=lambda p: p.name)
@pytest.mark.parametrize("options", [{}, {"curve_tolerance": None, "z_scale": 2.0}, {"exclude_layers": ["L1*"]}],
                         ids=["defaults", "unsimplified", "excluded"])
def test_corpus_files_on_every_road(path, options, tmp_path, monkeypatch):
    assert_roads_agree(path, tmp_path, monkeypatch, **options)


def write_oasis(ly, path, **opts):
    options = kdb.SaveLayoutOptions()
    options.format = "OASIS"
    options.oasis_permissive = True  # odd path widths rounded
    for name, value in opts.items():
        setattr(options, "oasis_" + name, value)
    ly.write(str(path), options)


@pytest.mark.parametrize("seed", range(6))
def test_generated_layouts_on_every_road(seed, tmp_path, monkeypatch):
    ly = random_layout(seed)
    for c in ly.each_cell():  # edge pairs have no OASIS form
        for li in ly.layer_indices():
            for s in list(c.shapes(li).each()):
                if s.is_edge_pair():
                    c.shapes(li).erase(s)
    path = tmp_path / "layout.oas"
    write_oasis(ly, path, compression_level=seed % 4 * 3, strict_mode=seed % 2 == 1, write_cblocks=seed % 3 == 0)
    assert_roads_agree(path, tmp_path, monkeypatch, curve_tolerance=[0.01, None][seed % 2])


def summary_pair(path, texts=True):
    return layout_info._summarize_direct(Path(path), texts), layout_info._summarize_klayout(Path(path), texts)


@needs_corpus
@pytest.mark.parametrize("path", CORPUS_OASIS, ids=lambda p: p.name)
@pytest.mark.parametrize("texts", [True, False])
def test_corpus_summaries(path, texts):
    got, want = summary_pair(path, texts)
    assert got is not None and got == want


def test_the_format_is_told_by_content(tmp_path):
    """An OASIS file named .gds and a GDS2 file named .oas each go to their own reader."""
    oasis = o.layout(o.cellname("TOP"), o.cell(0), o.rectangle(1, 0, 10, 20, 0, 0), o.text("t", 2, 0, 5, 5))
    gds = tmp_path / "real.gds"
    ly = kdb.Layout()
    ly.create_cell("G").shapes(ly.layer(3, 0)).insert(kdb.Box(0, 0, 7, 7))
    ly.write(str(gds))
    for name, data in [("oasis.gds", oasis), ("oasis", oasis), ("gds.oas", gds.read_bytes())]:
        path = tmp_path / name
        path.write_bytes(data)
        got, why = lumino._read_layout(str(path))
        assert got is not None, why
        got_summary, want_summary = summary_pair(path)
        assert got_summary == want_summary
    # What neither reader takes is declined with the GDS2 reader's reason.
    other = tmp_path / "other.oas"
    other.write_bytes(b"%SEMI-OASIS\n not quite")
    assert lumino._read_layout(str(other)) == (None, "not a GDS2 stream")


@pytest.mark.parametrize("data, reason", [
    (o.layout(o.cell("T"), version="1.1"), "version"),
    (o.layout(o.cell("T"))[:-100], "after the END record"),
], ids=["version", "cut-short"])
def test_a_declined_file_is_klayouts_to_read(data, reason, tmp_path):
    path = tmp_path / "declined.oas"
    path.write_bytes(data)
    got, why = lumino._read_layout(str(path))
    assert got is None and reason in why
    with pytest.raises(RuntimeError):
        layout_info.summarize(path)


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


def test_klayout_is_left_alone_where_the_reader_answers(tmp_path):
    ly = kdb.Layout()
    top = ly.create_cell("TOP")
    child = ly.create_cell("CHILD")
    child.shapes(ly.layer(1, 0)).insert(kdb.Box(0, 0, 100, 50))
    top.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(), kdb.Vector(200, 0), kdb.Vector(0, 100), 3, 2))
    path = tmp_path / "probe.oas"
    write_oasis(ly, path, compression_level=2, write_cblocks=True)
    stack = tmp_path / "stack.json"
    stack.write_text(json.dumps({"name": "p", "layers": [dict(name="m", layer=1, datatype=0, zmin=0.0,
                                                               thickness=0.5, color="#ff0000")]}))
    r = subprocess.run([sys.executable, "-c", ROAD_PROBE, str(path), str(stack)],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    sent, polygons, pya_used, kdb_used = json.loads(r.stdout.splitlines()[-1])
    assert (sent, polygons, pya_used, kdb_used) == (1, 1, False, False)
