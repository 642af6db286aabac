"""Colours per library and the drawing of a call graph."""

import shutil

import matplotlib.pyplot as plt
import networkx as nx
import pytest
from matplotlib.colors import to_rgba

from corvane.core import weftnet


@pytest.mark.parametrize(
    "s, expected",
    [("ab", 6), ("ba", 6), ("a1", 8), ("ae", 9), ("velloc", 6), ("7", 7), ("٣", 3), ("٣٤", 7)],
)
def test_int_hash(s, expected):
    assert weftnet._int_hash(s) == expected


@pytest.mark.parametrize("s, error", [("", ValueError), ("a", ValueError), (" ", ValueError), (5, TypeError)])
def test_int_hash_rejects(s, error):
    with pytest.raises(error):
        weftnet._int_hash(s)


def graph(*packages):
    G = nx.DiGraph()
    for i, package in enumerate(packages):
        G.add_node(f"f{i}", package=package, short_name=f"f{i}")
    return G


LIBS = [f"lib{i}" for i in range(10)]  # hashes 5 6 7 8 9 1 2 3 4 5


@pytest.mark.parametrize(
    "packages, expected",
    [
        (["ab", "ba", "ab"], {"ab": "C6", "ba": "C7"}),
        (["ae", "ea"], {"ae": "C9", "ea": "C0"}),  # the next free colour wraps after C9
        (LIBS[:8] + ["lib9"], dict(zip(LIBS[:8] + ["lib9"], ["C5", "C6", "C7", "C8", "C9", "C1", "C2", "C3", "C0"]))),
        (LIBS, dict(zip(LIBS, ["C5", "C6", "C7", "C8", "C9", "C1", "C2", "C3", "C4", "C5"]))),
    ],
)
def test_color_map(packages, expected):
    colours = weftnet._color_map(graph(*packages))
    assert list(colours.items()) == list(expected.items())


@pytest.mark.skipif(shutil.which("neato") is None, reason="graphviz programs not installed")
@pytest.mark.filterwarnings("ignore::DeprecationWarning:pydot.dot_parser")  # pydot's own use of pyparsing
@pytest.mark.parametrize("show", [False, True])
def test_plot_saved_to_png(tmp_path, monkeypatch, show):
    shown = []
    monkeypatch.setattr(plt, "show", lambda: shown.append(True))
    G = graph("lib", "velloc", "lib")
    G.add_edges_from([("f0", "f1"), ("f2", "f1")])
    plt.figure()
    try:
        weftnet.plot_weftnet(G, show=show)
        ax = plt.gca()
        legend = ax.get_legend()
        assert [t.get_text() for t in legend.get_texts()] == ["lib", "velloc"]
        assert [h.get_alpha() for h in legend.legend_handles] == [0.3, 0.3]
        colours = weftnet._color_map(G)
        nodes = ax.collections[0].get_facecolors()
        assert [tuple(c) for c in nodes] == [to_rgba(colours[p], 0.3) for p in ["lib", "velloc", "lib"]]
        plt.gcf().savefig(tmp_path / "graph.png")
    finally:
        plt.close("all")
    assert (tmp_path / "graph.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert shown == ([True] if show else [])


def test_prog_must_be_a_text():
    with pytest.raises(TypeError):
        weftnet.plot_weftnet(graph("lib"), prog=1, show=False)
