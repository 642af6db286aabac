"""Each entry point called many times keeps resident memory flat and leaves
the reference counts of its arguments as they were (the big runs:
bench/bench_memory.py)."""

from __future__ import annotations

import gc
import os
import sys
import types

import klayout.db as kdb
import pytest
import velloc.pdk

from corvane.core import freeze, lumino, pdk, weftnet

pytestmark = [pytest.mark.memory, pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")]


def resident_bytes():
    gc.collect()
    with open(f"/proc/{os.getpid()}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def lumino_call(tmp_path):
    ly = kdb.Layout()
    top, child = ly.create_cell("TOP"), ly.create_cell("CHILD")
    child.shapes(ly.layer(1, 0)).insert(kdb.Polygon([kdb.Point(0, 0), kdb.Point(0, 900), kdb.Point(450, 1300), kdb.Point(900, 0)]))
    top.insert(kdb.CellInstArray(child.cell_index(), kdb.Trans(1, True, 5, 5), kdb.Vector(2000, 0), kdb.Vector(0, 2000), 3, 2))
    top.insert(kdb.CellInstArray(child.cell_index(), kdb.ICplxTrans(0.5, 30, False, 7, 9)))
    path = "".join([str(tmp_path), "/memory.gds"])  # a string of its own
    ly.write(path)
    last = types.SimpleNamespace(message=None)
    lumino.comms = types.SimpleNamespace(send_message=lambda m: setattr(last, "message", m))
    output, exclude = lumino.Output.LAYER, ["nothing*"]
    return (lambda: lumino.lumino(path, output, exclude_layers=exclude)), [path, output, exclude], 300


def weftnet_call(tmp_path):
    record = lambda *calls: {  # noqa: E731
        "decorators": ["@cell"], "resolved_decorators": ["velloc.cell"], "parameter_defaults": {"n": 1},
        "resolved_parameter_defaults": {"n": 1}, "resolved_calls": list(calls), "resolved_component_gets": [],
        "is_partial": False, "tags": ["t"],
    }
    functions = {f"lib.m.f{k}": record(f"lib.m.f{k + 1}", f"lib.m.f{k + 2}") for k in range(30)}
    graph_data = {"functions": functions, "modules": {"lib.m": {"path": str(tmp_path / "m.py")}}}
    lib_paths = {"lib": tmp_path}
    return (lambda: weftnet.create_weftnet(graph_data, lib_paths=lib_paths)), [graph_data, lib_paths, functions], 1000


def freeze_call(tmp_path):
    netlist = {
        "instances": {f"i{k}": {"component": "mmi" if k % 2 else "straight", "settings": {"k": k}} for k in range(20)},
        "connections": {f"i{k},o2": f"i{k + 1},o1" for k in range(19)},
        "ports": {"in": "i0,o1", "out": "i19,o2"},
        "nets": [{"p1": f"i{k},o2", "p2": f"i{k + 1},o1"} for k in range(19)],
        "warnings": {"optical": {"unconnected": ["i3,o3"]}},
    }
    factory = lambda **kwargs: types.SimpleNamespace(get_netlist=lambda: netlist)  # noqa: E731
    pdk.set_pdk(types.SimpleNamespace(name="fake", cells={"c": factory}))
    cell_name = "".join(["c"])
    return (lambda: freeze.freeze(cell_name, width=0.5)), [cell_name, netlist, factory], 2000


@pytest.mark.parametrize("make", [lumino_call, weftnet_call, freeze_call], ids=["lumino", "create_weftnet", "freeze"])
def test_repeated_calls_keep_memory_flat_and_references_unchanged(tmp_path, make, monkeypatch):
    monkeypatch.setattr(lumino, "comms", lumino.comms)
    try:
        call, args, n = make(tmp_path)
        for _ in range(n // 10):  # warm up caches and allocator pools
            call()
        before = resident_bytes()  # collects first: warm-up garbage may hold the arguments
        refs = [sys.getrefcount(a) for a in args]
        for _ in range(n):
            call()
        grown = resident_bytes() - before
        assert [sys.getrefcount(a) for a in args] == refs
        assert grown < 4 * 1024 * 1024, f"resident memory grew by {grown} bytes over {n} calls"
    finally:
        pdk.reset()
