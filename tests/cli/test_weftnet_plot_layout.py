"""The plot file of `corvane weftnet --plot`: labels readable and apart, the legend beside the nodes."""

import random
import shutil

import matplotlib
import networkx as nx
import pytest

from corvane import cli
from corvane.core import weftnet

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

pytestmark = [
    pytest.mark.skipif(shutil.which("dot") is None, reason="graphviz programs not installed"),
    pytest.mark.filterwarnings("ignore::DeprecationWarning:pydot.dot_parser"),
]


def call_graph(n, libraries=3, seed=1):
    rng = random.Random(seed)
    G = nx.DiGraph()
    names = [f"factory_{i:02d}_{rng.choice(['ring', 'mzi', 'taper', 'coupler'])}" for i in range(n)]
    for i, name in enumerate(names):
        G.add_node(name, short_name=name, package=f"lib{i % libraries}")
        for callee in rng.sample(names[:i], k=min(i, 2)):
            G.add_edge(name, callee)
    return G


@pytest.mark.parametrize("n, libraries", [(3, 3), (25, 3), (60, 3), (120, 9)])
def test_labels_apart_and_legend_beside_the_nodes(n, libraries):
    plt.figure()
    try:
        weftnet.plot_weftnet(call_graph(n, libraries), prog="dot", show=False)
        fig, ax = plt.gcf(), plt.gca()
        cli._fit_plot(fig, ax)
        fig.canvas.draw()
        renderer = fig.canvas.get_renderer()
        labels = [t.get_window_extent(renderer) for t in ax.texts]
        assert len(labels) == n
        assert all(t.get_fontsize() == cli.PLOT_LABEL_POINTS for t in ax.texts)
        for i, a in enumerate(labels):
            assert not any(a.overlaps(b) for b in labels[i + 1:])
        legend = ax.get_legend().get_window_extent(renderer)
        nodes = ax.transData.transform(ax.collections[0].get_offsets())
        assert not any(legend.contains(x, y) for x, y in nodes)
        assert not any(legend.overlaps(label) for label in labels)
        assert [t.get_text() for t in ax.get_legend().get_texts()] == [f"lib{i}" for i in range(min(n, libraries))]
    finally:
        plt.close("all")


def test_the_figure_grows_with_the_graph():
    sizes = []
    for n in (5, 60):
        plt.figure()
        try:
            weftnet.plot_weftnet(call_graph(n), prog="dot", show=False)
            cli._fit_plot(plt.gcf(), plt.gca())
            sizes.append(tuple(plt.gcf().get_size_inches()))
        finally:
            plt.close("all")
    assert sizes[1][0] > sizes[0][0] and sizes[1][1] > sizes[0][1]
