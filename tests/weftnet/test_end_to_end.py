"""End to end: a project library analysed from its sources and turned into a call graph."""

from pathlib import Path

import pytest
import velloc

import corvane.weftnet as host
from corvane import settings
from corvane.core import weftnet

pytestmark = pytest.mark.skipif(
    not hasattr(host, "generate_call_graph"), reason="corvane.weftnet.generate_call_graph is not in this build"
)

PARTS = """
import velloc as vl
from velloc import cell
from velloc.components import bend_circular, straight

def helper(x):
    return x

@cell
def arm(length: float = 5.0):
    return straight(length=helper(length))

@vl.cell
def corner(radius: float = 5.0):
    return bend_circular(radius=radius)
"""

TOP = """
from velloc import cell
from velloc.components import mmi1x2
from . import parts
from .parts import arm, helper

@cell
def loop(splitter=mmi1x2, length: float = 3.0):
    helper(length)
    parts.corner()
    return arm(length=length)

@cell
def loop2():
    return loop()
"""

VELLOC_NODES = {"straight", "taper", "bend_circular", "grating_coupler", "mmi1x2", "ring_single", "mzi"}
VELLOC_EDGES = {("ring_single", "straight"), ("ring_single", "bend_circular")}
VELLOC_EDGES |= {("mzi", "mmi1x2"), ("mzi", "bend_circular"), ("mzi", "straight")}


def test_project_library_call_graph(tmp_path):
    lib = tmp_path / "proj" / "mylib"
    lib.mkdir(parents=True)
    (lib / "__init__.py").write_text("")
    (lib / "parts.py").write_text(PARTS)
    (lib / "top.py").write_text(TOP)
    settings.configure(pics_dir=lib)

    G = weftnet.create_weftnet(lib_paths={"mylib": lib, "velloc": Path(velloc.__file__).parent})

    assert set(G.nodes) == VELLOC_NODES | {"arm", "corner", "loop", "loop2"}
    mine = {("arm", "straight"), ("corner", "bend_circular"), ("loop", "mmi1x2"), ("loop", "corner")}
    assert set(G.edges) == VELLOC_EDGES | mine | {("loop", "arm"), ("loop2", "loop")}
    assert (G.nodes["loop"]["full_name"], G.nodes["loop"]["pdk_type"]) == ("mylib.top.loop", "pdk")
    assert (G.nodes["mzi"]["package"], G.nodes["mzi"]["pdk_type"]) == ("velloc", "base_pdk")
    assert list(weftnet.get_static_records(G, paths=[lib / "top.py"])) == ["loop", "loop2"]


LAMBDAS = """
from velloc import cell
from velloc.components import bend_circular, mmi1x2, straight, taper

def apply(f):
    return f()

@cell
def called():
    make = lambda: straight()
    return make()

@cell
def passed():
    return apply(lambda: bend_circular())

@cell
def handed_out():
    return sorted([1], key=lambda v: taper())

@cell
def nested():
    return (lambda: (lambda: mmi1x2())())()

pick = lambda: straight()
"""


def test_lambdas_are_no_nodes_and_keep_the_factories_edges(tmp_path):
    lib = tmp_path / "proj" / "lamlib"
    lib.mkdir(parents=True)
    (lib / "__init__.py").write_text("")
    (lib / "cells.py").write_text(LAMBDAS)
    settings.configure(pics_dir=lib)

    paths = {"lamlib": lib, "velloc": Path(velloc.__file__).parent}
    graph = host.generate_call_graph(paths)
    assert graph["functions"]["lamlib.cells.called"]["resolved_calls"] == ["lamlib.cells.called.<lambda1>"]
    assert "lamlib.cells.nested.<lambda1>.<lambda1>" in graph["functions"]
    G = weftnet.create_weftnet(graph, lib_paths=paths)

    assert not any("lambda" in node for node in G.nodes)
    # the lambda passed to apply is called there: its call belongs to apply, no factory
    mine = {("called", "straight"), ("handed_out", "taper"), ("nested", "mmi1x2")}
    assert {(a, b) for a, b in G.edges if a in {"called", "passed", "handed_out", "nested"}} == mine
