"""Repeated conversions must not leak: resident memory stays flat."""

import gc
import os

import klayout.db as kdb
import pytest

from corvane.core import lumino

from .conftest import layer_table
from .test_message_roads import lumino_message, vlt
from .test_shared_layouts import DATA


def resident_bytes():
    with open(f"/proc/{os.getpid()}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def small_layout():
    ly = kdb.Layout()
    top, child = ly.create_cell("TOP"), ly.create_cell("CHILD")
    li = ly.layer(1, 0)
    child.shapes(li).insert(kdb.Box(0, 0, 100, 50))
    child.shapes(li).insert(kdb.Polygon([kdb.Point(0, 0), kdb.Point(0, 90), kdb.Point(45, 130), kdb.Point(90, 0)]))
    child.shapes(li).insert(kdb.Text("t", kdb.Trans()))
    top.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(1, True, 5, 5), kdb.Vector(200, 0),
                                 kdb.Vector(0, 200), 3, 2))
    top.insert(kdb.CellInstArray(child.cell_index(), kdb.ICplxTrans(0.5, 30, False, 7, 9)))
    return ly


@pytest.mark.memory
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_repeated_parsing_does_not_grow_memory():
    ly = small_layout()
    layers = layer_table((1, 0, "WG"))

    def work(n):
        for _ in range(n):
            g = lumino.ParseGDS(ly, layers)
            g.export_cells()
            g.export_layers()
            g.extract_dpolygon(kdb.Polygon(kdb.Box(0, 0, 10, 10)))
            lumino.KTrans.multiply(g.parsed_cells.cells[0].references[0].trans, [lumino.KTrans(kdb.Trans())])
        gc.collect()

    work(300)  # warm up allocator pools and caches
    before = resident_bytes()
    work(3000)
    grown = resident_bytes() - before
    assert grown < 4 * 1024 * 1024, f"resident memory grew by {grown} bytes"


@pytest.mark.memory
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(not (DATA / "gds").is_dir(), reason="example layouts (examples/gds) not present")
def test_repeated_messages_do_not_grow_memory():
    # A small message keeps the memory its call freed for the next call
    # instead of handing it back: that must be reuse, not growth.
    stack, views = vlt.read_layer_technology(DATA / "photonics_stack.json")
    path = str(DATA / "gds" / "RingResonator.gds")

    def work(n):
        for k in range(n):
            lumino_message(path, (lumino.Output.CELL, lumino.Output.LAYER)[k % 2], stack, views)
        gc.collect()

    work(20)
    before = resident_bytes()
    work(200)
    grown = resident_bytes() - before
    assert grown < 4 * 1024 * 1024, f"resident memory grew by {grown} bytes"
