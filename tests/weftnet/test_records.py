"""Static records: callees first, optionally only factories of given source files."""

import networkx as nx
import pytest

from corvane.core import weftnet
from corvane.models import FactoryRecord

from .conftest import func, graph_data


@pytest.fixture
def G(tmp_path):
    data = graph_data(
        tmp_path,
        {
            "a.top.chip": func("a.top.mzi", "a.parts.wg"),
            "a.top.mzi": func("a.parts.wg", "a.parts.bend"),
            "a.parts.wg": func(),
            "a.parts.bend": func(),
            "b.parts.bend": func(),
        },
    )
    return weftnet.create_weftnet(data, lib_paths={"a": tmp_path / "a", "b": tmp_path / "b"})


def test_every_factory_comes_after_its_callees(G):
    records = weftnet.get_static_records(G)
    order = list(records)
    assert order == list(nx.topological_sort(nx.reverse_view(G)))
    assert all(order.index(callee) < order.index(caller) for caller, callee in G.edges)
    assert all(isinstance(r, FactoryRecord) and r.name == name for name, r in records.items())


@pytest.mark.parametrize(
    "paths, selected",
    [
        (["a/top.py"], {"chip", "mzi"}),
        (["b/parts.py"], {"bend"}),  # only an overridden definition lives there
        (["a"], set()),  # a folder selects nothing below it
        ([], {"chip", "mzi", "wg", "bend"}),
        (iter([]), {"chip", "mzi", "wg", "bend"}),
    ],
)
def test_path_selection(G, tmp_path, paths, selected):
    # relative paths are taken from the current folder (the test's temporary folder)
    assert set(weftnet.get_static_records(G, paths=paths)) == selected
    absolute = [tmp_path / p for p in paths] if isinstance(paths, list) else []
    assert set(weftnet.get_static_records(G, paths=absolute)) == selected


def test_graph_defaults_to_create_weftnet(G, monkeypatch):
    monkeypatch.setattr(weftnet, "create_weftnet", lambda: G)
    assert list(weftnet.get_static_records()) == list(weftnet.get_static_records(G))


def test_a_cycle_or_a_single_text_fails(G):
    G.add_edge("wg", "chip")
    with pytest.raises(nx.NetworkXUnfeasible):
        weftnet.get_static_records(G)
    with pytest.raises(TypeError):
        weftnet.get_static_records(G, paths="a/top.py")
