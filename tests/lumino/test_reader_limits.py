"""The direct GDS2 reader at the edges of each record field's range.

Every key, count and size the reader keeps can take any value a file gives:
the first shape on layer 65535, datatype 65535 (whose key is the largest
32-bit value), records with the largest and smallest values of their fields,
a record 0 where KLayout's record layer takes 0 for "nothing given back".
Each is read as KLayout reads it (or declined with a reason), and the entry
points that read a file never crash on it.  A file shortened while it is read
gives a shorter stream, never a signal.
"""

from __future__ import annotations

import json
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from corvane.core import lumino

from . import gdsstream as g
from .direct_reference import first_difference, klayout_layout, same
from .test_direct_reader import SQUARE, assert_same_or_declined, child, verified_klayout  # noqa: F401

REPO = Path(__file__).resolve().parents[2]
BIG = 2**31 - 1


def first_shape(kind, layer, datatype):
    return {
        "boundary": lambda: g.boundary(layer, datatype, [(0, 0), (0, 5), (7, 1)]),
        "rectangle": lambda: g.boundary(layer, datatype, SQUARE),
        "box": lambda: g.box(layer, datatype, [(0, 0), (4, 4)]),
        "path": lambda: g.path(layer, datatype, [(0, 0), (100, 0)], width=10),
        "text": lambda: g.text(layer, datatype, (3, 4), "pin"),
    }[kind]()


PAIRS = [(65535, 65535), (65535, 0), (0, 65535), (32768, 32768), (65534, 65535)]
KINDS = ["boundary", "rectangle", "box", "path", "text"]

# Every file entry point on one file, in a child process so that a crash
# fails the test instead of the run.
ENTRY_POINTS = """
import json, sys, tempfile
import velloc.pdk, velloc.technology as vlt
from corvane.core import lumino, pdk
path = sys.argv[1]
got, why = lumino._read_layout(path)
summary = lumino._layout_summary(path)
pairs = [(65535, 65535), (65535, 0), (0, 65535), (32768, 32768), (65534, 65535), (1, 0), (5, 0)]
with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
    json.dump({"name": "limits", "layers": [{"name": f"L{l}_{d}", "layer": l, "datatype": d, "zmin": 0.0,
                                             "thickness": 1.0, "color": "#ff0000"} for l, d in pairs]}, f)
stack, views = vlt.read_layer_technology(f.name)
data = lumino.to_3D_viewer(path, lumino.Output.LAYER, layer_stack=stack, layer_views=views)
sent = []
lumino.comms = type("Capture", (), {"send_message": staticmethod(sent.append)})
pdk.set_pdk(velloc.pdk.Pdk(name="limits", layer_stack=stack, layer_views=views))
lumino.lumino(path, lumino.Output.CELL)
print(json.dumps([got is not None, why, len(data.instances), len(sent)]))
"""


def extreme_layout(kind, pair):
    """The first shape of the file on `pair`, then one on (1, 0), then `pair` again."""
    return g.library(g.structure("TOP", first_shape(kind, *pair), g.boundary(1, 0, SQUARE), first_shape(kind, *pair),
                                 g.sref("CHILD", (5, 5))), child)


@pytest.mark.parametrize("pair", PAIRS, ids=[f"{l}-{d}" for l, d in PAIRS])
def test_the_largest_layer_numbers_on_every_entry_point(tmp_path, pair):
    for kind in KINDS:
        path = g.write(tmp_path, extreme_layout(kind, pair), f"{kind}.gds")
        r = subprocess.run([sys.executable, "-c", ENTRY_POINTS, path], capture_output=True, text=True, timeout=300)
        assert r.returncode == 0, (kind, r.returncode, r.stderr[-2000:])
        answered, why, polygons, sent = json.loads(r.stdout.splitlines()[-1])
        assert answered, (kind, why)
        assert sent == 1 and polygons >= (1 if kind == "text" else 3), kind
        cli = subprocess.run([sys.executable, "-m", "corvane", "layers", path], capture_output=True, text=True,
                             timeout=300)
        assert cli.returncode == 0, (kind, cli.returncode, cli.stderr[-2000:])
        assert f"{pair[0]}" in cli.stdout and f"{pair[1]}" in cli.stdout, cli.stdout


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("pair", PAIRS, ids=[f"{l}-{d}" for l, d in PAIRS])
def test_the_largest_layer_numbers_read_as_klayout_reads_them(tmp_path, kind, pair):
    path = g.write(tmp_path, extreme_layout(kind, pair))
    got, why = lumino._read_layout(path)
    assert got is not None, why
    want = klayout_layout(path)
    assert same(got, want), first_difference(got, want)
    # Only the extreme pair kept: the other layer still has its index.
    got, why = lumino._read_layout(path, [pair])
    want = klayout_layout(path, [pair])
    assert same(got, want), first_difference(got, want)


