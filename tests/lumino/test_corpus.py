"""The GDS2 files of ../shared/data/corpus (public layouts of many writers:
KLayout, Magic, Cadence, Mentor, L-Edit, gdstk; context information, gzip,
arrays, odd units): the direct reader answers on each exactly as KLayout
reads it, the summary equals KLayout's, and lumino's messages and records
with every layer drawn are byte for byte those of the road through
KLayout's read.  Skipped without ../shared.
"""

from __future__ import annotations

import json
from pathlib import Path

import klayout.db as kdb
import pytest
import velloc.technology as vlt

from corvane.core import lumino

from .direct_reference import first_difference, klayout_layout, same
from .test_direct_reader import verified_klayout  # noqa: F401
from .test_file_roads import frozen
from .test_layout_summary import assert_same_summary
from .test_message_roads import lumino_message
from .test_shared_layouts import DATA

CORPUS = Path(__file__).resolve().parents[2] / ".." / "shared" / "data" / "corpus"
GDS = sorted(p for p in CORPUS.iterdir() if p.suffix.lower() == ".gds") if CORPUS.is_dir() else []
pytestmark = pytest.mark.skipif(not GDS, reason="the shared corpus (../shared/data/corpus) is not present")


@pytest.mark.parametrize("path", GDS, ids=[p.name for p in GDS])
def test_the_reader_answers_as_klayout_reads(path):
    got, why = lumino._read_layout(str(path))
    assert got is not None, why
    want = klayout_layout(path)
    assert same(got, want), first_difference(got, want)


@pytest.mark.parametrize("path", GDS, ids=[p.name for p in GDS])
def test_the_summary_is_klayouts(path):
    assert_same_summary(path)


def every_layer(path, tmp_path):
    """A stack drawing every layer of the file, each at a height of its own."""
    ly = kdb.Layout()
    ly.read(str(path))
    pairs = sorted({(ly.get_info(i).layer, ly.get_info(i).datatype) for i in ly.layer_indices()})
    stack = tmp_path / "every_layer.json"
    stack.write_text(json.dumps({"name": "every layer", "layers": [
        {"name": f"L{l}_{d}", "layer": l, "datatype": d, "zmin": 0.1 * k, "thickness": 0.1,
         "color": f"#{(k * 40503) % 0xFFFFFF:06x}"} for k, (l, d) in enumerate(pairs)]}))
    return vlt.read_layer_technology(stack)


@pytest.mark.parametrize("output", [lumino.Output.CELL, lumino.Output.LAYER], ids=["cell", "layer"])
@pytest.mark.parametrize("path", GDS, ids=[p.name for p in GDS])
def test_messages_and_records_equal_the_klayout_road(path, output, tmp_path, monkeypatch):
    stack, views = every_layer(path, tmp_path)

    def results():
        return (lumino_message(str(path), output, stack, views),
                frozen(lumino.to_3D_viewer(str(path), output, layer_views=views, layer_stack=stack)))

    direct = results()
    monkeypatch.setattr(lumino, "pya", kdb)  # the plain road: KLayout reads the file
    assert results() == direct