FIELDS = [
    pytest.param(g.boundary(1, 0, [(-BIG, -BIG), (BIG, -BIG), (0, BIG)]), id="coordinates-at-the-ends"),
    pytest.param(g.path(1, 0, [(0, 0), (100, 0)], width=BIG), id="width-largest"),
    pytest.param(g.path(1, 0, [(0, 0), (100, 0)], width=-BIG), id="width-most-negative"),
    pytest.param(g.path(1, 0, [(0, 0), (100, 0)], width=-(2**31)), id="width-int32-min"),
    pytest.param(g.path(1, 0, [(0, 0), (100, 0)], width=10, pathtype=4, bgn=BIG, end=-BIG), id="extensions-at-the-ends"),
    pytest.param(g.path(1, 0, [(0, 0), (100, 0)], width=10, pathtype=65535), id="pathtype-65535"),
    pytest.param(g.path(1, 0, [(0, 0), (100, 0)], width=10, pathtype=32768), id="pathtype-32768"),
    pytest.param(g.text(65535, 65535, (-BIG, BIG), "t", mag=7e75, angle=7e75), id="text-beyond-range"),
    pytest.param(g.text(65535, 65535, (-BIG, BIG), "t", mag=1e-75, angle=-8.9e7), id="text-extremes"),
    pytest.param(g.aref("CHILD", 65535, 1, (0, 0), (65535 * 3, 0), (0, 0)), id="aref-65535-columns"),
    pytest.param(g.aref("CHILD", 1, 65535, (0, 0), (0, 0), (0, 65535)), id="aref-65535-rows"),
    pytest.param(g.aref("CHILD", 32768, 2, (0, 0), (32768, 0), (0, 9)), id="aref-32768-columns"),
    pytest.param(g.sref("CHILD", (BIG, -BIG)), id="sref-at-the-ends"),
    pytest.param(g.sref("CHILD", (0, 0), angle=7e75), id="sref-angle-beyond-range"),
    pytest.param(g.sref("CHILD", (0, 0), mag=7e75), id="sref-magnification-beyond-range"),
    pytest.param(g.sref("CHILD", (0, 0), mag=1e-75), id="sref-magnification-tiny"),
    pytest.param(g.sref("CHILD", (0, 0))[:-4] + g.record(g.PROPATTR, 65535) + g.record(g.PROPVALUE, "v")
                 + g.record(g.ENDEL), id="propattr-65535"),
    pytest.param(g.box(65535, 65535, [(BIG, BIG), (-BIG, -BIG)]), id="box-at-the-ends"),
    pytest.param(g.record(g.TEXT) + g.record(g.LAYER, 1) + g.record(g.TEXTTYPE, 0) + g.record(g.PRESENTATION, 65535)
                 + g.xy([(1, 1)]) + g.record(g.STRING, "x") + g.record(g.ENDEL), id="presentation-65535"),
    pytest.param(g.record(g.BOUNDARY) + g.record(g.ELFLAGS, 65535) + g.record(g.PLEX, -1) + g.record(g.LAYER, 65535)
                 + g.record(g.DATATYPE, 65535) + g.xy(SQUARE + [(0, 0)]) + g.record(g.ENDEL), id="elflags-plex-extremes"),
]


@pytest.mark.parametrize("element", FIELDS)
def test_record_fields_at_the_ends_of_their_range(tmp_path, element):
    assert_same_or_declined(g.write(tmp_path, g.library(g.structure("TOP", element), child)))


LONG = [(k, (k * k) % 97) for k in range(2100)]


@pytest.mark.parametrize("record_id", [0x0000, 0x0001, 0x0400, 0x1100])
@pytest.mark.parametrize("kind", ["boundary", "path"])
def test_a_record_after_a_long_outline_is_given_back_as_klayout_does(tmp_path, kind, record_id):
    # After a long outline the record that follows its XY records is given
    # back; KLayout's record layer loses a record 0 given back (0 stands for
    # "none" there), so that record is skipped.
    element = g.boundary(1, 0, LONG) if kind == "boundary" else g.path(1, 0, LONG, width=4)
    stray = struct.pack(">HH", 4, record_id) if record_id != 0x1100 else b""
    data = g.library(g.structure("TOP", element[:-4] + stray + g.record(g.ENDEL), g.boundary(2, 0, SQUARE)), child)
    answered = assert_same_or_declined(g.write(tmp_path, data))
    assert answered == (record_id in (0x0000, 0x1100))


def test_a_file_shortened_while_it_is_read_never_ends_the_process(tmp_path):
    # Another process rewrites the file shorter while the reader reads it:
    # the reader sees the bytes it got (declining a cut stream) and the
    # interpreter lives on.  A mapped file would raise SIGBUS here.
    code = textwrap.dedent(
        """
        import os, sys, threading
        sys.path.insert(0, sys.argv[2])
        from corvane.core import lumino
        import tests.lumino.gdsstream as g
        path = sys.argv[1]
        whole = g.library(g.structure("TOP", *[g.boundary(1, 0, [(k, 0), (k, 9), (k + 5, 3)]) for k in range(60000)]))
        stop = False
        def rewrite():
            while not stop:
                for n in (len(whole), 4096, len(whole) // 2, 0):
                    with open(path, "r+b") as f:
                        f.truncate(n)
                        if n < len(whole):
                            f.seek(0)
                            f.write(whole)  # grows again, to be cut once more
        with open(path, "wb") as f:
            f.write(whole)
        worker = threading.Thread(target=rewrite)
        worker.start()
        outcomes = set()
        try:
            for _ in range(120):
                got, why = lumino._read_layout(path, counts=True)
                outcomes.add("answered" if got is not None else "declined")
        finally:
            stop = True
            worker.join()
        print(sorted(outcomes))
        """
    )
    r = subprocess.run([sys.executable, "-c", code, str(tmp_path / "changing.gds"), str(REPO)], capture_output=True,
                       text=True, timeout=600)
    assert r.returncode == 0, (r.returncode, r.stderr[-2000:])
    assert r.stdout.strip()

